#include "output/pathfitting.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace tw::FileSystem {

namespace {

// 16 hexadecimal digits of the FNV-1a hash of text: stable across runs and systems.
std::string HashDigits(std::string_view text)
{
    std::uint64_t hash = 14695981039346656037ULL;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string digits(16, '0');
    for (int i = 15; i >= 0; --i, hash >>= 4)
        digits[static_cast<std::size_t>(i)] = kDigits[hash & 15];
    return digits;
}

} // namespace

std::string HashedName(std::string_view name)
{
    const std::size_t dot = name.rfind('.');
    const std::string_view extension
        = dot != std::string_view::npos && dot > 0 && name.size() - dot <= 16 ? name.substr(dot)
                                                                              : std::string_view();
    const std::string mark = '~' + HashDigits(name);
    const std::size_t keep
        = std::min(name.size() - extension.size(), kMaxNameBytes - mark.size() - extension.size());
    return std::string(name.substr(0, keep)) + mark + std::string(extension);
}

std::string FitName(std::string_view name)
{
    return name.size() <= kMaxNameBytes ? std::string(name) : HashedName(name);
}

FittedPath Fit(std::string_view path, char separator)
{
    std::vector<std::string> names;
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find(separator, start), path.size());
        names.push_back(FitName(path.substr(start, end - start)));
        start = end + 1;
    }
    FittedPath fitted;
    for (std::size_t i = 0; i < names.size(); ++i)
        fitted.path.append(i == 0 ? "" : std::string(1, separator)).append(names[i]);
    if (fitted.path.size() <= kMaxPathBytes)
        return fitted;

    std::string kept;
    std::size_t i = 0;
    for (;
         i + 1 < names.size() && kept.size() + names[i].size() + 2 + kMaxNameBytes <= kMaxPathBytes;
         ++i)
        kept.append(names[i]).push_back(separator);
    std::string rest;
    for (std::size_t j = i; j < names.size(); ++j)
        rest.append(j == i ? "" : "_").append(names[j]);
    fitted.path = kept + HashedName(rest);
    fitted.folded = true;
    return fitted;
}

bool HasDotsOrDoubleSlashes(std::string_view path)
{
    // One pass over the names: an empty one other than the first or the last is a doubled slash.
    for (std::size_t start = 0;;) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view name = path.substr(start, end - start);
        if (name == "." || name == ".." || (name.empty() && start != 0 && end != path.size()))
            return true;
        if (end == path.size())
            return false;
        start = end + 1;
    }
}

std::string LexicallyNormalPosix(std::string_view path)
{
    const bool rooted = path.starts_with('/');
    std::vector<std::string_view> names;
    bool endsInFolder = false;
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view name = path.substr(start, end - start);
        start = end + 1;
        if (name.empty() || name == ".") {
            endsInFolder = endsInFolder || !names.empty() || name == ".";
        } else if (name == ".." && !names.empty() && names.back() != "..") {
            names.pop_back();
            endsInFolder = true;
        } else if (name != ".." || !rooted) {
            names.push_back(name);
            endsInFolder = false;
        }
    }
    std::string normal = rooted ? "/" : "";
    for (std::size_t i = 0; i < names.size(); ++i)
        normal.append(i == 0 ? "" : "/").append(names[i]);
    if (endsInFolder && !names.empty() && names.back() != "..")
        normal += '/';
    return normal.empty() ? "." : normal;
}

bool FitsAsItIs(std::string_view path, char separator)
{
    if (path.size() > kMaxPathBytes)
        return false;
    for (std::size_t start = 0; start < path.size();) {
        const std::size_t end = std::min(path.find(separator, start), path.size());
        if (end - start > kMaxNameBytes)
            return false;
        start = end + 1;
    }
    return true;
}

} // namespace tw::FileSystem
