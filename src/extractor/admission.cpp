#include "extractor/admission.h"

#include "common/stringops.h"
#include "extractor/urlnormalize.h"
#include "output/filesystem.h"
#include "output/localpath.h"
#include "output/mirrorbounds.h"
#include "output/placeholders.h"

namespace tw {

namespace {

bool AppendTo(std::string_view fileName, std::string_view line, SiteJob &job)
{
    std::string path = job.outputDir + std::string(fileName);
    return AppendLogLine(line, path, job);
}

} // namespace

bool IsWantedType(std::string_view url, std::string_view filter)
{
    const std::string entry = ':' + Trim(GetExtension(ToLower(url))) + ':';
    return Contains(filter, entry);
}

std::string LocalPathOf(std::string_view url, const SiteJob &job)
{
    return SanitizePath(Trim(job.outputDir + WithHostFolder(UrlToRelativePath(url))));
}

bool IsSkippedLink(std::string_view rawLink)
{
    return Contains(rawLink, "irc:") || Contains(rawLink, "ftp:") || Contains(rawLink, "@");
}

std::optional<LinkTarget> LinkTargetOf(
    std::string_view rawLink, std::string_view base, const SiteJob &job)
{
    // A plain job has one scheme: links to secure pages are not its own.
    if (!job.secure && Contains(rawLink, "https"))
        return std::nullopt;
    std::optional<std::string> normalized = NormalizeLink(rawLink, base, job.siteHost, job.secure);
    if (!normalized || !IsWantedType(*normalized, job.FileTypeFilter))
        return std::nullopt;
    LinkTarget target;
    // Computed before "?" and "/../" are touched: for a URL with "/../" the lexical resolution of
    // ".." names the file of the resolved URL.
    target.localPath = LocalPathOf(*normalized, job);
    if (!StaysInOutputDir(target.localPath, job))
        return std::nullopt;
    target.normalized = std::move(*normalized);
    if (target.normalized.ends_with('?'))
        target.normalized.pop_back();
    if (ClimbsAboveHost(target.normalized))
        return std::nullopt;
    target.resolved = Contains(target.normalized, "/../") ? ResolveDotDot(target.normalized)
                                                          : target.normalized;
    target.queued = TidyLink(target.resolved);
    return target;
}

Admission AdmitLink(std::string_view rawLink, std::string_view base, SiteJob &job, QueueSink &queue)
{
    const std::optional<LinkTarget> target = LinkTargetOf(rawLink, base, job);
    if (!target)
        return Admission::Rejected;
    // A page may have been stored with ".html" added to its name.
    const std::string &localPath = target->localPath;
    if (FileExists(localPath) || FileExists(localPath + ".tmp") || FileExists(localPath + ".html"))
        return Admission::Rejected;

    if (Contains(target->normalized, "/../")) {
        if (!AppendTo("transdd.txt", target->normalized, job))
            return Admission::Failed;
        // The record ends with an empty line.
        if (!AppendTo("transdd.txt", target->resolved + "\r\n", job))
            return Admission::Failed;
    }
    queue.InsertTop(target->queued);

    std::string placeholder = localPath + ".tmp";
    if (!AppendLine(kPlaceholderText, placeholder, job))
        return Admission::Failed;
    job.placeholderDirs.insert(placeholder.substr(0, placeholder.rfind('\\') + 1));
    if (!AppendTo("log.txt", target->queued, job))
        return Admission::Failed;
    return Admission::Queued;
}

} // namespace tw
