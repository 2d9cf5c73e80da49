#pragma once

// The link scanner: offers the references of a fetched page, style sheet or SVG image to queue
// admission, letting the event loop run between them so that a big page does not hold up the
// other connections and the windows.

#include "common/sitejob.h"
#include "extractor/queuesink.h"
#include "output/pagesaver.h"

#include <functional>
#include <string>
#include <string_view>

namespace tw {

// Lets the event loop run; false when the fetch whose links are being offered has ended
// meanwhile (a stop, or its slot given to another fetch), which ends the scan.
using ScanYield = std::function<bool()>;

// Admits each link of body (FindReferences of its kind, in order) against base, the directory of
// the page ("/" is added when missing, so an empty base becomes "/"). The links are taken from
// body before the first yield, so body need not outlive one. yield runs three times before each
// link, once after each link that was queued and twice after it. False when a file append
// failed and the links after it were not offered (job.lastWriteError says why).
bool ExtractLinks(std::string_view body, DocumentKind kind, QueueSink &queue, std::string base,
    SiteJob &job, const ScanYield &yield);

} // namespace tw
