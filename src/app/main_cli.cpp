#include "app/clirunner.h"
#include "common/version.h"

#include <QCoreApplication>

#include <csignal>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Tidewell"));
    QCoreApplication::setApplicationName(QStringLiteral("Tidewell"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(tw::kVersion));
    std::signal(SIGINT, [](int) { tw::RequestCliStop(); });
    std::signal(SIGTERM, [](int) { tw::RequestCliStop(); });

    QTextStream out(stdout);
    QTextStream err(stderr);
    return tw::RunCli(QCoreApplication::arguments(), out, err, tw::CliEnd::EndProcess);
}
