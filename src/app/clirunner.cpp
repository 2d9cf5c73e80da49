#include "app/clirunner.h"

#include "app/checkcommand.h"
#include "app/clioptions.h"
#include "app/clitypes.h"
#include "report/copyjournal.h"

#include "common/stringops.h"
#include "common/textconversion.h"
#include "crawl/engine.h"
#include "crawl/memorylimit.h"
#include "output/filesystem.h"
#include "output/filetypes.h"
#include "output/outputdirectory.h"
#include "output/placeholders.h"
#include "render/renderers.h"
#include "report/failuretext.h"
#include "report/progresstext.h"
#include "transport/connection.h"
#include "transport/proxy.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <variant>

#ifndef _WIN32
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace tw {

namespace {

std::atomic<bool> g_stopRequested {false};

constexpr int kPollIntervalMs = 50;
constexpr int kProgressIntervalMs = 250;

// The copier puts "www." in front of a start URL that has none, so a host named without it also
// stands for its "www." form, unless that form is named on its own.
void ApplyConnectTo(const std::vector<ConnectTo> &entries)
{
    const QString www = QStringLiteral("www.");
    for (const ConnectTo &entry : entries) {
        if (!entry.host.startsWith(www, Qt::CaseInsensitive))
            Connection::SetConnectTo(www + entry.host, entry.address, entry.port);
    }
    for (const ConnectTo &entry : entries)
        Connection::SetConnectTo(entry.host, entry.address, entry.port);
}

// What the renderer's browser is told of the command line: whether it takes any certificate.
QStringList BrowserFlagsOf(const CliOptions &options)
{
    if (options.checkCertificates)
        return {};
    return {QStringLiteral("--ignore-certificate-errors")};
}

// The trust of secure connections: the system's certificates, those in caFile (PEM) if named,
// or none at all.
std::optional<CliRejection> ApplyTrust(const QString &caFile, bool check)
{
    TlsTrust trust;
    trust.verify = check;
    if (!caFile.isEmpty()) {
        const auto lines = FileSystem::ReadLines(FileSystem::SystemPath(ToLocalText(caFile)));
        if (!lines)
            return CliRejection {QStringLiteral("cannot read --ca-certificate %1").arg(caFile)};
        for (const std::string &line : *lines)
            trust.extraAuthorities += line + '\n';
    }
    if (!caFile.isEmpty() && !TlsAvailable())
        return CliRejection {QStringLiteral(
            "cannot use --ca-certificate: OpenSSL, which secure connections need, could not be "
            "loaded")};
    if (!SetTlsTrust(trust))
        return CliRejection {
            QStringLiteral("--ca-certificate %1 holds no PEM certificate").arg(caFile)};
    return std::nullopt;
}

// What is wrong with the environment's proxies when the copy would use them.
std::optional<CliRejection> CheckProxies(const ProxySettings &proxy)
{
    if (!proxy.url.empty() || !proxy.fromEnvironment)
        return std::nullopt;
    for (const auto &[name, url] : {std::pair {"http_proxy", proxy.environment.http},
             std::pair {"https_proxy", proxy.environment.https}}) {
        if (!url.empty() && !ParseProxyUrl(url))
            return CliRejection {
                QStringLiteral("%1 names no HTTP proxy (http://HOST:PORT): \"%2\"; "
                               "--no-proxy ignores it")
                    .arg(QLatin1String(name), FromNetworkText(WithoutUserInfo(url)))};
    }
    return std::nullopt;
}

// Which proxies the copy goes through, without their passwords; empty for none.
QString ProxiesText(const ProxySettings &proxy)
{
    const ProxyEnvironment none;
    const ProxyEnvironment &environment = proxy.fromEnvironment ? proxy.environment : none;
    const std::string &http = proxy.url.empty() ? environment.http : proxy.url;
    const std::string &https = proxy.url.empty() ? environment.https : proxy.url;
    QStringList each;
    for (const auto &[url, scheme] : {std::pair {&http, "http"}, std::pair {&https, "https"}}) {
        if (!url->empty())
            each << QStringLiteral("%1 for %2://")
                        .arg(FromNetworkText(WithoutUserInfo(*url)), QLatin1String(scheme));
    }
    if (each.isEmpty())
        return {};
    QString text = QStringLiteral("Through the proxy ")
        + (http == https ? FromNetworkText(WithoutUserInfo(http))
                         : each.join(QStringLiteral(", ")));
    if (!environment.noProxy.empty())
        text += QStringLiteral(", except for %1").arg(FromNetworkText(environment.noProxy));
    return text;
}

bool IsTerminal(QTextStream &stream)
{
#ifndef _WIN32
    auto *file = qobject_cast<QFile *>(stream.device());
    return file && isatty(file->handle());
#else
    Q_UNUSED(stream);
    return false;
#endif
}

// The width of the terminal stream writes to, or 0 when it is not known.
int TerminalColumns(QTextStream &stream)
{
#ifndef _WIN32
    auto *file = qobject_cast<QFile *>(stream.device());
    winsize size {};
    if (file && ioctl(file->handle(), TIOCGWINSZ, &size) == 0)
        return size.ws_col;
#else
    Q_UNUSED(stream);
#endif
    return 0;
}

void ShowProgress(QTextStream &out, Engine &engine, double seconds)
{
    const JobCounters &counters = engine.Counters();
    const auto queued = static_cast<std::int64_t>(engine.Queue().Count());
    QString line = QStringLiteral("%1 queued, %2 downloaded, %3")
                       .arg(queued)
                       .arg(counters.aFiles)
                       .arg(QString::fromStdString(SizeText(counters.aBytes)));
    if (const QString rate = RateText(counters.aBytes, seconds); !rate.isEmpty())
        line += QStringLiteral(", ") + rate;
    line += QStringLiteral(", %1 of %2 connections busy")
                .arg(engine.BusyConnections())
                .arg(engine.ConnectionCount());
    if (const QString left = TimeLeftText(counters.aFiles, queued, seconds); !left.isEmpty())
        line += QStringLiteral(", ") + left;
    // A line as wide as the terminal would wrap, and the next one could not clear it.
    if (const int columns = TerminalColumns(out); columns > 1)
        line.truncate(columns - 1);
    out << "\r\033[K" << line << Qt::flush;
}

// Runs the job engine is set up for, shows its progress and writes its report; the exit code.
int RunJob(Engine &engine, const CliOptions &options, const FileTypesInUse &fileTypes,
    QTextStream &out, QTextStream &err)
{
    CopyJournal journal(engine);
    journal.SetEnabled(options.record);
    QEventLoop loop;
    QObject::connect(&engine, &Engine::siteCompleted, &loop, [&loop] { loop.exit(CliCompleted); });
    // A live progress line is rewritten in place, so other lines first clear it.
    const bool live = !options.quiet && IsTerminal(out);
    const char *clearLine = live ? "\r\033[K" : "";
    QObject::connect(
        &engine, &Engine::fetchFailed, &loop, [&](const std::string &url, const Failure &failure) {
            if (!options.quiet)
                err << clearLine << FailureText(failure) << ": " << DisplayText(url) << '\n'
                    << Qt::flush;
        });
    QObject::connect(&engine, &Engine::passwordSentInClear, &loop, [&](const std::string &host) {
        err << clearLine << "tidewell-cli: warning: the password went to " << DisplayText(host)
            << " unencrypted (Basic over plain http); anyone on the way can read it\n"
            << Qt::flush;
    });
    QObject::connect(&engine, &Engine::fetchSkipped, &loop,
        [&](const std::string &url, const std::string &contentType) {
            if (!options.quiet)
                out << clearLine << "skipped, " << DisplayText(contentType)
                    << " is not wanted: " << DisplayText(url) << '\n'
                    << Qt::flush;
        });
    QString siteFailure;
    QObject::connect(&engine, &Engine::siteFailed, &loop, [&](const Failure &failure) {
        siteFailure = FailureText(failure);
        loop.exit(CliSiteFailed);
    });

    QTimer stopPoll;
    g_stopRequested = false;
    QObject::connect(&stopPoll, &QTimer::timeout, &loop, [&] {
        if (g_stopRequested && engine.IsRunning()) {
            engine.StopNOW();
            loop.exit(CliInterrupted);
        }
    });
    stopPoll.start(kPollIntervalMs);

    QElapsedTimer clock;
    clock.start();
    const auto secondsSoFar
        = [&clock] { return static_cast<double>(clock.elapsed()) / kMsPerSecond; };
    QTimer progress;
    QObject::connect(
        &progress, &QTimer::timeout, &loop, [&] { ShowProgress(out, engine, secondsSoFar()); });
    if (live)
        progress.start(kProgressIntervalMs);

    if (!options.checkCertificates)
        err << "tidewell-cli: warning: certificates are not checked; anyone on the way can read "
               "and change what is copied\n"
            << Qt::flush;
    QString startUrl;
    QObject::connect(
        &engine, &Engine::startUrlChanged, &loop, [&](const QString &url) { startUrl = url; });
    if (options.update || !options.resume.isEmpty()) {
        std::string why;
        std::optional<TakeUpPlan> plan = PlanTakeUp(
            engine.Job().outputDir, options.update ? TakeUp::Update : TakeUp::Continue, why);
        if (!plan) {
            err << "tidewell-cli: nothing to " << (options.update ? "update" : "continue") << " in "
                << options.output << ": " << FromLocalText(why) << '\n'
                << Qt::flush;
            return CliBadArguments;
        }
        if (!options.url.isEmpty() && !SameStartSite(options.url, plan->startUrl)) {
            err << "tidewell-cli: " << options.output << " holds a copy of " << plan->startUrl
                << ", not of " << options.url << '\n'
                << Qt::flush;
            return CliBadArguments;
        }
        startUrl = StartTakeUp(engine, std::move(*plan));
    } else {
        startUrl = engine.ConnectNowNow(options.url);
    }
    if (!options.quiet)
        out << "Copying " << startUrl << " into "
            << QString::fromStdString(FileSystem::NativePath(engine.Job().outputDir))
            << ", wanting " << FileTypesText(fileTypes) << '\n'
            << Qt::flush;
    if (const QString proxies = ProxiesText(engine.Job().proxy);
        !options.quiet && !proxies.isEmpty())
        out << proxies << '\n' << Qt::flush;
    const int code = engine.IsRunning() ? loop.exec() : int(CliCompleted);
    // The copy's time, without the report's.
    const double seconds = secondsSoFar();

    out << clearLine;
    const std::string report = journal.WriteReport();
    const QString reportPath = FromLocalText(FileSystem::NativePath(report));
    if (options.record && !options.quiet && report.empty())
        err << "tidewell-cli: no report: " << FromLocalText(journal.Error()) << '\n' << Qt::flush;
    if (code == CliSiteFailed) {
        err << "tidewell-cli: could not copy " << startUrl << ": " << siteFailure << '\n'
            << Qt::flush;
        if (!options.quiet && !report.empty())
            out << "Report: " << reportPath << '\n' << Qt::flush;
        return code;
    }
    const std::int64_t failures = engine.Counters().aFailures;
    if (!options.quiet) {
        const std::int64_t bytes = engine.Counters().aBytes;
        out << (code == CliInterrupted ? "Stopped: " : "Done: ") << engine.Counters().aFiles
            << " files, " << QString::fromStdString(SizeText(bytes)) << " in "
            << QString::number(seconds, 'f', 1) << " s";
        if (const QString rate = RateText(bytes, seconds); !rate.isEmpty())
            out << " (" << rate << ')';
        out << ", " << failures << (failures == 1 ? " failure" : " failures");
        if (const std::int64_t skipped = engine.Counters().aSkipped; skipped > 0)
            out << ", " << skipped << " skipped";
        if (const std::size_t limited = engine.PathsAtQueryLimit().size(); limited > 0)
            out << "; " << limited << (limited == 1 ? " path had" : " paths had")
                << " more queries than the limit of " << engine.Job().maxQueriesPerPath;
        if (!report.empty())
            out << "; report: " << reportPath;
        out << '\n' << Qt::flush;
    }
    if (code == CliCompleted && failures > 0) {
        err << "tidewell-cli: " << failures
            << (failures == 1 ? " file was not stored whole\n" : " files were not stored whole\n")
            << Qt::flush;
        return CliIncomplete;
    }
    return code;
}

} // namespace

void RequestCliStop()
{
    g_stopRequested = true;
}

int RunCli(const QStringList &arguments, QTextStream &out, QTextStream &err, CliEnd end)
{
    const auto parsed = ParseCliArguments(arguments);
    if (const auto *show = std::get_if<CliShow>(&parsed)) {
        out << show->text << Qt::flush;
        return CliCompleted;
    }
    const auto refuse = [&err](const CliRejection &rejection) {
        err << "tidewell-cli: " << rejection.message << '\n' << Qt::flush;
        return CliBadArguments;
    };
    if (const auto *rejection = std::get_if<CliRejection>(&parsed))
        return refuse(*rejection);
    const auto &options = std::get<CliOptions>(parsed);
    if (!options.check.isEmpty())
        return RunCheckCommand(options, out, err);
    ApplyConnectTo(options.connectTo);
    if (const auto rejection = ApplyTrust(options.caFile, options.checkCertificates))
        return refuse(*rejection);
    const ProxySettings proxy {options.proxy, !options.noProxy, ReadProxyEnvironment()};
    if (const auto rejection = CheckProxies(proxy))
        return refuse(*rejection);

    Engine engine;
    const std::string typed = FileSystem::SystemPath(ToLocalText(QDir::toNativeSeparators(
        QDir::cleanPath(QDir::current().absoluteFilePath(options.output)))));
    if (!SetOutputDirectory(typed, engine.Job(), engine.Writes())) {
        err << "tidewell-cli: cannot write to the download folder " << options.output
            << " as it is typed: " << UncleanFolderText(OutputDirectoryOf(typed)) << '\n'
            << Qt::flush;
        return CliUnusableDirectory;
    }
    std::string testDir = engine.Job().outputDir;
    if (!DirectoryIsWritable(testDir)) {
        err << "tidewell-cli: cannot write to the download folder " << options.output << '\n'
            << Qt::flush;
        return CliUnusableDirectory;
    }
    engine.SetConnectionCount(options.connections);
    engine.SetResponseMemoryLimit(options.maxMemory);
    engine.SetStartRate(options.rate);
    engine.SetTimeoutInterval(options.timeoutSeconds * kMsPerSecond);
    engine.Job().queryPages = options.queryPages;
    engine.Job().otherHosts = options.otherHosts;
    engine.Job().pageParts = options.pageParts;
    engine.Job().keepAlive = options.keepAlive;
    engine.Job().http2 = !options.http1;
    engine.Job().render = options.render;
    engine.SetRendererProgram(RendererProgram(), BrowserFlagsOf(options));
    engine.Job().robots = options.robots;
    engine.Job().waitMs = options.waitMs;
    engine.Job().maxPerHost = options.maxPerHost;
    engine.Job().maxQueriesPerPath = options.maxQueriesPerPath;
    engine.Job().proxy = proxy;
    if (const auto why = ApplyLoginOptions(options.login, engine.Job(), err))
        return refuse({*why});
    const FileTypesInUse fileTypes = ChooseFileTypes(
        ReadFileTypes(), FromLocalText(FileSystem::NativePath(FileTypeListPath())), options);
    engine.SetFileTypeFilterSource(
        [filter = FileTypeFilterOf(fileTypes.entries)] { return filter; });

    int code = RunJob(engine, options, fileTypes, out, err);
    if (const auto why = SaveCookies(options.login, engine.Cookies().Live(SecondsNow()))) {
        err << "tidewell-cli: " << *why << '\n' << Qt::flush;
        code = code == CliCompleted ? int(CliIncomplete) : code;
    }
    if (end == CliEnd::EndProcess) {
        // The job's files and its record are closed. What the engine holds goes back to the system
        // with the process at once; freed piece by piece, a large copy's tables take longer than
        // its report.
        out.flush();
        err.flush();
        std::fflush(nullptr);
        std::_Exit(code);
    }
    return code;
}

} // namespace tw
