#pragma once

// One HTTP/2 connection to a host, shared by the connections that carry fetches to it: each of
// those becomes a stream of the link instead of a socket of its own. A host is asked once, in the
// TLS handshake, whether it speaks HTTP/2; one that does not is remembered, and its connections
// then open sockets of their own as before.

#include "transport/connection.h"
#include "transport/http2session.h"

#include <QObject>
#include <QPointer>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace tw {

class Http2Link final : public QObject
{
    Q_OBJECT

public:
    // The link to host and port that takes new streams, begun when there is none; nullptr when
    // the host answered once that it speaks HTTP/1.1 only.
    // Through proxy, the link goes through a tunnel of its own.
    static std::shared_ptr<Http2Link> For(
        const QString &host, quint16 port, const std::optional<HttpProxy> &proxy);
    // Closes every link of this thread and forgets which hosts speak HTTP/1.1 only, for the end
    // of a copy.
    static void CloseAll();

    Http2Link(const QString &host, quint16 port, const std::optional<HttpProxy> &proxy);
    ~Http2Link() override;
    Http2Link(const Http2Link &) = delete;
    Http2Link &operator=(const Http2Link &) = delete;

    // carrier waits for the link: it is told once the link is ready, failed, or speaks HTTP/1.1.
    void Attach(Connection *carrier);
    // Sends request as a new stream for carrier; false when the link takes no new stream.
    bool Open(Connection *carrier, std::string_view request);
    // carrier lets go of the link; its stream, if still open, is reset.
    void Detach(Connection *carrier);

private:
    enum class Phase { Connecting, Ready, Gone };
    void OnConnected();
    void OnData();
    void OnFailed();
    // Hands each carrier what arrived on its stream, and sends what the session has to send.
    void Deliver();
    void Flush();
    void End(ConnectFailure failure);
    // New fetches to the host no longer come to this link.
    void LeaveRegistry();

    std::string m_key;
    Connection m_connection;
    Http2Session m_session;
    Phase m_phase = Phase::Connecting;
    std::vector<QPointer<Connection>> m_waiting;
    std::unordered_map<std::int32_t, QPointer<Connection>> m_carriers;
};

} // namespace tw
