#pragma once

// Pure path work for the file-system layer: names and paths fitted to the system's limits in a
// stable way, and the lexical normalization of POSIX paths. Nothing here touches the disk.

#include "output/filesystem.h"

#include <string>
#include <string_view>

namespace tw::FileSystem {

// name with "~" and 16 hexadecimal digits of a hash of all of it before its extension (up to 16
// bytes), cut to fit kMaxNameBytes.
std::string HashedName(std::string_view name);

// name as it is when it fits kMaxNameBytes, HashedName otherwise.
std::string FitName(std::string_view name);

struct FittedPath
{
    std::string path;
    bool folded = false;
};

// path (separator between names, normalized) with every name fitted; when still longer than
// kMaxPathBytes, its folders are kept while they fit with room for one name, and the rest becomes
// one hashed name.
FittedPath Fit(std::string_view path, char separator);

// True when no name of path is longer than kMaxNameBytes and path is no longer than kMaxPathBytes.
bool FitsAsItIs(std::string_view path, char separator);

// What lexically_normal would change in a POSIX path: "." or ".." components, doubled slashes.
bool HasDotsOrDoubleSlashes(std::string_view path);

// std::filesystem::path::lexically_normal for a POSIX path, in one pass over its names.
std::string LexicallyNormalPosix(std::string_view path);

} // namespace tw::FileSystem
