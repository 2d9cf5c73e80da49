#include "connections/engine.h"

#include "common/stringops.h"
#include "common/textconversion.h"
#include "connections/connection.h"
#include "connections/httpmessage.h"
#include "connections/memorylimit.h"
#include "extractor/admission.h"
#include "extractor/linkscanner.h"
#include "extractor/localreferences.h"
#include "extractor/urlnormalize.h"
#include "output/filesystem.h"
#include "output/filetypes.h"
#include "output/localpath.h"
#include "output/pagesaver.h"
#include "output/placeholders.h"
#include "output/redirectpage.h"

#include <QCoreApplication>
#include <QTimer>

#include <cmath>
#include <new>

namespace tw {

namespace {

// The directory of the page a link was found in: the URL up to its last "/", of which only the
// last 999 characters are kept.
std::string BaseOf(const std::string &url)
{
    if (url.back() == '/')
        return url;
    std::string base = url.substr(0, url.rfind('/') + 1);
    if (base.size() > kMaxRequestPath)
        base.erase(0, base.size() - kMaxRequestPath);
    return base;
}

} // namespace

Engine::Engine(QObject *parent)
    : QObject(parent)
    , m_queue(this)
    , m_scheduler(new QTimer(this))
    , m_fileTypeFilterSource(&LoadFileTypeFilter)
    , m_responseMemoryLimit(DefaultResponseMemoryLimit())
{
    m_scheduler->setInterval(kSchedulerIntervalMs);
    m_scheduler->setTimerType(Qt::PreciseTimer);
    connect(m_scheduler, &QTimer::timeout, this, &Engine::tmrMove_Timer);

    for (int n = 1; n <= kSlotCount; ++n) {
        auto &socket = m_sockets[n - 1];
        socket = std::make_unique<Connection>();
        connect(socket.get(), &Connection::connected, this, [this, n] { Sock_Connect(n); });
        connect(socket.get(), &Connection::dataArrival, this, [this, n] { Sock_DataArrival(n); });
        connect(socket.get(), &Connection::failed, this, [this, n] { Sock_Failed(n); });

        auto *timer = new QTimer(this);
        timer->setInterval(kDefaultTimeoutMs);
        connect(timer, &QTimer::timeout, this, [this, n] { tmrOut_Timer(n); });
        m_timeouts[n - 1] = timer;
    }
}

Engine::~Engine() = default;

void ConnectionSlot::ForgetResponse()
{
    response.clear();
    response.shrink_to_fit();
    contentLength = 0;
    bytesReceived = 0;
}

const ConnectionSlot &Engine::Slot(int n) const
{
    return m_slots.at(static_cast<std::size_t>(n - 1));
}

ConnectionSlot &Engine::SlotRecord(int n)
{
    return m_slots.at(static_cast<std::size_t>(n - 1));
}

Connection &Engine::Sock(int n)
{
    return *m_sockets.at(static_cast<std::size_t>(n - 1));
}

QTimer &Engine::tmrOut(int n)
{
    return *m_timeouts.at(static_cast<std::size_t>(n - 1));
}

void Engine::StopNOW()
{
    m_scheduler->stop();
    SweepPlaceholders(m_job);
    FileSystem::CloseLogs();
    m_queue.Clear();
    CloseAllSockets();
    for (int n = 1; n <= kSlotCount; ++n) {
        SetSlotState(n, SlotState::NotConnected);
        SlotRecord(n) = ConnectionSlot();
        Sock(n).Close();
        tmrOut(n).stop();
    }
    m_running = false;
    Q_EMIT runningChanged(false);
}

void Engine::CloseAllSockets()
{
    for (int n = 1; n <= kSlotCount; ++n)
        Sock(n).Close();
}

bool Engine::IsSlotFree(int n) const
{
    return m_sockets[static_cast<std::size_t>(n - 1)]->State() == Connection::Closed
        && !Slot(n).waitingToRetry;
}

bool Engine::AllSocketsClosed() const
{
    return BusyConnections() == 0;
}

std::int64_t Engine::MemoryLeft() const
{
    std::int64_t held = 0;
    for (const ConnectionSlot &slot : m_slots)
        held += static_cast<std::int64_t>(slot.response.size());
    return m_responseMemoryLimit - held;
}

bool Engine::OutgrowsMemoryLimit(int index, std::size_t incoming) const
{
    if (static_cast<std::int64_t>(incoming) <= MemoryLeft())
        return false;
    // Only the biggest response gives way, so that a site sending without end cannot make the
    // small responses beside it fail.
    const std::size_t held = Slot(index).response.size() + incoming;
    return std::all_of(m_slots.begin(), m_slots.end(),
        [held](const ConnectionSlot &other) { return other.response.size() <= held; });
}

int Engine::BusyConnections() const
{
    int busy = 0;
    for (int n = 1; n <= kSlotCount; ++n)
        busy += IsSlotFree(n) ? 0 : 1;
    return busy;
}

void Engine::SetConnectionCount(int count)
{
    m_connectionCount = std::clamp(count, 0, kSlotCount);
    if (count < 1 || count >= kSlotCount)
        return;
    for (int n = count + 1; n <= kSlotCount; ++n)
        ResetSlotDisplay(n);
}

void Engine::SetTimeoutInterval(int milliseconds)
{
    for (QTimer *timer : m_timeouts)
        timer->setInterval(milliseconds);
}

int Engine::TimeoutInterval() const
{
    return m_timeouts.front()->interval();
}

void Engine::SetSchedulerEnabled(bool enabled)
{
    if (enabled)
        m_scheduler->start();
    else
        m_scheduler->stop();
}

bool Engine::IsSchedulerEnabled() const
{
    return m_scheduler->isActive();
}

void Engine::SetFileTypeFilterSource(std::function<std::string()> source)
{
    m_fileTypeFilterSource = std::move(source);
}

void Engine::SetSlotState(int slot, SlotState state)
{
    Q_EMIT slotStateChanged(slot, state);
}

void Engine::ResetSlotDisplay(int slot)
{
    Q_EMIT slotReset(slot);
}

void Engine::ShutDown()
{
    // A stop sweeps the placeholders; a job that ended by itself has swept them already.
    if (m_running)
        StopNOW();
    Yield();
    SetSchedulerEnabled(false);
    CloseAllSockets();
}

void Engine::Yield()
{
    QCoreApplication::processEvents();
}

FetchGuard::FetchGuard(const Connection &connection, const bool &running)
    : m_connection(connection)
    , m_generation(connection.Generation())
    , m_running(running)
{
}

bool FetchGuard::StillCurrent() const
{
    return m_running && m_connection.Generation() == m_generation;
}

FetchGuard Engine::GuardOf(int slot) const
{
    return FetchGuard(*m_sockets.at(static_cast<std::size_t>(slot - 1)), m_running);
}

bool Engine::YieldFor(const FetchGuard &guard)
{
    Yield();
    return guard.StillCurrent();
}

void Engine::SetStartRate(int perSecond)
{
    m_startRate = std::max(0, perSecond);
    m_startCredit = 0;
}

void Engine::tmrMove_Timer()
{
    // A rate below one a tick saves its fractions up to one fetch; above, no tick starts more than
    // its share, so an idle spell never lets a burst out.
    const double share = m_startRate * kSchedulerIntervalMs / 1000.0;
    m_startCredit = std::min(m_startCredit + share, std::max(1.0, share));
    while (m_running && (m_startRate == 0 || m_startCredit >= 1.0) && !m_queue.IsEmpty()
        && FindFreeSlot() != 0) {
        std::optional<std::string> url
            = m_queue.TakeOldest([this](const std::string &queued) { return HasRoomFor(queued); });
        if (!url)
            break;
        StartFetch(std::move(*url));
        m_startCredit -= 1.0;
    }
    Q_EMIT statsRefresh();
}

void Engine::StartFetch(std::string url, FetchKind kind)
{
    if (!m_running)
        return;
    const int n = FindFreeSlot();
    if (n == 0)
        return;

    ConnectionSlot &slot = SlotRecord(n);
    FetchTarget target = FetchTargetOf(url);
    slot.queuedUrl = std::move(url);
    slot.url = std::move(target.url);
    slot.host = std::move(target.host);
    slot.path = std::move(target.path);
    slot.requestPath = std::move(target.requestPath);
    slot.ForgetResponse();
    slot.attempt = 1;
    slot.startPage = kind == FetchKind::StartPage;
    slot.lastFailure = ConnectFailure::None;
    slot.leftTimeoutText = false;
    slot.waitingToRetry = false;

    Sock(n).Close();
    tmrOut(n).start();
    ConnectSlot(n);
}

bool Engine::HasRoomFor(const std::string &queuedUrl) const
{
    const std::string host = ToLower(HostOfUrl(queuedUrl));
    if (IsOnSite(host, m_job.siteHost))
        return true;
    int busy = 0;
    for (int n = 1; n <= kSlotCount; ++n)
        busy += !IsSlotFree(n) && ToLower(Slot(n).host) == host ? 1 : 0;
    return busy < kMaxConnectionsPerOtherHost;
}

int Engine::FindFreeSlot() const
{
    for (int n = 1; n <= m_connectionCount; ++n) {
        if (IsSlotFree(n))
            return n;
    }
    return 0;
}

void Engine::ConnectSlot(int index)
{
    const ConnectionSlot &slot = Slot(index);
    SetSlotState(index, SlotState::Connecting);
    Sock(index).Connect(FromNetworkText(slot.host), m_job.secure ? kHttpsPort : kHttpPort,
        m_job.secure ? Connection::Security::Tls : Connection::Security::Plain);
}

void Engine::Sock_Connect(int index)
{
    ConnectionSlot &slot = SlotRecord(index);
    if (slot.url.empty()) {
        Sock(index).Close();
        SetSlotState(index, SlotState::NotConnected);
        return;
    }
    slot.path = ReplaceAll(slot.path, "/index.html", "/");
    slot.requestPath = ReplaceAll(slot.requestPath, "/index.html", "/");
    const std::string request = RequestFor(slot.host, slot.requestPath);
    if (ClimbsAboveRoot(request)) {
        Sock(index).Close();
        if (slot.startPage)
            FailFetch(index, {.kind = Failure::Kind::PathClimbsAboveSite});
        return;
    }
    Sock(index).Send(request);
}

void Engine::Sock_DataArrival(int index)
{
    tmrOut(index).start();
    ConnectionSlot &slot = SlotRecord(index);
    // Checked before the bytes join the response: a response that grew first would hold twice
    // the limit while its buffer is copied to a bigger one.
    if (OutgrowsMemoryLimit(index, Sock(index).BytesAvailable())) {
        std::string dropped;
        const auto received = static_cast<std::int64_t>(Sock(index).TakeAll(dropped));
        m_job.aBytes += received;
        slot.bytesReceived += received;
        slot.ForgetResponse();
        FailTry(index, TryFailure::TooLarge);
        return;
    }
    const std::size_t chunkStart = slot.response.size();
    MakeRoomFor(slot.response, Sock(index).BytesAvailable(),
        static_cast<std::size_t>(MemoryLeft()) + slot.response.size());
    const auto received = static_cast<std::int64_t>(Sock(index).TakeAll(slot.response));
    // The whole response is here: no timeout may fire while its handling waits behind other
    // slots' handlers, or a complete answer would be taken for a failed try.
    if (Sock(index).State() == Connection::Closing)
        tmrOut(index).stop();
    m_job.aBytes += received;
    slot.bytesReceived += received;

    ProcessChunk(chunkStart, index, GuardOf(index));

    if (Trim(slot.url).empty()) {
        Sock(index).Close();
        SetSlotState(index, SlotState::NotConnected);
        return;
    }
    if (m_connectionCount < index)
        ResetSlotDisplay(index);
    else
        SetSlotState(index, SlotState::Downloading);
}

void Engine::ProcessChunk(std::size_t chunkStart, int index, const FetchGuard &guard)
{
    ConnectionSlot &slot = SlotRecord(index);
    // The chunk is searched before the yield: a stop during the yield empties the response.
    const auto announced = ContentLengthIn(std::string_view(slot.response).substr(chunkStart));
    if (!YieldFor(guard))
        return;

    if (announced) {
        slot.contentLength = *announced;
        if (slot.contentLength > 0 && slot.contentLength <= MemoryLeft()) {
            try {
                slot.response.reserve(
                    slot.response.size() + static_cast<std::size_t>(slot.contentLength));
            } catch (const std::bad_alloc &) {
                // Growing chunk by chunk still works; the reservation only saves copies.
            }
        }
    }

    if (m_connectionCount < index) {
        ResetSlotDisplay(index);
    } else {
        Q_EMIT slotProgressChanged(index, slot.bytesReceived, slot.contentLength);
    }

    if (Sock(index).State() == Connection::Closing)
        CompleteFetch(index, guard);
}

void Engine::CompleteFetch(int index, const FetchGuard &guard)
{
    ConnectionSlot &slot = SlotRecord(index);
    tmrOut(index).stop();
    const HttpResponse answer = ParseResponse(slot.response);
    if (answer.fault != ResponseFault::None) {
        FailTry(index,
            answer.fault == ResponseFault::BrokenHead ? TryFailure::BrokenHead
                                                      : TryFailure::ShortBody);
        return;
    }
    if (answer.status >= 400) {
        FailStatus(index, answer);
        return;
    }
    const std::optional<std::string> location = answer.Location();
    if (location && slot.startPage) {
        FollowStartMove(index, *location);
        return;
    }
    const std::string contentType = answer.Field("Content-Type").value_or("");
    std::string savedAs = "\\" + slot.host + slot.path;
    // A URL without an extension is stored by what its server says it is.
    const bool typedByServer = !location && TypeOfUrl(slot.url).extension.empty()
        && !contentType.empty() && !IsHtmlMediaType(contentType);
    if (typedByServer) {
        const std::string extension = ExtensionOfMediaType(contentType);
        if (extension.empty() || !IsWantedType(extension, m_job.FileTypeFilter)) {
            SkipFetch(index, contentType);
            return;
        }
        savedAs.insert(std::min(savedAs.find('?'), savedAs.size()), extension);
    }
    std::optional<std::string> stub = location ? RedirectStub(index, *location) : std::nullopt;
    const bool inFolder = Contains(slot.url, "/");
    const std::string base = inFolder ? BaseOf(slot.url) : slot.url + '/';
    const StoredLocation stored = StoredLocationOf(savedAs, m_job);
    // A redirect's target was admitted with its stub; its body holds nothing to follow.
    const DocumentKind kind = location ? DocumentKind::Other : DocumentKindOf(stored, contentType);
    std::vector<PageReference> references;
    if (!location || stub) {
        // Finding a big page's references lets the event loop run: the response is the save's
        // own meanwhile. They are found once, for the saved page and for the scan.
        // Moved, not copied: a big response is held once.
        std::string response;
        if (stub)
            response = std::move(*stub);
        else
            response = std::move(slot.response);
        const std::string_view body = stub ? std::string_view(response) : answer.Body(response);
        if (kind != DocumentKind::Other)
            references = PageReferencesOf(body, kind, base, m_job, [this] { Yield(); });
        const SaveOutcome saved = SaveDownloadedFile(body, savedAs, m_job,
            [&](std::string_view text, DocumentKind savedKind, std::string_view storedFile) {
                return LocalReferenceEdits(
                    savedKind == kind ? references : PageReferencesOf(text, savedKind, base, m_job),
                    base, storedFile, m_job);
            });
        if (!YieldFor(guard))
            return;
        if (saved.kind == SaveOutcome::Kind::Stored)
            ++m_job.aFiles;
        else
            ReportFailure(index, {.kind = Failure::Kind::NotStored, .detail = saved.reason});
        if (typedByServer)
            LeadOnFromItsName(slot, stored.file);
    } else if (!YieldFor(guard)) {
        return;
    }

    if (inFolder)
        ResetSlotDisplay(index);
    SetSlotState(index, SlotState::Finished);
    if (!YieldFor(guard))
        return;

    if (!ExtractLinks(references, m_queue, m_job, [this, &guard] { return YieldFor(guard); })
        && guard.StillCurrent()) {
        ReportFailure(
            index, {.kind = Failure::Kind::LinksNotFollowed, .detail = m_job.lastWriteError});
    }
    if (!guard.StillCurrent())
        return;
    // Nothing reads the response after its scan: a big file need not stay in memory until the
    // slot is given its next fetch.
    slot.response.clear();
    slot.response.shrink_to_fit();
    Sock(index).Close();
    Yield();
    if (m_queue.IsEmpty() && AllSocketsClosed())
        SiteComplete();
}

void Engine::SiteComplete()
{
    if (!m_running)
        return;
    StopNOW(); // which sweeps the placeholders
    Yield();
    Q_EMIT siteCompleted();
}

} // namespace tw
