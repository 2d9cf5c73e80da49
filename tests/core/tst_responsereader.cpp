// An answer read as its bytes arrive: its head read once, where its body ends, what follows it.

#include "transport/responsereader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tw {
namespace {

TEST(ResponseReader, AnAnswerIsReadAsItArrivesAndCutToItsFraming)
{
    struct Row
    {
        std::vector<std::string> pieces; // as they arrive
        bool framed; // the request asked for the connection to stay open
        bool passOn; // the body is passed on after each piece
        int status; // of the head once read, 0 when none is
        bool complete; // whole by its framing, before any close
        bool endsOnlyAtClose;
        bool cut; // false: a chunked body broken
        std::string body; // held and passed on, after the cut
        std::string next; // what the cut handed on to the answer sent ahead
        bool reusable;
        ResponseFault fault;
    };
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    const std::string five = ok + "Content-Length: 5\r\n\r\n";
    const std::string chunked = ok + "Transfer-Encoding: chunked\r\n\r\n";
    const Row rows[] = {
        {{"HTTP/1.1 100 Continue\r\n\r\n", five, "hel", "lo"}, true, false, 200, true, false, true,
            "hello", "", true, ResponseFault::None},
        {{"HTTP/1.1 103 Early Hints\r\nLink: </a.html>; rel=preload\r\n\r\n" + five + "hello"},
            true, false, 200, true, false, true, "hello", "", true, ResponseFault::None},
        {{five + "hello" + "HTTP/1.1 204 No Content\r\n\r\n"}, true, false, 200, true, false, true,
            "hello", "HTTP/1.1 204 No Content\r\n\r\n", true, ResponseFault::None},
        {{five, "helloJUNK"}, true, false, 200, true, false, true, "hello", "", false,
            ResponseFault::None},
        {{chunked, "3\r\nhel\r\n", "2\r\nlo\r\n0\r\n\r\n"}, true, false, 200, true, false, true,
            "hello", "", true, ResponseFault::None},
        {{chunked, "3\r\nhel\r\n", "2\r\nlo\r\n0\r\n\r\n"}, true, true, 200, true, false, true,
            "hello", "", true, ResponseFault::None},
        {{chunked, "3\r\nhelXX\r\n"}, true, false, 200, true, false, false, "", "", true,
            ResponseFault::None},
        {{five, "hel"}, true, true, 200, false, false, true, "hel", "", true,
            ResponseFault::ShortBody},
        {{five, "hel", "lo"}, true, true, 200, true, false, true, "hello", "", true,
            ResponseFault::None},
        // Unframed, only the close ends it, and nothing is cut.
        {{five, "helloJUNK"}, false, false, 200, false, false, true, "helloJUNK", "", false,
            ResponseFault::None},
        {{ok + "\r\n", "more"}, false, false, 200, false, true, true, "more", "", false,
            ResponseFault::None},
        {{"HTTP/1.1 304 Not Modified\r\n\r\n"}, true, false, 304, true, false, true, "", "", true,
            ResponseFault::None},
        {{"raw bytes"}, true, false, 0, false, false, true, "raw bytes", "", false,
            ResponseFault::BrokenHead},
        {{"raw\r\n\r\nbytes"}, false, false, 0, false, true, true, "bytes", "", false,
            ResponseFault::BrokenHead},
    };
    for (const Row &row : rows) {
        const std::string all = row.pieces.front() + (row.pieces.size() > 1 ? "..." : "");
        ResponseReader reader;
        std::string passed;
        int headsRead = 0;
        for (const std::string &piece : row.pieces) {
            reader.Bytes() += piece;
            headsRead += reader.ReadHead(row.framed) ? 1 : 0;
            if (row.passOn && reader.Head())
                reader.PassOnBody([&passed](std::string_view data) {
                    passed += data;
                    return true;
                });
        }
        EXPECT_LE(headsRead, 1) << all;
        EXPECT_EQ(reader.Head() ? reader.Head()->status : 0, row.status) << all;
        EXPECT_EQ(reader.BodyComplete(), row.complete) << all;
        EXPECT_EQ(reader.EndsOnlyAtClose(), row.endsOnlyAtClose) << all;
        std::string next;
        EXPECT_EQ(reader.CutToFrame(true, next), row.cut) << all;
        if (!row.cut)
            continue;
        EXPECT_EQ(passed + std::string(reader.HeldBody()), row.body) << all;
        EXPECT_EQ(reader.PassedOn(), static_cast<std::int64_t>(passed.size())) << all;
        EXPECT_EQ(next, row.next) << all;
        EXPECT_EQ(reader.LeavesConnectionReusable(), row.reusable) << all;
        EXPECT_EQ(reader.Answer().fault, row.fault) << all;
    }
}

} // namespace
} // namespace tw
