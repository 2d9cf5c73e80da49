// A Connection, plain and over TLS, against the test server: what it trusts, and the promises the
// engine's handlers rely on that the engine tests cannot show directly.

#include "transport/connection.h"
#include "transport/socketcourier.h"

#include "support/testcertificates.h"
#include "support/testhttpserver.h"

#include <QDir>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <gtest/gtest.h>

#include <future>
#include <numeric>

namespace tw {
namespace {

using test::Behaviour;
using test::Route;
using test::TestHttpServer;

constexpr int kWaitMs = 3000;
const QString kHost = QStringLiteral("www.site.test");

std::string Pattern(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i * 13 % 251);
    return bytes;
}

std::string Request(const std::string &path)
{
    return "GET " + path + " HTTP/1.0\r\nHost: www.site.test\r\n\r\n";
}

class ConnectionTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(SetTlsTrust({test::TrustedAuthority().Pem(), true})); }
    void TearDown() override
    {
        Connection::ClearConnectTo();
        SetTlsTrust({});
    }

    // A fresh server for host, over TLS with a certificate for www.site.test valid from
    // validFromDays when secure.
    TestHttpServer &Serve(const QString &host = kHost, bool secure = false, int validFromDays = -1)
    {
        server = std::make_unique<TestHttpServer>();
        if (secure)
            server->UseTls(test::TrustedAuthority().Issue({"www.site.test"}, validFromDays));
        EXPECT_TRUE(server->Listen());
        Connection::SetConnectTo(host, TestHttpServer::Address(), server->Port());
        return *server;
    }

    std::unique_ptr<TestHttpServer> server;
};

// Sends its request on connect, or gives it with the connect, takes every byte and records the
// state each event showed. Its handler may yield, as the engine's do, until more bytes have
// arrived under it.
struct Client
{
    Connection connection;
    QSignalSpy failed {&connection, &Connection::failed};
    int connects = 0;
    std::string received;
    std::vector<int> states;
    int yieldMs = 0;
    std::string request = Request("/");
    bool requestWithConnect = false;

    void Start(const QString &host, bool secure)
    {
        QObject::connect(&connection, &Connection::connected, &connection, [this] {
            ++connects;
            if (!requestWithConnect)
                connection.Send(request);
        });
        QObject::connect(&connection, &Connection::dataArrival, &connection, [this] {
            connection.TakeAll(received);
            states.push_back(connection.State());
            if (yieldMs > 0 && states.back() == Connection::Connected)
                (void)QTest::qWaitFor([this] { return connection.BytesAvailable() > 0; }, yieldMs);
        });
        connection.Connect(host, secure ? 443 : 80,
            secure ? Connection::Security::Tls : Connection::Security::Plain,
            requestWithConnect ? request : std::string());
    }
};

TEST_F(ConnectionTest, TheEndIsSeenWithTheLastBytesAndAResetIsAnError)
{
    const std::size_t big = 3 * 1024 * 1024 + 17;
    const struct
    {
        const char *name;
        bool secure;
        std::size_t size;
        Behaviour how;
        int yieldMs;
    } rows[] = {
        {"orderly close", false, 20000, Behaviour::Whole(), 0},
        {"reset", false, 20000, Behaviour::Reset(5000), 0},
        {"close_notify", true, big, Behaviour::Whole(), 0},
        {"bare close", true, big, Behaviour::BareClose(), 0},
        {"pieces, yielding handler", true, big, Behaviour::InPieces({70000}, 2), 3},
        {"bare close, yielding handler", true, big, Behaviour::BareClose(), 5},
        {"reset over TLS", true, 200000, Behaviour::Reset(50000), 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const std::string body = Pattern(row.size);
        const bool reset = row.how.kind == Behaviour::Kind::Reset;
        Serve(kHost, row.secure).SetRoute("/", Route::Raw(body)).behaviours = {row.how};
        Client client;
        client.yieldMs = row.yieldMs;
        client.Start(kHost, row.secure);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return reset
                    ? client.connection.State() == Connection::Error
                    : !client.states.empty() && client.states.back() == Connection::Closing;
            },
            10000));
        EXPECT_TRUE(client.received == body.substr(0, reset ? row.how.bytes : body.size()))
            << client.received.size() << " bytes of " << body.size();
        EXPECT_EQ(client.connection.BytesAvailable(), 0U);
        // The close shows in the very last event only, and a reset never shows as one.
        for (std::size_t i = 0; i < client.states.size(); ++i) {
            if (reset) {
                EXPECT_NE(client.states[i], Connection::Closing);
            } else if (i + 1 < client.states.size()) {
                EXPECT_EQ(client.states[i], Connection::Connected);
            }
        }
    }
}

TEST_F(ConnectionTest, FailedConnectsStayInErrorUntilClosedAndSayWhy)
{
    Serve(QStringLiteral("refused.test"));
    server.reset(); // nothing listens on its port any more
    // A name the resolver rejects without asking any name server.
    Connection::SetConnectTo(QStringLiteral("unknown.test"), QStringLiteral("no..such..host"), 80);
    QTcpServer clear; // answers a TLS client in clear text
    ASSERT_TRUE(clear.listen(QHostAddress::LocalHost));
    QObject::connect(&clear, &QTcpServer::newConnection, &clear, [&clear] {
        QTcpSocket *peer = clear.nextPendingConnection();
        peer->write("HTTP/1.0 400 Bad Request\r\n\r\n");
        peer->disconnectFromHost();
    });
    Connection::SetConnectTo(
        QStringLiteral("clear.test"), TestHttpServer::Address(), clear.serverPort());
    // The engine's tests show the other certificate failures and their words.
    Serve(kHost, true, 2);

    const struct
    {
        QString host;
        bool secure;
        ConnectFailure failure;
        bool requestWithConnect = false;
    } rows[] = {
        {QStringLiteral("refused.test"), false, ConnectFailure::Refused},
        {QStringLiteral("refused.test"), false, ConnectFailure::Refused, true},
        {QStringLiteral("unknown.test"), false, ConnectFailure::NameNotFound},
        {QString::fromUtf8("b\u00fccher.unknown.test"), false, ConnectFailure::NameNotFound},
        {QStringLiteral("bad:port:"), false, ConnectFailure::NameNotFound},
        {QStringLiteral("clear.test"), true, ConnectFailure::HandshakeFailed},
        {kHost, true, ConnectFailure::CertificateExpired},
        {kHost, true, ConnectFailure::CertificateExpired, true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.host.toStdString());
        Client client;
        client.requestWithConnect = row.requestWithConnect;
        // A connect given up on at once, while its name is looked up, is heard of no more.
        client.connection.Connect(row.host, 80, Connection::Security::Plain);
        client.connection.Close();
        client.Start(row.host, row.secure);
        EXPECT_EQ(client.failed.count(), 0) << "raised from the event loop, not inside Connect()";
        ASSERT_TRUE(QTest::qWaitFor([&] { return client.failed.count() == 1; }, kWaitMs));
        QCoreApplication::processEvents();
        EXPECT_EQ(client.failed.count(), 1);
        EXPECT_EQ(client.connection.State(), Connection::Error);
        EXPECT_EQ(client.connection.Failure(), row.failure);
        EXPECT_TRUE(client.connects == 0 && client.states.empty() && client.received.empty());

        const quint64 generation = client.connection.Generation();
        client.connection.Close();
        EXPECT_EQ(client.connection.State(), Connection::Closed);
        EXPECT_GT(client.connection.Generation(), generation);
    }
    EXPECT_TRUE(server->Requests().empty()) << "nothing is sent to an unverified peer";
}

TEST_F(ConnectionTest, ARequestGivenWithTheConnectGoesOutOnceTheConnectionIsMade)
{
    const struct
    {
        const char *name;
        bool secure;
        bool acceptQueueFull;
    } rows[] = {
        {"made at once", false, false},
        {"made after the kernel tries again", false, true},
        {"made with its handshake", true, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        TestHttpServer &served = Serve(kHost, row.secure);
        served.SetRoute("/", Route::Raw("answer"));
        // The connection stays open after the answer, so a request sent twice is answered twice.
        served.SetKeptAnswers(2);
        QTcpSocket filler;
        if (row.acceptQueueFull) {
            // With one connection not taken, a queue of none drops the next connect's first
            // packet: its handshake waits for the kernel's next try, a second later.
            served.close();
            served.setListenBacklogSize(0);
            ASSERT_TRUE(served.Listen());
            served.pauseAccepting();
            Connection::SetConnectTo(kHost, TestHttpServer::Address(), served.Port());
            filler.connectToHost(QHostAddress::LocalHost, served.Port());
            ASSERT_TRUE(filler.waitForConnected(kWaitMs));
        }
        Client client;
        client.request = "GET / HTTP/1.1\r\nHost: www.site.test\r\n\r\n";
        client.requestWithConnect = true;
        client.Start(kHost, row.secure);
        if (row.acceptQueueFull) {
            QTest::qWait(200);
            EXPECT_EQ(client.connects, 0);
            served.resumeAccepting();
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return !client.received.empty(); }, 10000));
        QTest::qWait(100);
        EXPECT_EQ(client.received, "answer");
        EXPECT_EQ(client.connects, 1);
        ASSERT_EQ(served.Requests().size(), 1U);
        EXPECT_EQ(served.Requests().front().raw, client.request);
    }
}

TEST_F(ConnectionTest, AConnectionGoneWhileItConnectsLeavesNoSocketOpen)
{
    const auto openDescriptors
        = [] { return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System).size(); };
    if (openDescriptors() == 0)
        GTEST_SKIP() << "this system lists no open descriptors";
    // Blocks without running the event loop until the courier has done all it was given.
    const auto courierDone = [] {
        const auto passed = std::make_shared<std::promise<void>>();
        PostToSocketCourier([passed] { passed->set_value(); });
        passed->get_future().wait();
    };
    Serve();
    courierDone();
    const auto before = openDescriptors();
    std::vector<std::unique_ptr<Connection>> replied;
    for (int i = 0; i < 50; ++i) {
        std::make_unique<Connection>()->Connect(kHost, 80);
        replied.push_back(std::make_unique<Connection>());
        replied.back()->Connect(kHost, 80);
    }
    courierDone(); // the replies to those still here wait in the event queue
    replied.clear();
    courierDone();
    EXPECT_LE(openDescriptors(), before);
}

TEST_F(ConnectionTest, ANameFoundIsNotAskedOfTheNameServersAgainForAWhile)
{
    Serve();
    Connection::SetConnectTo(
        QStringLiteral("named.test"), QStringLiteral("localhost"), server->Port());
    for (int round = 0; round < 2; ++round) {
        Client client;
        client.Start(QStringLiteral("named.test"), false);
        if (round == 1) {
            EXPECT_EQ(client.connection.State(), Connection::Connecting) << "no lookup again";
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return client.connects == 1; }, kWaitMs));
    }
}

TEST_F(ConnectionTest, ReuseUnderARunningHandlerNeitherNestsNorLeaksOldBytes)
{
    const std::string old(400, 'o');
    const std::string fresh = Pattern(1000);
    Serve().SetRoute("/old", Route::Raw(old)).behaviours = {Behaviour::InPieces({100}, 20)};
    server->SetRoute("/new", Route::Raw(fresh));

    Connection connection;
    std::string request = Request("/old");
    std::vector<std::string> chunks;
    int depth = 0, deepest = 0;
    QObject::connect(
        &connection, &Connection::connected, &connection, [&] { connection.Send(request); });
    QObject::connect(&connection, &Connection::dataArrival, &connection, [&] {
        deepest = std::max(deepest, ++depth);
        chunks.emplace_back();
        connection.TakeAll(chunks.back());
        if (chunks.size() == 1) {
            // Old bytes wait untaken when the connection is closed.
            EXPECT_TRUE(QTest::qWaitFor([&] { return connection.BytesAvailable() > 0; }, kWaitMs));
            connection.Close();
            request = Request("/new");
            connection.Connect(kHost, 80);
            // Yield until the new connection's bytes have been read under us.
            EXPECT_TRUE(QTest::qWaitFor(
                [&] { return connection.BytesAvailable() == fresh.size(); }, kWaitMs));
            EXPECT_EQ(connection.State(), Connection::Connected)
                << "a close may not show before the last bytes have had their event";
        }
        --depth;
    });

    connection.Connect(kHost, 80);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return connection.State() == Connection::Closing && depth == 0 && chunks.size() >= 2
                && connection.BytesAvailable() == 0;
        },
        kWaitMs));
    EXPECT_EQ(deepest, 1) << "dataArrival nested for the same connection";
    EXPECT_EQ(chunks[0], old.substr(0, chunks[0].size()));
    EXPECT_EQ(std::accumulate(chunks.begin() + 1, chunks.end(), std::string()), fresh)
        << "the old connection's bytes leaked into the new one";
}

} // namespace
} // namespace tw
