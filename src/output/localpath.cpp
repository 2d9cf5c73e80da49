#include "output/localpath.h"

#include "extractor/stringops.h"
#include "output/filesystem.h"

namespace tw {

std::string SanitizePath(std::string_view text)
{
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

std::string SanitizeSavePath(std::string_view text)
{
    std::string path = SanitizePath(text);
    if (!Contains(path, "."))
        path += ".html";
    return path;
}

std::string NormalizeLocalPath(std::string_view path)
{
    std::string prepared = ReplaceAll(Trim(path), "www.", "");
    if (prepared.starts_with("http://"))
        prepared = Trim(prepared.substr(7));
    prepared = ReplaceAll(prepared, "/", "\\");
    return ReplaceAll(prepared, "\\\\", "\\");
}

void PrepareLocalPath(std::string &path, SiteJob &job)
{
    path = NormalizeLocalPath(path);
    const std::string &prepared = path;

    for (auto separator = prepared.find('\\'); separator != std::string::npos;
         separator = prepared.find('\\', separator + 1))
        MakeDirectory(std::string_view(prepared).substr(0, separator + 1), job);
}

void MakeDirectory(std::string_view dir, SiteJob &job)
{
    if (!FileSystem::MakeDir(dir))
        return;
#ifdef _WIN32
    job.createdDirs += ToLower(dir);
#else
    job.createdDirs += dir;
#endif
    job.createdDirs += '*';
}

} // namespace tw
