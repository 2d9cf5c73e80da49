// A slot's whole answer: judged, then stored (or the page standing in for a redirect) and
// scanned for the links it holds.

#include "crawl/slotfetch.h"

#include "common/stringops.h"
#include "crawl/sitelogin.h"
#include "extractor/admission.h"
#include "extractor/linkscanner.h"
#include "extractor/localreferences.h"
#include "extractor/urlnormalize.h"
#include "output/copyrecord.h"
#include "output/filesystem.h"
#include "output/filetypes.h"
#include "output/jobfiles.h"
#include "output/localpath.h"
#include "output/pagesaver.h"
#include "output/redirectpage.h"

#include <QTimer>

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

void SlotFetch::Judge(const FetchGuard &guard)
{
    m_tmrOut->stop();
    if (!TrimToFrame()) {
        FailTry(TryFailure::BrokenChunks);
        return;
    }
    const HttpResponse answer = m_record.reader.Answer();
    SiteLogin &login = m_context.Login();
    login.TakeCookies(answer, m_record.host, RequestTargetOf(m_record.requestPath),
        FetchedOverTls(m_record.host, Job().secure));
    Job().holdsSession = login.HoldsSession();
    if (answer.status == 401 && AnswerLogin(answer))
        return;
    const UrlType urlType = TypeOfUrl(m_record.url);
    const AnswerVerdict verdict = JudgeAnswer(answer,
        {.kind = m_record.kind,
            .ask = m_record.ask,
            .attempt = m_record.attempt,
            .urlExtension = urlType.extension,
            .fileTypeFilter = Settings().FileTypeFilter});
    using Verdict = AnswerVerdict::Kind;
    switch (verdict.kind) {
    case Verdict::BrokenHead:
        FailTry(TryFailure::BrokenHead);
        return;
    case Verdict::ShortBody:
        FailTry(TryFailure::ShortBody);
        return;
    case Verdict::ReadRobots:
        if (DecodeBody())
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
        if (!DecodeBody())
            return;
        break;
    }
    if (!DrawFirst(answer, verdict.typedByServer))
        Keep(answer, verdict.typedByServer, guard);
}

void SlotFetch::Keep(
    const HttpResponse &answer, bool typedByServer, const FetchGuard &guard, const Drawing *drawing)
{
    std::vector<PageReference> references;
    std::optional<StoredFetch> stored;
    if (!Store(answer, typedByServer, guard, references, stored, drawing))
        return;
    if (Contains(m_record.url, "/"))
        ShowIdle();
    ShowState(SlotState::Finished);
    if (!YieldFor(guard))
        return;
    Scan(references, stored, guard);
}

bool SlotFetch::AnswerLogin(const HttpResponse &answer)
{
    // A site that asks again and again, stale nonce after stale nonce, is refusing.
    constexpr int kMostLoginAnswers = 3;
    const SiteLogin::Challenge challenge = ++m_record.loginAnswers > kMostLoginAnswers
        ? SiteLogin::Challenge::Refused
        : m_context.Login().Answer401(answer, m_record.host,
            FetchedOverTls(m_record.host, Job().secure), m_record.sentCredentials);
    switch (challenge) {
    case SiteLogin::Challenge::Unanswered:
        return false;
    case SiteLogin::Challenge::Refused:
        FailStatus(answer, Failure::Kind::LoginRefused);
        return true;
    case SiteLogin::Challenge::AnsweredInClear:
        Report({.kind = FetchOutcome::Kind::PasswordInClear, .text = m_record.host});
        break;
    case SiteLogin::Challenge::Answered:
        break;
    }
    // The site's question, answered, costs the fetch no try.
    --m_record.attempt;
    if (!RetryBehindNext()) {
        CloseConnection();
        RetryAfter(std::chrono::milliseconds::zero());
    }
    return true;
}

bool SlotFetch::DecodeBody()
{
    if (m_record.reader.DecodeHeldBody())
        return true;
    FailDecoding();
    return false;
}

bool SlotFetch::Store(const HttpResponse &answer, bool typedByServer, const FetchGuard &guard,
    std::vector<PageReference> &references, std::optional<StoredFetch> &storedFetch,
    const Drawing *drawing)
{
    const SiteJob &job = Job();
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
    const bool drawn = drawing && drawing->drawn;
    const std::string_view body = stub ? std::string_view(response)
        : drawn                        ? std::string_view(drawing->text)
                                       : answer.Body(response);
    if (kind != DocumentKind::Other)
        references = PageReferencesOf(
            body, kind, base, job, m_context.Targets(), [this] { m_context.Yield(); });
    const ReferenceEditor editReferences
        = [&](std::string_view text, DocumentKind savedKind, std::string_view storedFile) {
              if (savedKind == kind)
                  return DiskEdits(text, savedKind, references, storedFile, job, m_context.Known());
              return DiskEdits(text, savedKind, PageReferencesOf(text, savedKind, base, job),
                  storedFile, job, m_context.Known());
          };
    // A body written to disk as it came is whole with what is held of it.
    const bool onDisk = m_record.incoming.IsOpen();
    const SaveOutcome saved = onDisk
        ? m_record.incoming.Store(body, job, Writes())
        : SaveDownloadedFile(body, stored, job, Writes(), editReferences);
    if (!YieldFor(guard))
        return false;
    if (saved.kind == SaveOutcome::Kind::Stored) {
        const std::optional<FileSystem::FileStamp> stamp = FileSystem::StampOf(stored.file);
        storedFetch = StoredFetch {.file = stored.file,
            .status = answer.status,
            .size = stamp ? stamp->size : 0,
            .contentType = contentType,
            .lastModified = answer.Field("Last-Modified").value_or(""),
            .etag = answer.Field("ETag").value_or(""),
            .tries = m_record.attempt,
            .received = m_record.reader.CodedSize(),
            .text = saved.text,
            .stamp = stamp,
            .rendering = !drawing ? std::string()
                : drawn           ? std::string(kRendered)
                                  : drawing->text};
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
    const bool followed = ExtractLinks(references, m_context.NewLinks(), m_context.Known(),
        m_context.Parts(), Job(), Writes(), [this, &guard] { return YieldFor(guard); });
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
    return tw::TypedByServer(answer, TypeOfUrl(m_record.url).extension, m_record.kind);
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
    const SiteJob &job = Job();
    JobWrites &writes = Writes();
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
        const Admission verdict = AdmitLink(
            "http://" + to->Url(), {}, job, writes, m_context.Known(), m_context.NewLinks());
        if (verdict == Admission::Queued || FileOfJobExists(there.file, job, writes)
            || FileOfJobExists(there.placeholderBase + ".tmp", job, writes))
            href = RelativeHref(here.file, there.file);
    }
    return RedirectPage(href);
}

} // namespace tw
