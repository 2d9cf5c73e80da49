#include "output/incomingfile.h"

#include "common/pathform.h"
#include "output/jobfiles.h"

#include <utility>

namespace tw {

IncomingFile::IncomingFile(IncomingFile &&other) noexcept
    : m_file(std::move(other.m_file))
    , m_location(std::move(other.m_location))
    , m_path(std::exchange(other.m_path, {}))
{
}

IncomingFile &IncomingFile::operator=(IncomingFile &&other) noexcept
{
    if (this != &other) {
        Discard();
        m_file = std::move(other.m_file);
        m_location = std::move(other.m_location);
        m_path = std::exchange(other.m_path, {});
    }
    return *this;
}

IncomingFile::~IncomingFile()
{
    Discard();
}

std::string IncomingPathOf(const StoredLocation &location)
{
    // Ends in ".tmp", so that the sweep at the end of a job takes what a stop left.
    return location.placeholderBase + ".part.tmp";
}

bool IncomingFile::Begin(
    const StoredLocation &location, const SiteJob &job, JobWrites &writes, std::string &error)
{
    Discard();
    const std::string path = IncomingPathOf(location);
    if (const std::optional<SaveOutcome> refused = PrepareToStore(location, job, writes, path)) {
        error = refused->reason;
        return false;
    }
    writes.NotePlaceholderDir(FolderOf(path));
    m_path = path;
    m_location = location;
    if (m_file.Open(path, &error))
        return true;
    Discard();
    return false;
}

bool IncomingFile::Append(std::string_view bytes, std::string &error)
{
    return m_file.Append(bytes, &error);
}

SaveOutcome IncomingFile::Store(std::string_view rest, const SiteJob &job, JobWrites &writes)
{
    std::string error;
    const bool written = Append(rest, error);
    m_file.Close();
    if (!written || !FileSystem::RenameFile(m_path, m_location.file, &error)) {
        NoteJobWrite(m_location.file, JobWrite::Failed, job, writes);
        writes.ForgetAskedDirs();
        Discard();
        return {SaveOutcome::Kind::Failed, error};
    }
    m_path.clear();
    RemoveJobFile(m_location.placeholderBase + ".tmp", job, writes);
    NoteJobWrite(m_location.file, JobWrite::Written, job, writes);
    return {SaveOutcome::Kind::Stored, {}};
}

void IncomingFile::Discard()
{
    m_file = FileSystem::GrowingFile();
    if (!m_path.empty())
        FileSystem::RemoveFile(std::exchange(m_path, {}));
}

} // namespace tw
