#include "output/settings.h"

#include <QSettings>

namespace tw {

namespace {

QSettings Store()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Tidewell"),
        QStringLiteral("Tidewell"));
}

QString GroupKey(const QString &key)
{
    return QStringLiteral("Settings/") + key;
}

} // namespace

QString ReadSetting(const QString &key, const QString &defaultValue)
{
    return Store().value(GroupKey(key), defaultValue).toString();
}

void WriteSetting(const QString &key, const QString &value)
{
    Store().setValue(GroupKey(key), value);
}

} // namespace tw
