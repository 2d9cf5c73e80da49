#pragma once

// The words a window or a terminal shows for sizes, rates and times. Sizes are in binary
// multiples: 1 KB is 1024 bytes.

#include <QString>

#include <cstdint>
#include <string>

namespace tw {

// "532 bytes", "1.20 KB", "12.3 KB", "123 KB", "1.20 MB": three significant digits.
QString FormatByteSize(std::int64_t bytes);

// A size as a summary shows it: "532 B", "1.5 KB", "7.2 MB", "1.3 GB", "511 KB" (one decimal
// below 100).
std::string SizeText(std::int64_t bytes);

// bytes over seconds, such as "2.9 MB/s"; the empty text when no time has passed.
QString RateText(std::int64_t bytes, double seconds);

// "45 s", "3 min 05 s", "2 h 07 min": whole seconds, two units at most.
QString DurationText(double seconds);

// What the files still queued take at the pace of those done so far, such as "3 min 05 s left";
// the empty text while too few are done, or too little time has passed, to tell.
QString TimeLeftText(std::int64_t filesDone, std::int64_t filesQueued, double seconds);

} // namespace tw
