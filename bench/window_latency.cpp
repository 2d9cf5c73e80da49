// Measures how quickly the main window answers a click while a copy queues a page's links: every
// 20 ms a mouse press is posted to the window, and the time until the window receives it is
// noted. The site is served by tidewell-testserver in another process, so that only the window's
// own work is measured.
//
// Usage: window_latency PORT DOWNLOAD_DIR LINKS [SECONDS_AFTER]
// The server's index page must hold LINKS links to images that answer slowly enough to stay queued.

#include "crawl/engine.h"
#include "forms/frmmain.h"
#include "output/filesystem.h"
#include "output/outputdirectory.h"
#include "transport/connection.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// Notes when each posted press arrives.
class PressClock : public QObject
{
public:
    std::vector<double> latenciesMs;
    QElapsedTimer sincePost;
    bool waiting = false;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::MouseButtonPress && waiting) {
            latenciesMs.push_back(static_cast<double>(sincePost.nsecsElapsed()) / 1e6);
            waiting = false;
            return true;
        }
        return QObject::eventFilter(watched, event);
    }
};

double Percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(share * static_cast<double>(values.size() - 1))];
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 4) {
        std::fprintf(stderr, "usage: window_latency PORT DOWNLOAD_DIR LINKS [SECONDS_AFTER]\n");
        return 2;
    }
    const auto port = static_cast<quint16>(std::atoi(argv[1]));
    const auto links = static_cast<std::size_t>(std::atol(argv[3]));
    const int secondsAfter = argc > 4 ? std::atoi(argv[4]) : 5;

    tw::Engine engine;
    tw::frmMain window(engine);
    window.CancelPendingWizard();
    window.show();
    tw::Connection::SetConnectTo(
        QStringLiteral("www.site.test"), QStringLiteral("127.0.0.1"), port);
    tw::SetOutputDirectory(tw::FileSystem::SystemPath(argv[2]), engine.Job(), engine.Writes());
    engine.SetFileTypeFilterSource([] { return std::string(":.html::.gif:"); });
    engine.SetConnectionCount(tw::kSlotCount);

    PressClock clock;
    QWidget *target = window.centralWidget();
    target->installEventFilter(&clock);
    window.findChild<QLineEdit *>(QStringLiteral("Text1"))
        ->setText(QStringLiteral("www.site.test/"));
    window.ConnectNowNow();

    QElapsedTimer run;
    run.start();
    double queuedAt = -1;
    // A click that comes while the window is busy waits for as long as the window is: the gaps
    // between the timer's turns beyond its interval are what a user waits at worst.
    std::vector<double> waitsMs;
    double longestAt = 0;
    QElapsedTimer sinceTurn;
    sinceTurn.start();
    QTimer poster;
    QObject::connect(&poster, &QTimer::timeout, &poster, [&] {
        waitsMs.push_back(std::max(0.0, static_cast<double>(sinceTurn.nsecsElapsed()) / 1e6 - 20));
        if (waitsMs.back() >= *std::max_element(waitsMs.begin(), waitsMs.end()))
            longestAt = static_cast<double>(run.elapsed()) / 1000.0;
        sinceTurn.start();
        const std::size_t seen = engine.Queue().Count()
            + static_cast<std::size_t>(engine.Counters().aFiles + engine.BusyConnections());
        if (queuedAt < 0 && seen >= links)
            queuedAt = static_cast<double>(run.elapsed()) / 1000.0;
        if (queuedAt >= 0
            && static_cast<double>(run.elapsed()) / 1000.0 > queuedAt + secondsAfter) {
            engine.StopNOW();
            // Leaves the loop without closing the window, which would ask first.
            QCoreApplication::exit(0);
            return;
        }
        if (clock.waiting)
            return;
        clock.waiting = true;
        clock.sincePost.start();
        QCoreApplication::postEvent(target,
            new QMouseEvent(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                Qt::LeftButton, Qt::NoModifier));
    });
    poster.start(20);
    app.exec();

    std::printf(
        "%zu links queued after %.1f s; %zu presses answered: median %.1f ms, 99th "
        "percentile %.1f ms, longest %.1f ms; the window was busy at most %.1f ms at a time "
        "(99th percentile %.1f ms), the longest ending %.1f s into the copy\n",
        links, queuedAt, clock.latenciesMs.size(), Percentile(clock.latenciesMs, 0.5),
        Percentile(clock.latenciesMs, 0.99), Percentile(clock.latenciesMs, 1.0),
        Percentile(waitsMs, 1.0), Percentile(waitsMs, 0.99), longestAt);
    std::fflush(stdout);
    return 0;
}
