#include "output/mirrorbounds.h"

#include "common/pathform.h"
#include "output/filesystem.h"
#include "output/localpath.h"

namespace tw {

namespace {

// Windows drops trailing dots and spaces from a name, so ". ." or "..." could act as a dot
// component there; such names are refused on every platform.
bool IsDotsAndSpaces(std::string_view name)
{
    return name.find_first_not_of(". ") == std::string_view::npos;
}

} // namespace

bool StaysInOutputDir(std::string_view path, const SiteJob &job)
{
    // The download folder in the form paths are compared in.
    const std::string &root = RememberedFor<NormalizeLocalPath>(job.outputDir);
    const std::string prepared = NormalizeLocalPath(path);
    if (root.empty() || root.back() != '/' || !prepared.starts_with(root))
        return false;

    std::string_view rest = std::string_view(prepared).substr(root.size());
    long depth = 0;
    while (!rest.empty()) {
        const auto separator = rest.find('/');
        const std::string_view name = rest.substr(0, separator);
        const bool last = separator == std::string_view::npos;
        rest = last ? std::string_view() : rest.substr(separator + 1);
        if (name.empty())
            continue;
        if (name == "." || name == "..") {
            if (last || (name == ".." && --depth < 0))
                return false;
            continue;
        }
        if (IsDotsAndSpaces(name))
            return false;
        ++depth;
    }
    // The lexical walk above is the rule; the file-system layer's own view must agree with it.
    return FileSystem::IsInsideDirectory(prepared, job.outputDir);
}

} // namespace tw
