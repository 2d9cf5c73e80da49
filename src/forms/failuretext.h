#pragma once

// The words a window or a terminal shows for why a fetch or a job failed.

#include "connections/failure.h"

#include <QString>

namespace tw {

// "certificate not trusted", "incomplete: 10 of 20 bytes", "not stored: No space left on device",
// "404 Not Found".
QString FailureText(const Failure &failure);

} // namespace tw
