#include "connections/connection.h"

#include "support/testhttpserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>

namespace tw {
namespace {

using test::Behaviour;
using test::Route;
using test::TestHttpServer;
using test::WaitUntil;

constexpr int kWaitMs = 1000;

std::string Request(const std::string &path)
{
    return "GET " + path + " HTTP/1.0\r\nHost: site.test\r\n\r\n";
}

std::string Noise(std::size_t size, unsigned seed)
{
    std::mt19937_64 random(seed);
    std::string text(size + 8, '\0');
    for (std::size_t i = 0; i < size; i += 8) {
        const std::uint64_t word = random();
        std::memcpy(text.data() + i, &word, 8);
    }
    text.resize(size);
    return text;
}

// A Connection whose handlers do what the engine's do: send a request on connect; on data take
// everything, then yield to the event loop, then finish once the peer's close shows.
struct Client
{
    struct Event
    {
        std::size_t bytes;
        int state;
    };

    Connection connection;
    std::string request;
    std::string received;
    std::vector<Event> events;
    bool yieldInHandler = false;
    // Also waits up to this long inside the handler for more bytes of its own connection.
    int waitForOwnBytesMs = 0;
    int depth = 0;
    int deepest = 0;
    // Counts handlers of all connections on the stack, when given.
    int *allDepth = nullptr;
    int *allDeepest = nullptr;
    bool complete = false;

    Client()
    {
        QObject::connect(&connection, &Connection::connected, &connection, [this] {
            if (!request.empty())
                connection.Send(request);
        });
        QObject::connect(&connection, &Connection::dataArrival, &connection, [this] { OnData(); });
    }

    void Open(const std::string &path)
    {
        request = Request(path);
        connection.Connect(QStringLiteral("site.test"), 80);
    }

    void OnData()
    {
        deepest = std::max(deepest, ++depth);
        if (allDepth)
            *allDeepest = std::max(*allDeepest, ++*allDepth);
        const quint64 generation = connection.Generation();
        events.push_back({connection.TakeAll(received), connection.State()});
        if (yieldInHandler)
            QCoreApplication::processEvents();
        if (waitForOwnBytesMs > 0) {
            WaitUntil(
                [this] {
                    return connection.BytesAvailable() > 0
                        || connection.State() != Connection::Connected;
                },
                waitForOwnBytesMs);
        }
        if (connection.Generation() == generation && connection.State() == Connection::Closing) {
            EXPECT_FALSE(complete) << "completed twice";
            complete = true;
            connection.Close();
        }
        if (allDepth)
            --*allDepth;
        --depth;
    }
};

class ConnectionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.Listen());
        Connection::SetConnectTo(
            QStringLiteral("site.test"), TestHttpServer::Address(), server.Port());
    }
    void TearDown() override { Connection::ClearConnectTo(); }

    TestHttpServer server;
};

TEST_F(ConnectionTest, ConnectsLaterThenCarriesARequestAndItsResponse)
{
    server.SetRoute("/hello", Route::Page("Hello"));
    Client client;
    QSignalSpy connected(&client.connection, &Connection::connected);
    client.Open("/hello");
    EXPECT_EQ(client.connection.State(), Connection::Connecting);
    EXPECT_EQ(connected.count(), 0) << "connected() must come from the event loop";

    ASSERT_TRUE(WaitUntil([&] { return client.complete; }, kWaitMs));
    EXPECT_EQ(connected.count(), 1);
    EXPECT_TRUE(client.received.starts_with("HTTP/1.0 200 OK\r\n"));
    EXPECT_TRUE(client.received.ends_with("\r\n\r\nHello"));
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].raw, Request("/hello"));
}

TEST_F(ConnectionTest, HostsWithAPortAndTheConnectToMap)
{
    server.SetRoute("/", Route::Page("root"));
    const auto fetch = [](const QString &host, quint16 port) {
        Client client;
        client.request = Request("/");
        client.connection.Connect(host, port);
        WaitUntil([&] { return client.complete || client.connection.State() == Connection::Error; },
            kWaitMs);
        return client.complete ? client.received : std::string("(failed)");
    };
    const QString port = QString::number(server.Port());

    // A port in the host wins over the one asked for.
    EXPECT_TRUE(fetch(QStringLiteral("127.0.0.1:") + port, 1).ends_with("root"));
    EXPECT_TRUE(fetch(QStringLiteral("localhost:") + port, 1).ends_with("root"));
    // The map is looked up by the name alone, whatever its case, and gives the port too.
    EXPECT_TRUE(fetch(QStringLiteral("SITE.Test"), 80).ends_with("root"));
    EXPECT_TRUE(fetch(QStringLiteral("site.test:8080"), 80).ends_with("root"));
    // A port that is not a port is a failed connect.
    EXPECT_EQ(fetch(QStringLiteral("127.0.0.1:99999"), 80), "(failed)");
    EXPECT_EQ(fetch(QStringLiteral("127.0.0.1:http"), 80), "(failed)");
}

// A peer that writes and closes at once; the data and the close reach the kernel together.
class ClosingPeer
{
public:
    explicit ClosingPeer(std::string payload, bool closeAtOnce)
        : m_payload(std::move(payload))
        , m_closeAtOnce(closeAtOnce)
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
            m_socket = m_server.nextPendingConnection();
            m_socket->write(m_payload.data(), static_cast<qint64>(m_payload.size()));
            m_socket->flush();
            if (m_closeAtOnce)
                m_socket->disconnectFromHost();
        });
        m_server.listen(QHostAddress::LocalHost);
        Connection::SetConnectTo(
            QStringLiteral("peer.test"), TestHttpServer::Address(), m_server.serverPort());
    }
    void CloseNow() { m_socket->disconnectFromHost(); }

private:
    QTcpServer m_server;
    QTcpSocket *m_socket = nullptr;
    std::string m_payload;
    bool m_closeAtOnce;
};

TEST_F(ConnectionTest, ThePeersCloseShowsInTheEventOfTheLastBytesOrInAFinalOne)
{
    const std::string payload = Noise(3000, 1);
    {
        ClosingPeer peer(payload, true);
        Client client;
        client.connection.Connect(QStringLiteral("peer.test"), 80);
        ASSERT_TRUE(WaitUntil([&] { return client.complete; }, kWaitMs));
        EXPECT_EQ(client.received, payload);
        ASSERT_EQ(client.events.size(), 1u);
        EXPECT_EQ(client.events[0].state, Connection::Closing);
    }
    {
        ClosingPeer peer(payload, false);
        Client client;
        client.connection.Connect(QStringLiteral("peer.test"), 80);
        ASSERT_TRUE(WaitUntil([&] { return client.received.size() == payload.size(); }, kWaitMs));
        EXPECT_FALSE(client.complete);
        peer.CloseNow();
        ASSERT_TRUE(WaitUntil([&] { return client.complete; }, kWaitMs));
        EXPECT_EQ(client.events.back().bytes, 0u);
        EXPECT_EQ(client.events.back().state, Connection::Closing);
    }
}

TEST_F(ConnectionTest, AResetIsAnErrorWhileAnEarlyCloseIsAClose)
{
    Route route = Route::Raw(Noise(20000, 2));
    route.behaviours = {Behaviour::Reset(5000), Behaviour::CloseEarly(5000)};
    server.SetRoute("/cut", route);

    Client reset;
    reset.Open("/cut");
    ASSERT_TRUE(WaitUntil([&] { return reset.connection.State() == Connection::Error; }, kWaitMs));
    EXPECT_EQ(reset.received, route.body.substr(0, 5000)) << "bytes before the reset are kept";
    EXPECT_FALSE(reset.complete);
    for (const Client::Event &event : reset.events)
        EXPECT_NE(event.state, Connection::Closing);

    Client closed;
    closed.Open("/cut");
    ASSERT_TRUE(WaitUntil([&] { return closed.complete; }, kWaitMs));
    EXPECT_EQ(closed.received, route.body.substr(0, 5000));
}

TEST_F(ConnectionTest, FailedConnectsStayInErrorSilentlyUntilClosed)
{
    QTcpServer gone;
    ASSERT_TRUE(gone.listen(QHostAddress::LocalHost));
    Connection::SetConnectTo(
        QStringLiteral("refused.test"), TestHttpServer::Address(), gone.serverPort());
    gone.close();
    // A name the resolver rejects without asking any name server.
    Connection::SetConnectTo(QStringLiteral("unknown.test"), QStringLiteral("no..such..host"), 80);

    for (const QString &host : {QStringLiteral("refused.test"), QStringLiteral("unknown.test")}) {
        SCOPED_TRACE(host.toStdString());
        Connection connection;
        EXPECT_EQ(connection.State(), Connection::Closed);
        QSignalSpy connected(&connection, &Connection::connected);
        QSignalSpy data(&connection, &Connection::dataArrival);
        connection.Connect(host, 80);
        ASSERT_TRUE(WaitUntil([&] { return connection.State() == Connection::Error; }, kWaitMs));
        WaitUntil([] { return false; }, 50);
        EXPECT_EQ(connection.State(), Connection::Error);
        EXPECT_EQ(connected.count() + data.count(), 0);

        const quint64 generation = connection.Generation();
        connection.Close();
        EXPECT_EQ(connection.State(), Connection::Closed);
        connection.Close();
        EXPECT_EQ(connection.State(), Connection::Closed);
        EXPECT_GT(connection.Generation(), generation);
    }
}

TEST_F(ConnectionTest, ReuseUnderARunningHandlerAnnouncesOnlyTheNewConnectionLater)
{
    const std::string old(400, 'o');
    const std::string fresh = Noise(1000, 3);
    server.SetRoute("/old", Route::Raw(old)).behaviours = {Behaviour::InPieces({100}, 20)};
    server.SetRoute("/new", Route::Raw(fresh));

    Connection connection;
    std::string request = Request("/old");
    std::vector<std::string> chunks;
    int depth = 0;
    int deepest = 0;
    bool reused = false;
    bool sawGenerationChange = false;
    QObject::connect(
        &connection, &Connection::connected, &connection, [&] { connection.Send(request); });
    QObject::connect(&connection, &Connection::dataArrival, &connection, [&] {
        deepest = std::max(deepest, ++depth);
        chunks.emplace_back();
        connection.TakeAll(chunks.back());
        if (!reused) {
            reused = true;
            const quint64 generation = connection.Generation();
            connection.Close();
            request = Request("/new");
            connection.Connect(QStringLiteral("site.test"), 80);
            // Yield until the new connection's bytes have been read under us.
            EXPECT_TRUE(
                WaitUntil([&] { return connection.BytesAvailable() == fresh.size(); }, kWaitMs));
            EXPECT_EQ(connection.State(), Connection::Connected)
                << "a close may not show before the last bytes have had their event";
            sawGenerationChange = connection.Generation() != generation;
        }
        --depth;
    });

    connection.Connect(QStringLiteral("site.test"), 80);
    ASSERT_TRUE(WaitUntil(
        [&] {
            return connection.State() == Connection::Closing && depth == 0 && chunks.size() >= 2
                && connection.BytesAvailable() == 0;
        },
        kWaitMs));
    EXPECT_TRUE(sawGenerationChange);
    EXPECT_EQ(deepest, 1) << "dataArrival nested for the same connection";
    ASSERT_GE(chunks.size(), 2u);
    EXPECT_EQ(chunks[0], old.substr(0, chunks[0].size()));
    std::string later;
    for (std::size_t i = 1; i < chunks.size(); ++i)
        later += chunks[i];
    EXPECT_EQ(later, fresh) << "the old connection's bytes leaked into the new one";
}

TEST_F(ConnectionTest, TwentyFourYieldingHandlersNestAndGetEveryByte)
{
    constexpr int kCount = 24;
    std::vector<std::string> bodies;
    for (int i = 0; i < kCount; ++i) {
        Route route = Route::Raw(Noise(40000 + 1000 * static_cast<std::size_t>(i), 10 + i));
        if (i % 3 == 1)
            route.behaviours = {Behaviour::InPieces({1000, 3000}, 1)};
        if (i % 3 == 2)
            route.behaviours = {Behaviour::Drip(7000, 2)};
        bodies.push_back(route.body);
        server.SetRoute("/f" + std::to_string(i), route);
    }

    int depth = 0;
    int deepest = 0;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kCount; ++i) {
        clients.push_back(std::make_unique<Client>());
        Client &client = *clients.back();
        client.yieldInHandler = true;
        client.waitForOwnBytesMs = i % 2 == 0 ? 0 : 3;
        client.allDepth = &depth;
        client.allDeepest = &deepest;
        client.Open("/f" + std::to_string(i));
    }
    const auto allComplete = [&] {
        return std::all_of(
            clients.begin(), clients.end(), [](const auto &c) { return c->complete; });
    };
    ASSERT_TRUE(WaitUntil(allComplete, 5000));
    for (int i = 0; i < kCount; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(clients[i]->received == bodies[i]);
        EXPECT_EQ(clients[i]->deepest, 1);
    }
    EXPECT_GT(deepest, 1) << "the handlers never nested: the test proves nothing";
}

TEST_F(ConnectionTest, TwentyMegabytesArriveWholeInBoundedBlocks)
{
    const std::string body = Noise(20 << 20, 4);
    server.SetRoute("/big", Route::Raw(body));

    Client client;
    client.received.reserve(body.size());
    QElapsedTimer clock;
    clock.start();
    client.Open("/big");
    ASSERT_TRUE(WaitUntil([&] { return client.complete; }, 10000));
    const qint64 ms = clock.elapsed();
    EXPECT_TRUE(client.received == body);
    std::size_t largest = 0;
    for (const Client::Event &event : client.events)
        largest = std::max(largest, event.bytes);
    EXPECT_LE(largest, std::size_t {8} << 20);
    RecordProperty("milliseconds", static_cast<int>(ms));
    RecordProperty("events", static_cast<int>(client.events.size()));
}

TEST_F(ConnectionTest, SendQueuesBeforeTheConnectAndWritesEverythingAfterIt)
{
    const std::string payload = Noise(16 << 20, 5);
    QTcpServer peer;
    std::string got;
    QObject::connect(&peer, &QTcpServer::newConnection, &peer, [&] {
        QTcpSocket *socket = peer.nextPendingConnection();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [&got, socket] {
            const QByteArray bytes = socket->readAll();
            got.append(bytes.constData(), static_cast<std::size_t>(bytes.size()));
        });
    });
    ASSERT_TRUE(peer.listen(QHostAddress::LocalHost));
    Connection::SetConnectTo(
        QStringLiteral("sink.test"), TestHttpServer::Address(), peer.serverPort());

    Connection connection;
    connection.Connect(QStringLiteral("sink.test"), 80);
    connection.Send(std::string_view(payload).substr(0, 100));
    QObject::connect(&connection, &Connection::connected, &connection,
        [&] { connection.Send(std::string_view(payload).substr(100)); });
    ASSERT_TRUE(WaitUntil([&] { return got.size() >= payload.size(); }, 5000));
    EXPECT_TRUE(got == payload);
}

TEST_F(ConnectionTest, DestroyingAnOpenConnectionClosesItCleanly)
{
    Route route = Route::Page(std::string(1000, 'x'));
    route.behaviours = {Behaviour::Stall(100)};
    server.SetRoute("/stall", route);
    auto client = std::make_unique<Client>();
    client->Open("/stall");
    ASSERT_TRUE(WaitUntil([&] { return client->received.size() == 100; }, kWaitMs));
    EXPECT_EQ(server.OpenConnections(), 1u);
    client.reset();
    EXPECT_TRUE(server.WaitForNoOpenConnections(kWaitMs));
}

} // namespace
} // namespace tw
