// Reading start URLs, redirects and their answers, the request on the wire, and naming what is
// stored for them.

#include "connections/httpmessage.h"
#include "connections/siteaddress.h"
#include "output/localpath.h"
#include "output/redirectpage.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

TEST(SiteAddress, StartUrlsAsTyped)
{
    const struct
    {
        const char *typed;
        bool secure;
        const char *url; // host and path as the job uses them
        bool wwwAdded;
    } cases[] = {
        {"  http://site.test/docs/ ", false, "www.site.test/docs/", true},
        {"site.test", false, "www.site.test", true},
        {"HTTPS://Site.test/", true, "www.Site.test/", true},
        {"https://www.site.test:443/", true, "www.site.test/", false},
        {"http://site.test:80/", false, "www.site.test/", true},
        {"https://site.test:80/", true, "www.site.test:80/", true},
        {"http://site.test:8080/a", false, "www.site.test:8080/a", true},
        {"http://localhost:8080/", false, "localhost:8080/", false},
        {"http://LOCALHOST/", false, "LOCALHOST/", false},
        {"http://127.0.0.1/", false, "127.0.0.1/", false},
        {"http://[::1]:8080/", false, "[::1]:8080/", false},
        {"http://intranet/", false, "intranet/", false},
        {"http://shop.site.test/", false, "www.shop.site.test/", true},
        {"http://site.test/www.html", false, "site.test/www.html", false},
    };
    for (const auto &c : cases) {
        const StartAddress start = ParseStartUrl(c.typed);
        EXPECT_EQ(start.address.secure, c.secure) << c.typed;
        EXPECT_EQ(start.address.Url(), c.url) << c.typed;
        EXPECT_EQ(start.wwwAdded, c.wwwAdded) << c.typed;
    }
}

TEST(SiteAddress, LocationsAreReadAgainstTheAddressThatAnswered)
{
    const SiteAddress from {false, "www.site.test", "/dir/page.html"};
    const struct
    {
        const char *location;
        const char *absolute; // nullptr: not an address to follow
    } cases[] = {
        {"https://Site.Test/new/", "https://site.test/new/"},
        {"HTTP://www.site.test:80/x#part", "http://www.site.test/x"},
        {"https://www.site.test:443", "https://www.site.test/"},
        {"http://site.test?q=1", "http://site.test/?q=1"},
        {"//other.test:8080/y", "http://other.test:8080/y"},
        {"/root.html", "http://www.site.test/root.html"},
        {"next.html", "http://www.site.test/dir/next.html"},
        {" ../up.html ", "http://www.site.test/dir/../up.html"},
        {"mailto:a@site.test", nullptr},
        {"http://", nullptr},
    };
    for (const auto &c : cases) {
        const std::optional<SiteAddress> to = ResolveLocation(c.location, from);
        ASSERT_EQ(to.has_value(), c.absolute != nullptr) << c.location;
        if (to) {
            EXPECT_EQ(AbsoluteUrl(*to), c.absolute) << c.location;
        }
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
    const struct
    {
        const char *from;
        const char *to;
        const char *href;
    } cases[] = {
        {"C:\\w\\site\\old.html", "C:\\w\\site\\new\\page.html", "new/page.html"},
        {"C:\\w\\site\\a\\b\\old.html", "C:\\w\\site\\top.html", "../../top.html"},
        {"C:\\w\\site\\a\\old.html", "C:\\w\\site\\b\\my page#1.html", "../b/my%20page%231.html"},
        {"C:\\w\\site\\old.html", "C:\\w\\site+8080\\x.html", "../site+8080/x.html"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(RelativeHref(c.from, c.to), c.href) << c.to;

    const std::string page = RedirectPage("x?a=1&b=\"<2>\"");
    EXPECT_NE(page.find("content=\"0; url=x?a=1&amp;b=&quot;&lt;2&gt;&quot;\""), std::string::npos);
    EXPECT_NE(page.find("<a href=\"x?a=1&amp;b=&quot;&lt;2&gt;&quot;\">"), std::string::npos);
    EXPECT_EQ(page.find("<2>"), std::string::npos);
}

TEST(LocalPath, AHostWithAPortGetsAFolderNameEverySystemTakes)
{
    EXPECT_EQ(WithHostFolder("localhost:8080/a:b.html"), "localhost+8080/a:b.html");
    EXPECT_EQ(WithHostFolder("\\[::1]:8080\\x"), "\\[++1]+8080\\x");
    EXPECT_EQ(WithHostFolder("\\www.site.test/x"), "\\www.site.test/x");
    EXPECT_EQ(WithHostFolder(""), "");
}

TEST(HttpMessage, TheRequestAndWhetherItClimbsAboveTheRoot)
{
    const struct
    {
        const char *host;
        const char *path;
        const char *requestLine;
        const char *hostValue;
        bool climbs;
    } cases[] = {
        {"www.site.test", "/docs/", "GET /docs/ HTTP/1.0", "www.site.test", false},
        {" site.test/ ", "/a//b.html", "GET /a/b.html HTTP/1.0", "site.test", false},
        {"localhost:8080", "///x", "GET //x HTTP/1.0", "localhost:8080", false},
        {"site.test", "/../up.html", "GET /../up.html HTTP/1.0", "site.test", true},
        {"site.test", "\\..\\up.html", "GET \\..\\up.html HTTP/1.0", "site.test", true},
        {"site.test", "/a/../b.html", "GET /a/../b.html HTTP/1.0", "site.test", false},
    };
    for (const auto &c : cases) {
        const std::string request = RequestFor(c.host, c.path);
        EXPECT_EQ(request,
            std::string(c.requestLine) + "\r\nHost: " + c.hostValue + "\r\nReferrer: " + c.hostValue
                + "\r\nUser-Agent: Internet Explorer 6.01\r\n\r\n")
            << c.path;
        EXPECT_EQ(ClimbsAboveRoot(request), c.climbs) << c.path;
    }
}

TEST(HttpMessage, StatusLinesAndRedirects)
{
    const struct
    {
        std::string response;
        int status;
        std::optional<std::string> location;
    } cases[] = {
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
    for (const auto &c : cases) {
        EXPECT_EQ(StatusCodeOf(c.response), c.status) << c.response;
        EXPECT_EQ(RedirectLocation(c.response), c.location) << c.response;
    }
}

TEST(HttpMessage, LengthsAndFaultsOfAResponseAsReceived)
{
    const struct
    {
        std::string response;
        std::optional<std::int64_t> inChunk; // ContentLengthIn
        std::optional<std::int64_t> announced; // AnnouncedLength
        ResponseFault fault;
    } cases[] = {
        {"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello", 5, 5, ResponseFault::None},
        {"HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nhello", 9, 9, ResponseFault::ShortBody},
        {"HTTP/1.0 200 OK\r\ncontent-length: 9\r\n\r\nhello", std::nullopt, 9,
            ResponseFault::ShortBody},
        {"HTTP/1.0 200 OK\r\n\r\nno length", std::nullopt, std::nullopt, ResponseFault::None},
        {"HTTP/1.0 200 OK\r\nContent-Length: x\r\n\r\n", 0, std::nullopt, ResponseFault::None},
        // The chunk is read for twelve characters; the head is read whole.
        {"HTTP/1.0 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n", 999999999999,
            std::nullopt, ResponseFault::None},
        {"HTTP/1.0 200 OK\r\nContent-Length: 12", 12, 12, ResponseFault::BrokenHead},
        {"HTTP/1.0 200 OK\r\nContent-Ty", std::nullopt, std::nullopt, ResponseFault::BrokenHead},
        {"raw bytes\r\n\r\n", std::nullopt, std::nullopt, ResponseFault::BrokenHead},
        {"", std::nullopt, std::nullopt, ResponseFault::BrokenHead},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(ContentLengthIn(c.response), c.inChunk) << c.response;
        EXPECT_EQ(AnnouncedLength(c.response), c.announced) << c.response;
        EXPECT_EQ(FaultOf(c.response), c.fault) << c.response;
    }
}

} // namespace
} // namespace tw
