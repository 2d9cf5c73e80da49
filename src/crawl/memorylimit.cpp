#include "crawl/memorylimit.h"

#include <algorithm>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace tw {

namespace {

std::int64_t PhysicalMemoryBytes()
{
#ifndef _WIN32
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && pageSize > 0)
        return std::int64_t(pages) * pageSize;
#endif
    return 0;
}

} // namespace

std::int64_t DefaultResponseMemoryLimit()
{
    const std::int64_t physical = PhysicalMemoryBytes();
    return physical > 0 ? std::min(kMaxDefaultResponseMemory, physical / 4)
                        : kMaxDefaultResponseMemory;
}

} // namespace tw
