#pragma once

// How much memory the responses in flight may hold.

#include <cstddef>
#include <cstdint>

namespace tw {

inline constexpr std::int64_t kMaxDefaultResponseMemory = std::int64_t(1) << 30;

// The smaller of 1 GiB and a quarter of the physical memory (1 GiB when it cannot be told).
std::int64_t DefaultResponseMemoryLimit();

// A body stored exactly as it came (neither a page, a style sheet nor an SVG image, whose links are
// rewritten) is held in memory up to this size, or while the limit leaves room; beyond, it is
// written to disk as it arrives, so that the limit bounds what is held, not what can be copied.
inline constexpr std::size_t kHeldBodyBytes = std::size_t(1) << 20;

} // namespace tw
