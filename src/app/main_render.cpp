// tidewell-render: draws the pages a copy asks for in a browser page without a window, one at a
// time, so that a page that crashes the browser or eats its memory fails alone. It reads lines
// "TIMEOUT_MS URL" from its standard input and answers each on its standard output with
// "drawn LENGTH\n" and the document's LENGTH bytes (UTF-8), or "failed REASON\n". It needs no
// display, and runs as root too.

#include "app/browsersandbox.h"
#include "app/pagedrawer.h"

#include <QGuiApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include <unistd.h>

namespace {

void Answer(const std::string &text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    tw::LetTheBrowserRunAsRoot();
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    // The browser's flags the copy gives (such as --ignore-certificate-errors); the browser
    // splits them at spaces.
    for (int i = 1; i < argc; ++i)
        flags += ' ' + QByteArray(argv[i]);
    // A page without a window counts as hidden, whose timers the browser slows down: a script
    // that draws from a timer would seem settled between two of its turns.
    flags += " --disable-gpu --renderer-process-limit=1 --disable-background-timer-throttling"
             " --disable-renderer-backgrounding --disable-backgrounding-occluded-windows";
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags);
    QGuiApplication app(argc, argv);

    tw::PageDrawer drawer;
    std::string input;
    bool drawing = false;
    // The copy has ended, or went away: the pages asked for are drawn, then the program ends.
    bool inputEnded = false;
    QSocketNotifier notifier(STDIN_FILENO, QSocketNotifier::Read);
    std::function<void()> next = [&] {
        const std::size_t end = input.find('\n');
        if (!drawing && end == std::string::npos && inputEnded)
            QCoreApplication::quit();
        if (drawing || end == std::string::npos)
            return;
        const std::string line = input.substr(0, end);
        input.erase(0, end + 1);
        const std::size_t space = line.find(' ');
        const int timeoutMs = std::atoi(line.substr(0, space).c_str());
        const QUrl url(QString::fromStdString(line.substr(space + 1)));
        if (space == std::string::npos || timeoutMs <= 0 || !url.isValid()) {
            Answer("failed the request was not understood\n");
            next();
            return;
        }
        drawing = true;
        drawer.Draw(url, timeoutMs, [&](bool drawn, const QString &text) {
            drawing = false;
            const QByteArray bytes = text.toUtf8();
            Answer(drawn ? "drawn " + std::to_string(bytes.size()) + '\n' + bytes.toStdString()
                         : "failed " + text.toStdString() + '\n');
            next();
        });
    };
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        char buffer[4096];
        const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            inputEnded = true;
            notifier.setEnabled(false);
            next();
            return;
        }
        input.append(buffer, static_cast<std::size_t>(got));
        next();
    });
    return QGuiApplication::exec();
}
