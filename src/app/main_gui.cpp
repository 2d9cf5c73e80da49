// The desktop program: the engine and its main window. It takes no command-line options.

#include "app/browsersandbox.h"
#include "crawl/engine.h"
#include "forms/frmmain.h"
#include "forms/pictures.h"
#include "transport/proxy.h"

#include <QApplication>

int main(int argc, char **argv)
{
    // The browser window of a login shares its drawing contexts with the program's own.
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    tw::LetTheBrowserRunAsRoot();
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Tidewell"));
    QApplication::setApplicationName(QStringLiteral("Tidewell"));
    QApplication::setWindowIcon(tw::ProgramIcon());

    tw::Engine engine;
    // Fetches go through the proxies the environment names, as every program's do.
    engine.Job().proxy.environment = tw::ReadProxyEnvironment();
    tw::frmMain window(engine);
    // The main window asks before it lets the program end; once confirmed, nothing else may stay.
    QObject::connect(
        &window, &tw::frmMain::exitConfirmed, &app, &QApplication::quit, Qt::QueuedConnection);
    window.CentreOnScreen();
    // The New Site Wizard opens over it as soon as it is first activated.
    window.show();
    window.activateWindow();
    return app.exec();
}
