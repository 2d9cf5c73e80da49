#include "extractor/linkscanner.h"

#include "extractor/admission.h"
#include "output/localpath.h"

namespace tw {

namespace {

// What a part without an extension, or with a page's (image.php?id=3), holds is known only from
// its answer.
void NotePart(const std::string &queued, SiteJob &job)
{
    if (const UrlType type = TypeOfUrl(queued); type.extension.empty() || type.page)
        job.untypedParts.insert(queued);
}

} // namespace

bool ExtractLinks(const std::vector<PageReference> &references, QueueSink &queue, SiteJob &job,
    const ScanYield &yield)
{
    const auto yieldTimes = [&](int times) {
        for (int i = 0; i < times; ++i) {
            if (!yield())
                return false;
        }
        return true;
    };
    for (const PageReference &reference : references) {
        if (!yieldTimes(3))
            return true;
        if (reference.embedded && reference.target && job.pageParts)
            NotePart(reference.target->queued, job);
        const Admission verdict
            = reference.target ? AdmitTarget(*reference.target, job, queue) : Admission::Rejected;
        if (verdict == Admission::Failed)
            return false;
        if (!yieldTimes(verdict == Admission::Queued ? 3 : 2))
            return true;
    }
    return true;
}

} // namespace tw
