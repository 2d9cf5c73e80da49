#pragma once

#include "common/sitejob.h"

#include <string>
#include <string_view>

namespace tw {

// Turns a typed download directory (system form) into the one a job writes to: characters that
// may not stand in a file name cleaned, "/" turned into "\", a final "\" added. Returns that text,
// for the directory box to show; job.outputDir receives its prepared form (every "www." removed)
// and every level of the directory is created.
std::string SetOutputDirectory(std::string_view typed, SiteJob &job);

} // namespace tw
