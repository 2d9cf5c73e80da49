#include "extractor/admission.h"

#include "common/pathform.h"
#include "common/stringops.h"
#include "extractor/urlnormalize.h"
#include "output/filesystem.h"
#include "output/jobfiles.h"
#include "output/localpath.h"
#include "output/mirrorbounds.h"
#include "output/pagesaver.h"
#include "output/placeholders.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace tw {

namespace {

bool AppendTo(
    std::string_view fileName, std::string_view line, const SiteJob &job, JobWrites &writes)
{
    std::string path = job.outputDir + std::string(fileName);
    return AppendLogLine(line, path, job, writes);
}

// A page's own part is fetched whatever its type when the job says so; any other URL only when
// its type is wanted.
bool TypeAdmitted(std::string_view url, const SiteJob &job, bool embedded)
{
    return (embedded && job.pageParts) || IsWantedType(url, job.FileTypeFilter, job.queryPages);
}

// A link followed would log the copy out.
bool EndsHeldSession(std::string_view url, const SiteJob &job, bool embedded)
{
    // The host's name is no link's word.
    return job.holdsSession && !embedded
        && NamesSessionEnd(url.substr(std::min(url.find('/'), url.size())));
}

} // namespace

bool NamesSessionEnd(std::string_view text)
{
    static constexpr std::string_view kWords[] = {"logout", "signout", "logoff", "signoff"};
    static constexpr std::pair<std::string_view, std::string_view> kPairs[]
        = {{"log", "out"}, {"sign", "out"}, {"log", "off"}, {"sign", "off"}};
    std::string word;
    std::string previous;
    const auto endsSession = [&] {
        return std::find(std::begin(kWords), std::end(kWords), word) != std::end(kWords)
            || std::find(std::begin(kPairs), std::end(kPairs),
                   std::pair<std::string_view, std::string_view>(previous, word))
            != std::end(kPairs);
    };
    for (const char c : text) {
        const char lower = LowerAscii(c);
        if (lower >= 'a' && lower <= 'z') {
            word += lower;
            continue;
        }
        if (!word.empty() && endsSession())
            return true;
        if (!word.empty())
            previous = std::move(word);
        word.clear();
    }
    return !word.empty() && endsSession();
}

bool IsWantedType(std::string_view url, std::string_view filter, bool queryPages)
{
    const auto wanted = [filter](std::string_view extension) {
        return Contains(filter, ':' + std::string(extension) + ':');
    };
    // All that follows the last dot names the type only when that dot stands before the query:
    // "view.php?f=page.html" is a page with a query, not an ".html" file.
    const std::string_view tail = GetExtension(url);
    if ((Contains(tail, "?") || !Contains(url, "?")) && wanted(ToLower(TrimmedView(tail))))
        return true;
    const UrlType type = TypeOfUrl(url);
    if (!type.page)
        return type.query && wanted(type.extension);
    const bool pagesWanted
        = type.extension.empty() ? wanted(".htm") || wanted(".html") : wanted(type.extension);
    return pagesWanted && (!type.query || queryPages);
}

std::string LocalPathOf(std::string_view url, const SiteJob &job)
{
    return SanitizePath(Trim(job.outputDir + WithHostFolder(UrlToRelativePath(url))))
        + StoredNameSuffix(url);
}

std::optional<LinkTarget> UnplacedTargetOf(
    std::string_view rawLink, std::string_view base, const SiteJob &job, bool embedded)
{
    std::optional<std::string> normalized
        = NormalizeLink(rawLink, base, job.siteHost, job.secure, embedded && job.otherHosts);
    if (!normalized)
        return std::nullopt;
    LinkTarget target;
    target.normalized = std::move(*normalized);
    if (target.normalized.ends_with('?'))
        target.normalized.pop_back();
    target.resolved = ResolveDotDot(target.normalized);
    target.queued = TidyLink(target.resolved);
    if (!TypeAdmitted(target.queued, job, embedded)
        || EndsHeldSession(target.queued, job, embedded))
        return std::nullopt;
    return target;
}

bool PlaceTarget(LinkTarget &target, const SiteJob &job)
{
    target.localPath = LocalPathOf(target.queued, job);
    if (!StaysInOutputDir(target.localPath, job))
        return false;
    const FetchTarget fetched = FetchTargetOf(target.queued);
    target.storedFile = StoredLocationOf(SavedNameOf(fetched.host, fetched.path), job).file;
    return true;
}

std::optional<LinkTarget> LinkTargetOf(
    std::string_view rawLink, std::string_view base, const SiteJob &job, bool embedded)
{
    std::optional<LinkTarget> target = UnplacedTargetOf(rawLink, base, job, embedded);
    if (!target || !PlaceTarget(*target, job))
        return std::nullopt;
    return target;
}

std::optional<SkippedLink> WhyNotFollowed(
    std::string_view rawLink, std::string_view base, const SiteJob &job, bool embedded)
{
    const std::optional<std::string> normalized
        = NormalizeLink(rawLink, base, job.siteHost, job.secure, true);
    if (!normalized)
        return std::nullopt;
    std::string url = TidyLink(ResolveDotDot(*normalized));
    if (url.ends_with('?'))
        url.pop_back();
    if (!IsOnSite(url, job.siteHost) && !(embedded && job.otherHosts))
        return SkippedLink {std::move(url), SkipCause::OtherHost};
    if (EndsHeldSession(url, job, embedded))
        return SkippedLink {std::move(url), SkipCause::EndsSession};
    if (TypeAdmitted(url, job, embedded))
        return std::nullopt;
    const UrlType type = TypeOfUrl(url);
    const bool queryPage
        = type.page && type.query && !job.queryPages && IsWantedType(url, job.FileTypeFilter, true);
    return SkippedLink {
        std::move(url), queryPage ? SkipCause::QueryPage : SkipCause::TypeNotWanted};
}

std::optional<std::string> QueriedPathOf(std::string_view queued)
{
    if (const UrlType type = TypeOfUrl(queued); !type.page || !type.query)
        return std::nullopt;
    return std::string(queued.substr(0, queued.find('?')));
}

void KnownPaths::CountQuery(std::string_view queued)
{
    if (std::optional<std::string> path = QueriedPathOf(queued))
        ++m_queriesOfPath[std::move(*path)];
}

bool KnownPaths::CountQueryWithin(std::string_view queued, int limit)
{
    const std::optional<std::string> path = QueriedPathOf(queued);
    if (!path)
        return true;
    int &queries = m_queriesOfPath[*path];
    if (queries >= limit) {
        m_pathsAtQueryLimit.insert(*path);
        return false;
    }
    ++queries;
    return true;
}

void SeedTarget(const LinkTarget &target, const SiteJob &job, JobWrites &writes, KnownPaths &known,
    QueueSink &queue)
{
    if (!known.Add(target.localPath))
        return;
    known.CountQuery(target.queued);
    queue.InsertTop(target.queued);
    std::string placeholder = target.localPath + ".tmp";
    if (!FileOfJobExists(target.localPath, job, writes)
        && AppendLine(kPlaceholderText, placeholder, job, writes))
        writes.NotePlaceholderDir(FolderOf(placeholder));
}

Admission AdmitLink(std::string_view rawLink, std::string_view base, const SiteJob &job,
    JobWrites &writes, KnownPaths &known, QueueSink &queue, bool embedded)
{
    const std::optional<LinkTarget> target = LinkTargetOf(rawLink, base, job, embedded);
    return target ? AdmitTarget(*target, job, writes, known, queue) : Admission::Rejected;
}

Admission AdmitTarget(const LinkTarget &target, const SiteJob &job, JobWrites &writes,
    KnownPaths &known, QueueSink &queue)
{
    const std::string &localPath = target.localPath;
    if (known.Contains(localPath))
        return Admission::Rejected;
    // The disk is asked once a path: a file of an earlier copy, or a page stored with ".html"
    // added to its name.
    if (!known.FromRecord()
        && (FileOfJobExists(localPath, job, writes)
            || FileOfJobExists(localPath + ".tmp", job, writes)
            || FileOfJobExists(localPath + ".html", job, writes))) {
        known.Add(localPath);
        return Admission::Rejected;
    }
    if (!known.CountQueryWithin(target.queued, job.maxQueriesPerPath))
        return Admission::Rejected;

    if (Contains(target.normalized, "/../")) {
        if (!AppendTo("transdd.txt", target.normalized, job, writes))
            return Admission::Failed;
        // The record ends with an empty line.
        if (!AppendTo("transdd.txt", target.resolved + "\r\n", job, writes))
            return Admission::Failed;
    }
    queue.InsertTop(target.queued);
    known.Add(localPath);

    std::string placeholder = localPath + ".tmp";
    if (!AppendLine(kPlaceholderText, placeholder, job, writes))
        return Admission::Failed;
    writes.NotePlaceholderDir(FolderOf(placeholder));
    if (!AppendTo("log.txt", target.queued, job, writes))
        return Admission::Failed;
    return Admission::Queued;
}

} // namespace tw
