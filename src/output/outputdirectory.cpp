#include "output/outputdirectory.h"

#include "common/pathform.h"
#include "common/stringops.h"
#include "output/localpath.h"

namespace tw {

std::string OutputDirectoryOf(std::string_view typed)
{
    std::string dir = WithSlashes(typed);
    EndWithSlash(dir);
    return dir;
}

std::string CleanedOutputDirectory(std::string_view dir)
{
    return NormalizeLocalPath(SanitizePath(dir));
}

bool SetOutputDirectory(std::string_view typed, JobSettings &settings, JobWrites &writes)
{
    std::string dir = OutputDirectoryOf(typed);
    if (CleanedOutputDirectory(dir) != dir)
        return false;
    settings.outputDir = std::move(dir);
    PrepareLocalPath(settings.outputDir, settings, writes);
    return true;
}

} // namespace tw
