#pragma once

// Where `Connection` connects: a host written with its port, and the process-wide connect-to map.

#include <QString>

#include <optional>

namespace tw {

struct Endpoint
{
    QString name;
    quint16 port = 0;
    bool valid = true;

    bool operator==(const Endpoint &) const = default;
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

} // namespace tw
