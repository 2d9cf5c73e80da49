#pragma once

// The file-type list file ("temp/filetypes.txt" under the program directory) and the
// FileTypeFilter string made from it.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

// ProgramDirectory() + "\temp\filetypes.txt".
std::string FileTypeListPath();

// ".htm", ".html", ".php", ".asp", ".txt", ".gif", ".jpg", ".jpeg", ".png", ".pdf", ".zip", ".css".
const std::vector<std::string> &DefaultFileTypes();

// Writes the entries, each trimmed and followed by CR LF, over the list file. Fails silently.
void SaveFileTypes(const std::vector<std::string> &entries);

// Sets entries to the default list and writes it.
void MakeFileTypesFile(std::vector<std::string> &entries);

// The non-blank lines of the list file as they stand, or nullopt when it cannot be read.
std::optional<std::vector<std::string>> ReadFileTypes();

// A typed extension as the list keeps it: lower case, trimmed, with its leading dot ("HTML"
// gives ".html"); a blank one gives the empty text.
std::string FileTypeEntry(std::string_view typed);

// ":" + LowerTrim(entry) + ":" for each non-blank entry, in order.
std::string FileTypeFilterOf(const std::vector<std::string> &entries);

// The usual extension of a media type ("image/png" gives ".png"; parameters and case do not
// matter), or the empty text for a type without one.
std::string ExtensionOfMediaType(std::string_view contentType);
// The extension a page's part gets when the URL has none and its media type has no usual one.
inline constexpr std::string_view kUntypedPartExtension = ".bin";

// True for "text/html" and "application/xhtml+xml", parameters and case aside.
bool IsHtmlMediaType(std::string_view contentType);

// The filter from the list file; when the file cannot be read, the fallback entries
// ":.htm::.html::.gif::.jpg::.txt::.css::.php:".
std::string LoadFileTypeFilter();

} // namespace tw
