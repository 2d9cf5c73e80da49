#include "output/placeholders.h"

#include "common/pathform.h"
#include "common/stringops.h"
#include "output/filesystem.h"
#include "output/jobfiles.h"
#include "output/localpath.h"
#include "output/mirrorbounds.h"

#include <set>
#include <utility>
#include <vector>

namespace tw {

namespace {

using Appender = bool (*)(std::string_view, std::string_view, std::string *);

bool AppendLineWith(Appender append, std::string_view text, std::string &path, const SiteJob &job,
    JobWrites &writes)
{
    if (!StaysInOutputDir(path, job))
        return false;
    PrepareLocalPath(path, job, writes);
    std::string line(text);
    line += "\r\n";
    std::string why;
    if (append(path, line, &why))
        return true;
    writes.NoteFailedAppend(std::move(why));
    return false;
}

// The pieces of the trimmed list between separators, the piece after the last separator
// included: "a*b*" gives a, b and the empty piece.
std::vector<std::string> SplitTokens(std::string_view list, char separator)
{
    const std::string trimmed = Trim(list);
    std::vector<std::string> pieces(1);
    for (char c : trimmed) {
        if (c == separator)
            pieces.emplace_back();
        else
            pieces.back() += c;
    }
    return pieces;
}

} // namespace

bool AppendLine(std::string_view text, std::string &path, const SiteJob &job, JobWrites &writes)
{
    // Placeholders lie in the site's folders, where the job keeps the list of its files; the logs
    // lie beside them.
    const bool written = AppendLineWith(FileSystem::AppendToFile, text, path, job, writes);
    NoteJobWrite(path, written ? JobWrite::Written : JobWrite::Failed, job, writes);
    return written;
}

bool AppendLogLine(std::string_view text, std::string &path, const SiteJob &job, JobWrites &writes)
{
    return AppendLineWith(FileSystem::AppendToLog, text, path, job, writes);
}

void SweepPlaceholders(const JobWrites &writes)
{
    // Most folders the job made also hold its placeholders: each is read once.
    std::set<std::string> dirs = writes.PlaceholderDirs();
    for (const std::string &entry : SplitTokens(writes.DirsMade(), '*')) {
        if (entry.empty())
            break;
        std::string dir = WithSlashes(entry);
        if (dir.size() <= 4)
            continue;
        EndWithSlash(dir);
        dirs.insert(std::move(dir));
    }
    for (const std::string &dir : dirs)
        FileSystem::RemoveTmpFiles(dir);
}

void RemovePlaceholdersBelow(std::string_view dir)
{
    for (const std::string &file : FileSystem::FilesBelow(dir)) {
        if (file.ends_with(".tmp"))
            FileSystem::RemoveFile(std::string(dir) + file);
    }
}

bool DirectoryIsWritable(std::string &dir)
{
    dir = WithSlashes(dir);
    EndWithSlash(dir);
    const std::string testFile = dir + "test23893.txt";
    return FileSystem::WriteFile(testFile, "sdkjlf\r\n") && FileSystem::RemoveFile(testFile);
}

} // namespace tw
