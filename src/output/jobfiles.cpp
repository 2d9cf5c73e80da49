#include "output/jobfiles.h"

#include "common/pathform.h"
#include "output/filesystem.h"

#include <string>

namespace tw {

namespace {

// A path as the system stores it, and the folder right below the download folder that holds it;
// no folder when it lies in the download folder itself or outside it, or when the download
// folder's own name is not stored as it is written.
struct Placed
{
    std::string stored;
    std::string topFolder;
};

Placed PlaceOf(std::string_view path, const SiteJob &job)
{
    Placed placed {FileSystem::StoredPath(path), {}};
    const std::string &root = job.outputDir;
    if (placed.stored.size() > root.size() && placed.stored.starts_with(root)) {
        const std::size_t end = placed.stored.find('/', root.size());
        if (end != std::string::npos)
            placed.topFolder = placed.stored.substr(0, end + 1);
    }
    return placed;
}

} // namespace

bool FileOfJobExists(std::string_view path, SiteJob &job)
{
    const Placed placed = PlaceOf(path, job);
    if (!placed.topFolder.empty()) {
        const auto [at, added] = job.topFolderIsNew.try_emplace(placed.topFolder, false);
        if (added)
            at->second
                = FileSystem::KindOfEntry(placed.topFolder) == FileSystem::EntryKind::Nothing;
        if (at->second)
            return job.filesInNewFolders.contains(placed.stored);
    }
    return FileExists(path);
}

void NoteFolderMade(std::string_view dir, SiteJob &job)
{
    const Placed placed = PlaceOf(dir, job);
    if (!placed.topFolder.empty() && placed.topFolder == placed.stored)
        job.topFolderIsNew.try_emplace(placed.topFolder, true);
}

void NoteJobWrite(std::string_view path, JobWrite what, SiteJob &job)
{
    const Placed placed = PlaceOf(path, job);
    if (placed.topFolder.empty())
        return;
    // A folder written to before any question about it is one the disk is asked about.
    auto &isNew = job.topFolderIsNew.try_emplace(placed.topFolder, false).first->second;
    if (!isNew)
        return;
    switch (what) {
    case JobWrite::Written:
        job.filesInNewFolders.insert(placed.stored);
        break;
    case JobWrite::Removed:
        job.filesInNewFolders.erase(placed.stored);
        break;
    case JobWrite::Failed:
        isNew = false;
        break;
    }
}

void RemoveJobFile(std::string_view path, SiteJob &job)
{
    FileSystem::RemoveFile(path);
    NoteJobWrite(path, JobWrite::Removed, job);
}

} // namespace tw
