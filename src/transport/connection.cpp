#include "transport/connection.h"

#include "transport/http2link.h"

#include "transport/endpoint.h"
#include "transport/socketcalls.h"
#include "transport/socketcourier.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace tw {

namespace {

// Reading stops after this many bytes per wake-up so that one fast connection cannot starve the
// other slots, the timers and the window.
constexpr std::size_t kReadPerWakeUp = std::size_t {4} * 1024 * 1024;
// Bytes nobody has taken yet are never allowed to grow past this: reading pauses until TakeAll().
constexpr std::size_t kMaxUntaken = 2 * kReadPerWakeUp;
// Bytes are received into one buffer of this size and appended from there, so that the inbox
// never grows by more than arrived.
constexpr std::size_t kReadChunk = std::size_t {64} * 1024;
// Buffers that grew past this for one big block are given back once they are empty.
constexpr std::size_t kKeepCapacity = std::size_t {256} * 1024;

char *ReadBuffer()
{
    thread_local const std::unique_ptr<char[]> buffer
        = std::make_unique_for_overwrite<char[]>(kReadChunk);
    return buffer.get();
}

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

// Closes socket on the courier, after whatever it was asked to do with it before.
void CloseOnCourier(SocketHandle socket)
{
    PostToSocketCourier([socket] { AbortSocket(socket); });
}

} // namespace

template <typename Call>
void Connection::Reply(const std::shared_ptr<CourierReply> &reply, Call call)
{
    const std::lock_guard lock(reply->mutex);
    if (Connection *connection = reply->connection)
        QMetaObject::invokeMethod(
            connection, [connection, call = std::move(call)] { call(*connection); },
            Qt::QueuedConnection);
}

Connection::Connection(QObject *parent)
    : QObject(parent)
    , m_readNotifier(new QSocketNotifier(QSocketNotifier::Read, this))
    , m_writeNotifier(new QSocketNotifier(QSocketNotifier::Write, this))
    , m_lookupNotifier(new QSocketNotifier(QSocketNotifier::Read, this))
    , m_courierReply(std::make_shared<CourierReply>())
{
    m_courierReply->connection = this;
    connect(m_readNotifier, &QSocketNotifier::activated, this, &Connection::OnReadable);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &Connection::OnWritable);
    connect(m_lookupNotifier, &QSocketNotifier::activated, this, &Connection::OnLookedUp);
}

Connection::~Connection()
{
    {
        const std::lock_guard lock(m_courierReply->mutex);
        m_courierReply->connection = nullptr;
    }
    EndLookup();
    ReleaseSocket();
    if (m_link)
        m_link->Detach(this);
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

void Connection::Connect(
    const QString &host, quint16 port, Security security, std::string_view request, Http2 http2)
{
    Close();
    ++m_generation;
    m_security = security;
    m_http2 = security == Security::Tls ? http2 : Http2::No;
    m_failure = ConnectFailure::None;
    m_outbox.assign(request);
    if (m_http2 == Http2::Shared) {
        m_link = Http2Link::For(host, port);
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
        Fail(ConnectFailure::NameNotFound);
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
        Fail(ConnectFailure::Refused);
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
        Fail(ConnectFailure::NameNotFound);
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
        Fail(ConnectFailure::Refused);
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
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (generation == m_generation && m_state == Error)
                Q_EMIT failed();
        },
        Qt::QueuedConnection);
}

void Connection::OnWritable()
{
    if (m_state == Connecting && m_tls) {
        ContinueHandshake();
        return;
    }
    if (m_state == Connecting) {
        FinishConnect();
        return;
    }
    if (m_tlsWaitsFor == TlsSession::Io::WantWrite) {
        m_tlsWaitsFor = TlsSession::Io::Done;
        OnReadable();
    }
    FlushOutbox();
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
    if (m_security == Security::Tls) {
        m_tls = std::make_unique<TlsSession>(m_socket, m_peerName, m_http2 == Http2::Offer);
        ContinueHandshake();
        return;
    }
    BecomeConnected();
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

Transfer Connection::ReceiveSome(char *out, std::size_t size)
{
    if (!m_tls)
        return ReadSocket(m_socket, out, size);
    std::size_t moved = 0;
    switch (m_tls->Read(out, size, moved)) {
    case TlsSession::Io::Done:
        return {Transfer::Moved, moved};
    case TlsSession::Io::Closed:
        return {Transfer::Ended};
    case TlsSession::Io::WantWrite:
        m_tlsWaitsFor = TlsSession::Io::WantWrite;
        return {Transfer::WouldBlock};
    case TlsSession::Io::WantRead:
        return {Transfer::WouldBlock};
    case TlsSession::Io::Failed:
        break;
    }
    return {Transfer::Failed};
}

Transfer Connection::SendSome(const char *data, std::size_t size)
{
    if (!m_tls)
        return WriteSocket(m_socket, data, size);
    std::size_t moved = 0;
    switch (m_tls->Write(data, size, moved)) {
    case TlsSession::Io::Done:
        return {Transfer::Moved, moved};
    case TlsSession::Io::WantRead:
    case TlsSession::Io::WantWrite:
        return {Transfer::WouldBlock};
    case TlsSession::Io::Closed:
    case TlsSession::Io::Failed:
        break;
    }
    return {Transfer::Failed};
}

void Connection::ScheduleReadIfPending()
{
    if (m_readScheduled || !m_tls || !m_tls->HasPending() || m_state != Connected)
        return;
    m_readScheduled = true;
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            m_readScheduled = false;
            if (generation == m_generation)
                OnReadable();
        },
        Qt::QueuedConnection);
}

void Connection::Send(std::string_view bytes)
{
    if (bytes.empty() || m_state == Closed || m_state == Error)
        return;
    if (m_link && m_state == Connected) {
        if (!m_link->Open(this, bytes))
            Refuse();
        return;
    }
    m_outbox.append(bytes);
    if (m_state == Connected || m_state == Closing)
        FlushOutbox();
}

void Connection::FlushOutbox()
{
    while (m_outboxSent < m_outbox.size()) {
        const Transfer sent
            = SendSome(m_outbox.data() + m_outboxSent, m_outbox.size() - m_outboxSent);
        NoteSent(sent);
        if (sent.result != Transfer::Moved)
            break;
    }
    UpdateNotifiers();
}

void Connection::NoteSent(Transfer sent)
{
    m_outboxSent += sent.bytes;
    if (sent.result == Transfer::Failed) {
        // The peer is gone. The kernel has now handed its error to the send, so a later read
        // would report an orderly end: remember that it was not.
        m_sendFailed = true;
        m_outboxSent = m_outbox.size();
    }
    if (m_outboxSent == m_outbox.size()) {
        m_outbox.clear();
        m_outboxSent = 0;
        if (m_outbox.capacity() > kKeepCapacity)
            std::string().swap(m_outbox);
    }
}

void Connection::OnReadable()
{
    if (m_state == Connecting && m_tls) {
        ContinueHandshake();
        return;
    }
    if (m_state != Connected)
        return;
    const std::size_t before = m_inbox.size();
    const bool news = ReadFromSocket();
    UpdateNotifiers();
    ScheduleReadIfPending();
    if (news)
        Announce(m_inbox.size() > before);
}

bool Connection::ReadFromSocket()
{
    if (m_inbox.size() >= kMaxUntaken)
        return false;
    std::size_t budget = std::min(kReadPerWakeUp, kMaxUntaken - m_inbox.size());
    bool gotBytes = false;
    while (budget > 0) {
        char *const buffer = ReadBuffer();
        const Transfer got = ReceiveSome(buffer, std::min(kReadChunk, budget));
        if (got.result == Transfer::Moved) {
            m_inbox.append(buffer, got.bytes);
            gotBytes = true;
            budget -= got.bytes;
            continue;
        }
        if (got.result == Transfer::Ended) {
            if (m_sendFailed) {
                m_state = Error;
                ReleaseSocket();
                return gotBytes;
            }
            m_state = Closing;
            return true;
        }
        if (got.result == Transfer::WouldBlock)
            break;
        // A reset (or any other failure) is not an end of data: the response is incomplete. It is
        // announced all the same, so that a handler waiting on a kept connection sees it at once.
        m_state = Error;
        ReleaseSocket();
        return true;
    }
    return gotBytes;
}

std::size_t Connection::TakeAll(std::string &out)
{
    const std::size_t count = m_inbox.size();
    if (count == 0)
        return 0;
    if (out.empty()) {
        out.swap(m_inbox);
        m_inbox.clear();
    } else {
        out.append(m_inbox);
        m_inbox.clear();
    }
    if (m_inbox.capacity() > kKeepCapacity)
        std::string().swap(m_inbox);
    m_unannounced = false;
    UpdateNotifiers();
    ScheduleReadIfPending();
    return count;
}

void Connection::PutBack(std::string_view bytes)
{
    if (bytes.empty())
        return;
    m_inbox.insert(0, bytes);
    m_announcePending = true;
    m_unannounced = true;
    if (!m_inHandler)
        QueueAnnouncement();
}

void Connection::Close()
{
    ++m_generation;
    if (m_link) {
        m_link->Detach(this);
        m_link.reset();
    }
    m_refused = false;
    EndLookup();
    ReleaseSocket();
    m_addresses.clear();
    m_nextAddress = 0;
    std::string().swap(m_inbox);
    std::string().swap(m_outbox);
    m_outboxSent = 0;
    m_sendFailed = false;
    m_announcePending = false;
    m_unannounced = false;
    m_state = Closed;
}

bool Connection::SpeaksHttp2() const
{
    return m_tls && m_tls->SpeaksHttp2();
}

void Connection::LinkReady()
{
    m_state = Connected;
    const std::string request = std::exchange(m_outbox, {});
    if (!request.empty() && !m_link->Open(this, request)) {
        Refuse();
        return;
    }
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (generation == m_generation && m_state == Connected)
                Q_EMIT connected();
        },
        Qt::QueuedConnection);
}

void Connection::LinkDelivers(std::string_view answer, Http2Session::StreamState state)
{
    m_inbox.append(answer);
    using StreamState = Http2Session::StreamState;
    if (state == StreamState::Whole)
        m_state = Closing;
    else if (state != StreamState::Open) {
        m_refused = state == StreamState::Refused;
        m_state = Error;
    }
    m_announcePending = true;
    m_unannounced = m_unannounced || !answer.empty();
    if (!m_inHandler)
        QueueAnnouncement();
}

void Connection::LinkFailed(ConnectFailure failure)
{
    m_link.reset();
    Fail(failure);
}

void Connection::LinkFellBack()
{
    m_link.reset();
    m_http2 = Http2::No;
    ConnectDirect(m_linkHost, m_linkPort);
}

void Connection::Refuse()
{
    m_refused = true;
    m_state = Error;
    m_announcePending = true;
    if (!m_inHandler)
        QueueAnnouncement();
}

void Connection::ReleaseSocket()
{
    // The notifiers let go of the descriptor before it is closed, so that the event dispatcher
    // never watches a number the system may hand out again.
    m_readNotifier->setSocket(kNoSocket);
    m_writeNotifier->setSocket(kNoSocket);
    m_tls.reset();
    m_tlsWaitsFor = TlsSession::Io::Done;
    if (m_socket != kNoSocket) {
        CloseOnCourier(m_socket);
        m_socket = kNoSocket;
    }
}

void Connection::UpdateNotifiers()
{
    if (m_socket == kNoSocket)
        return;
    const bool open = m_state == Connecting || m_state == Connected;
    const bool reading = (m_state == Connected && m_inbox.size() < kMaxUntaken)
        || (open && m_tlsWaitsFor == TlsSession::Io::WantRead);
    const bool writing = (m_state == Connecting && !m_tls)
        || ((m_state == Connected || m_state == Closing) && m_outboxSent < m_outbox.size())
        || (open && m_tlsWaitsFor == TlsSession::Io::WantWrite);
    m_readNotifier->setEnabled(reading);
    m_writeNotifier->setEnabled(writing);
}

void Connection::Announce(bool withBytes)
{
    if (m_inHandler) {
        m_announcePending = true;
        m_unannounced = m_unannounced || withBytes;
        return;
    }
    EmitDataArrival();
}

void Connection::EmitDataArrival()
{
    QPointer<Connection> alive(this);
    const quint64 generation = m_generation;
    m_inHandler = true;
    do {
        m_announcePending = false;
        m_unannounced = false;
        Q_EMIT dataArrival();
        if (!alive)
            return;
    } while (m_announcePending && m_generation == generation);
    m_inHandler = false;

    // What is pending now belongs to a connection opened while the old handler was on the stack.
    // Its handler must not run inside the old one's caller, so it waits for the event loop.
    if (m_announcePending)
        QueueAnnouncement();
}

void Connection::QueueAnnouncement()
{
    if (m_announceQueued)
        return;
    m_announceQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_announceQueued = false;
            if (m_announcePending && !m_inHandler)
                EmitDataArrival();
        },
        Qt::QueuedConnection);
}

} // namespace tw
