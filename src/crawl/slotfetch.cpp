#include "crawl/slotfetch.h"

#include "common/stringops.h"
#include "common/textconversion.h"
#include "crawl/answerjudge.h"
#include "crawl/sitelogin.h"
#include "extractor/admission.h"
#include "extractor/linkscanner.h"
#include "extractor/localreferences.h"
#include "extractor/urlnormalize.h"
#include "output/filesystem.h"
#include "output/filetypes.h"
#include "output/jobfiles.h"
#include "output/localpath.h"
#include "output/pagesaver.h"
#include "output/redirectpage.h"
#include "render/hashroutes.h"
#include "transport/connection.h"

#include <QTimer>

#include <utility>

namespace tw {

void ConnectionSlot::ForgetResponse()
{
    reader = ResponseReader();
    contentLength = 0;
    bytesReceived = 0;
    body = BodyKeeping::Held;
    incoming.Discard();
}

SiteAddress RequestedAddress(const ConnectionSlot &slot, bool secure)
{
    return {secure, slot.host, ReplaceAll(slot.requestPath, "//", "/")};
}

FetchGuard::FetchGuard(
    const Connection &connection, const quint64 &fetchSerial, const FetchContext &context)
    : m_connection(connection)
    , m_generation(connection.Generation())
    , m_fetchSerial(fetchSerial)
    , m_serial(fetchSerial)
    , m_context(context)
{
}

bool FetchGuard::StillCurrent() const
{
    return m_context.IsRunning() && m_connection.Generation() == m_generation
        && m_fetchSerial == m_serial;
}

SlotFetch::SlotFetch(FetchContext &context, int number, QObject *parent)
    : QObject(parent)
    , m_context(context)
    , m_number(number)
    , m_socket(std::make_unique<Connection>())
    , m_tmrOut(new QTimer(this))
{
    connect(m_socket.get(), &Connection::connected, this, &SlotFetch::Sock_Connect);
    connect(m_socket.get(), &Connection::dataArrival, this, &SlotFetch::Sock_DataArrival);
    connect(m_socket.get(), &Connection::failed, this, &SlotFetch::Sock_Failed);
    m_tmrOut->setInterval(kDefaultTimeoutMs);
    connect(m_tmrOut, &QTimer::timeout, this, &SlotFetch::tmrOut_Timer);
}

SlotFetch::~SlotFetch() = default;

bool SlotFetch::IsFree() const
{
    return m_phase == SlotPhase::KeptOpen
        || (m_socket->State() == Connection::Closed && m_phase != SlotPhase::WaitingToRetry
            && m_phase != SlotPhase::Drawing);
}

bool SlotFetch::IsKeptOpenTo(const std::string &host) const
{
    const int state = m_socket->State();
    return m_phase == SlotPhase::KeptOpen
        && (state == Connection::Connected || state == Connection::Connecting)
        && m_record.host == host;
}

void SlotFetch::Clear()
{
    m_context.PageRenderers().Cancel(std::exchange(m_drawing, 0));
    m_record = ConnectionSlot();
    CloseConnection();
    MoveTo(SlotPhase::Idle);
    m_tmrOut->stop();
}

void SlotFetch::CloseConnection()
{
    GiveBackNext();
    // A try that waits for its pause reconnects when it ends.
    if (m_phase != SlotPhase::WaitingToRetry)
        MoveTo(SlotPhase::Idle);
    m_connectionUse = ConnectionUse::New;
    m_socket->Close();
}

void SlotFetch::SetTimeoutInterval(int milliseconds)
{
    m_tmrOut->setInterval(milliseconds);
}

int SlotFetch::TimeoutInterval() const
{
    return m_tmrOut->interval();
}

bool SlotFetch::StoresNothingUntilWhole() const
{
    return m_record.kind == FetchKind::Robots || m_record.ask == FetchAsk::Update;
}

std::string SlotFetch::SavedName() const
{
    return SavedNameOf(m_record.host, m_record.path);
}

void SlotFetch::ShowState(SlotState state)
{
    m_context.ShowState(m_number, state);
}

void SlotFetch::ShowIdle()
{
    m_context.ShowIdle(m_number);
}

FetchGuard SlotFetch::Guard() const
{
    return FetchGuard(*m_socket, m_serial, m_context);
}

bool SlotFetch::YieldFor(const FetchGuard &guard)
{
    m_context.Yield();
    return guard.StillCurrent();
}

void SlotFetch::Start(std::string url, FetchTarget target, FetchKind kind)
{
    const bool reuse = IsKeptOpenTo(target.host);
    MoveTo(SlotPhase::Asking);
    ++m_serial;
    m_record = RecordOf(std::move(url), std::move(target), kind);

    m_tmrOut->start();
    if (reuse && m_socket->State() == Connection::Connecting) {
        // Opened ahead: the request goes out when the connection is made.
        ShowState(SlotState::Connecting);
        return;
    }
    if (reuse) {
        ShowState(SlotState::Downloading);
        Sock_Connect();
        return;
    }
    CloseConnection();
    Connect();
}

bool SlotFetch::CanSendAhead() const
{
    // Behind a big answer, the next would wait for all of it while another connection is free.
    constexpr std::int64_t kBiggestAnswerToWaitBehind = std::int64_t {1} << 20;
    return m_connectionUse == ConnectionUse::Kept && !m_next && m_phase != SlotPhase::KeptOpen
        && FoundInPage(m_record.kind) && m_record.contentLength <= kBiggestAnswerToWaitBehind
        && m_socket->State() == Connection::Connected && m_context.InUse(m_number);
}

bool SlotFetch::SendAhead(std::string url, FetchTarget target)
{
    ConnectionSlot next = RecordOf(std::move(url), std::move(target), FetchKind::Link);
    const std::optional<std::string> request = RequestOf(next);
    if (!request)
        return false;
    m_socket->Send(*request);
    m_next = SentAhead {.record = std::move(next)};
    return true;
}

bool SlotFetch::RetryBehindNext()
{
    const std::optional<std::string> request = RequestOf(m_record);
    if (!m_next || !ConnectionReusable() || m_socket->State() != Connection::Connected || !request)
        return false;
    ConnectionSlot retry = std::move(m_record);
    ++retry.attempt;
    retry.ForgetResponse();
    TakeUpNext();
    m_socket->Send(*request);
    m_next = SentAhead {.record = std::move(retry)};
    return true;
}

void SlotFetch::TakeUpNext()
{
    ++m_serial;
    m_connectionUse = ConnectionUse::Kept;
    m_record = std::move(m_next->record);
    m_socket->PutBack(m_next->answerStart);
    m_next.reset();
    MoveTo(SlotPhase::Asking);
    m_tmrOut->start();
    ShowState(SlotState::Downloading);
}

void SlotFetch::GiveBackNext()
{
    if (!m_next)
        return;
    m_context.GiveBack(std::move(m_next->record.queuedUrl));
    m_next.reset();
}

void SlotFetch::OpenAhead(std::string host)
{
    m_record = ConnectionSlot();
    m_record.host = std::move(host);
    CloseConnection();
    MoveTo(SlotPhase::KeptOpen);
    m_connectionUse = ConnectionUse::OpenedAhead;
    ConnectTo(m_record.host);
}

ConnectionSlot SlotFetch::RecordOf(std::string url, FetchTarget target, FetchKind kind) const
{
    ConnectionSlot record;
    record.queuedUrl = std::move(url);
    record.url = std::move(target.url);
    record.host = std::move(target.host);
    record.path = std::move(target.path);
    record.requestPath = std::move(target.requestPath);
    record.attempt = 1;
    record.kind = kind == FetchKind::Link && m_context.Parts().Contains(record.url)
        ? FetchKind::Part
        : kind;
    record.ask = Settings().revalidate.contains(record.url) ? FetchAsk::Update : FetchAsk::New;
    return record;
}

void SlotFetch::Connect()
{
    ShowState(SlotState::Connecting);
    // The request is known before the connection is made, and goes with the connect.
    ConnectTo(m_record.host, RequestOf(m_record).value_or(std::string()));
}

std::optional<HttpProxy> SlotFetch::ProxyOf(const std::string &host)
{
    return ProxyFor(FetchedOverTls(host, Job().secure), host, Settings().proxy);
}

void SlotFetch::ConnectTo(const std::string &host, std::string_view request)
{
    const bool secure = FetchedOverTls(host, Job().secure);
    // A connection opened ahead stays kept open: its fetch has not come yet.
    if (!request.empty())
        MoveTo(SlotPhase::Connecting);
    else if (m_phase != SlotPhase::KeptOpen)
        MoveTo(SlotPhase::Asking);
    m_socket->Connect(FromNetworkText(host), secure ? kHttpsPort : kHttpPort,
        secure ? Connection::Security::Tls : Connection::Security::Plain, request,
        Job().http2 ? Connection::Http2::Shared : Connection::Http2::No, ProxyOf(host));
}

void SlotFetch::Sock_Connect()
{
    if (m_phase == SlotPhase::Connecting) {
        MoveTo(SlotPhase::Asking); // its request went with the connect
        return;
    }
    if (m_phase == SlotPhase::KeptOpen)
        return; // opened ahead, and no fetch has asked for it yet
    if (m_record.url.empty()) {
        CloseConnection();
        ShowState(SlotState::NotConnected);
        return;
    }
    const std::optional<std::string> request = RequestOf(m_record);
    if (!request) {
        FailFetch({.kind = Failure::Kind::PathClimbsAboveSite});
        return;
    }
    m_socket->Send(*request);
}

std::optional<std::string> SlotFetch::RequestOf(ConnectionSlot &record)
{
    record.path = WithoutFolderIndex(record.path);
    record.requestPath = WithoutFolderIndex(record.requestPath);
    const JobSettings &settings = Settings();
    // A plain site's request goes to the proxy; a secure site's goes through its tunnel.
    const bool secure = FetchedOverTls(record.host, Job().secure);
    std::string fields;
    if (const auto served = settings.revalidate.find(record.url);
        record.ask == FetchAsk::Update && served != settings.revalidate.end())
        fields = ConditionalFields(served->second.lastModified, served->second.etag);
    fields += m_context.Login().FieldsFor(record.host,
        RequestTargetOf(PathAskedFor(record.requestPath)), secure, record.sentCredentials);
    std::string request = RequestFor(record.host, PathAskedFor(record.requestPath),
        Job().KeepsConnectionsAlive(), fields, secure ? std::nullopt : ProxyOf(record.host));
    if (ClimbsAboveRoot(request))
        return std::nullopt;
    return request;
}

void SlotFetch::Sock_Failed()
{
    if (m_phase == SlotPhase::KeptOpen) {
        CloseConnection();
        return;
    }
    const ConnectFailure failure = m_socket->Failure();
    m_record.lastFailure = failure;
    m_record.lastProxyStatus = m_socket->ProxyStatus();
    // The start page cannot wait for a name that will not come (the engine may try it without the
    // "www." it added), nor robots.txt, which every other URL of its host waits for (the start
    // page's "www." name among them). Any other refused connect or name not found fails its try
    // at once: waiting out the timeout would tell nothing.
    if (IsLastingConnectFailure(failure)
        || (!FoundInPage(m_record.kind) && failure == ConnectFailure::NameNotFound))
        FailFetch({.kind = Failure::Kind::Connect,
            .connect = failure,
            .announced = m_record.lastProxyStatus});
    else
        FailTry(TryFailure::Connect);
}

} // namespace tw
