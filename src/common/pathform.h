#pragma once

// The form of the local paths the core works on: kPathSeparator between components, a folder
// ending in one. The file-system layer (output/filesystem) turns it into the system's own form;
// nothing else needs to know which character it is. A URL is another text: there a browser reads
// a backslash as "/" (UrlSlashes).

#include <string>
#include <string_view>

namespace tw {

inline constexpr char kPathSeparator = '\\';
inline constexpr std::string_view kPathSeparatorText {&kPathSeparator, 1};

// A backslash, read in a URL as "/", and both characters a path or a URL may be split by.
inline constexpr char kBackslash = '\\';
inline constexpr std::string_view kEitherSlash = "/\\";

// text (a URL's path, or a path written with "/") with every "/" as the path separator.
std::string AsLocalPath(std::string_view text);

// A local path with "/" between its components, as a URL names it or as it is shown.
std::string AsSlashedPath(std::string_view path);

// url with every backslash read as "/".
std::string UrlSlashes(std::string_view url);

// Every doubled separator in path made single, in one left-to-right pass (three in a row keep
// two).
void CollapseDoubledSeparators(std::string &path);

// The folder part of path, its last separator included; empty when it has none.
std::string_view FolderOf(std::string_view path);

// Appends the separator to dir unless it ends with one.
void EndWithSeparator(std::string &dir);

} // namespace tw
