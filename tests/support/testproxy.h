#pragma once

// The HTTP proxy of the tests, on 127.0.0.1: it passes a plain request on in the form a server
// takes ("GET /path"), its Proxy-Authorization left out, and relays what the server answers; a
// CONNECT opens a tunnel that relays bytes both ways. Each request is asked of the server its
// "host:port" is forwarded to; it records every request head as it came.

#include <QTcpServer>

#include <map>
#include <string>
#include <vector>

namespace tw::test {

class TestProxy final : public QTcpServer
{
    Q_OBJECT

public:
    explicit TestProxy(QObject *parent = nullptr);

    bool Listen() { return listen(QHostAddress::LocalHost, 0); }
    quint16 Port() const { return serverPort(); }
    // "http://[credentials@]127.0.0.1:port".
    std::string Url(const std::string &credentials = {}) const;

    // Requests for authority ("host:port") go to 127.0.0.1 on port; others are answered 502.
    void Forward(const std::string &authority, quint16 port) { m_forwards[authority] = port; }
    // Requests without these credentials ("user:password") are answered 407, or 401 when they
    // carry others.
    void RequirePassword(std::string credentials) { m_credentials = std::move(credentials); }
    // Each CONNECT is answered with status (0: tunnels open), or closed unanswered.
    void AnswerTunnels(int status) { m_tunnelStatus = status; }
    void CloseTunnels() { m_closeTunnels = true; }

    const std::vector<std::string> &Requests() const { return m_requests; }
    int Connections() const { return m_connections; }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    class Relay;

    std::map<std::string, quint16> m_forwards;
    std::string m_credentials;
    int m_tunnelStatus = 0;
    bool m_closeTunnels = false;
    std::vector<std::string> m_requests;
    int m_connections = 0;
};

} // namespace tw::test
