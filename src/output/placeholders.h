#pragma once

// Placeholder files, the line appender the logs use, the sweep at the end of a job and the
// directory test of the New Site Wizard.

#include "common/sitejob.h"
#include "output/jobwrites.h"

#include <string>
#include <string_view>

namespace tw {

// The line a placeholder file holds while its URL is queued or being fetched.
inline constexpr std::string_view kPlaceholderText
    = "This file is queued to be downloaded, or did not download correctly.";

// Prepares path (PrepareLocalPath: the caller's variable receives the prepared form, every
// directory on it is created) and appends text followed by CR LF. False when the file could not
// be opened or written (JobWrites::LastAppendError then says why), and when the path lies outside
// job.outputDir or no output directory is set (nothing is then created).
[[nodiscard]] bool AppendLine(
    std::string_view text, std::string &path, const SiteJob &job, JobWrites &writes);

// AppendLine for a job's logs, which stay open between lines (FileSystem::AppendToLog).
[[nodiscard]] bool AppendLogLine(
    std::string_view text, std::string &path, const SiteJob &job, JobWrites &writes);

// Deletes the *.tmp files directly in every directory the job created, up to the first empty
// entry of JobWrites::DirsMade (entries of four characters or fewer, a drive root, are skipped),
// and in every directory the job wrote a placeholder to. Never reports an error.
void SweepPlaceholders(const JobWrites &writes);
// Deletes every *.tmp file below dir (system form, ending with "/"): what a run that was killed
// left of its placeholders.
void RemovePlaceholdersBelow(std::string_view dir);

// Brings dir into the form ".../" (every "\" becomes "/", a final "/" added; the caller's variable
// keeps it), then writes and deletes the test file "test23893.txt" in it. True when both worked.
bool DirectoryIsWritable(std::string &dir);

} // namespace tw
