#pragma once

// Whether a file of the download folder exists, answered from the job's own writes where they
// tell: below a folder of the download folder that was not there when the job first asked about
// it, every file is one the job wrote. A copy into a new folder then admits its links without
// asking the disk whether an earlier copy left a file in their place.

#include "common/sitejob.h"
#include "output/jobwrites.h"

#include <string_view>

namespace tw {

// Whether a file lies at path (system form).
bool FileOfJobExists(std::string_view path, const JobSettings &settings, JobWrites &writes);

// The job made the folder dir (system form, ending with "/"): one right below the download folder
// holds nothing but what the job writes.
void NoteFolderMade(std::string_view dir, const JobSettings &settings, JobWrites &writes);

// What the job did to the file at path (system form). A write that failed may leave a file or
// none, so the disk is asked about its folder from then on.
enum class JobWrite { Written, Removed, Failed };
void NoteJobWrite(
    std::string_view path, JobWrite what, const JobSettings &settings, JobWrites &writes);

// Deletes the job's file at path (system form) and notes that it is gone.
void RemoveJobFile(std::string_view path, const JobSettings &settings, JobWrites &writes);

} // namespace tw
