#pragma once

// What `Connection` asks of the system's sockets, and the process-wide connect-to map.

#include <QHostAddress>
#include <QString>

#include <optional>

namespace tw {

struct Endpoint
{
    QString name;
    quint16 port = 0;
    bool valid = true;
};

// Splits "name:port" and "[v6]:port"; a bare IPv6 literal has several colons and no port. An
// empty port keeps the one given; a port that is not a number from 1 to 65535 makes it invalid.
Endpoint SplitHostPort(const QString &host, quint16 port);

// Connecting to host (case ignored) on fromPort, or on any port when fromPort is 0, goes to
// target instead.
void AddConnectTo(const QString &host, quint16 fromPort, const Endpoint &target);
void ClearConnectToMap();
// Where a connect to name on port goes instead: the entry for that port first, then the one for
// any port.
std::optional<Endpoint> ConnectToTarget(const QString &name, quint16 port);

// Opens a non-blocking socket and starts connecting it. Returns the descriptor, or -1 when the
// attempt failed at once (refused, unreachable, out of descriptors).
int StartConnect(const QHostAddress &address, quint16 port);

// Closes without a lingering close: unsent bytes are dropped and the peer sees a reset if it
// still has something to say, so the descriptor and port are free at once.
void AbortSocket(int fd);

} // namespace tw
