#pragma once

// The steps of Connection that make a connection (connectsteps.cpp): the name looked up, or its
// addresses kept from an earlier lookup, each address tried in turn on the socket courier, and
// the TLS handshake; and what they share with the rest of Connection.

#include "transport/socketcalls.h"

namespace tw {

// Closes socket on the courier, after whatever it was asked to do with it before.
void CloseOnCourier(SocketHandle socket);

} // namespace tw
