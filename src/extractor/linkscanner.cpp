#include "extractor/linkscanner.h"

#include "extractor/admission.h"
#include "extractor/references.h"

#include <vector>

namespace tw {

bool ExtractLinks(std::string_view body, DocumentKind kind, QueueSink &queue, std::string base,
    SiteJob &job, const ScanYield &yield)
{
    if (base.empty() || base.back() != '/')
        base += '/';
    std::vector<std::pair<std::string, bool>> links; // and whether the document embeds it
    for (const Reference &reference : FindReferences(body, kind)) {
        if (const std::string_view link = LinkOf(body, reference); !link.empty())
            links.emplace_back(link, reference.embedded);
    }
    const auto yieldTimes = [&](int times) {
        for (int i = 0; i < times; ++i) {
            if (!yield())
                return false;
        }
        return true;
    };
    for (const auto &[link, embedded] : links) {
        if (!yieldTimes(3))
            return true;
        const Admission verdict = AdmitLink(link, base, job, queue, embedded);
        if (verdict == Admission::Failed)
            return false;
        if (!yieldTimes(verdict == Admission::Queued ? 3 : 2))
            return true;
    }
    return true;
}

} // namespace tw
