#include "output/jobwrites.h"

namespace tw {

bool JobWrites::FirstAskFor(std::string_view dir)
{
    if (m_askedDirs.contains(dir))
        return false;
    m_askedDirs.emplace(dir);
    return true;
}

void JobWrites::NoteDirMade(std::string_view dir)
{
#ifdef _WIN32
    m_dirsMade += ToLower(dir);
#else
    m_dirsMade += dir;
#endif
    m_dirsMade += '*';
}

std::optional<bool> JobWrites::TopFolderIsNew(std::string_view topFolder) const
{
    const auto found = m_topFolderIsNew.find(topFolder);
    if (found == m_topFolderIsNew.end())
        return std::nullopt;
    return found->second;
}

void JobWrites::NoteTopFolder(std::string_view topFolder, bool isNew)
{
    if (const auto found = m_topFolderIsNew.find(topFolder); found != m_topFolderIsNew.end())
        found->second = isNew;
    else
        m_topFolderIsNew.emplace(topFolder, isNew);
}

void JobWrites::NoteFile(std::string_view stored, bool present)
{
    if (!present) {
        if (const auto found = m_filesInNewFolders.find(stored); found != m_filesInNewFolders.end())
            m_filesInNewFolders.erase(found);
    } else if (!m_filesInNewFolders.contains(stored)) {
        m_filesInNewFolders.emplace(stored);
    }
}

} // namespace tw
