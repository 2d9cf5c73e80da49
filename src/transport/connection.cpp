#include "transport/connection.h"

#include "transport/connectsteps.h"
#include "transport/http2link.h"
#include "transport/socketcalls.h"

#include <QPointer>
#include <QSocketNotifier>

#include <algorithm>
#include <memory>
#include <mutex>

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

} // namespace

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

void Connection::OnWritable()
{
    if (m_state == Connecting && m_tunnel.step == Tunnel::Step::Asking) {
        WriteTunnelRequest();
        return;
    }
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
    if (m_state == Connecting && m_tunnel.step == Tunnel::Step::Asking) {
        TakeTunnelAnswer();
        return;
    }
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
    AnnounceLater(true);
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
    m_tunnel = {};
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
    RaiseLater(&Connection::connected);
}

void Connection::RaiseLater(void (Connection::*signal)())
{
    const quint64 generation = m_generation;
    const int state = m_state;
    QMetaObject::invokeMethod(
        this,
        [this, generation, state, signal] {
            if (generation == m_generation && m_state == state)
                Q_EMIT(this->*signal)();
        },
        Qt::QueuedConnection);
}

void Connection::LinkDelivers(std::string_view answer, Http2Session::StreamState state)
{
    m_inbox.append(answer);
    using StreamState = Http2Session::StreamState;
    if (state == StreamState::Open || state == StreamState::Whole) {
        if (state == StreamState::Whole)
            m_state = Closing;
        AnnounceLater(!answer.empty());
        return;
    }
    // A reset or refused stream, or a link gone, gave no answer: the request may go again.
    Refuse();
}

void Connection::LinkFailed(ConnectFailure failure, int proxyStatus)
{
    m_link.reset();
    m_proxyStatus = proxyStatus;
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
    AnnounceLater(false);
}

void Connection::AnnounceLater(bool withBytes)
{
    m_announcePending = true;
    m_unannounced = m_unannounced || withBytes;
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
    const bool asking = m_state == Connecting && m_tunnel.step == Tunnel::Step::Asking;
    const bool reading = (m_state == Connected && m_inbox.size() < kMaxUntaken) || asking
        || (open && m_tlsWaitsFor == TlsSession::Io::WantRead);
    const bool writing = (m_state == Connecting && !m_tls && !asking)
        || (asking && m_tunnel.sent < m_tunnel.request.size())
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
