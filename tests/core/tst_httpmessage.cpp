// The request on the wire and the reading of a response's head.

#include "connections/httpmessage.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

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
