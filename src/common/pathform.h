#pragma once

// The form of the local paths the core works on: "/" between components, a folder ending in one,
// whatever the system. The file-system layer (output/filesystem) turns it into the system's own
// form at the edge, and back for paths the system gives. A backslash, in a URL as browsers read
// it and in a local path written the Windows way, stands for "/" (WithSlashes).

#include <string>
#include <string_view>

namespace tw {

// A backslash, and both characters a path or a URL may be split by.
inline constexpr char kBackslash = '\\';
inline constexpr std::string_view kEitherSlash = "/\\";

// text with every backslash as "/".
std::string WithSlashes(std::string_view text);

// Every "//" in path made "/", in one left-to-right pass (three in a row keep two).
void CollapseDoubledSlashes(std::string &path);

// The folder part of path, its last "/" included; empty when it has none.
std::string_view FolderOf(std::string_view path);

// Appends "/" to dir unless it ends with one.
void EndWithSlash(std::string &dir);

} // namespace tw
