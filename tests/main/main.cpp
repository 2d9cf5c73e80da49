// The main of both test programs. Every run stays away from the user's real settings, data and
// program folders: they all live in one temporary folder per test process.

#include "output/filesystem.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <gtest/gtest.h>

#ifdef TIDEWELL_WINDOW_TESTS
#include <QApplication>
using Application = QApplication;
#else
#include <QCoreApplication>
using Application = QCoreApplication;
#endif

int main(int argc, char **argv)
{
    const QTemporaryDir root;
    for (const char *name :
        {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "XDG_CACHE_HOME", "HOME"}) {
        const QString sub = root.path() + QLatin1Char('/') + QString::fromLatin1(name);
        QDir().mkpath(sub);
        QFile::setPermissions(
            sub, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        qputenv(name, sub.toLocal8Bit());
    }
    // Window tests run without a display; CTest also lists them without one.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    Application app(argc, argv);
    Application::setOrganizationName(QStringLiteral("Tidewell"));
    Application::setApplicationName(QStringLiteral("Tidewell"));
#ifdef TIDEWELL_WINDOW_TESTS
    // Tests open and close many windows; closing the last one must not end the run.
    QApplication::setQuitOnLastWindowClosed(false);
#endif
    QStandardPaths::setTestModeEnabled(true);
    QDir().mkpath(root.path() + QStringLiteral("/program"));
    tw::FileSystem::SetProgramDirectory(
        tw::FileSystem::SystemPath(root.path().toStdString() + "/program"));
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
