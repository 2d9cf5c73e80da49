// Several answers over one HTTP/2 connection, and the ways a server ends streams early: the
// framing played against the test server's HTTP/2 side in memory, then whole copies from the test
// server speaking HTTP/2 over TLS, or only HTTP/1.x.

#include "transport/http2session.h"

#include "enginetest.h"
#include "support/http2exchange.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace tw {
namespace {

// The test server's HTTP/2 side in memory, answering from its routes.
class Server
{
public:
    std::map<std::string, Route> routes;

    // Moves bytes both ways until neither side has more to say.
    bool Exchange(Http2Session &client)
    {
        for (int round = 0; round < 10'000; ++round) {
            const std::string out = client.TakeOutput();
            if (!out.empty() && !m_exchange.Receive(out))
                return false;
            const std::string in = std::exchange(m_toClient, {});
            if (out.empty() && in.empty())
                return true;
            if (!in.empty() && !client.Receive(in))
                return false;
        }
        return false;
    }

private:
    std::string m_toClient;
    test::Http2Exchange m_exchange {nullptr,
        [this](std::string_view bytes) { m_toClient.append(bytes); },
        [this](const test::Request &request) {
            const Route &route = routes.at(request.path);
            return test::StreamAnswer {
                route, route.behaviours.empty() ? Behaviour::Whole() : route.behaviours.front()};
        }};
};

using State = Http2Session::StreamState;

TEST(Http2Session, StreamsOfOneConnectionEndAsTheServerEndsThem)
{
    const std::map<std::string, Route> routes
        = {{"/a", Route::Page("page a")}, {"/b", Route::Page("page b")}, {"/c", Route::Page("")},
            // Past the stream's window: the client must let the server send on.
            {"/big", Route::Page(std::string(6 << 20, 'b'))},
            {"/early", {.body = "after hints", .extraHeaders = "Link: </a.css>\r\n"}},
            {"/reset", {.behaviours = {Behaviour::Reset(0)}}},
            {"/goaway", {.behaviours = {Behaviour::Cut(0)}}}};
    const struct
    {
        std::vector<std::string> paths;
        std::vector<State> states;
        bool takesNewStreams;
    } cases[] = {
        {{"/a", "/big", "/c"}, {State::Whole, State::Whole, State::Whole}, true},
        {{"/a", "/reset", "/c"}, {State::Whole, State::Reset, State::Whole}, true},
        {{"/a", "/b", "/goaway", "/c"},
            {State::Whole, State::Whole, State::Refused, State::Refused}, false},
        {{"/early"}, {State::Whole}, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.paths.back());
        Server server;
        server.routes = routes;
        Http2Session client;
        std::vector<std::int32_t> streams;
        for (const auto &path : c.paths)
            streams.push_back(client.Submit({.authority = "example.org", .path = path}));
        ASSERT_TRUE(server.Exchange(client));
        for (std::size_t i = 0; i < streams.size(); ++i) {
            SCOPED_TRACE(c.paths[i]);
            EXPECT_EQ(client.State(streams[i]), c.states[i]);
            const Route &route = routes.at(c.paths[i]);
            if (c.states[i] == State::Whole) {
                EXPECT_EQ(client.TakeAnswer(streams[i]),
                    "HTTP/1.0 200\r\ncontent-type: text/html\r\n"
                        + std::string(route.extraHeaders.empty() ? "" : "link: </a.css>\r\n")
                        + "content-length: " + std::to_string(route.body.size()) + "\r\n\r\n"
                        + route.body);
            }
        }
        EXPECT_EQ(client.TakesNewStreams(), c.takesNewStreams);
    }
}

TEST(Http2Session, AConnectionThatBreaksResetsTheStreamsStillOpen)
{
    for (const bool garbage : {false, true}) {
        Server server;
        server.routes = {{"/a", {.behaviours = {Behaviour::Stall(0)}}}};
        Http2Session client;
        const std::int32_t stream = client.Submit({.authority = "example.org", .path = "/a"});
        ASSERT_TRUE(server.Exchange(client));
        if (garbage)
            EXPECT_FALSE(client.Receive(std::string(64, '\xff')));
        else
            client.ConnectionClosed();
        EXPECT_EQ(client.State(stream), State::Reset);
        EXPECT_FALSE(client.TakesNewStreams());
        EXPECT_EQ(client.Submit({.authority = "example.org", .path = "/b"}), 0);
    }
}

TEST(Http2Session, ARequestsTextBecomesItsHttp2Form)
{
    const auto request = Http2RequestOf("GET /a%20b?q=1 HTTP/1.1\r\nHost: example.org:8443\r\n"
                                        "Connection: keep-alive\r\nAccept-Encoding: gzip\r\n\r\n",
        "https");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->path, "/a%20b?q=1");
    EXPECT_EQ(request->authority, "example.org:8443");
    EXPECT_EQ(request->fields,
        (std::vector<std::pair<std::string, std::string>> {{"accept-encoding", "gzip"}}));
    EXPECT_FALSE(Http2RequestOf("GET / HTTP/1.1\r\nHost: a\r\n", "https"));
}

TEST_F(EngineTest, SecureFetchesGoAsStreamsOfOneConnectionWhereTheServerSpeaksHttp2)
{
    const struct
    {
        const char *name;
        bool http2;
        std::vector<Behaviour> second; // how /b.html is answered, request after request
        std::size_t secondRequests;
        int secondTries;
        int connections;
    } rows[] = {
        {"every fetch a stream of one connection", true, {}, 1, 1, 1},
        {"a reset stream: asked again, no try lost", true,
            {Behaviour::Reset(0), Behaviour::Whole()}, 2, 1, 1},
        {"reset again and again: a few times free, then tries", true, {Behaviour::Reset(0)}, 6, 0,
            1},
        {"a GOAWAY before it: asked again on a new connection, no try lost", true,
            {Behaviour::Cut(0), Behaviour::Whole()}, 2, 1, 2},
        {"a server of HTTP/1.1 only: connections kept alive", false, {}, 1, 1, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        NewFolder();
        m_failures.clear();
        TestHttpServer &server = Serve("www.site.test", 0, true);
        if (row.http2)
            server.SpeakHttp2();
        else
            server.SetKeptAnswers(100);
        server.SetRoute("/",
            Route::Page("<a href=a.html>a</a><a href=b.html>b</a>"
                        "<a href=c.html>c</a><img src=d.gif>"));
        for (const char *name : {"a.html", "c.html", "d.gif"})
            server.SetRoute(std::string("/") + name, Route::Page(name));
        server.SetRoute("/b.html", Route::Page("b.html")).behaviours = row.second;
        m_engine.Job().http2 = true;
        m_engine.SetConnectionCount(4);
        m_engine.SetStartRate(0);
        int secondTries = 0;
        QObject counting;
        QObject::connect(&m_engine, &Engine::fetchStored, &counting,
            [&secondTries](const std::string &url, const StoredFetch &fetch) {
                if (url.ends_with("/b.html"))
                    secondTries = fetch.tries;
            });
        ASSERT_TRUE(Run(QStringLiteral("https://www.site.test/")));

        for (const char *name : {"a.html", "c.html"})
            EXPECT_EQ(File(name), Stored(name));
        const bool secondFails = row.secondTries == 0;
        EXPECT_EQ(File("b.html") == Stored("b.html"), !secondFails);
        EXPECT_EQ(m_failures.size(), secondFails ? 1U : 0U);
        EXPECT_EQ(server.RequestCount("/b.html"), row.secondRequests);
        EXPECT_EQ(secondTries, row.secondTries);
        for (const test::Request &request : server.Requests())
            EXPECT_NE(request.raw.find(row.http2 ? " HTTP/2" : " HTTP/1.1"), std::string::npos);
        if (row.connections > 0) {
            EXPECT_EQ(server.Connections(), row.connections);
        }
        m_engine.Job().http2 = false;
    }
}

} // namespace
} // namespace tw
