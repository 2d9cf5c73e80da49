#include "support/testenvironment.h"

#include <QApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    tw::test::IsolateUserFolders();
    // The default download folder lies in the home folder: keep the wizard's out of the real one.
    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    // Window tests run without a display; CTest also lists them without one.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Tidewell"));
    QApplication::setApplicationName(QStringLiteral("Tidewell"));
    // Tests open and close many windows; closing the last one must not end the run.
    QApplication::setQuitOnLastWindowClosed(false);
    tw::test::IsolateProgramDirectory();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
