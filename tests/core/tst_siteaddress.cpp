// Reading start URLs, redirects and their answers, the request on the wire, and naming what is
// stored for them.

#include "output/localpath.h"
#include "output/redirectpage.h"
#include "transport/bodyframing.h"
#include "transport/httpmessage.h"
#include "transport/siteaddress.h"

#include <gtest/gtest.h>

#include <tuple>

namespace tw {
namespace {

TEST(SiteAddress, StartUrlsAsTyped)
{
    // The address the job fetches, with " +www" when "www." was put in front of the host.
    const std::pair<const char *, const char *> cases[] = {
        {"  http://site.test/docs/ ", "http://www.site.test/docs/ +www"},
        {"site.test", "http://www.site.test +www"},
        {"HTTPS://Site.test/", "https://www.Site.test/ +www"},
        {"https://www.site.test:443/", "https://www.site.test/"},
        {"http://site.test:80/", "http://www.site.test/ +www"},
        {"https://site.test:80/", "https://www.site.test:80/ +www"},
        {"http://site.test:8080/a", "http://www.site.test:8080/a +www"},
        {"http://localhost:8080/", "http://localhost:8080/"},
        {"http://LOCALHOST/", "http://LOCALHOST/"},
        {"http://127.0.0.1/", "http://127.0.0.1/"},
        {"http://[::1]:8080/", "http://[::1]:8080/"},
        {"http://intranet/", "http://intranet/"},
        {"http://shop.site.test/", "http://www.shop.site.test/ +www"},
        {"http://site.test/www.html", "http://site.test/www.html"},
    };
    for (const auto &[typed, address] : cases) {
        const StartAddress start = ParseStartUrl(typed);
        EXPECT_EQ(AbsoluteUrl(start.address) + (start.wwwAdded ? " +www" : ""), address) << typed;
    }
}

TEST(SiteAddress, LocationsAreReadAgainstTheAddressThatAnswered)
{
    const SiteAddress from {false, "www.site.test", "/dir/page.html"};
    // The address followed; "" for none.
    const std::pair<const char *, const char *> cases[] = {
        {"https://Site.Test/new/", "https://site.test/new/"},
        {"HTTP://www.site.test:80/x#part", "http://www.site.test/x"},
        {"https://www.site.test:443", "https://www.site.test/"},
        {"http://site.test?q=1", "http://site.test/?q=1"},
        {"//other.test:8080/y", "http://other.test:8080/y"},
        {"/root.html", "http://www.site.test/root.html"},
        {"next.html", "http://www.site.test/dir/next.html"},
        {" ../up.html ", "http://www.site.test/dir/../up.html"},
        {"mailto:a@site.test", ""},
        {"http://", ""},
    };
    for (const auto &[location, absolute] : cases) {
        const std::optional<SiteAddress> to = ResolveLocation(location, from);
        EXPECT_EQ(to ? AbsoluteUrl(*to) : "", absolute) << location;
    }
}

TEST(SiteAddress, AHostMustBeNamedAndSameSiteIgnoresCaseWwwAndPort)
{
    for (const char *typed : {"", "   ", "http://", " HTTPS:// ", "http://www."})
        EXPECT_FALSE(NamesAHost(typed)) << typed;
    EXPECT_TRUE(NamesAHost("https://x"));
    EXPECT_TRUE(SameSite("www.site.test", "Site.Test:8443"));
    EXPECT_TRUE(SameSite("[::1]:80", "[::1]"));
    EXPECT_FALSE(SameSite("www.site.test", "shop.site.test"));
    EXPECT_FALSE(SameSite("site.test", "site.test.evil"));
}

TEST(RedirectPage, LeadsOnRelativelyAndEscapesWhatTheServerSent)
{
    const std::tuple<const char *, const char *, const char *> cases[] = {
        {"C:/w/site/old.html", "C:/w/site/new/page.html", "new/page.html"},
        {"C:/w/site/a/b/old.html", "C:/w/site/top.html", "../../top.html"},
        {"C:/w/site/a/old.html", "C:/w/site/b/my page#1.html", "../b/my%20page%231.html"},
        {"C:/w/site/old.html", "C:/w/site+8080/x.html", "../site+8080/x.html"},
        {"C:/w/site/old.html", "C:/w/site/\xC3\xBC.html", "%C3%BC.html"},
    };
    for (const auto &[from, to, href] : cases)
        EXPECT_EQ(RelativeHref(from, to), href) << to;

    const std::string page = RedirectPage("x?a=1&b=\"<2>\"");
    EXPECT_NE(page.find("content=\"0; url=x?a=1&amp;b=&quot;&lt;2&gt;&quot;\""), std::string::npos);
    EXPECT_NE(page.find("<a href=\"x?a=1&amp;b=&quot;&lt;2&gt;&quot;\">"), std::string::npos);
    EXPECT_EQ(page.find("<2>"), std::string::npos);
}

TEST(LocalPath, AHostWithAPortGetsAFolderNameEverySystemTakes)
{
    EXPECT_EQ(WithHostFolder("localhost:8080/a:b.html"), "localhost+8080/a:b.html");
    EXPECT_EQ(WithHostFolder("\\[::1]:8080\\x"), "\\[++1]+8080\\x");
    EXPECT_EQ(WithHostFolder("/www.site.test/x"), "/www.site.test/x");
    EXPECT_EQ(WithHostFolder(""), "");
}

TEST(HttpMessage, TheRequestAndWhetherItClimbsAboveTheRoot)
{
    // Host and path asked for, the path and host sent, and whether the path climbs.
    const std::tuple<const char *, const char *, const char *, const char *, bool> cases[] = {
        {"www.site.test", "/docs/", "/docs/", "www.site.test", false},
        {" site.test/ ", "/a//b.html", "/a/b.html", "site.test", false},
        {"localhost:8080", "///x", "//x", "localhost:8080", false},
        {"site.test", "/../up.html", "/../up.html", "site.test", true},
        {"site.test", "\\..\\up.html", "\\..\\up.html", "site.test", true},
        {"site.test", "/a/../b.html", "/a/../b.html", "site.test", false},
        {"site.test", "/..x.html", "/..x.html", "site.test", false},
        {"site.test", "/..", "/..", "site.test", true},
        {"cdn.test:443", "/f.css", "/f.css", "cdn.test", false},
    };
    for (const auto &[host, path, sentPath, sentHost, climbs] : cases) {
        const std::string request = RequestFor(host, path);
        EXPECT_EQ(request,
            "GET " + std::string(sentPath) + " HTTP/1.0\r\nHost: " + sentHost
                + "\r\nReferrer: " + sentHost + "\r\nUser-Agent: Internet Explorer 6.01\r\n\r\n")
            << path;
        EXPECT_EQ(ClimbsAboveRoot(request), climbs) << path;
    }
}

TEST(HttpMessage, StatusLinesAndRedirects)
{
    const std::tuple<std::string, int, std::optional<std::string>> cases[] = {
        {"HTTP/1.1 301 Moved\r\nlocation:  /a \r\n\r\n", 301, "/a"},
        {"HTTP/1.0 308 Permanent\r\nContent-Type: x\r\nLOCATION: https://h/\r\n\r\nLocation: b",
            308, "https://h/"},
        {"HTTP/1.0 302 Found\r\n\r\nLocation: /body-is-not-a-header", 302, std::nullopt},
        {"HTTP/1.0 303 See Other\r\nLocation:\r\n\r\n", 303, std::nullopt},
        {"HTTP/1.0 304 Not Modified\r\nLocation: /a\r\n\r\n", 304, std::nullopt},
        {"HTTP/1.0 200 OK\r\nLocation: /a\r\n\r\n", 200, std::nullopt},
        {"HTTP/1.0 3x7\r\n\r\n", 0, std::nullopt},
        {"no status line", 0, std::nullopt},
    };
    for (const auto &[response, status, location] : cases) {
        EXPECT_EQ(ParseResponse(response).status, status) << response;
        EXPECT_EQ(ParseResponse(response).Location(), location) << response;
    }
}

TEST(HttpMessage, AResponseIsReadOnceIntoItsParts)
{
    const std::string raw
        = "HTTP/1.1 503 Slow Down\r\nRetry-After: 120\nContent-TYPE:  text/html \r\n"
          "X: a:b\r\n\r\nbody\n\nmore";
    const HttpResponse answer = ParseResponse(raw);
    EXPECT_EQ(answer.reason, "Service Unavailable");
    EXPECT_EQ(answer.Field("content-type"), "text/html");
    EXPECT_EQ(answer.Field("x"), "a:b");
    EXPECT_EQ(answer.RetryAfterSeconds(), kMaxRetryAfterSeconds);
    EXPECT_EQ(answer.Body(raw), "body\n\nmore");
    EXPECT_EQ(ParseResponse("HTTP/1.0 599 Odd Thing\r\nRetry-After: Fri, 07 Nov\r\n\r\n").reason,
        "Odd Thing");
    EXPECT_EQ(ParseResponse("HTTP/1.0 404 \r\n\r\n").reason, "Not Found");
    EXPECT_EQ(ParseResponse("HTTP/1.0 599\r\n\r\n").reason, "");
    EXPECT_EQ(ParseResponse("HTTP/1.0 429 x\r\nRetry-After: 1\r\n\r\n").RetryAfterSeconds(), 1);
    EXPECT_EQ(ParseResponse("HTTP/1.0 503 x\r\nRetry-After: Fri\r\n\r\n").RetryAfterSeconds(),
        std::nullopt);
    EXPECT_EQ(ParseResponse("Timed out").Body("Timed out"), "Timed out");
}

TEST(HttpMessage, LengthsAndFaultsOfAResponseAsReceived)
{
    using Length = std::optional<std::int64_t>;
    const Length none;
    const std::tuple<std::string, Length, ResponseFault> cases[] = {
        {"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello", 5, ResponseFault::None},
        {"HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nhello", 9, ResponseFault::ShortBody},
        {"HTTP/1.0 200 OK\r\ncontent-length: 9\r\n\r\nhello", 9, ResponseFault::ShortBody},
        {"HTTP/1.0 200 OK\r\n\r\nno length", none, ResponseFault::None},
        {"HTTP/1.0 200 OK\r\nContent-Length: x\r\n\r\n", none, ResponseFault::None},
        {"HTTP/1.0 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n", none,
            ResponseFault::None},
        {"HTTP/1.0 200 OK\r\nContent-Length: 12", 12, ResponseFault::BrokenHead},
        {"HTTP/1.0 200 OK\r\nContent-Ty", none, ResponseFault::BrokenHead},
        {"raw bytes\r\n\r\n", none, ResponseFault::BrokenHead},
        {"", none, ResponseFault::BrokenHead},
        // Header lines that end in LF alone, or in a mix of both.
        {"HTTP/1.0 200 OK\nContent-Length: 3\n\nabc", 3, ResponseFault::None},
        {"HTTP/1.0 200 OK\r\nContent-Length: 4\n\r\nabc", 4, ResponseFault::ShortBody},
    };
    for (const auto &[response, announced, fault] : cases) {
        EXPECT_EQ(ParseResponse(response).announcedLength, announced) << response;
        EXPECT_EQ(ParseResponse(response).fault, fault) << response;
    }
}

TEST(HttpMessage, AChunkedBodyIsWholeAtItsLastChunkAndItsTrailers)
{
    using Decoded = std::optional<std::string>;
    const std::pair<std::string, Decoded> cases[] = {
        {"5\r\nhello\r\n0\r\n\r\n", "hello"},
        {"4;name=value\r\nWiki\r\n0B\r\npedia in ch\r\n0;end\r\nExpires: x\r\nA: b\r\n\r\n",
            "Wikipedia in ch"},
        {"3\nabc\n0\n\n", "abc"},
        {"a \r\n0123456789\r\n0\r\n\r\n", "0123456789"},
        {"0\r\n\r\n", ""},
        {"zz\r\nhello\r\n0\r\n\r\n", std::nullopt},
        {"5\r\nhelloX\r\n0\r\n\r\n", std::nullopt},
        {"\r\n", std::nullopt},
        {"ffffffffffffffff\r\n", std::nullopt},
    };
    for (const auto &[body, decoded] : cases) {
        // Fed as it arrives, byte by byte: partial up to the last byte, then whole or broken.
        ChunkedReader reader;
        ChunkedReader::State state = ChunkedReader::State::Partial;
        std::size_t fed = 0;
        while (state == ChunkedReader::State::Partial && fed < body.size())
            state = reader.Read(std::string_view(body).substr(0, ++fed));
        if (!decoded) {
            EXPECT_EQ(state, ChunkedReader::State::Broken) << body;
            continue;
        }
        EXPECT_EQ(state, ChunkedReader::State::Whole) << body;
        EXPECT_EQ(fed, body.size()) << body;
        std::string text = "head" + body + "next answer";
        EXPECT_TRUE(DecodeChunked(text, 4, 4 + reader.End())) << body;
        EXPECT_EQ(text, "head" + *decoded);
    }
}

TEST(HttpMessage, AKeptAliveAnswerEndsByItsLengthItsChunksOrItsClose)
{
    const std::tuple<std::string, Framing, bool> cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", Framing::Length, true},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n",
            Framing::Chunked, true},
        {"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 5\r\n\r\n", Framing::UntilClose,
            false},
        {"HTTP/1.1 200 OK\r\n\r\n", Framing::UntilClose, false},
        {"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\n", Framing::UntilClose, false},
        {"HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 5\r\n\r\n", Framing::Length,
            true},
        {"HTTP/1.1 304 Not Modified\r\n\r\n", Framing::NoBody, true},
        {"HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n", Framing::NoBody, false},
    };
    for (const auto &[head, framing, reusable] : cases) {
        const BodyFrame frame = FrameOf(ParseResponse(head));
        EXPECT_EQ(frame.framing, framing) << head;
        EXPECT_EQ(frame.reusable, reusable) << head;
    }
}

} // namespace
} // namespace tw
