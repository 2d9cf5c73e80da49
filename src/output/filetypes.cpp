#include "output/filetypes.h"

#include "common/stringops.h"
#include "output/filesystem.h"

namespace tw {

std::string FileTypeListPath()
{
    return FileSystem::ProgramDirectory() + "\\temp\\filetypes.txt";
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

} // namespace tw
