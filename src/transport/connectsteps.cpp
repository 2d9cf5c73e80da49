#include "transport/connectsteps.h"

#include "transport/connection.h"
#include "transport/endpoint.h"
#include "transport/http2link.h"
#include "transport/socketcourier.h"

#include <QSocketNotifier>
#include <QUrl>

#include <array>
#include <chrono>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace tw {

namespace {

// The addresses a name was found to have are used this long, so that a site's files do not each
// ask the name servers again.
constexpr auto kAddressesKeptFor = std::chrono::seconds(60);

struct KeptAddresses
{
    std::vector<NetAddress> addresses;
    std::chrono::steady_clock::time_point until;
};

struct AddressBook
{
    std::mutex mutex;
    std::unordered_map<std::string, KeptAddresses> byName; // guarded by mutex
};

AddressBook &addressBook()
{
    static AddressBook book;
    return book;
}

std::vector<NetAddress> KeptAddressesOf(const std::string &name)
{
    AddressBook &book = addressBook();
    const std::lock_guard lock(book.mutex);
    const auto kept = book.byName.find(name);
    if (kept == book.byName.end() || kept->second.until < std::chrono::steady_clock::now())
        return {};
    return kept->second.addresses;
}

void KeepAddresses(const std::string &name, const std::vector<NetAddress> &addresses)
{
    AddressBook &book = addressBook();
    const std::lock_guard lock(book.mutex);
    book.byName.insert_or_assign(
        name, KeptAddresses {addresses, std::chrono::steady_clock::now() + kAddressesKeptFor});
}

// A socket the courier opened for a connection, closed unless the connection takes it: the
// reply that carries it is dropped when the connection is gone before it is delivered.
class OpenedSocket
{
public:
    explicit OpenedSocket(SocketHandle socket)
        : m_socket(socket)
    {
    }
    ~OpenedSocket()
    {
        if (m_socket != kNoSocket)
            AbortSocket(m_socket);
    }
    OpenedSocket(const OpenedSocket &) = delete;
    OpenedSocket &operator=(const OpenedSocket &) = delete;

    SocketHandle Take() { return std::exchange(m_socket, kNoSocket); }

private:
    SocketHandle m_socket;
};

} // namespace

// Closes socket on the courier, after whatever it was asked to do with it before.
void CloseOnCourier(SocketHandle socket)
{
    PostToSocketCourier([socket] { AbortSocket(socket); });
}

template <typename Call>
void Connection::Reply(const std::shared_ptr<CourierReply> &reply, Call call)
{
    const std::lock_guard lock(reply->mutex);
    if (Connection *connection = reply->connection)
        QMetaObject::invokeMethod(
            connection, [connection, call = std::move(call)] { call(*connection); },
            Qt::QueuedConnection);
}

void Connection::SetConnectTo(
    const QString &host, const QString &address, quint16 port, quint16 fromPort)
{
    AddConnectTo(host, fromPort, Endpoint {address, port});
}

void Connection::ClearConnectTo()
{
    ClearConnectToMap();
}

void Connection::Connect(const QString &host, quint16 port, Security security,
    std::string_view request, Http2 http2, const std::optional<HttpProxy> &proxy)
{
    Close();
    ++m_generation;
    m_security = security;
    m_http2 = security == Security::Tls ? http2 : Http2::No;
    m_failure = ConnectFailure::None;
    m_proxy = proxy;
    m_proxyStatus = 0;
    m_outbox.assign(request);
    if (m_http2 == Http2::Shared) {
        m_link = Http2Link::For(host, port, proxy);
        if (m_link) {
            m_linkHost = host;
            m_linkPort = port;
            m_state = Connecting;
            m_link->Attach(this);
            return;
        }
        m_http2 = Http2::No;
    }
    ConnectDirect(host, port);
}

void Connection::ConnectDirect(const QString &host, quint16 port)
{
    Endpoint endpoint = SplitHostPort(host, port);
    if (!endpoint.valid || endpoint.name.isEmpty()) {
        Fail(ConnectFailure::NameNotFound);
        return;
    }
    m_peerName = endpoint.name.toStdString();
    if (m_proxy) {
        if (!m_proxy->server.valid) {
            Fail(ConnectFailure::ProxyUnusable);
            return;
        }
        // The proxy looks the site's name up, in its ASCII form.
        const QByteArray siteName
            = IsAddressLiteral(m_peerName) ? endpoint.name.toLatin1() : QUrl::toAce(endpoint.name);
        if (siteName.isEmpty()) {
            Fail(ConnectFailure::NameNotFound);
            return;
        }
        if (m_security == Security::Tls)
            m_tunnel.request = TunnelRequest(siteName.toStdString(), endpoint.port, *m_proxy);
        endpoint = m_proxy->server;
    }
    if (const std::optional<Endpoint> mapped = ConnectToTarget(endpoint.name, endpoint.port))
        endpoint = *mapped;
    m_port = endpoint.port;

    if (std::optional<NetAddress> literal = LiteralAddress(endpoint.name.toStdString())) {
        m_addresses = {*literal};
        TryNextAddress();
        return;
    }
    // A name is looked up in its ASCII form; one that has none names no host.
    const QByteArray ascii = QUrl::toAce(endpoint.name);
    if (ascii.isEmpty()) {
        Fail(Unreached(ConnectFailure::NameNotFound));
        return;
    }
    m_lookupName = ascii.toStdString();
    if (std::vector<NetAddress> kept = KeptAddressesOf(m_lookupName); !kept.empty()) {
        m_addresses = std::move(kept);
        TryNextAddress();
        return;
    }
    m_lookup = std::make_unique<NameLookup>(m_lookupName);
    if (m_lookup->Signal() == kNoSocket) {
        m_lookup.reset();
        Fail(Unreached(ConnectFailure::Refused));
        return;
    }
    m_lookupNotifier->setSocket(m_lookup->Signal());
    m_lookupNotifier->setEnabled(true);
    m_state = Resolving;
}

void Connection::OnLookedUp()
{
    if (!m_lookup || m_state != Resolving)
        return;
    m_addresses = m_lookup->Addresses();
    EndLookup();
    if (m_addresses.empty()) {
        Fail(Unreached(ConnectFailure::NameNotFound));
        return;
    }
    KeepAddresses(m_lookupName, m_addresses);
    TryNextAddress();
}

// The notifier lets go of the lookup's descriptor before the lookup may close it.
void Connection::EndLookup()
{
    m_lookupNotifier->setSocket(kNoSocket);
    m_lookup.reset();
}

// Tries the resolved addresses in order (a name often has an IPv6 and an IPv4 address and the
// server may listen on one only); when none is left the connect has failed.
void Connection::TryNextAddress()
{
    if (m_nextAddress >= m_addresses.size()) {
        Fail(Unreached(ConnectFailure::Refused));
        return;
    }
    m_state = Connecting;
    // A secure connection's first bytes are the handshake's, made on this thread.
    std::string request = m_security == Security::Plain ? m_outbox : std::string();
    PostToSocketCourier(
        [reply = m_courierReply, address = m_addresses.at(m_nextAddress++), port = m_port,
            generation = m_generation, request = std::move(request)] {
            const SocketHandle socket = OpenSocket(address);
            ConnectStart start;
            start.begun = socket != kNoSocket && BeginConnect(socket, address, port);
            if (start.begun && !request.empty())
                start.sent = WriteSocket(socket, request.data(), request.size());
            Reply(reply,
                [generation, opened = std::make_shared<OpenedSocket>(socket), start](
                    Connection &connection) {
                    connection.OnConnectBegun(generation, opened->Take(), start);
                });
        });
}

void Connection::OnConnectBegun(quint64 generation, SocketHandle socket, ConnectStart start)
{
    const bool awaited
        = generation == m_generation && m_state == Connecting && m_socket == kNoSocket;
    // A send that failed found the connect refused, and took the socket's error with it.
    if (awaited && start.begun && start.sent.result != Transfer::Failed) {
        // Only now may the socket be watched: before its connect it would read as writable.
        m_socket = socket;
        m_readNotifier->setSocket(socket);
        m_writeNotifier->setSocket(socket);
        if (start.sent.result == Transfer::Moved) {
            // Only an established connection takes bytes.
            NoteSent(start.sent);
            m_addresses.clear();
            BecomeConnected();
            return;
        }
        UpdateNotifiers();
        return;
    }
    if (socket != kNoSocket)
        CloseOnCourier(socket);
    if (awaited)
        TryNextAddress();
}

void Connection::Fail(ConnectFailure failure)
{
    m_failure = failure;
    m_addresses.clear();
    ReleaseSocket();
    m_state = Error;
    RaiseLater(&Connection::failed);
}

void Connection::FinishConnect()
{
    const ConnectStatus status = ConnectStatusOf(m_socket);
    if (status == ConnectStatus::Pending)
        return;
    if (status == ConnectStatus::Failed) {
        ReleaseSocket();
        TryNextAddress();
        return;
    }
    m_addresses.clear();
    ContinueConnect();
}

void Connection::ContinueConnect()
{
    if (!m_tunnel.request.empty() && m_tunnel.step == Tunnel::Step::None) {
        m_tunnel.step = Tunnel::Step::Asking;
        WriteTunnelRequest();
        return;
    }
    if (m_security == Security::Tls) {
        m_tls = std::make_unique<TlsSession>(m_socket, m_peerName, m_http2 == Http2::Offer);
        ContinueHandshake();
        return;
    }
    BecomeConnected();
}

ConnectFailure Connection::Unreached(ConnectFailure failure) const
{
    if (!m_proxy)
        return failure;
    return failure == ConnectFailure::NameNotFound ? ConnectFailure::ProxyNameNotFound
                                                   : ConnectFailure::ProxyRefused;
}

void Connection::WriteTunnelRequest()
{
    while (m_tunnel.sent < m_tunnel.request.size()) {
        const Transfer sent = WriteSocket(m_socket, m_tunnel.request.data() + m_tunnel.sent,
            m_tunnel.request.size() - m_tunnel.sent);
        if (sent.result == Transfer::Failed) {
            Fail(ConnectFailure::TunnelClosed);
            return;
        }
        m_tunnel.sent += sent.bytes;
        if (sent.result != Transfer::Moved)
            break;
    }
    UpdateNotifiers();
}

void Connection::TakeTunnelAnswer()
{
    // An answer to CONNECT is a head alone; one longer than this is no answer.
    constexpr std::size_t kLongestTunnelAnswer = std::size_t {64} * 1024;
    std::array<char, 4096> buffer {};
    bool ended = false;
    while (!ended && m_tunnel.answer.size() <= kLongestTunnelAnswer) {
        const Transfer got = ReadSocket(m_socket, buffer.data(), buffer.size());
        if (got.result == Transfer::WouldBlock)
            break;
        ended = got.result != Transfer::Moved;
        m_tunnel.answer.append(buffer.data(), got.bytes);
    }
    const TunnelAnswer answer = ReadTunnelAnswer(m_tunnel.answer);
    m_proxyStatus = answer.status;
    using Kind = TunnelAnswer::Kind;
    // Some proxies answer a password they refuse with 401: only the proxy answers a CONNECT.
    if (answer.kind == Kind::Refused && (answer.status == 407 || answer.status == 401))
        Fail(m_proxy->authorization.empty() ? ConnectFailure::ProxyWantsPassword
                                            : ConnectFailure::ProxyRefusedPassword);
    else if (answer.kind == Kind::Refused)
        Fail(ConnectFailure::TunnelRefused);
    else if (ended || m_tunnel.answer.size() > kLongestTunnelAnswer)
        Fail(ConnectFailure::TunnelClosed);
    else if (answer.kind == Kind::Incomplete)
        UpdateNotifiers();
    else {
        m_tunnel.step = Tunnel::Step::Open;
        m_tunnel.answer.clear();
        ContinueConnect();
    }
}

void Connection::ContinueHandshake()
{
    const TlsSession::Io io = m_tls->Handshake();
    if (io == TlsSession::Io::Failed || io == TlsSession::Io::Closed) {
        Fail(m_tls->Failure());
        return;
    }
    if (io != TlsSession::Io::Done) {
        m_tlsWaitsFor = io;
        UpdateNotifiers();
        return;
    }
    m_tlsWaitsFor = TlsSession::Io::Done;
    BecomeConnected();
}

void Connection::BecomeConnected()
{
    m_state = Connected;
    FlushOutbox();
    Q_EMIT connected();
}

} // namespace tw
