// What the engine's handlers rely on and the engine tests cannot show directly.

#include "connections/connection.h"

#include "support/testhttpserver.h"

#include <QSignalSpy>
#include <QTcpServer>

#include <gtest/gtest.h>

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

// Sends its request on connect, takes every byte and records the state each event showed.
struct Client
{
    Connection connection;
    std::string received;
    std::vector<int> states;

    explicit Client(const std::string &path)
    {
        QObject::connect(&connection, &Connection::connected, &connection,
            [this, path] { connection.Send(Request(path)); });
        QObject::connect(&connection, &Connection::dataArrival, &connection, [this] {
            connection.TakeAll(received);
            states.push_back(connection.State());
        });
        connection.Connect(QStringLiteral("site.test"), 80);
    }
};

TEST_F(ConnectionTest, AResetIsAnErrorWhileAnOrderlyCloseEndsWithAClosingEvent)
{
    std::string body(20000, '\0');
    for (std::size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(i * 7 % 251);
    server.SetRoute("/cut", Route::Raw(body)).behaviours
        = {Behaviour::Reset(5000), Behaviour::Whole()};

    Client reset("/cut");
    ASSERT_TRUE(WaitUntil([&] { return reset.connection.State() == Connection::Error; }, kWaitMs));
    EXPECT_EQ(reset.received, body.substr(0, 5000)) << "bytes before the reset are kept";
    for (int state : reset.states)
        EXPECT_NE(state, Connection::Closing);

    Client whole("/cut");
    // The peer's close shows as an event with state 8, with the last bytes or after them.
    ASSERT_TRUE(WaitUntil(
        [&] { return !whole.states.empty() && whole.states.back() == Connection::Closing; },
        kWaitMs));
    EXPECT_EQ(whole.received, body);
}

TEST_F(ConnectionTest, FailedConnectsStayInErrorUntilClosedAndSayWhy)
{
    QTcpServer gone;
    ASSERT_TRUE(gone.listen(QHostAddress::LocalHost));
    Connection::SetConnectTo(
        QStringLiteral("refused.test"), TestHttpServer::Address(), gone.serverPort());
    gone.close();
    // A name the resolver rejects without asking any name server.
    Connection::SetConnectTo(QStringLiteral("unknown.test"), QStringLiteral("no..such..host"), 80);

    const struct
    {
        QString host;
        ConnectFailure failure;
    } cases[] = {
        {QStringLiteral("refused.test"), ConnectFailure::Refused},
        {QStringLiteral("unknown.test"), ConnectFailure::NameNotFound},
        {QStringLiteral("bad:port:"), ConnectFailure::NameNotFound},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.host.toStdString());
        Connection connection;
        EXPECT_EQ(connection.State(), Connection::Closed);
        QSignalSpy connected(&connection, &Connection::connected);
        QSignalSpy data(&connection, &Connection::dataArrival);
        QSignalSpy failed(&connection, &Connection::failed);
        connection.Connect(c.host, 80);
        EXPECT_EQ(failed.count(), 0)
            << "failed() is raised from the event loop, not inside Connect()";
        ASSERT_TRUE(WaitUntil([&] { return failed.count() == 1; }, kWaitMs));
        WaitUntil([] { return false; }, 50);
        EXPECT_EQ(connection.State(), Connection::Error);
        EXPECT_EQ(connection.Failure(), c.failure);
        EXPECT_EQ(connected.count() + data.count(), 0);
        EXPECT_EQ(failed.count(), 1);

        const quint64 generation = connection.Generation();
        connection.Close();
        EXPECT_EQ(connection.State(), Connection::Closed);
        EXPECT_GT(connection.Generation(), generation);
    }
}

TEST_F(ConnectionTest, ReuseUnderARunningHandlerNeitherNestsNorLeaksOldBytes)
{
    const std::string old(400, 'o');
    std::string fresh(1000, '\0');
    for (std::size_t i = 0; i < fresh.size(); ++i)
        fresh[i] = static_cast<char>(i % 256);
    server.SetRoute("/old", Route::Raw(old)).behaviours = {Behaviour::InPieces({100}, 20)};
    server.SetRoute("/new", Route::Raw(fresh));

    Connection connection;
    std::string request = Request("/old");
    std::vector<std::string> chunks;
    int depth = 0;
    int deepest = 0;
    bool sawGenerationChange = false;
    QObject::connect(
        &connection, &Connection::connected, &connection, [&] { connection.Send(request); });
    QObject::connect(&connection, &Connection::dataArrival, &connection, [&] {
        deepest = std::max(deepest, ++depth);
        chunks.emplace_back();
        connection.TakeAll(chunks.back());
        if (chunks.size() == 1) {
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
    EXPECT_EQ(chunks[0], old.substr(0, chunks[0].size()));
    std::string later;
    for (std::size_t i = 1; i < chunks.size(); ++i)
        later += chunks[i];
    EXPECT_EQ(later, fresh) << "the old connection's bytes leaked into the new one";
}

} // namespace
} // namespace tw
