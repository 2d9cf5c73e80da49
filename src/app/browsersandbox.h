#pragma once

// The browser engine cannot start its sandbox as root; a user's own session keeps the sandbox.

#include <QByteArray>
#include <QtGlobal>

#include <unistd.h>

namespace tw {

// Before the application object is made.
inline void LetTheBrowserRunAsRoot()
{
    if (geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
}

} // namespace tw
