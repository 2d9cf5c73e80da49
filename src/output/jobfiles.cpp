#include "output/jobfiles.h"

#include "common/pathform.h"
#include "output/filesystem.h"

#include <optional>
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

Placed PlaceOf(std::string_view path, const JobSettings &settings)
{
    Placed placed {FileSystem::StoredPath(path), {}};
    const std::string &root = settings.outputDir;
    if (placed.stored.size() > root.size() && placed.stored.starts_with(root)) {
        const std::size_t end = placed.stored.find('/', root.size());
        if (end != std::string::npos)
            placed.topFolder = placed.stored.substr(0, end + 1);
    }
    return placed;
}

} // namespace

bool FileOfJobExists(std::string_view path, const JobSettings &settings, JobWrites &writes)
{
    const Placed placed = PlaceOf(path, settings);
    if (!placed.topFolder.empty()) {
        std::optional<bool> isNew = writes.TopFolderIsNew(placed.topFolder);
        if (!isNew) {
            isNew = FileSystem::KindOfEntry(placed.topFolder) == FileSystem::EntryKind::Nothing;
            writes.NoteTopFolder(placed.topFolder, *isNew);
        }
        if (*isNew)
            return writes.HoldsFile(placed.stored);
    }
    return FileExists(path);
}

void NoteFolderMade(std::string_view dir, const JobSettings &settings, JobWrites &writes)
{
    const Placed placed = PlaceOf(dir, settings);
    if (!placed.topFolder.empty() && placed.topFolder == placed.stored
        && !writes.TopFolderIsNew(placed.topFolder))
        writes.NoteTopFolder(placed.topFolder, true);
}

void NoteJobWrite(
    std::string_view path, JobWrite what, const JobSettings &settings, JobWrites &writes)
{
    const Placed placed = PlaceOf(path, settings);
    if (placed.topFolder.empty())
        return;
    // A folder written to before any question about it is one the disk is asked about.
    const std::optional<bool> isNew = writes.TopFolderIsNew(placed.topFolder);
    if (!isNew)
        writes.NoteTopFolder(placed.topFolder, false);
    if (!isNew.value_or(false))
        return;
    switch (what) {
    case JobWrite::Written:
        writes.NoteFile(placed.stored, true);
        break;
    case JobWrite::Removed:
        writes.NoteFile(placed.stored, false);
        break;
    case JobWrite::Failed:
        writes.NoteTopFolder(placed.topFolder, false);
        break;
    }
}

void RemoveJobFile(std::string_view path, const JobSettings &settings, JobWrites &writes)
{
    FileSystem::RemoveFile(path);
    NoteJobWrite(path, JobWrite::Removed, settings, writes);
}

} // namespace tw
