#include "common/pathform.h"

#include "common/stringops.h"

namespace tw {

std::string WithSlashes(std::string_view text)
{
    return ReplaceAll(text, std::string_view(&kBackslash, 1), "/");
}

void CollapseDoubledSlashes(std::string &path)
{
    ReplaceAllIn(path, "//", "/");
}

std::string_view FolderOf(std::string_view path)
{
    return path.substr(0, path.rfind('/') + 1);
}

void EndWithSlash(std::string &dir)
{
    if (dir.empty() || dir.back() != '/')
        dir += '/';
}

} // namespace tw
