#include "output/outputdirectory.h"

#include "common/stringops.h"
#include "output/localpath.h"

namespace tw {

std::string SetOutputDirectory(std::string_view typed, SiteJob &job)
{
    std::string dir = ReplaceAll(SanitizePath(typed), "/", "\\");
    EndWithBackslash(dir);
    job.outputDir = dir;
    PrepareLocalPath(job.outputDir, job);
    return dir;
}

} // namespace tw
