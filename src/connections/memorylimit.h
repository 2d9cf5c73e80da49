#pragma once

// How much memory the responses in flight may hold, and how a response grows within it.

#include <cstddef>
#include <cstdint>
#include <string>

namespace tw {

inline constexpr std::int64_t kMaxDefaultResponseMemory = std::int64_t(1) << 30;

// The smaller of 1 GiB and a quarter of the physical memory (1 GiB when it cannot be told).
std::int64_t DefaultResponseMemoryLimit();

// A response smaller than this grows as strings do, doubling its buffer.
inline constexpr std::size_t kSmallResponseBytes = std::size_t(1) << 20;

// Makes response able to take incoming more bytes. Past kSmallResponseBytes its buffer grows once,
// to room (the most the limit lets it hold), rather than doubling: the system backs the pages
// only as bytes arrive, and no later growth has to copy the response while its old buffer is
// still held, which would hold twice its size at once.
void MakeRoomFor(std::string &response, std::size_t incoming, std::size_t room);

} // namespace tw
