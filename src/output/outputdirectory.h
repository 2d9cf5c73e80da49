#pragma once

#include "common/sitejob.h"
#include "output/jobwrites.h"

#include <string>
#include <string_view>

namespace tw {

// The download folder that a typed one (system form) names: "\" turned into "/", a final "/"
// added.
std::string OutputDirectoryOf(std::string_view typed);

// What the cleaning of stored names makes of a download folder (OutputDirectoryOf form). The path
// of a stored file is cleaned whole, its folder included (SanitizePath, then NormalizeLocalPath):
// a folder that the cleaning changes is not the one whose files would be written.
std::string CleanedOutputDirectory(std::string_view dir);

// Sets settings.outputDir to the folder typed and creates every level of it. False, with nothing
// set or created, when the cleaning of stored names would change the folder: it is taken as typed
// or not at all.
bool SetOutputDirectory(std::string_view typed, JobSettings &settings, JobWrites &writes);

} // namespace tw
