#pragma once

// One thread of its own that makes the socket calls whose kernel work would otherwise hold the
// engine's thread: on the same machine, the kernel carries out both ends of a connect's handshake,
// of a request's delivery and of a close's reset inside the call, and wakes the server, while the
// engine could be reading the answers of the other connections. A plain copy opens, connects,
// sends on and closes a socket a file.

#include <functional>

namespace tw {

// Runs task on the courier's thread, after every task posted before it: a close posted after a
// connect of the same socket comes after that connect. Runs it at once when no thread can be had.
void PostToSocketCourier(std::function<void()> task);

} // namespace tw
