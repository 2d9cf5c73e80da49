#pragma once

// The engine's TCP client, one per connection slot, driven by the thread's event loop.
//
// It is built on a native non-blocking socket rather than QTcpSocket, because the engine needs
// what QTcpSocket hides: a reset must read as an error and not as an orderly close, the peer's
// close must be visible in the same event that hands over the last bytes, and bytes that a nested
// processEvents() reads must not sit in a buffer without an event announcing them.
//
// Promises, relied on by the engine's handlers:
// - State() is Closed only before the first Connect() and after Close(). A failed connect (name not
//   found, refused, unreachable, a TLS handshake or certificate refused) leaves Error until Close()
//   and raises failed() from the event loop, never connected() or dataArrival().
// - dataArrival() is raised for every block read from the socket and once more when the peer's
//   close is seen; at that moment State() already reads Closing, even if no bytes are left.
// - dataArrival() never nests for the same Connection. If its handler is on the stack when bytes
//   or the close arrive, the event is raised again as soon as that handler returns, so no byte
//   waits unannounced. While bytes that arrived that way are waiting for their event, State()
//   reads Connected rather than Closing: a handler that yielded must not take the close for the
//   end of a response whose last bytes it has not seen.
// - A reset by the peer reads as Error, never as Closing; bytes received before it are still
//   handed over, and dataArrival() is raised for it even without bytes.
// - A secure connection keeps every promise above for the decrypted bytes: the end of the stream,
//   with or without the server's close_notify, is seen with its last bytes, and bytes decrypted
//   ahead are announced even when the socket itself has nothing more to read. connected() is
//   raised once the handshake is complete and the certificate verified.
// - Close() and Connect() bump Generation(). A handler that yields with processEvents() compares it
//   afterwards to notice that its connection was closed or reused under it. Data of a connection
//   opened while an older handler is still on the stack is announced later from the event loop.
// All calls are made from the thread that owns the object; the system's calls that open, connect
// and close a socket, and the first send of a request given with the connect, are handed to the
// socket courier (socketcourier.h).

#include "transport/http2session.h"
#include "transport/proxy.h"
#include "transport/socketcalls.h"
#include "transport/tlssession.h"

#include <QObject>
#include <QString>

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QSocketNotifier;

namespace tw {

class Http2Link;

class Connection final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Connection)

public:
    enum State : int {
        Closed = 0,
        Resolving = 4,
        Connecting = 6,
        Connected = 7,
        Closing = 8,
        Error = 9
    };

    enum class Security { Plain, Tls };
    // Whether a secure connection speaks HTTP/2: not at all, offered in its own handshake, or
    // as a stream of the host's shared HTTP/2 link (a socket of its own for a host without it).
    enum class Http2 { No, Offer, Shared };

    explicit Connection(QObject *parent = nullptr);
    ~Connection() override;

    // Starts connecting and returns at once; success is reported by connected(), failure only by
    // State() reading Error. A host written "name:port" with a numeric port overrides port. A
    // connection that is still open is aborted first. With Tls, the certificate is checked for
    // the host as given, before any connect-to override. request is sent as if by Send() right
    // after: a plain connection that is made at once takes it already on the courier, and
    // connected() is then raised with it sent. Through a proxy, the connection is made to the
    // proxy: a plain one carries requests the caller writes for it, a secure one goes through a
    // tunnel the proxy opens to host (CONNECT), and its TLS inside it.
    void Connect(const QString &host, quint16 port, Security security = Security::Plain,
        std::string_view request = {}, Http2 http2 = Http2::No,
        const std::optional<HttpProxy> &proxy = std::nullopt);
    // Queues bytes and writes all of them, however many calls the socket needs to take them.
    // Bytes sent before the connection is established go out once it is; on a closed or failed
    // connection they are dropped.
    void Send(std::string_view bytes);
    // Appends every received byte not taken yet to out and returns how many there were.
    std::size_t TakeAll(std::string &out);
    // Puts bytes taken earlier back before those not taken yet, announced as if they had just
    // arrived: the start of the next answer, read together with the end of the one before.
    void PutBack(std::string_view bytes);
    // Aborts the connection at once (the peer sees a reset if it still sends) and drops whatever
    // was received and not taken. Nothing is read afterwards. Harmless on a closed connection.
    void Close();

    int State() const { return m_state == Closing && m_unannounced ? Connected : m_state; }
    quint64 Generation() const { return m_generation; }
    // Why the last connect failed; None while nothing failed.
    ConnectFailure Failure() const { return m_failure; }
    // The status the proxy answered a tunnel with, 0 when none was asked for or none came.
    int ProxyStatus() const { return m_proxyStatus; }
    // The server did not answer the request (its HTTP/2 stream was reset or refused, or the link
    // went away before its end): it may go again at once, on a new stream or connection.
    bool Refused() const { return m_refused; }
    // The handshake chose HTTP/2.
    bool SpeaksHttp2() const;
    // The connection is a stream of the host's shared HTTP/2 link.
    bool IsStream() const { return m_link != nullptr; }
    // Bytes received and not taken yet.
    std::size_t BytesAvailable() const { return m_inbox.size(); }
    // Bytes, the peer's close or a reset arrived and their dataArrival() is still to come: it waits
    // for the handler on the stack to return, or for the event loop.
    bool HasNewsPending() const { return m_announcePending; }

    // A process-wide override: connecting to host (compared case-insensitively, without any
    // ":port" suffix) goes to address and port instead, whatever port was asked for, or only
    // when fromPort was asked for if it is not 0 (that entry comes first). address may be a
    // literal address or a name.
    static void SetConnectTo(
        const QString &host, const QString &address, quint16 port, quint16 fromPort = 0);
    static void ClearConnectTo();

Q_SIGNALS:
    void connected();
    void dataArrival();
    void failed();

private:
    friend class Http2Link;
    // What the host's HTTP/2 link tells the connection it carries a stream for.
    void LinkReady();
    void LinkDelivers(std::string_view answer, Http2Session::StreamState state);
    void LinkFailed(ConnectFailure failure, int proxyStatus);
    void LinkFellBack();
    void ConnectDirect(const QString &host, quint16 port);
    void Refuse();
    // Raises signal from the event loop, unless the connection was closed, reused or changed
    // state meanwhile.
    void RaiseLater(void (Connection::*signal)());
    // Announces what arrived (withBytes: bytes among it) once no handler of it is on the stack.
    void AnnounceLater(bool withBytes);
    void OnLookedUp();
    void EndLookup();
    void TryNextAddress();
    // How the courier began a connect: whether it did, and what became of the request it was
    // given to send at once (nothing moves before the handshake is over).
    struct ConnectStart
    {
        bool begun = false;
        Transfer sent {Transfer::WouldBlock};
    };
    void OnConnectBegun(quint64 generation, SocketHandle socket, ConnectStart start);
    void OnReadable();
    void OnWritable();
    void FinishConnect();
    // The connection to the peer is made: the tunnel is asked for, or the handshake begun.
    void ContinueConnect();
    void WriteTunnelRequest();
    void TakeTunnelAnswer();
    // A failure to reach the peer, which is the proxy's when there is one.
    ConnectFailure Unreached(ConnectFailure failure) const;
    void ContinueHandshake();
    void BecomeConnected();
    void Fail(ConnectFailure failure);
    // One read or write, through the TLS session when there is one.
    Transfer ReceiveSome(char *out, std::size_t size);
    Transfer SendSome(const char *data, std::size_t size);
    // Reads again from the event loop: decrypted bytes may wait where no socket event sees them.
    void ScheduleReadIfPending();
    // Reads what the kernel holds, up to a per-call budget; reports whether anything new was seen.
    bool ReadFromSocket();
    void FlushOutbox();
    // Counts what a send moved; a failed send ends the sending.
    void NoteSent(Transfer sent);
    void ReleaseSocket();
    void UpdateNotifiers();
    void Announce(bool withBytes);
    void EmitDataArrival();
    void QueueAnnouncement();

    int m_state = Closed;
    quint64 m_generation = 0;
    SocketHandle m_socket = kNoSocket;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    std::unique_ptr<NameLookup> m_lookup;
    std::string m_lookupName;
    QSocketNotifier *m_lookupNotifier = nullptr;
    std::vector<NetAddress> m_addresses;
    std::size_t m_nextAddress = 0;
    quint16 m_port = 0;
    // Where the socket courier hands back the start of a connect: this connection, or nothing
    // once it is gone.
    struct CourierReply
    {
        std::mutex mutex;
        Connection *connection = nullptr; // guarded by mutex
    };
    // Called on the courier's thread: runs call with the connection from its event loop, unless
    // the connection is gone by then.
    template <typename Call>
    static void Reply(const std::shared_ptr<CourierReply> &reply, Call call);
    std::shared_ptr<CourierReply> m_courierReply;
    Security m_security = Security::Plain;
    Http2 m_http2 = Http2::No;
    std::shared_ptr<Http2Link> m_link;
    QString m_linkHost;
    quint16 m_linkPort = 0;
    bool m_refused = false;
    std::string m_peerName;
    std::optional<HttpProxy> m_proxy;
    // A secure connection through a proxy: the CONNECT request and how much of it went out, then
    // the proxy's answer as it arrives, until the tunnel is open.
    struct Tunnel
    {
        enum class Step { None, Asking, Open };
        Step step = Step::None;
        std::string request;
        std::size_t sent = 0;
        std::string answer;
    };
    Tunnel m_tunnel;
    int m_proxyStatus = 0;
    std::unique_ptr<TlsSession> m_tls;
    TlsSession::Io m_tlsWaitsFor = TlsSession::Io::Done;
    bool m_readScheduled = false;
    ConnectFailure m_failure = ConnectFailure::None;
    std::string m_inbox;
    std::string m_outbox;
    std::size_t m_outboxSent = 0;
    bool m_sendFailed = false;
    bool m_inHandler = false;
    bool m_announcePending = false;
    bool m_unannounced = false;
    bool m_announceQueued = false;
};

} // namespace tw
