#include "output/localpath.h"

#include "common/pathform.h"
#include "common/stringops.h"
#include "output/filesystem.h"
#include "output/jobfiles.h"

#include <algorithm>

namespace tw {

std::string SanitizePath(std::string_view text)
{
    if (FindAnyOf<'*', '<', '>', '{', '}', '?', '!', '&', '|'>(text) == std::string_view::npos
        && text.find("__") == std::string_view::npos)
        return std::string(text);
    std::string path = ReplaceAll(text, "*", "");
    path = ReplaceAll(path, ">", "_");
    path = ReplaceAll(path, "<", "_");
    path = ReplaceAll(path, "{", "");
    path = ReplaceAll(path, "}", "");
    path = ReplaceAll(path, "?", "_");
    path = ReplaceAll(path, "!", "_");
    path = ReplaceAll(path, "&", "_");
    path = ReplaceAll(path, "|", "");
    for (int pass = 0; pass < 3; ++pass)
        path = ReplaceAll(path, "__", "_");
    return path;
}

std::string HostFolderName(std::string_view host)
{
    // A host asked over TLS from a plain site holds the same files as over plain HTTP.
    return ReplaceAll(WithoutTlsPortMark(host), ":", "+");
}

std::string WithHostFolder(std::string_view relative)
{
    const std::size_t start = relative.find_first_not_of(kEitherSlash);
    if (start == std::string_view::npos)
        return std::string(relative);
    const std::size_t end = std::min(FindAnyOf<kBackslash, '/'>(relative, start), relative.size());
    return std::string(relative.substr(0, start))
        + HostFolderName(relative.substr(start, end - start)) + std::string(relative.substr(end));
}

UrlType TypeOfUrl(std::string_view url)
{
    UrlType type;
    const std::size_t queryStart = url.find('?');
    type.query = queryStart != std::string_view::npos;
    const std::string_view path = url.substr(0, queryStart);
    const std::size_t separator = path.find_last_of(kEitherSlash);
    const std::string_view segment
        = separator == std::string_view::npos ? path : path.substr(separator + 1);
    const std::size_t dot = segment.rfind('.');
    if (dot != std::string_view::npos)
        type.extension = ToLower(segment.substr(dot));
    type.page = dot == std::string_view::npos || IsPagePath(type.extension);
    return type;
}

bool IsPagePath(std::string_view savePath)
{
    for (std::string_view mark : {".htm", ".php", ".shtm", ".asp"}) {
        if (Contains(savePath, mark))
            return true;
    }
    return false;
}

std::string StoredNameSuffix(std::string_view url)
{
    const UrlType type = TypeOfUrl(url);
    if (type.extension.empty())
        return ".html";
    if (!type.query || type.extension.starts_with(".php") || type.extension.starts_with(".asp"))
        return {};
    if (type.page)
        return ".html";
    // The extension as the URL spells it.
    const std::string_view path = url.substr(0, url.find('?'));
    return std::string(path.substr(path.size() - type.extension.size()));
}

std::string SanitizeSavePath(std::string_view text)
{
    return SanitizePath(text) + StoredNameSuffix(text);
}

std::string NormalizeLocalPath(std::string_view path)
{
    std::string prepared = Trim(path);
    ReplaceAllIn(prepared, "www.", "");
    if (prepared.starts_with("http://"))
        prepared = Trim(prepared.substr(7));
    prepared = WithSlashes(prepared);
    CollapseDoubledSlashes(prepared);
    return prepared;
}

void PrepareLocalPath(std::string &path, const JobSettings &settings, JobWrites &writes)
{
    path = NormalizeLocalPath(path);
    const std::string &prepared = path;

    for (auto separator = prepared.find('/'); separator != std::string::npos;
         separator = prepared.find('/', separator + 1)) {
        const std::string_view dir = std::string_view(prepared).substr(0, separator + 1);
        // A folder this job has made or found once is not asked for again.
        if (writes.FirstAskFor(dir))
            MakeDirectory(dir, settings, writes);
    }
}

void MakeDirectory(std::string_view dir, const JobSettings &settings, JobWrites &writes)
{
    if (!FileSystem::MakeDir(dir))
        return;
    NoteFolderMade(dir, settings, writes);
    writes.NoteDirMade(dir);
}

} // namespace tw
