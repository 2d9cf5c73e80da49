#pragma once

// The link scanner: offers the references of a fetched page, style sheet or SVG image to queue
// admission, letting the event loop run between them so that a big page does not hold up the
// other connections and the windows.

#include "common/sitejob.h"
#include "extractor/localreferences.h"
#include "extractor/queuesink.h"

#include <functional>
#include <vector>

namespace tw {

// Lets the event loop run; false when the fetch whose links are being offered has ended
// meanwhile (a stop, or its slot given to another fetch), which ends the scan.
using ScanYield = std::function<bool()>;

// Admits the target of each reference that has one, in order. yield runs three times before
// each reference, once after each link that was queued and twice after it. False when a file
// append failed and the links after it were not offered (job.lastWriteError says why).
bool ExtractLinks(const std::vector<PageReference> &references, QueueSink &queue, SiteJob &job,
    const ScanYield &yield);

} // namespace tw
