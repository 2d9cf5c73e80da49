#include "crawl/slotfetch.h"

#include "common/stringops.h"
#include "common/textconversion.h"
#include "crawl/answerjudge.h"
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
    record.kind = kind;
    record.reusedConnection = reuse;
    return record;
}

} // namespace

void ConnectionSlot::ForgetResponse()
{
    reader = ResponseReader();
    contentLength = 0;
    bytesReceived = 0;
    storedAsItArrives = false;
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

bool SlotFetch::Revalidating()
{
    return Job().revalidate.contains(m_record.url);
}

bool SlotFetch::StoresNothingUntilWhole()
{
    return m_record.kind == FetchKind::Robots || Revalidating();
}

void SlotFetch::ReadRobots(int status, std::string_view body)
{
    Report({.kind = FetchOutcome::Kind::RobotsRead, .status = status, .text = body});
    LeaveStoredFile();
}

void SlotFetch::LeaveStoredFile()
{
    m_tmrOut->stop();
    ShowIdle();
    ReleaseConnection();
    m_context.FetchEnded();
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
    return m_connectionKept && !m_next && !m_keptOpen && m_record.kind == FetchKind::Link
        && m_record.contentLength <= kBiggestAnswerToWaitBehind
        && m_socket->State() == Connection::Connected && m_context.InUse(m_number);
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
    m_context.GiveBack(std::move(m_next->queuedUrl));
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
        secure ? Connection::Security::Tls : Connection::Security::Plain, request);
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
    std::string request = RequestFor(record.host, record.requestPath, Job().keepAlive,
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
    // The start page cannot wait for a name that will not come (the engine may try it without the
    // "www." it added), nor robots.txt, which every other URL of its host waits for (the start
    // page's "www." name among them). Any other refused connect or name not found fails its try
    // at once: waiting out the timeout would tell nothing.
    if (IsSecureConnectFailure(failure)
        || (m_record.kind != FetchKind::Link && failure == ConnectFailure::NameNotFound))
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
    const HttpResponse answer = m_record.reader.Answer();
    const UrlType urlType = TypeOfUrl(m_record.url);
    const AnswerVerdict verdict = JudgeAnswer(answer,
        {.kind = m_record.kind,
            .revalidating = Revalidating(),
            .attempt = m_record.attempt,
            .urlExtension = urlType.extension,
            .untypedPart = Job().untypedParts.contains(m_record.url),
            .fileTypeFilter = Job().FileTypeFilter});
    using Verdict = AnswerVerdict::Kind;
    switch (verdict.kind) {
    case Verdict::BrokenHead:
        FailTry(TryFailure::BrokenHead);
        return;
    case Verdict::ShortBody:
        FailTry(TryFailure::ShortBody);
        return;
    case Verdict::ReadRobots:
        ReadRobots(answer.status, answer.Body(m_record.reader.Bytes()));
        return;
    case Verdict::Unchanged:
        Report({.kind = FetchOutcome::Kind::Unchanged});
        LeaveStoredFile();
        return;
    case Verdict::Gone:
        Report({.kind = FetchOutcome::Kind::Gone, .status = answer.status});
        LeaveStoredFile();
        return;
    case Verdict::Retry:
        RetryStatus(verdict.pause);
        return;
    case Verdict::Failed:
        FailStatus(answer);
        return;
    case Verdict::StartMoved:
        CloseConnection();
        Report({.kind = FetchOutcome::Kind::StartMoved, .text = *answer.Location()});
        return;
    case Verdict::Skipped:
        SkipFetch(answer.Field("Content-Type").value_or(""));
        return;
    case Verdict::Store:
        break;
    }
    std::vector<PageReference> references;
    std::optional<StoredFetch> stored;
    if (!Store(answer, verdict.typedByServer, guard, references, stored))
        return;
    if (Contains(m_record.url, "/"))
        ShowIdle();
    ShowState(SlotState::Finished);
    if (!YieldFor(guard))
        return;
    Scan(references, stored, guard);
}

bool SlotFetch::Store(const HttpResponse &answer, bool typedByServer, const FetchGuard &guard,
    std::vector<PageReference> &references, std::optional<StoredFetch> &storedFetch)
{
    SiteJob &job = Job();
    const std::string contentType = answer.Field("Content-Type").value_or("");
    const std::optional<std::string> location = answer.Location();
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
    const std::string response = stub ? std::move(*stub) : m_record.reader.TakeBytes();
    const std::string_view body = stub ? std::string_view(response) : answer.Body(response);
    if (kind != DocumentKind::Other)
        references = PageReferencesOf(
            body, kind, base, job, m_context.Targets(), [this] { m_context.Yield(); });
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
        storedFetch = StoredFetch {.file = stored.file,
            .status = answer.status,
            .size = FileSystem::FileSize(stored.file).value_or(0),
            .contentType = contentType,
            .lastModified = answer.Field("Last-Modified").value_or(""),
            .etag = answer.Field("ETag").value_or(""),
            .tries = m_record.attempt};
        // A page or style sheet saved with its links edited may have them pointed at files
        // that arrive later.
        const bool edited = !onDisk && kind != DocumentKind::Other && stored.Kind() == kind;
        Report({.kind = FetchOutcome::Kind::Saved,
            .stored = storedFetch,
            .document = edited ? kind : DocumentKind::Other,
            .references = &references});
    } else
        Report({.kind = FetchOutcome::Kind::NotStored,
            .failure = {.kind = Failure::Kind::NotStored, .detail = saved.reason}});
    if (typedByServer)
        LeadOnFromItsName(stored.file);
    return true;
}

void SlotFetch::Scan(const std::vector<PageReference> &references,
    const std::optional<StoredFetch> &stored, const FetchGuard &guard)
{
    Report({.kind = FetchOutcome::Kind::LinksFound, .references = &references});
    const bool followed = ExtractLinks(
        references, m_context.NewLinks(), Job(), [this, &guard] { return YieldFor(guard); });
    // A file is told as stored once its links are queued: a copy stopped before then fetches it
    // again when continued, and so follows them.
    if (!guard.StillCurrent())
        return;
    Report({.kind = FetchOutcome::Kind::Stored, .stored = stored, .linksFollowed = followed});
    // Nothing reads the response after its scan: a big file need not stay in memory until the
    // slot is given its next fetch.
    m_record.reader.Release();
    ReleaseConnection();
    m_context.Yield();
    m_context.FetchEnded();
}

bool SlotFetch::TypedByServer(const HttpResponse &answer)
{
    return tw::TypedByServer(
        answer, TypeOfUrl(m_record.url).extension, Job().untypedParts.contains(m_record.url));
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
        = ResolveLocation(location, RequestedAddress(m_record, job.secure));
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
        const Admission verdict = AdmitLink("http://" + to->Url(), {}, job, m_context.NewLinks());
        if (verdict == Admission::Queued || FileOfJobExists(there.file, job)
            || FileOfJobExists(there.placeholderBase + ".tmp", job))
            href = RelativeHref(here.file, there.file);
    }
    return RedirectPage(href);
}

} // namespace tw
