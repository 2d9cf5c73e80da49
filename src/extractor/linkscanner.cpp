#include "extractor/linkscanner.h"

#include "extractor/admission.h"
#include "output/localpath.h"

namespace tw {

void UntypedParts::Note(const std::string &url)
{
    if (const UrlType type = TypeOfUrl(url); type.extension.empty() || type.page)
        m_urls.insert(url);
}

bool ExtractLinks(const std::vector<PageReference> &references, QueueSink &queue, KnownPaths &known,
    UntypedParts &parts, const SiteJob &job, JobWrites &writes, const ScanYield &yield)
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
            parts.Note(reference.target->queued);
        const Admission verdict = reference.target
            ? AdmitTarget(*reference.target, job, writes, known, queue)
            : Admission::Rejected;
        if (verdict == Admission::Failed)
            return false;
        if (!yieldTimes(verdict == Admission::Queued ? 3 : 2))
            return true;
    }
    return true;
}

} // namespace tw
