#include "support/testhttpserver.h"

#include "connections/connection.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace tw::test {
namespace {

constexpr int kWaitMs = 1000;

// A plain QTcpSocket peer, so that the server is checked by something that is not our own client.
class RawClient
{
public:
    RawClient(const TestHttpServer &server, const std::string &request)
    {
        QObject::connect(&m_socket, &QTcpSocket::readyRead, &m_socket, [this] {
            if (m_bytes.empty())
                m_firstByteMs = m_clock.elapsed();
            const QByteArray data = m_socket.readAll();
            m_bytes.append(data.constData(), static_cast<std::size_t>(data.size()));
        });
        QObject::connect(
            &m_socket, &QTcpSocket::disconnected, &m_socket, [this] { m_closed = true; });
        m_clock.start();
        m_socket.connectToHost(TestHttpServer::Address(), server.Port());
        Write(request);
    }

    void Write(const std::string &bytes)
    {
        m_socket.write(bytes.data(), static_cast<qint64>(bytes.size()));
    }
    bool WaitClosed(int timeoutMs = kWaitMs)
    {
        return WaitUntil([this] { return m_closed; }, timeoutMs);
    }
    bool WaitBytes(std::size_t count)
    {
        return WaitUntil([this, count] { return m_bytes.size() >= count; }, kWaitMs);
    }
    const std::string &Bytes() const { return m_bytes; }
    bool Closed() const { return m_closed; }
    qint64 FirstByteMs() const { return m_firstByteMs; }

private:
    QTcpSocket m_socket;
    QElapsedTimer m_clock;
    std::string m_bytes;
    bool m_closed = false;
    qint64 m_firstByteMs = -1;
};

std::string Get(const std::string &path)
{
    return "GET " + path + " HTTP/1.0\r\n\r\n";
}

std::string Fetch(const TestHttpServer &server, const std::string &path)
{
    RawClient client(server, Get(path));
    return client.WaitClosed() ? client.Bytes() : "(no close)";
}

class TestHttpServerTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(server.Listen()); }
    TestHttpServer server;
};

TEST_F(TestHttpServerTest, RecordsWholeRequestsAndAnswersUnknownPathsWith404)
{
    server.SetRoute("/a?x=1", Route::Page("A"));
    const std::string head = "GET /a?x=1 HTTP/1.0\r\nHost: site.test\r\n";
    RawClient client(server, head);
    EXPECT_FALSE(server.WaitForRequests(1, 50)) << "answered before the header was complete";
    client.Write("user-agent:  Probe 1 \r\n\r\n");
    ASSERT_TRUE(client.WaitClosed());
    EXPECT_EQ(
        client.Bytes(), "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: 1\r\n\r\nA");

    ASSERT_EQ(server.Requests().size(), 1u);
    const Request &request = server.Requests()[0];
    EXPECT_EQ(request.raw, head + "user-agent:  Probe 1 \r\n\r\n");
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.path, "/a?x=1");
    EXPECT_EQ(request.version, "HTTP/1.0");
    EXPECT_EQ(request.Header("User-Agent"), "Probe 1");
    EXPECT_EQ(request.Header("Referer"), "");
    EXPECT_EQ(request.connection, 1u);

    EXPECT_TRUE(Fetch(server, "/a").starts_with("HTTP/1.0 404 Not Found\r\n"));
    server.SetFallback([](const Request &r) { return Route::Raw("fallback for " + r.path); });
    EXPECT_EQ(Fetch(server, "/b"), "fallback for /b");
    EXPECT_EQ(server.RequestCount("/a"), 1u);
    EXPECT_EQ(server.Requests().size(), 3u);
    EXPECT_LE(server.Requests()[0].receivedMs, server.Requests()[2].receivedMs);
}

TEST_F(TestHttpServerTest, BehavioursFollowTheRequestCountAndTheLastOneRepeats)
{
    Route &route = server.SetRoute("/p", Route::Page(std::string(100, 'b'), "text/plain"));
    route.behaviours = {
        Behaviour::Stall(30), Behaviour::CloseEarly(10).FromBody(), Behaviour::NoContentLength()};
    const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n";
    const std::string whole = head + "Content-Length: 100\r\n\r\n" + route.body;

    RawClient stalled(server, Get("/p"));
    ASSERT_TRUE(stalled.WaitBytes(30));
    EXPECT_FALSE(stalled.WaitClosed(100)) << "a stall must keep the connection open";
    EXPECT_EQ(stalled.Bytes(), whole.substr(0, 30));
    EXPECT_EQ(server.OpenConnections(), 1u);

    EXPECT_EQ(Fetch(server, "/p"), whole.substr(0, whole.size() - 90));
    EXPECT_EQ(Fetch(server, "/p"), head + "\r\n" + route.body);
    EXPECT_EQ(Fetch(server, "/p"), head + "\r\n" + route.body);
}

TEST_F(TestHttpServerTest, LatencyHoldsTheAnswerBack)
{
    server.SetRoute("/slow", Route::Raw("late")).behaviours = {Behaviour::Whole().WithLatency(60)};
    server.SetLatency(40);
    RawClient client(server, Get("/slow"));
    ASSERT_TRUE(client.WaitClosed());
    EXPECT_EQ(client.Bytes(), "late");
    EXPECT_GE(client.FirstByteMs(), 100);
}

// The offsets at which a Connection saw each block end.
std::vector<std::size_t> BlockEnds(TestHttpServer &server, const std::string &path)
{
    Connection::SetConnectTo(QStringLiteral("site.test"), TestHttpServer::Address(), server.Port());
    Connection connection;
    std::string received;
    std::vector<std::size_t> ends;
    QObject::connect(
        &connection, &Connection::connected, &connection, [&] { connection.Send(Get(path)); });
    QObject::connect(&connection, &Connection::dataArrival, &connection, [&] {
        if (connection.TakeAll(received) > 0)
            ends.push_back(received.size());
    });
    connection.Connect(QStringLiteral("site.test"), 80);
    WaitUntil([&] { return connection.State() == Connection::Closing; }, kWaitMs);
    Connection::ClearConnectTo();
    return ends;
}

TEST_F(TestHttpServerTest, PiecesAndDripsArriveApartAtTheirBoundaries)
{
    server.SetRoute("/pieces", Route::Raw(std::string(60, 'p'))).behaviours
        = {Behaviour::InPieces({10, 20}, 15)};
    server.SetRoute("/drip", Route::Raw(std::string(12, 'd'))).behaviours = {Behaviour::Drip(1, 3)};

    const std::vector<std::size_t> pieces = BlockEnds(server, "/pieces");
    ASSERT_GE(pieces.size(), 2u) << "sent in one piece";
    EXPECT_EQ(pieces.back(), 60u);
    for (const std::size_t end : pieces)
        EXPECT_TRUE(end == 10 || end == 30 || end == 50 || end == 60)
            << "a piece was split at " << end;

    QElapsedTimer clock;
    clock.start();
    const std::vector<std::size_t> drops = BlockEnds(server, "/drip");
    EXPECT_GE(drops.size(), 2u);
    EXPECT_EQ(drops.back(), 12u);
    EXPECT_GE(clock.elapsed(), 11 * 3);
}

TEST_F(TestHttpServerTest, ServesADirectoryButNothingOutsideIt)
{
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("site/sub")));
    const auto write = [&](const QString &name, const QByteArray &bytes) {
        QFile file(dir.path() + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    };
    write(QStringLiteral("/site/index.html"), "<p>home</p>");
    write(QStringLiteral("/site/sub/a b.css"), "p{}");
    write(QStringLiteral("/secret.txt"), "secret");
    server.ServeDirectory(dir.path() + QStringLiteral("/site"));
    server.SetRoute("/sub/routed.html", Route::Raw("routed"));

    const std::string home = Fetch(server, "/");
    EXPECT_TRUE(home.ends_with("\r\n\r\n<p>home</p>"));
    EXPECT_NE(home.find("Content-Type: text/html\r\n"), std::string::npos);
    const std::string css = Fetch(server, "/sub/a%20b.css?v=2");
    EXPECT_TRUE(css.ends_with("\r\n\r\np{}"));
    EXPECT_NE(css.find("Content-Type: text/css\r\n"), std::string::npos);
    EXPECT_EQ(Fetch(server, "/sub/routed.html"), "routed");
    EXPECT_TRUE(Fetch(server, "/missing.html").starts_with("HTTP/1.0 404 "));
    for (const char *escape : {"/../secret.txt", "/sub/../../secret.txt", "/%2e%2e/secret.txt"}) {
        const std::string answer = Fetch(server, escape);
        EXPECT_TRUE(answer.starts_with("HTTP/1.0 403 ")) << escape;
        EXPECT_EQ(answer.find("secret"), std::string::npos) << escape;
    }
}

TEST_F(TestHttpServerTest, HundredsOfConcurrentConnectionsAllGetTheirAnswer)
{
    constexpr int kCount = 300;
    Route route;
    route.generate = [](const Request &r) { return std::string(2000, 'g') + r.path; };
    for (int i = 0; i < kCount; ++i)
        server.SetRoute("/g" + std::to_string(i), route);

    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < kCount; ++i)
        clients.push_back(std::make_unique<RawClient>(server, Get("/g" + std::to_string(i))));
    const bool allClosed = WaitUntil(
        [&] {
            return std::all_of(
                clients.begin(), clients.end(), [](const auto &c) { return c->Closed(); });
        },
        5000);
    ASSERT_TRUE(allClosed);
    for (int i = 0; i < kCount; ++i)
        EXPECT_TRUE(clients[i]->Bytes().ends_with(
            "\r\n\r\n" + std::string(2000, 'g') + "/g" + std::to_string(i)));
    EXPECT_EQ(server.Requests().size(), std::size_t {kCount});
    EXPECT_EQ(server.AcceptedConnections(), std::size_t {kCount});
    EXPECT_TRUE(server.WaitForNoOpenConnections());
}

} // namespace
} // namespace tw::test
