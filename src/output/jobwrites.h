#pragma once

// What the output knows of its own writes during one job: the folders it asked for and made, where
// it left placeholders, the folders right below the download folder that were new and the files it
// wrote there, and why its last append failed. A new job starts knowing none of it.

#include "common/stringops.h"

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace tw {

class JobWrites
{
public:
    // True the first time dir is asked to be made, whether or not it existed. A failed write
    // forgets every folder asked for, so that one removed meanwhile is made again.
    bool FirstAskFor(std::string_view dir);
    void ForgetAskedDirs() { m_askedDirs.clear(); }

    // The job created dir: the folders made, each followed by "*" in order of creation (lower-cased
    // only where file names ignore case).
    void NoteDirMade(std::string_view dir);
    const std::string &DirsMade() const { return m_dirsMade; }

    // The folders the job wrote a placeholder to, whether or not it made them.
    void NotePlaceholderDir(std::string_view dir) { m_placeholderDirs.emplace(dir); }
    const std::set<std::string> &PlaceholderDirs() const { return m_placeholderDirs; }

    // Whether a folder right below the download folder did not exist when the job first asked
    // about it or wrote to it; nothing before that. Nothing else than the job's files is in a new
    // one: those it wrote and did not remove, as the system stores them.
    std::optional<bool> TopFolderIsNew(std::string_view topFolder) const;
    void NoteTopFolder(std::string_view topFolder, bool isNew);
    bool HoldsFile(std::string_view stored) const { return m_filesInNewFolders.contains(stored); }
    void NoteFile(std::string_view stored, bool present);

    // Why the last append to a log or placeholder file failed, in the system's words.
    const std::string &LastAppendError() const { return m_lastAppendError; }
    void NoteFailedAppend(std::string why) { m_lastAppendError = std::move(why); }

    void Clear() { *this = JobWrites(); }

private:
    using TextSet = std::unordered_set<std::string, TextHash, std::equal_to<>>;
    TextSet m_askedDirs;
    std::string m_dirsMade;
    std::set<std::string> m_placeholderDirs;
    std::unordered_map<std::string, bool, TextHash, std::equal_to<>> m_topFolderIsNew;
    TextSet m_filesInNewFolders;
    std::string m_lastAppendError;
};

} // namespace tw
