#include "support/testproxy.h"

#include <QTcpSocket>

#include <sstream>

namespace tw::test {

// One client's connection: its requests read one by one, each passed on to the server its
// authority is forwarded to, or a tunnel relaying everything once it is open.
class TestProxy::Relay final : public QObject
{
public:
    Relay(TestProxy &proxy, QTcpSocket *client)
        : QObject(&proxy)
        , m_proxy(proxy)
        , m_client(client)
    {
        client->setParent(this);
        connect(client, &QTcpSocket::readyRead, this, &Relay::OnClient);
        connect(client, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    }

private:
    void OnClient()
    {
        m_received += m_client->readAll().toStdString();
        if (m_tunnel) {
            PassOn();
            return;
        }
        for (std::size_t end = m_received.find("\r\n\r\n"); !m_tunnel && end != std::string::npos;
             end = m_received.find("\r\n\r\n")) {
            const std::string head = m_received.substr(0, end + 4);
            m_received.erase(0, end + 4);
            Take(head);
        }
    }

    void Take(const std::string &head)
    {
        m_proxy.m_requests.push_back(head);
        const std::size_t lineEnd = head.find("\r\n");
        std::istringstream line(head.substr(0, lineEnd));
        std::string method, target, version;
        line >> method >> target >> version;
        const std::string password = "Proxy-Authorization: Basic "
            + QByteArray::fromStdString(m_proxy.m_credentials).toBase64().toStdString() + "\r\n";
        // A wrong password is answered 401, as some proxies do.
        if (!m_proxy.m_credentials.empty() && head.find(password) == std::string::npos) {
            if (head.find("Proxy-Authorization:") != std::string::npos)
                Refuse("401 Unauthorized");
            else
                Refuse("407 Proxy Authentication Required",
                    "Proxy-Authenticate: Basic realm=\"test\"\r\n");
            return;
        }
        if (method == "CONNECT") {
            if (m_proxy.m_closeTunnels)
                m_client->disconnectFromHost();
            else if (m_proxy.m_tunnelStatus != 0)
                Refuse(std::to_string(m_proxy.m_tunnelStatus) + " Refused");
            else
                Open(target, {}, true);
            return;
        }
        const std::size_t pathStart = target.find('/', 7);
        if (!target.starts_with("http://") || pathStart == std::string::npos) {
            Refuse("400 Bad Request");
            return;
        }
        std::string authority = target.substr(7, pathStart - 7);
        if (authority.find(':') == std::string::npos)
            authority += ":80";
        std::string fields = head.substr(lineEnd);
        if (const std::size_t at = fields.find("\r\nProxy-Authorization:"); at != std::string::npos)
            fields.erase(at, fields.find("\r\n", at + 2) - at);
        Open(authority, method + ' ' + target.substr(pathStart) + ' ' + version + fields, false);
    }

    // Sends bytes to the server of authority, connecting to it first unless it is the one open.
    void Open(const std::string &authority, const std::string &bytes, bool tunnel)
    {
        const auto forward = m_proxy.m_forwards.find(authority);
        if (forward == m_proxy.m_forwards.end()) {
            Refuse("502 Bad Gateway");
            return;
        }
        if (m_server && m_authority == authority) {
            m_server->write(bytes.data(), static_cast<qint64>(bytes.size()));
            return;
        }
        if (m_server) {
            m_server->disconnect();
            m_server->abort();
            m_server->deleteLater();
        }
        m_authority = authority;
        m_tunnel = tunnel;
        m_server = new QTcpSocket(this);
        connect(m_server, &QTcpSocket::connected, this, [this, bytes] {
            if (m_tunnel)
                m_client->write("HTTP/1.1 200 Connection established\r\n\r\n");
            m_server->write(bytes.data(), static_cast<qint64>(bytes.size()));
            PassOn();
        });
        connect(m_server, &QTcpSocket::readyRead, this,
            [this] { m_client->write(m_server->readAll()); });
        connect(m_server, &QTcpSocket::disconnected, m_client, &QTcpSocket::disconnectFromHost);
        connect(m_server, &QTcpSocket::errorOccurred, this, [this] {
            if (m_server->state() != QAbstractSocket::ConnectedState)
                Refuse("502 Bad Gateway");
        });
        m_server->connectToHost(QHostAddress::LocalHost, forward->second);
    }

    // In a tunnel, what the client sent goes to the server as it is.
    void PassOn()
    {
        if (!m_tunnel || !m_server || m_server->state() != QAbstractSocket::ConnectedState)
            return;
        m_server->write(m_received.data(), static_cast<qint64>(m_received.size()));
        m_received.clear();
    }

    void Refuse(const std::string &status, const std::string &fields = {})
    {
        m_client->write(QByteArray::fromStdString("HTTP/1.1 " + status + "\r\n" + fields
            + "Content-Length: 0\r\nConnection: close\r\n\r\n"));
        m_client->disconnectFromHost();
    }

    TestProxy &m_proxy;
    QTcpSocket *m_client;
    QTcpSocket *m_server = nullptr;
    std::string m_authority;
    std::string m_received;
    bool m_tunnel = false;
};

TestProxy::TestProxy(QObject *parent)
    : QTcpServer(parent)
{
}

std::string TestProxy::Url(const std::string &credentials) const
{
    return "http://" + (credentials.empty() ? std::string() : credentials + "@")
        + "127.0.0.1:" + std::to_string(Port());
}

void TestProxy::incomingConnection(qintptr descriptor)
{
    auto *client = new QTcpSocket;
    client->setSocketDescriptor(descriptor);
    ++m_connections;
    new Relay(*this, client);
}

} // namespace tw::test
