#include "app/clirunner.h"

#include "common/stringops.h"
#include "common/textconversion.h"
#include "connections/connection.h"
#include "connections/engine.h"
#include "connections/memorylimit.h"
#include "output/filesystem.h"
#include "output/filetypes.h"
#include "output/outputdirectory.h"
#include "output/placeholders.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QRegularExpression>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <limits>
#include <optional>
#include <variant>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace tw {

namespace {

std::atomic<bool> g_stopRequested {false};

constexpr int kPollIntervalMs = 50;
// More than one fetch a millisecond is no limit at all: use 0.
constexpr int kMaxStartRate = 1000000;
// Less would leave no room for one ordinary page.
constexpr std::int64_t kMinMaxMemory = 64 * 1024;
constexpr int kProgressIntervalMs = 250;
// A day without data is no timeout at all.
constexpr int kMaxTimeoutSeconds = 24 * 60 * 60;
constexpr int kMsPerSecond = 1000;

struct CliOptions
{
    QString url;
    QString output;
    int connections = kDefaultConnectionCount;
    int timeoutSeconds = kDefaultTimeoutMs / kMsPerSecond;
    std::optional<std::vector<std::string>> types;
    bool quiet = false;
    bool checkCertificates = true;
    std::int64_t maxMemory = DefaultResponseMemoryLimit();
    int rate = kDefaultStartRate;
    bool queryPages = false;
    bool otherHosts = true;
    int maxQueriesPerPath = SiteJob().maxQueriesPerPath;
};

struct Rejection
{
    QString message;
};

std::optional<int> WholeNumber(const QString &text, int low, int high)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < low || value > high)
        return std::nullopt;
    return value;
}

// A number of bytes, with K, M or G (any case, an optional "iB" or "B" after it) for binary
// multiples: "512M", "1GiB", "100000".
std::optional<std::int64_t> ByteSize(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^\\s*(\\d{1,15})\\s*([kmg]?)(i?b)?\\s*$"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const QString unit = match.captured(2).toLower();
    const int shift = unit.isEmpty() ? 0 : int(QStringLiteral("kmg").indexOf(unit)) + 1;
    const std::int64_t value = match.captured(1).toLongLong();
    if (shift > 0 && value > (std::int64_t(1) << (62 - 10 * shift)))
        return std::nullopt;
    return shift > 0 ? value << (10 * shift) : value;
}

std::vector<std::string> ParseTypes(const QString &list)
{
    std::vector<std::string> entries;
    for (const QString &item : list.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        if (std::string entry = FileTypeEntry(ToLocalText(item)); !entry.empty())
            entries.push_back(std::move(entry));
    }
    return entries;
}

struct ConnectTo
{
    QString host;
    QString address;
    quint16 port = 0;
};

// HOST:ADDRESS:PORT; the address may itself hold colons (IPv6).
std::variant<ConnectTo, Rejection> ParseConnectTo(const QString &entry)
{
    const auto first = entry.indexOf(QLatin1Char(':'));
    const auto last = entry.lastIndexOf(QLatin1Char(':'));
    const auto port = WholeNumber(entry.mid(last + 1), 1, 65535);
    if (first <= 0 || last <= first + 1 || !port)
        return Rejection {
            QStringLiteral("--connect-to takes HOST:ADDRESS:PORT, not \"%1\"").arg(entry)};
    QString address = entry.mid(first + 1, last - first - 1);
    if (address.startsWith(QLatin1Char('[')) && address.endsWith(QLatin1Char(']')))
        address = address.mid(1, address.size() - 2);
    return ConnectTo {entry.left(first), address, static_cast<quint16>(*port)};
}

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

// The trust of secure connections: the system's certificates, those in caFile (PEM) if named,
// or none at all.
std::optional<Rejection> ApplyTrust(const QString &caFile, bool check)
{
    TlsTrust trust;
    trust.verify = check;
    if (!caFile.isEmpty()) {
        const auto lines = FileSystem::ReadLines(FileSystem::SystemPath(ToLocalText(caFile)));
        if (!lines)
            return Rejection {QStringLiteral("cannot read --ca-certificate %1").arg(caFile)};
        for (const std::string &line : *lines)
            trust.extraAuthorities += line + '\n';
    }
    if (!SetTlsTrust(trust))
        return Rejection {
            QStringLiteral("--ca-certificate %1 holds no PEM certificate").arg(caFile)};
    return std::nullopt;
}

std::variant<CliOptions, Rejection, int> ParseArguments(
    const QStringList &arguments, QTextStream &out)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Copies a website over HTTP/1.0, plain or over TLS, into a folder that "
                       "browses from disk."));
    const QCommandLineOption output({QStringLiteral("o"), QStringLiteral("output")},
        QStringLiteral("Download folder (default: %1)."), QStringLiteral("DIR"));
    const QCommandLineOption connections({QStringLiteral("c"), QStringLiteral("connections")},
        QStringLiteral("Parallel connections, 1 to %1 (default %2).")
            .arg(kSlotCount)
            .arg(kDefaultConnectionCount),
        QStringLiteral("N"));
    const QCommandLineOption timeout({QStringLiteral("t"), QStringLiteral("timeout")},
        QStringLiteral("Seconds without data before a fetch is retried (default %1).")
            .arg(kDefaultTimeoutMs / kMsPerSecond),
        QStringLiteral("SECONDS"));
    const QCommandLineOption types(QStringLiteral("types"),
        QStringLiteral("Wanted extensions, such as .html,.gif (default: "
                       "the desktop program's file-type list)."),
        QStringLiteral("LIST"));
    const QCommandLineOption connectTo(QStringLiteral("connect-to"),
        QStringLiteral("Connect to ADDRESS:PORT whenever HOST is "
                       "asked for (repeatable)."),
        QStringLiteral("HOST:ADDRESS:PORT"));
    const QCommandLineOption caCertificate(QStringLiteral("ca-certificate"),
        QStringLiteral("Trust the certificates in FILE (PEM) besides the system's."),
        QStringLiteral("FILE"));
    const QCommandLineOption noCheckCertificate(QStringLiteral("no-check-certificate"),
        QStringLiteral("Accept any certificate of a secure site, for any host."));
    const QCommandLineOption maxMemory(QStringLiteral("max-memory"),
        QStringLiteral("Most memory the responses in flight may hold together, such as 512M "
                       "(default: the smaller of 1G and a quarter of this machine's memory)."),
        QStringLiteral("SIZE"));
    const QCommandLineOption rate(QStringLiteral("rate"),
        QStringLiteral("At most N new fetches a second (default %1); 0 starts as many as there "
                       "are free connections.")
            .arg(kDefaultStartRate),
        QStringLiteral("N"));
    const QCommandLineOption queryPages(QStringLiteral("query-pages"),
        QStringLiteral("Follow pages with a query too (page.php?id=1, /products?page=2)."));
    const QCommandLineOption maxQueries(QStringLiteral("max-queries-per-path"),
        QStringLiteral("With --query-pages, at most N distinct queries of one path (default %1).")
            .arg(SiteJob().maxQueriesPerPath),
        QStringLiteral("N"));
    const QCommandLineOption noOtherHosts(QStringLiteral("no-other-hosts"),
        QStringLiteral("Fetch nothing from hosts other than the site's, not even the style "
                       "sheets, scripts, images and fonts its pages embed."));
    const QCommandLineOption quiet({QStringLiteral("q"), QStringLiteral("quiet")},
        QStringLiteral("Print nothing but errors."));
    const QCommandLineOption help(
        {QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help."));
    const QCommandLineOption version(
        QStringLiteral("version"), QStringLiteral("Show the version."));
    const QString defaultDir
        = QString::fromStdString(FileSystem::NativePath(FileSystem::DefaultDownloadDirectory()));
    QCommandLineOption outputWithDefault = output;
    outputWithDefault.setDescription(output.description().arg(defaultDir));
    parser.addOptions({outputWithDefault, connections, timeout, types, connectTo, caCertificate,
        noCheckCertificate, maxMemory, rate, queryPages, maxQueries, noOtherHosts, quiet, help,
        version});
    parser.addPositionalArgument(QStringLiteral("URL"),
        QStringLiteral("The start page, such as http://example.com/ or "
                       "https://localhost:8443/."));

    if (!parser.parse(arguments))
        return Rejection {parser.errorText()};
    if (parser.isSet(help)) {
        out << parser.helpText();
        return int(CliCompleted);
    }
    if (parser.isSet(version)) {
        out << "tidewell-cli " << QCoreApplication::applicationVersion() << '\n';
        return int(CliCompleted);
    }

    CliOptions options;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1)
        return Rejection {QStringLiteral("name exactly one start URL (see --help)")};
    options.url = positional.front().trimmed();
    const QString scheme = options.url.section(QStringLiteral("://"), 0, 0).toLower();
    if (options.url.contains(QStringLiteral("://")) && scheme != QStringLiteral("http")
        && scheme != QStringLiteral("https"))
        return Rejection {
            QStringLiteral("only http:// and https:// sites can be copied, not \"%1\"")
                .arg(options.url)};
    if (options.url.section(QStringLiteral("://"), -1).isEmpty())
        return Rejection {QStringLiteral("the start URL names no host")};

    options.output = parser.isSet(output) ? parser.value(output) : defaultDir;
    if (parser.isSet(connections)) {
        const auto count = WholeNumber(parser.value(connections), 1, kSlotCount);
        if (!count)
            return Rejection {
                QStringLiteral("--connections takes a whole number from 1 to %1").arg(kSlotCount)};
        options.connections = *count;
    }
    if (parser.isSet(timeout)) {
        const auto seconds = WholeNumber(parser.value(timeout), 1, kMaxTimeoutSeconds);
        if (!seconds)
            return Rejection {QStringLiteral("--timeout takes a whole number of seconds from 1")};
        options.timeoutSeconds = *seconds;
    }
    if (parser.isSet(types)) {
        options.types = ParseTypes(parser.value(types));
        if (options.types->empty())
            return Rejection {QStringLiteral("--types names no extension")};
    }
    if (parser.isSet(rate)) {
        const auto perSecond = WholeNumber(parser.value(rate), 0, kMaxStartRate);
        if (!perSecond)
            return Rejection {
                QStringLiteral("--rate takes a whole number from 0 to %1").arg(kMaxStartRate)};
        options.rate = *perSecond;
    }
    if (parser.isSet(maxMemory)) {
        const auto bytes = ByteSize(parser.value(maxMemory));
        if (!bytes || *bytes < kMinMaxMemory)
            return Rejection {QStringLiteral("--max-memory takes a size of at least 64K, such as "
                                             "512M or 1G, not \"%1\"")
                                  .arg(parser.value(maxMemory))};
        options.maxMemory = *bytes;
    }
    options.queryPages = parser.isSet(queryPages);
    options.otherHosts = !parser.isSet(noOtherHosts);
    if (parser.isSet(maxQueries)) {
        const auto most = WholeNumber(parser.value(maxQueries), 1, std::numeric_limits<int>::max());
        if (!most)
            return Rejection {QStringLiteral("--max-queries-per-path takes a whole number from 1")};
        options.maxQueriesPerPath = *most;
    }
    std::vector<ConnectTo> entries;
    for (const QString &value : parser.values(connectTo)) {
        auto entry = ParseConnectTo(value);
        if (const auto *rejection = std::get_if<Rejection>(&entry))
            return *rejection;
        entries.push_back(std::get<ConnectTo>(entry));
    }
    ApplyConnectTo(entries);
    options.checkCertificates = !parser.isSet(noCheckCertificate);
    if (auto rejection = ApplyTrust(parser.value(caCertificate), options.checkCertificates))
        return *rejection;
    options.quiet = parser.isSet(quiet);
    return options;
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

void ShowProgress(QTextStream &out, Engine &engine)
{
    out << "\r\033[K" << engine.Queue().Count() << " queued, " << engine.Job().aFiles
        << " downloaded, " << engine.Job().aBytes << " bytes, " << engine.BusyConnections()
        << " of " << engine.ConnectionCount() << " connections busy" << Qt::flush;
}

} // namespace

void RequestCliStop()
{
    g_stopRequested = true;
}

int RunCli(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    const auto parsed = ParseArguments(arguments, out);
    if (const auto *code = std::get_if<int>(&parsed))
        return *code;
    if (const auto *rejection = std::get_if<Rejection>(&parsed)) {
        err << "tidewell-cli: " << rejection->message << '\n' << Qt::flush;
        return CliBadArguments;
    }
    const auto &options = std::get<CliOptions>(parsed);

    Engine engine;
    const std::string typed = FileSystem::SystemPath(ToLocalText(QDir::toNativeSeparators(
        QDir::cleanPath(QDir::current().absoluteFilePath(options.output)))));
    SetOutputDirectory(typed, engine.Job());
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
    engine.Job().maxQueriesPerPath = options.maxQueriesPerPath;
    if (options.types) {
        const std::string filter = FileTypeFilterOf(*options.types);
        engine.SetFileTypeFilterSource([filter] { return filter; });
    }

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

    QTimer progress;
    QObject::connect(&progress, &QTimer::timeout, &loop, [&] { ShowProgress(out, engine); });
    if (live)
        progress.start(kProgressIntervalMs);

    QElapsedTimer clock;
    clock.start();
    if (!options.checkCertificates)
        err << "tidewell-cli: warning: certificates are not checked; anyone on the way can read "
               "and change what is copied\n"
            << Qt::flush;
    QString startUrl;
    QObject::connect(
        &engine, &Engine::startUrlChanged, &loop, [&](const QString &url) { startUrl = url; });
    startUrl = engine.ConnectNowNow(options.url);
    if (!options.quiet)
        out << "Copying " << startUrl << " into "
            << QString::fromStdString(FileSystem::NativePath(engine.Job().outputDir)) << '\n'
            << Qt::flush;
    const int code = engine.IsRunning() ? loop.exec() : int(CliCompleted);

    out << clearLine;
    if (code == CliSiteFailed) {
        err << "tidewell-cli: could not copy " << startUrl << ": " << siteFailure << '\n'
            << Qt::flush;
        return code;
    }
    const std::int64_t failures = engine.Job().aFailures;
    if (!options.quiet) {
        out << (code == CliInterrupted ? "Stopped: " : "Done: ") << engine.Job().aFiles
            << " files, " << engine.Job().aBytes << " bytes in "
            << QString::number(static_cast<double>(clock.elapsed()) / kMsPerSecond, 'f', 1)
            << " s, " << failures << (failures == 1 ? " failure" : " failures");
        if (const std::int64_t skipped = engine.Job().aSkipped; skipped > 0)
            out << ", " << skipped << " skipped";
        if (const std::size_t limited = engine.Job().pathsAtQueryLimit.size(); limited > 0)
            out << "; " << limited << (limited == 1 ? " path had" : " paths had")
                << " more queries than the limit of " << engine.Job().maxQueriesPerPath;
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

} // namespace tw
