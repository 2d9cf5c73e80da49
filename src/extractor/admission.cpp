#include "extractor/admission.h"

#include "extractor/stringops.h"
#include "extractor/urlnormalize.h"
#include "output/localpath.h"
#include "output/mirrorbounds.h"
#include "output/placeholders.h"

namespace tw {

namespace {

bool AppendTo(std::string_view fileName, std::string_view line, SiteJob &job)
{
    std::string path = job.outputDir + std::string(fileName);
    return AppendLine(line, path, job);
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

Admission AdmitLink(
    std::string_view rawLink, std::string_view base, SiteJob &job, DownloadQueue &queue)
{
    // A plain job has one scheme: links to secure pages are not its own.
    if (!job.secure && Contains(rawLink, "https"))
        return Admission::Rejected;
    std::optional<std::string> normalized = NormalizeLink(rawLink, base, job.siteHost, job.secure);
    if (!normalized)
        return Admission::Rejected;
    std::string url = std::move(*normalized);

    // Computed once, before "?" and "/../" are touched: for a URL with "/../" the lexical
    // resolution of ".." names the file of the resolved URL.
    const std::string localPath = LocalPathOf(url, job);
    if (!StaysInOutputDir(localPath, job))
        return Admission::Rejected;

    // A page may have been stored with ".html" added to its name.
    if (FileExists(localPath + ".html") || FileExists(localPath) || FileExists(localPath + ".tmp"))
        return Admission::Rejected;
    if (!IsWantedType(url, job.FileTypeFilter))
        return Admission::Rejected;
    if (url.ends_with('?'))
        url.pop_back();
    if (ClimbsAboveHost(url))
        return Admission::Rejected;

    if (Contains(url, "/../")) {
        if (!AppendTo("transdd.txt", url, job))
            return Admission::Failed;
        url = ResolveDotDot(url);
        // The record ends with an empty line.
        if (!AppendTo("transdd.txt", url + "\r\n", job))
            return Admission::Failed;
    }
    url = TidyLink(url);
    queue.InsertTop(url);

    std::string placeholder = localPath + ".tmp";
    if (!AppendLine(kPlaceholderText, placeholder, job))
        return Admission::Failed;
    if (!AppendTo("log.txt", url, job))
        return Admission::Failed;
    return Admission::Queued;
}

} // namespace tw
