#pragma once

// A body stored exactly as it came, written to disk as it arrives rather than held in memory:
// under a temporary name beside the file it becomes, and renamed to that file only once it came
// whole, so that a stored file is never replaced by a part of another. A try that fails, a stop
// or the slot's next fetch removes it.

#include "common/sitejob.h"
#include "output/filesystem.h"
#include "output/jobwrites.h"
#include "output/pagesaver.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tw {

class IncomingFile
{
public:
    IncomingFile() = default;
    IncomingFile(IncomingFile &&other) noexcept;
    IncomingFile &operator=(IncomingFile &&other) noexcept;
    IncomingFile(const IncomingFile &) = delete;
    IncomingFile &operator=(const IncomingFile &) = delete;
    ~IncomingFile();

    // Starts the file that becomes location's file; one an earlier try left is cut to nothing.
    // False, with the reason, when it cannot be written.
    bool Begin(
        const StoredLocation &location, const SiteJob &job, JobWrites &writes, std::string &error);
    bool IsOpen() const { return m_file.IsOpen(); }
    // The body's bytes written so far, and once stored, its size.
    std::int64_t Size() const { return m_file.Size(); }
    bool Append(std::string_view bytes, std::string &error);
    // Appends rest, the end of the body, and stores the whole as location's file, its
    // placeholder gone.
    SaveOutcome Store(std::string_view rest, const SiteJob &job, JobWrites &writes);
    // Closes the file and removes it.
    void Discard();

private:
    FileSystem::GrowingFile m_file;
    StoredLocation m_location;
    // The temporary file while it is this object's to remove.
    std::string m_path;
};

// The temporary name of location's file while its body arrives.
std::string IncomingPathOf(const StoredLocation &location);

} // namespace tw
