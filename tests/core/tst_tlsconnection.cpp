// A secure Connection against the TLS test server: what it trusts, and that TLS keeps the
// promises the engine's handlers rely on.

#include "connections/connection.h"

#include "support/testcertificates.h"
#include "support/testhttpserver.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

namespace tw {
namespace {

using test::Behaviour;
using test::Route;
using test::TestAuthority;
using test::TestHttpServer;
using test::WaitUntil;

constexpr int kWaitMs = 3000;

const TestAuthority &Authority()
{
    static const TestAuthority authority;
    return authority;
}

std::string Pattern(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i * 13 % 251);
    return bytes;
}

class TlsConnectionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SetTlsTrust({Authority().Pem(), true}));
        Serve(Authority().Issue({"www.site.test", "site.test"}));
    }
    void TearDown() override
    {
        Connection::ClearConnectTo();
        SetTlsTrust({});
    }

    void Serve(const test::TestCertificate &certificate)
    {
        server = std::make_unique<TestHttpServer>();
        server->UseTls(certificate);
        ASSERT_TRUE(server->Listen());
        Connection::SetConnectTo(
            QStringLiteral("www.site.test"), TestHttpServer::Address(), server->Port());
    }

    std::unique_ptr<TestHttpServer> server;
};

// Sends its request on connect and takes every byte; its handler may yield, as the engine's do.
struct Client
{
    Connection connection;
    std::string received;
    std::vector<int> states;
    int yieldMs = 0;

    explicit Client(const std::string &path, int yieldMs = 0)
        : yieldMs(yieldMs)
    {
        QObject::connect(&connection, &Connection::connected, &connection, [this, path] {
            connection.Send("GET " + path + " HTTP/1.0\r\nHost: www.site.test\r\n\r\n");
        });
        QObject::connect(&connection, &Connection::dataArrival, &connection, [this] {
            connection.TakeAll(received);
            const int state = connection.State();
            states.push_back(state);
            if (this->yieldMs > 0 && state == Connection::Connected)
                WaitUntil([] { return false; }, this->yieldMs);
        });
        connection.Connect(QStringLiteral("www.site.test"), 443, Connection::Security::Tls);
    }

    bool Ended() const { return !states.empty() && states.back() == Connection::Closing; }
};

TEST_F(TlsConnectionTest, CertificatesThatFailVerificationFailTheConnectAtOnceWithTheirReason)
{
    const TestAuthority stranger;
    const struct
    {
        const char *name;
        std::optional<test::TestCertificate> certificate; // none: a server that answers in clear
        ConnectFailure failure;
    } cases[] = {
        {"untrusted", stranger.Issue({"www.site.test"}), ConnectFailure::CertificateUntrusted},
        {"another host", Authority().Issue({"other.test"}), ConnectFailure::CertificateWrongHost},
        {"expired", Authority().Issue({"www.site.test"}, -30, -1),
            ConnectFailure::CertificateExpired},
        {"not yet valid", Authority().Issue({"www.site.test"}, 2, 30),
            ConnectFailure::CertificateExpired},
        {"no TLS at all", std::nullopt, ConnectFailure::HandshakeFailed},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QTcpServer clear;
        if (c.certificate) {
            Serve(*c.certificate);
        } else {
            ASSERT_TRUE(clear.listen(QHostAddress::LocalHost));
            QObject::connect(&clear, &QTcpServer::newConnection, &clear, [&clear] {
                QTcpSocket *peer = clear.nextPendingConnection();
                peer->write("HTTP/1.0 400 Bad Request\r\n\r\n");
                peer->disconnectFromHost();
            });
            Connection::SetConnectTo(
                QStringLiteral("www.site.test"), TestHttpServer::Address(), clear.serverPort());
        }
        server->SetRoute("/", Route::Page("secret"));
        Client client("/");
        QSignalSpy failed(&client.connection, &Connection::failed);
        ASSERT_TRUE(WaitUntil([&] { return failed.count() == 1; }, kWaitMs));
        EXPECT_EQ(client.connection.State(), Connection::Error);
        EXPECT_EQ(client.connection.Failure(), c.failure);
        EXPECT_TRUE(client.received.empty());
        EXPECT_TRUE(server->Requests().empty()) << "nothing may be sent to an unverified peer";
    }
}

TEST_F(TlsConnectionTest, TheEndIsSeenWithTheLastBytesWithOrWithoutCloseNotify)
{
    const std::string body = Pattern(3 * 1024 * 1024 + 17);
    const struct
    {
        const char *name;
        Behaviour how;
        int yieldMs;
    } cases[] = {
        {"close_notify", Behaviour::Whole(), 0},
        {"bare close", Behaviour::Whole().WithoutCloseNotify(), 0},
        {"pieces, yielding handler", Behaviour::InPieces({70000}, 2), 3},
        {"bare close, yielding handler", Behaviour::Whole().WithoutCloseNotify(), 5},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        server->SetRoute("/big", Route::Raw(body)).behaviours = {c.how};
        Client client("/big", c.yieldMs);
        ASSERT_TRUE(WaitUntil([&] { return client.Ended(); }, 10000));
        EXPECT_EQ(client.received.size(), body.size());
        EXPECT_TRUE(client.received == body);
        EXPECT_EQ(client.connection.BytesAvailable(), 0U);
        // Only the very last event may show the close.
        for (std::size_t i = 0; i + 1 < client.states.size(); ++i)
            EXPECT_EQ(client.states[i], Connection::Connected);
    }
}

TEST_F(TlsConnectionTest, AResetInTheMiddleOfTheBodyIsAnErrorAfterTheBytesBeforeIt)
{
    const std::string body = Pattern(200000);
    server->SetRoute("/cut", Route::Raw(body)).behaviours = {Behaviour::Reset(50000)};
    Client client("/cut");
    ASSERT_TRUE(WaitUntil([&] { return client.connection.State() == Connection::Error; }, kWaitMs));
    EXPECT_EQ(client.received, body.substr(0, 50000));
    for (int state : client.states)
        EXPECT_NE(state, Connection::Closing);
}

} // namespace
} // namespace tw
