#include "transport/endpoint.h"

#include <QHash>

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

} // namespace tw
