#pragma once

// The words a window or a terminal shows for why a fetch or a job failed.

#include "crawl/failure.h"

#include <QString>

#include <string_view>

namespace tw {

// "certificate not trusted", "incomplete: 10 of 20 bytes", "not stored: No space left on device",
// "404 Not Found".
QString FailureText(const Failure &failure);

// Why a download folder (OutputDirectoryOf form) is not taken as typed: "the names of stored
// files lose ..., which would make it /copies/x_y/".
QString UncleanFolderText(std::string_view dir);

} // namespace tw
