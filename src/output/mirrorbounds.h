#pragma once

// The fence around the mirror: whatever a page or a server sends, files are created, written,
// appended and deleted only below the output directory.

#include "common/sitejob.h"

#include <string_view>

namespace tw {

// True when path, prepared as PrepareLocalPath would prepare it, begins with the prepared
// job.outputDir and never climbs above it: no ".." reaches over the output directory at any
// point (so no directory along the path is made outside it), no component of dots and spaces
// only other than "." and "..", and the name at the end, if any, is not "." or "..". A path that
// ends in "/" passes when its directory is the output directory or below it. False when
// job.outputDir is empty.
bool StaysInOutputDir(std::string_view path, const SiteJob &job);

} // namespace tw
