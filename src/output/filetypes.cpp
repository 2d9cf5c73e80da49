#include "output/filetypes.h"

#include "common/pathform.h"
#include "common/stringops.h"
#include "output/filesystem.h"

#include <algorithm>
#include <array>

namespace tw {

std::string FileTypeListPath()
{
    return FileSystem::ProgramDirectory() + "/temp/filetypes.txt";
}

const std::vector<std::string> &DefaultFileTypes()
{
    static const std::vector<std::string> defaults {
        ".htm",
        ".html",
        ".php",
        ".asp",
        ".txt",
        ".gif",
        ".jpg",
        ".jpeg",
        ".png",
        ".pdf",
        ".zip",
        ".css",
    };
    return defaults;
}

void SaveFileTypes(const std::vector<std::string> &entries)
{
    std::string text;
    for (const auto &entry : entries)
        text += Trim(entry) + "\r\n";
    FileSystem::WriteFile(FileTypeListPath(), text);
}

void MakeFileTypesFile(std::vector<std::string> &entries)
{
    entries = DefaultFileTypes();
    SaveFileTypes(entries);
}

std::optional<std::vector<std::string>> ReadFileTypes()
{
    auto lines = FileSystem::ReadLines(FileTypeListPath());
    if (!lines)
        return std::nullopt;
    std::erase_if(*lines, [](const std::string &line) { return Trim(line).empty(); });
    return lines;
}

std::string FileTypeEntry(std::string_view typed)
{
    std::string entry = LowerTrim(typed);
    if (!entry.empty() && entry.front() != '.')
        entry.insert(entry.begin(), '.');
    return entry;
}

std::string FileTypeFilterOf(const std::vector<std::string> &entries)
{
    std::string filter;
    for (const auto &entry : entries) {
        if (Trim(entry).empty())
            continue;
        filter += ':';
        filter += LowerTrim(entry);
        filter += ':';
    }
    return filter;
}

std::string LoadFileTypeFilter()
{
    if (const auto entries = ReadFileTypes())
        return FileTypeFilterOf(*entries);
    return ":.htm::.html::.gif::.jpg::.txt::.css::.php:";
}

namespace {

std::string MediaType(std::string_view contentType)
{
    return LowerTrim(contentType.substr(0, contentType.find(';')));
}

} // namespace

std::string ExtensionOfMediaType(std::string_view contentType)
{
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 46> kExtensions = {{
        {"text/html", ".html"},
        {"application/xhtml+xml", ".html"},
        {"text/css", ".css"},
        {"text/javascript", ".js"},
        {"application/javascript", ".js"},
        {"application/x-javascript", ".js"},
        {"application/json", ".json"},
        {"application/xml", ".xml"},
        {"text/xml", ".xml"},
        {"application/rss+xml", ".xml"},
        {"application/atom+xml", ".xml"},
        {"text/plain", ".txt"},
        {"text/csv", ".csv"},
        {"image/png", ".png"},
        {"image/jpeg", ".jpg"},
        {"image/gif", ".gif"},
        {"image/webp", ".webp"},
        {"image/avif", ".avif"},
        {"image/svg+xml", ".svg"},
        {"image/x-icon", ".ico"},
        {"image/vnd.microsoft.icon", ".ico"},
        {"font/woff", ".woff"},
        {"font/woff2", ".woff2"},
        {"font/ttf", ".ttf"},
        {"font/otf", ".otf"},
        {"application/font-woff", ".woff"},
        {"application/x-font-woff", ".woff"},
        {"application/font-woff2", ".woff2"},
        {"application/x-font-ttf", ".ttf"},
        {"application/vnd.ms-fontobject", ".eot"},
        {"application/manifest+json", ".webmanifest"},
        {"application/wasm", ".wasm"},
        {"text/vtt", ".vtt"},
        {"image/bmp", ".bmp"},
        {"audio/wav", ".wav"},
        {"audio/webm", ".weba"},
        {"audio/aac", ".aac"},
        {"video/ogg", ".ogv"},
        {"application/pdf", ".pdf"},
        {"application/zip", ".zip"},
        {"application/gzip", ".gz"},
        {"application/x-tar", ".tar"},
        {"audio/mpeg", ".mp3"},
        {"audio/ogg", ".ogg"},
        {"video/mp4", ".mp4"},
        {"video/webm", ".webm"},
    }};
    const std::string type = MediaType(contentType);
    const auto found = std::find_if(kExtensions.begin(), kExtensions.end(),
        [&type](const auto &entry) { return entry.first == type; });
    return found == kExtensions.end() ? std::string() : std::string(found->second);
}

bool IsHtmlMediaType(std::string_view contentType)
{
    const std::string type = MediaType(contentType);
    return type == "text/html" || type == "application/xhtml+xml";
}

} // namespace tw
