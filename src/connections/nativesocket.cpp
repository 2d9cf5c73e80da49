#include "connections/nativesocket.h"

#include <QHash>
#include <QtEndian>

#include <cerrno>
#include <cstring>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tw {

namespace {

QHash<QString, Endpoint> &ConnectToMap()
{
    static QHash<QString, Endpoint> map;
    return map;
}

QString ConnectToKey(const QString &host, quint16 fromPort)
{
    return fromPort == 0 ? host.toLower()
                         : host.toLower() + QLatin1Char(':') + QString::number(fromPort);
}

} // namespace

void AddConnectTo(const QString &host, quint16 fromPort, const Endpoint &target)
{
    ConnectToMap().insert(ConnectToKey(host, fromPort), target);
}

void ClearConnectToMap()
{
    ConnectToMap().clear();
}

std::optional<Endpoint> ConnectToTarget(const QString &name, quint16 port)
{
    auto mapped = ConnectToMap().constFind(ConnectToKey(name, port));
    if (mapped == ConnectToMap().cend())
        mapped = ConnectToMap().constFind(ConnectToKey(name, 0));
    if (mapped == ConnectToMap().cend())
        return std::nullopt;
    return *mapped;
}

Endpoint SplitHostPort(const QString &host, quint16 port)
{
    Endpoint e {host, port};
    QString digits;
    if (host.startsWith(QLatin1Char('['))) {
        const qsizetype close = host.indexOf(QLatin1Char(']'));
        const QString rest = host.mid(close + 1);
        if (close < 0 || (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':'))))
            return {host, port, false};
        e.name = host.mid(1, close - 1);
        digits = rest.mid(1);
    } else {
        const qsizetype colon = host.indexOf(QLatin1Char(':'));
        if (colon < 0 || host.lastIndexOf(QLatin1Char(':')) != colon)
            return e;
        e.name = host.left(colon);
        digits = host.mid(colon + 1);
    }
    if (digits.isEmpty())
        return e;
    bool ok = false;
    const uint value = digits.toUInt(&ok, 10);
    if (!ok || value == 0 || value > 65535 || !digits.front().isDigit())
        return {host, port, false};
    e.port = static_cast<quint16>(value);
    return e;
}

int StartConnect(const QHostAddress &address, quint16 port)
{
    sockaddr_storage storage {};
    socklen_t length = 0;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto *in = reinterpret_cast<sockaddr_in *>(&storage);
        in->sin_family = AF_INET;
        in->sin_port = qToBigEndian(port);
        in->sin_addr.s_addr = qToBigEndian(address.toIPv4Address());
        length = sizeof(sockaddr_in);
    } else if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = qToBigEndian(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, &bytes, sizeof(bytes));
        in6->sin6_scope_id = address.scopeId().toUInt();
        length = sizeof(sockaddr_in6);
    } else {
        return -1;
    }
    const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&storage), length) == 0
        || errno == EINPROGRESS || errno == EINTR)
        return fd;
    ::close(fd);
    return -1;
}

void AbortSocket(int fd)
{
    const linger abortive {1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof(abortive));
    ::close(fd);
}

} // namespace tw
