#include "common/pathform.h"

#include "common/stringops.h"

namespace tw {

std::string AsLocalPath(std::string_view text)
{
    return ReplaceAll(text, "/", kPathSeparatorText);
}

std::string AsSlashedPath(std::string_view path)
{
    return ReplaceAll(path, kPathSeparatorText, "/");
}

std::string UrlSlashes(std::string_view url)
{
    return ReplaceAll(url, std::string_view(&kBackslash, 1), "/");
}

void CollapseDoubledSeparators(std::string &path)
{
    const std::string doubled(2, kPathSeparator);
    ReplaceAllIn(path, doubled, kPathSeparatorText);
}

std::string_view FolderOf(std::string_view path)
{
    return path.substr(0, path.rfind(kPathSeparator) + 1);
}

void EndWithSeparator(std::string &dir)
{
    if (dir.empty() || dir.back() != kPathSeparator)
        dir += kPathSeparator;
}

} // namespace tw
