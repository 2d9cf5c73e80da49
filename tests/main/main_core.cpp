#include "support/testenvironment.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    tw::test::IsolateUserFolders();
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Tidewell"));
    QCoreApplication::setApplicationName(QStringLiteral("Tidewell"));
    tw::test::IsolateProgramDirectory();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
