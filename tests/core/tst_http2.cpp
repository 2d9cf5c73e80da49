// Several answers over one HTTP/2 connection, and the ways a server ends streams early: the
// framing played against a server session of the same library in memory, then whole copies from
// a test server that speaks HTTP/2 over TLS, or only HTTP/1.x.

#include "transport/http2session.h"

#include "enginetest.h"
#include "support/http2exchange.h"

#include <gtest/gtest.h>
#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace tw {
namespace {

// Answers each request by its path: "/reset" and "/refuse" end their stream, "/early" sends 103
// first, "/goaway" sends a GOAWAY naming the stream before it as the last it processes.
class Server
{
public:
    Server() { m_session = test::NewHttp2ServerSession(this, OnHeader, OnFrame); }
    ~Server() { nghttp2_session_del(m_session); }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    std::map<std::string, std::string> bodies;
    bool holdAnswers = false; // answers wait for Release

    bool Exchange(Http2Session &client)
    {
        for (int round = 0; round < 10'000; ++round) {
            const std::string out = client.TakeOutput();
            if (!out.empty())
                nghttp2_session_mem_recv(
                    m_session, reinterpret_cast<const std::uint8_t *>(out.data()), out.size());
            std::string in;
            const std::uint8_t *data = nullptr;
            for (ssize_t size; (size = nghttp2_session_mem_send(m_session, &data)) > 0;)
                in.append(reinterpret_cast<const char *>(data), static_cast<std::size_t>(size));
            if (out.empty() && in.empty())
                return true;
            if (!in.empty() && !client.Receive(in))
                return false;
        }
        return false;
    }
    void Release()
    {
        for (const auto &[stream, path] : m_held)
            Answer(stream, path);
        m_held.clear();
    }

private:
    static Server &Of(void *user) { return *static_cast<Server *>(user); }
    static int OnHeader(nghttp2_session *, const nghttp2_frame *frame, const std::uint8_t *name,
        std::size_t nameLength, const std::uint8_t *value, std::size_t valueLength, std::uint8_t,
        void *user)
    {
        if (std::string_view(reinterpret_cast<const char *>(name), nameLength) == ":path")
            Of(user).m_paths[frame->hd.stream_id]
                = std::string(reinterpret_cast<const char *>(value), valueLength);
        return 0;
    }
    static int OnFrame(nghttp2_session *, const nghttp2_frame *frame, void *user)
    {
        Server &server = Of(user);
        if (frame->hd.type == NGHTTP2_HEADERS && (frame->hd.flags & NGHTTP2_FLAG_END_STREAM)) {
            const std::int32_t stream = frame->hd.stream_id;
            if (server.holdAnswers)
                server.m_held.emplace_back(stream, server.m_paths[stream]);
            else
                server.Answer(stream, server.m_paths[stream]);
        }
        return 0;
    }
    void Answer(std::int32_t stream, const std::string &path)
    {
        if (path == "/reset" || path == "/refuse") {
            nghttp2_submit_rst_stream(m_session, NGHTTP2_FLAG_NONE, stream,
                path == "/reset" ? NGHTTP2_INTERNAL_ERROR : NGHTTP2_REFUSED_STREAM);
            return;
        }
        if (path == "/goaway") {
            nghttp2_submit_goaway(
                m_session, NGHTTP2_FLAG_NONE, stream - 2, NGHTTP2_NO_ERROR, nullptr, 0);
            return;
        }
        const auto nv = [](const char *name, const std::string &value) {
            return nghttp2_nv {reinterpret_cast<std::uint8_t *>(const_cast<char *>(name)),
                reinterpret_cast<std::uint8_t *>(const_cast<char *>(value.c_str())),
                std::strlen(name), value.size(), NGHTTP2_NV_FLAG_NONE};
        };
        if (path == "/early") {
            const std::vector<nghttp2_nv> hints {nv(":status", m_early), nv("link", m_link)};
            nghttp2_submit_headers(
                m_session, NGHTTP2_FLAG_NONE, stream, nullptr, hints.data(), hints.size(), nullptr);
        }
        m_sent[stream] = bodies[path];
        const std::vector<nghttp2_nv> head {nv(":status", m_ok), nv("content-type", m_type)};
        nghttp2_data_provider provider {};
        provider.source.ptr = &m_sent[stream];
        provider.read_callback = test::ReadHttp2Body;
        nghttp2_submit_response(m_session, stream, head.data(), head.size(), &provider);
    }

    nghttp2_session *m_session = nullptr;
    std::map<std::int32_t, std::string> m_paths;
    std::map<std::int32_t, std::string> m_sent;
    std::vector<std::pair<std::int32_t, std::string>> m_held;
    const std::string m_ok = "200", m_early = "103", m_type = "text/html", m_link = "</a.css>";
};

using State = Http2Session::StreamState;

TEST(Http2Session, StreamsOfOneConnectionEndAsTheServerEndsThem)
{
    const std::string big(6 << 20, 'b');
    const struct
    {
        std::vector<std::string> paths;
        std::vector<State> states;
        bool takesNewStreams;
    } cases[] = {
        {{"/a", "/big", "/c"}, {State::Whole, State::Whole, State::Whole}, true},
        {{"/a", "/reset", "/c"}, {State::Whole, State::Reset, State::Whole}, true},
        {{"/refuse", "/a"}, {State::Refused, State::Whole}, true},
        {{"/a", "/b", "/goaway", "/c"},
            {State::Whole, State::Whole, State::Refused, State::Refused}, false},
        {{"/early"}, {State::Whole}, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.paths.back());
        Server server;
        server.bodies = {{"/a", "page a"}, {"/b", "page b"}, {"/c", ""}, {"/big", big},
            {"/early", "after hints"}};
        server.holdAnswers = true;
        Http2Session client;
        std::vector<std::int32_t> streams;
        for (const auto &path : c.paths)
            streams.push_back(client.Submit({.authority = "example.org", .path = path}));
        ASSERT_TRUE(server.Exchange(client));
        EXPECT_EQ(client.OpenStreams(), c.paths.size());
        server.Release();
        ASSERT_TRUE(server.Exchange(client));
        for (std::size_t i = 0; i < streams.size(); ++i) {
            SCOPED_TRACE(c.paths[i]);
            EXPECT_EQ(client.State(streams[i]), c.states[i]);
            if (c.states[i] == State::Whole) {
                EXPECT_EQ(client.TakeAnswer(streams[i]),
                    "HTTP/1.0 200\r\ncontent-type: text/html\r\n\r\n" + server.bodies[c.paths[i]]);
            }
        }
        EXPECT_EQ(client.TakesNewStreams(), c.takesNewStreams);
    }
}

TEST(Http2Session, AConnectionThatBreaksResetsTheStreamsStillOpen)
{
    for (const bool garbage : {false, true}) {
        Server server;
        server.holdAnswers = true;
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
