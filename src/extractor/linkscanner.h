#pragma once

// The link scanner: offers the references of a fetched page, style sheet or SVG image to queue
// admission, letting the event loop run between them so that a big page does not hold up the
// other connections and the windows.

#include "common/sitejob.h"
#include "extractor/admission.h"
#include "extractor/localreferences.h"
#include "extractor/queuesink.h"

#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace tw {

// The URLs without an extension, or with a page's (image.php?id=3), that pages load as their
// parts: what they hold is known only from their answer, and whatever type their server names,
// they are stored under it.
class UntypedParts
{
public:
    // Notes the part queued as url when its name does not tell its type.
    void Note(const std::string &url);
    bool Contains(std::string_view url) const { return m_urls.contains(url); }
    void Clear() { m_urls.clear(); }

private:
    std::unordered_set<std::string, TextHash, std::equal_to<>> m_urls;
};

// Lets the event loop run; false when the fetch whose links are being offered has ended
// meanwhile (a stop, or its slot given to another fetch), which ends the scan.
using ScanYield = std::function<bool()>;

// Admits the target of each reference that has one, in order. yield runs three times before
// each reference, once after each link that was queued and twice after it. False when a file
// append failed and the links after it were not offered (writes.LastAppendError() says why). The
// parts a page loads are noted in parts when the job fetches them.
bool ExtractLinks(const std::vector<PageReference> &references, QueueSink &queue, KnownPaths &known,
    UntypedParts &parts, const SiteJob &job, JobWrites &writes, const ScanYield &yield);

} // namespace tw
