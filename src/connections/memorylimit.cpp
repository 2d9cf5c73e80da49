#include "connections/memorylimit.h"

#include <algorithm>
#include <new>

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

void MakeRoomFor(std::string &response, std::size_t incoming, std::size_t room)
{
    const std::size_t needed = response.size() + incoming;
    if (needed <= response.capacity() || needed < kSmallResponseBytes)
        return;
    try {
        std::string grown;
        grown.reserve(std::max(needed, room));
        grown.append(response);
        response.swap(grown);
    } catch (const std::bad_alloc &) {
        // Growing as strings do still works; it only holds more while it copies.
    }
}

} // namespace tw
