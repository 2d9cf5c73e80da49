#pragma once

// How much memory the responses in flight may hold by default on this machine.

#include <cstdint>

namespace tw {

inline constexpr std::int64_t kMaxDefaultResponseMemory = std::int64_t(1) << 30;

// The smaller of 1 GiB and a quarter of the physical memory (1 GiB when it cannot be told).
std::int64_t DefaultResponseMemoryLimit();

} // namespace tw
