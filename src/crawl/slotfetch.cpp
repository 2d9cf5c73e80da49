#include "crawl/slotfetch.h"

#include "common/stringops.h"
#include "common/textconversion.h"
#include "crawl/engine.h"
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
#include "transport/connection.h"

#include <QTimer>

#include <utility>

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

ConnectionSlot RecordOf(std::string url, FetchTarget target, FetchKind kind, bool reuse)
{
    ConnectionSlot record;
    record.queuedUrl = std::move(url);
    record.url = std::move(target.url);
    record.host = std::move(target.host);
    record.path = std::move(target.path);
    record.requestPath = std::move(target.requestPath);
    record.attempt = 1;
    record.startPage = kind == FetchKind::StartPage;
    record.robots = kind == FetchKind::Robots;
    record.reusedConnection = reuse;
    return record;
}

} // namespace

void ConnectionSlot::ForgetResponse()
{
    response.clear();
    response.shrink_to_fit();
    contentLength = 0;
    bytesReceived = 0;
    bodyStart.reset();
    frame.reset();
    chunks = ChunkedReader();
    storedAsItArrives = false;
    incoming.Discard();
}

FetchGuard::FetchGuard(
    const Connection &connection, const quint64 &fetchSerial, const bool &running)
    : m_connection(connection)
    , m_generation(connection.Generation())
    , m_fetchSerial(fetchSerial)
    , m_serial(fetchSerial)
    , m_running(running)
{
}

bool FetchGuard::StillCurrent() const
{
    return m_running && m_connection.Generation() == m_generation && m_fetchSerial == m_serial;
}

SlotFetch::SlotFetch(Engine &engine, int number)
    : QObject(&engine)
    , m_engine(engine)
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
    return (m_socket->State() == Connection::Closed || m_keptOpen) && !m_record.waitingToRetry;
}

bool SlotFetch::IsKeptOpenTo(const std::string &host) const
{
    const int state = m_socket->State();
    return m_keptOpen && (state == Connection::Connected || state == Connection::Connecting)
        && m_record.host == host;
}

void SlotFetch::Clear()
{
    m_record = ConnectionSlot();
    CloseConnection();
    m_tmrOut->stop();
}

void SlotFetch::CloseConnection()
{
    GiveBackNext();
    m_keptOpen = false;
    m_connectionKept = false;
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

SiteJob &SlotFetch::Job()
{
    return m_engine.m_job;
}

bool SlotFetch::Revalidating()
{
    return Job().revalidate.contains(m_record.url);
}

bool SlotFetch::StoresNothingUntilWhole()
{
    return m_record.robots || Revalidating();
}

void SlotFetch::ReadRobots(int status, std::string_view body)
{
    m_engine.m_pace.RobotsRead(m_record.host, status, body, HostPace::Clock::now());
    LeaveStoredFile();
}

void SlotFetch::LeaveStoredFile()
{
    m_tmrOut->stop();
    ShowIdle();
    ReleaseConnection();
    m_engine.CompleteSiteWhenDone();
}

std::string SlotFetch::SavedName() const
{
    return SavedNameOf(m_record.host, m_record.path);
}

void SlotFetch::ShowState(SlotState state)
{
    Q_EMIT m_engine.slotStateChanged(m_number, state);
}

void SlotFetch::ShowIdle()
{
    Q_EMIT m_engine.slotReset(m_number);
}

FetchGuard SlotFetch::Guard() const
{
    return FetchGuard(*m_socket, m_serial, m_engine.m_running);
}

bool SlotFetch::YieldFor(const FetchGuard &guard)
{
    m_engine.Yield();
    return guard.StillCurrent();
}

void SlotFetch::Start(std::string url, FetchTarget target, FetchKind kind)
{
    const bool reuse = IsKeptOpenTo(target.host);
    m_keptOpen = false;
    ++m_serial;
    m_record = RecordOf(std::move(url), std::move(target), kind, reuse);

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
    return m_connectionKept && !m_next && !m_keptOpen && !m_record.startPage && !m_record.robots
        && m_record.contentLength <= kBiggestAnswerToWaitBehind
        && m_socket->State() == Connection::Connected && m_number <= m_engine.m_connectionCount;
}

bool SlotFetch::SendAhead(std::string url, FetchTarget target)
{
    ConnectionSlot next = RecordOf(std::move(url), std::move(target), FetchKind::Link, true);
    const std::optional<std::string> request = RequestOf(next);
    if (!request)
        return false;
    m_socket->Send(*request);
    m_next = std::move(next);
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
    retry.reusedConnection = true;
    m_connectionKept = true;
    TakeUpNext();
    m_socket->Send(*request);
    m_next = std::move(retry);
    return true;
}

void SlotFetch::TakeUpNext()
{
    ++m_serial;
    m_record = std::move(*m_next);
    m_next.reset();
    m_socket->PutBack(m_nextStart);
    m_nextStart.clear();
    m_tmrOut->start();
    ShowState(SlotState::Downloading);
}

void SlotFetch::GiveBackNext()
{
    m_nextStart.clear();
    if (!m_next)
        return;
    if (m_engine.m_running)
        m_engine.m_queue.PutBackOldest(std::move(m_next->queuedUrl));
    m_next.reset();
}

void SlotFetch::OpenAhead(std::string host)
{
    m_record = ConnectionSlot();
    m_record.host = std::move(host);
    CloseConnection();
    m_keptOpen = true;
    ConnectTo(m_record.host);
}

void SlotFetch::Connect()
{
    ShowState(SlotState::Connecting);
    // The request is known before the connection is made, and goes with the connect.
    ConnectTo(m_record.host, RequestOf(m_record).value_or(std::string()));
}

void SlotFetch::ConnectTo(const std::string &host, std::string_view request)
{
    const bool secure = FetchedOverTls(host, Job().secure);
    m_requestWentWithConnect = !request.empty();
    m_socket->Connect(FromNetworkText(host), secure ? kHttpsPort : kHttpPort,
        secure ? Connection::Security::Tls : Connection::Security::Plain, request,
        Job().http2 ? Connection::Http2::Shared : Connection::Http2::No);
}

void SlotFetch::Sock_Connect()
{
    if (std::exchange(m_requestWentWithConnect, false))
        return;
    if (m_keptOpen)
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
    const auto asked = Job().revalidate.find(record.url);
    std::string request = RequestFor(record.host, record.requestPath, Job().KeepsConnectionsAlive(),
        asked == Job().revalidate.end()
            ? std::string()
            : ConditionalFields(asked->second.lastModified, asked->second.etag));
    if (ClimbsAboveRoot(request))
        return std::nullopt;
    return request;
}

void SlotFetch::Sock_Failed()
{
    if (m_keptOpen) {
        CloseConnection();
        return;
    }
    const ConnectFailure failure = m_socket->Failure();
    m_record.lastFailure = failure;
    if (m_record.startPage && failure == ConnectFailure::NameNotFound && m_engine.m_startWwwAdded) {
        CloseConnection();
        m_engine.StartAsTyped(std::string(m_record.url));
        return;
    }
    // The start page cannot wait for a name that will not come, nor robots.txt, which every other
    // URL of its host waits for (the start page's "www." name among them). Any other refused
    // connect or name not found fails its try at once: waiting out the timeout would tell nothing.
    if (IsSecureConnectFailure(failure)
        || ((m_record.startPage || m_record.robots) && failure == ConnectFailure::NameNotFound))
        FailFetch({.kind = Failure::Kind::Connect, .connect = failure});
    else
        FailTry(TryFailure::Connect);
}

void SlotFetch::Judge(const FetchGuard &guard)
{
    m_tmrOut->stop();
    if (!TrimToFrame()) {
        FailTry(TryFailure::BrokenChunks);
        return;
    }
    const HttpResponse answer = ParseResponse(m_record.response, BodyWrittenAhead());
    if (answer.fault != ResponseFault::None) {
        FailTry(answer.fault == ResponseFault::BrokenHead ? TryFailure::BrokenHead
                                                          : TryFailure::ShortBody);
        return;
    }
    if (m_record.robots) {
        ReadRobots(answer.status, answer.Body(m_record.response));
        return;
    }
    if (answer.status == 304 && Revalidating()) {
        Q_EMIT m_engine.fetchUnchanged(m_record.url);
        LeaveStoredFile();
        return;
    }
    if (answer.status >= 400) {
        FailStatus(answer);
        return;
    }
    const std::optional<std::string> location = answer.Location();
    if (location && m_record.startPage) {
        CloseConnection();
        m_engine.FollowStartMove(m_number, *location);
        return;
    }
    const std::string contentType = answer.Field("Content-Type").value_or("");
    const bool typedByServer = TypedByServer(answer);
    if (typedByServer) {
        const std::string extension = ExtensionOfMediaType(contentType);
        const bool wanted = Job().untypedParts.contains(m_record.url)
            || (!extension.empty() && IsWantedType(extension, Job().FileTypeFilter));
        if (!wanted) {
            SkipFetch(contentType);
            return;
        }
    }
    std::vector<PageReference> references;
    std::optional<StoredFetch> stored;
    if (!Store(answer, location, typedByServer, guard, references, stored))
        return;
    if (Contains(m_record.url, "/"))
        ShowIdle();
    ShowState(SlotState::Finished);
    if (!YieldFor(guard))
        return;
    Scan(references, stored, guard);
}

bool SlotFetch::Store(const HttpResponse &answer, const std::optional<std::string> &location,
    bool typedByServer, const FetchGuard &guard, std::vector<PageReference> &references,
    std::optional<StoredFetch> &storedFetch)
{
    SiteJob &job = Job();
    const std::string contentType = answer.Field("Content-Type").value_or("");
    std::optional<std::string> stub = location ? RedirectStub(*location) : std::nullopt;
    if (location && !stub)
        return YieldFor(guard);

    const std::string base
        = Contains(m_record.url, "/") ? BaseOf(m_record.url) : m_record.url + '/';
    const StoredLocation stored = StoredLocationFor(answer);
    // A redirect's target was admitted with its stub; its body holds nothing to follow.
    const DocumentKind kind = location ? DocumentKind::Other : DocumentKindOf(stored, contentType);
    // Finding a big page's references lets the event loop run: the response is the save's own
    // meanwhile, moved, not copied, so that a big response is held once. They are found once,
    // for the saved page and for the scan.
    const std::string response = stub ? std::move(*stub) : std::move(m_record.response);
    const std::string_view body = stub ? std::string_view(response) : answer.Body(response);
    if (kind != DocumentKind::Other)
        references = PageReferencesOf(
            body, kind, base, job, m_engine.m_linkTargets, [this] { m_engine.Yield(); });
    const ReferenceEditor editReferences
        = [&](std::string_view text, DocumentKind savedKind, std::string_view storedFile) {
              if (savedKind == kind)
                  return DiskEdits(text, savedKind, references, storedFile, job);
              return DiskEdits(
                  text, savedKind, PageReferencesOf(text, savedKind, base, job), storedFile, job);
          };
    // A body written to disk as it came is whole with what is held of it.
    const bool onDisk = m_record.incoming.IsOpen();
    const SaveOutcome saved = onDisk ? m_record.incoming.Store(body, job)
                                     : SaveDownloadedFile(body, stored, job, editReferences);
    if (!YieldFor(guard))
        return false;
    if (saved.kind == SaveOutcome::Kind::Stored) {
        ++job.aFiles;
        storedFetch = StoredFetch {.file = stored.file,
            .status = answer.status,
            .size = FileSystem::FileSize(stored.file).value_or(0),
            .contentType = contentType,
            .lastModified = answer.Field("Last-Modified").value_or(""),
            .etag = answer.Field("ETag").value_or(""),
            .tries = m_record.attempt};
        if (!onDisk && kind != DocumentKind::Other && stored.Kind() == kind
            && m_engine.m_savedLinks.Note(m_record.url, stored.file, kind, references, job))
            m_engine.m_savedDocuments[m_record.url] = *storedFetch;
    } else
        m_engine.ReportFailure(m_record.url,
            {.kind = Failure::Kind::NotStored, .detail = saved.reason}, m_record.attempt);
    if (typedByServer)
        LeadOnFromItsName(stored.file);
    return true;
}

void SlotFetch::Scan(const std::vector<PageReference> &references,
    const std::optional<StoredFetch> &stored, const FetchGuard &guard)
{
    SiteJob &job = Job();
    for (const PageReference &reference : references) {
        if (reference.skipped && m_engine.m_skippedLinks.insert(reference.skipped->url).second)
            Q_EMIT m_engine.linkSkipped(reference.skipped->url, reference.skipped->cause);
    }
    const bool followed = ExtractLinks(
        references, m_engine.m_queue, job, [this, &guard] { return YieldFor(guard); });
    // A file is told as stored once its links are queued: a copy stopped before then fetches it
    // again when continued, and so follows them.
    if (stored && guard.StillCurrent())
        Q_EMIT m_engine.fetchStored(m_record.url, *stored);
    if (!guard.StillCurrent())
        return;
    if (!followed) {
        m_engine.ReportFailure(m_record.url,
            {.kind = Failure::Kind::LinksNotFollowed, .detail = job.lastWriteError},
            m_record.attempt);
    }
    // Nothing reads the response after its scan: a big file need not stay in memory until the
    // slot is given its next fetch.
    m_record.response.clear();
    m_record.response.shrink_to_fit();
    ReleaseConnection();
    m_engine.Yield();
    m_engine.CompleteSiteWhenDone();
}

bool SlotFetch::TypedByServer(const HttpResponse &answer) const
{
    const std::string contentType = answer.Field("Content-Type").value_or("");
    return !answer.Location()
        && (TypeOfUrl(m_record.url).extension.empty()
            || m_engine.Job().untypedParts.contains(m_record.url))
        && !contentType.empty() && !IsHtmlMediaType(contentType);
}

StoredLocation SlotFetch::StoredLocationFor(const HttpResponse &answer)
{
    std::string savedAs = SavedName();
    if (!TypedByServer(answer))
        return StoredLocationOf(savedAs, Job());
    // Only a page's part of a type without a usual extension comes this far without one.
    const std::string extension = ExtensionOfMediaType(answer.Field("Content-Type").value_or(""));
    savedAs.insert(std::min(savedAs.find('?'), savedAs.size()),
        extension.empty() ? std::string(kUntypedPartExtension) : extension);
    return StoredLocationOf(savedAs, Job(), NamedBy::ServerType);
}

std::optional<std::string> SlotFetch::RedirectStub(const std::string &location)
{
    SiteJob &job = Job();
    const std::optional<SiteAddress> to
        = ResolveLocation(location, m_engine.RequestedAddress(m_record));
    // A site link written "http://" is fetched over TLS in a secure job; "https://" in a plain
    // job is another site.
    const bool onSite = to && (!to->secure || job.secure)
        && ToLower(ReplaceAll(to->host, "www.", "")) == ToLower(job.siteHost);
    std::string href = to ? AbsoluteUrl(*to) : location;
    if (onSite) {
        const FetchTarget target = FetchTargetOf(to->Url());
        const StoredLocation here = StoredLocationOf(SavedName(), job);
        const StoredLocation there = StoredLocationOf(SavedNameOf(target.host, target.path), job);
        if (here.file == there.file)
            return std::nullopt;
        // An absolute link needs no base.
        const Admission verdict = AdmitLink("http://" + to->Url(), {}, job, m_engine.m_queue);
        if (verdict == Admission::Queued || FileOfJobExists(there.file, job)
            || FileOfJobExists(there.placeholderBase + ".tmp", job))
            href = RelativeHref(here.file, there.file);
    }
    return RedirectPage(href);
}

} // namespace tw
