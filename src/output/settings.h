#pragma once

// The per-user settings store: string values under the application "Tidewell", group "Settings".

#include <QString>

namespace tw {

QString ReadSetting(const QString &key, const QString &defaultValue);
void WriteSetting(const QString &key, const QString &value);

} // namespace tw
