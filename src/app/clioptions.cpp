#include "app/clioptions.h"

#include "common/textconversion.h"
#include "output/filesystem.h"
#include "output/filetypes.h"
#include "render/renderers.h"
#include "transport/proxy.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>

#include <limits>
#include <tuple>
#include <utility>

namespace tw {

namespace {

// More than one fetch a millisecond is no limit at all: use 0.
constexpr int kMaxStartRate = 1000000;
// Less would leave no room for one ordinary page.
constexpr std::int64_t kMinMaxMemory = std::int64_t {64} * 1024;
// A day without data is no timeout at all.
constexpr int kMaxTimeoutSeconds = 24 * 60 * 60;

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
    static const QRegularExpression form(QStringLiteral(R"(^\s*(\d{1,15})\s*([kmg]?)(i?b)?\s*$)"),
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

// The entries of a --types value, and whether it adds them ("+.mp4,.webm") to the list in use.
std::pair<std::vector<std::string>, bool> ParseTypes(QString list)
{
    list = list.trimmed();
    const bool add = list.startsWith(QLatin1Char('+'));
    if (add)
        list.remove(0, 1);
    std::vector<std::string> entries;
    for (const QString &item : list.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        if (std::string entry = FileTypeEntry(ToLocalText(item)); !entry.empty())
            entries.push_back(std::move(entry));
    }
    return {entries, add};
}

QString DefaultTypesText()
{
    QStringList entries;
    for (const std::string &entry : DefaultFileTypes())
        entries.append(FromLocalText(entry));
    return entries.join(QStringLiteral(", "));
}

// HOST:ADDRESS:PORT; the address may itself hold colons (IPv6).
std::variant<ConnectTo, CliRejection> ParseConnectTo(const QString &entry)
{
    const auto first = entry.indexOf(QLatin1Char(':'));
    const auto last = entry.lastIndexOf(QLatin1Char(':'));
    const auto port = WholeNumber(entry.mid(last + 1), 1, 65535);
    if (first <= 0 || last <= first + 1 || !port)
        return CliRejection {
            QStringLiteral("--connect-to takes HOST:ADDRESS:PORT, not \"%1\"").arg(entry)};
    QString address = entry.mid(first + 1, last - first - 1);
    if (address.startsWith(QLatin1Char('[')) && address.endsWith(QLatin1Char(']')))
        address = address.mid(1, address.size() - 2);
    return ConnectTo {entry.left(first), address, static_cast<quint16>(*port)};
}

} // namespace

std::variant<CliOptions, CliShow, CliRejection> ParseCliArguments(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Copies a website over HTTP/1.0, plain or over TLS, into a folder that "
                       "browses from disk. Sizes are shown in binary multiples: 1 KB is 1024 "
                       "bytes."));
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
        QStringLiteral("Wanted extensions, such as .html,.gif, instead of the list in use; "
                       "+.mp4,.webm adds to it. The list in use is the desktop program's, or "
                       "where it has none the default list: %1.")
            .arg(DefaultTypesText()),
        QStringLiteral("LIST"));
    const QCommandLineOption onlyListedTypes(QStringLiteral("only-listed-types"),
        QStringLiteral("Fetch only files of the listed types, even of what a page needs to be "
                       "shown (its style sheets, scripts, images, fonts, icons and media)."));
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
    const QCommandLineOption keepAlive(QStringLiteral("keep-alive"),
        QStringLiteral("Ask over HTTP/1.1 for connections that stay open, and send a host's next "
                       "request on a connection it kept open (with --rate 0, also behind the "
                       "request running there)."));
    const QCommandLineOption http1(QStringLiteral("http1"),
        QStringLiteral("Do not ask secure sites for HTTP/2: every fetch goes over HTTP/1.x, "
                       "without compression unless --keep-alive is given."));
    const QCommandLineOption proxy(QStringLiteral("proxy"),
        QStringLiteral("Fetch through the HTTP proxy at URL (http://[USER:PASSWORD@]HOST[:PORT]), "
                       "secure sites through a tunnel it opens, instead of the proxies of "
                       "http_proxy and https_proxy; no_proxy still names the hosts reached "
                       "directly."),
        QStringLiteral("URL"));
    const QCommandLineOption noProxy(QStringLiteral("no-proxy"),
        QStringLiteral("Ignore http_proxy, https_proxy and no_proxy: connect directly, or only "
                       "through --proxy."));
    const QCommandLineOption render(QStringLiteral("render"),
        QStringLiteral("Which pages a browser draws before they are stored: auto (those whose "
                       "scripts draw their content), always or never (default auto)."),
        QStringLiteral("WHEN"));
    const QCommandLineOption noRobots(QStringLiteral("no-robots"),
        QStringLiteral("Do not read robots.txt: fetch what it forbids too."));
    const QCommandLineOption wait(QStringLiteral("wait"),
        QStringLiteral("At least SECONDS between the starts of two fetches on one host (default "
                       "0, or the host's Crawl-delay up to 10)."),
        QStringLiteral("SECONDS"));
    const QCommandLineOption maxPerHost(QStringLiteral("max-per-host"),
        QStringLiteral("At most N connections to one host (default: as many as -c)."),
        QStringLiteral("N"));
    const QCommandLineOption noRecord(QStringLiteral("no-record"),
        QStringLiteral("Keep no record of the copy (.tidewell/copy.sqlite) and write no report."));
    const QCommandLineOption update(QStringLiteral("update"),
        QStringLiteral("Bring the copy in the download folder up to date: ask again for every file "
                       "it holds, keep those that did not change, copy what is new. The start "
                       "URL is the copy's own unless named."));
    const QCommandLineOption resume(QStringLiteral("continue"),
        QStringLiteral("Continue the copy in DIR that stopped before its end, fetching nothing it "
                       "holds again."),
        QStringLiteral("DIR"));
    const QCommandLineOption check(QStringLiteral("check"),
        QStringLiteral("Copy nothing: check how the copy in DIR browses from disk, write a report "
                       "beside it (DIR-report.html) and exit with 6 when some references of the "
                       "site, links to other sites aside, do not lead to a file of it."),
        QStringLiteral("DIR"));
    const QCommandLineOption report(QStringLiteral("report"),
        QStringLiteral("With --check, write the report as FILE."), QStringLiteral("FILE"));
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
    parser.addOptions({outputWithDefault, connections, timeout, types, onlyListedTypes, connectTo,
        caCertificate, noCheckCertificate, maxMemory, rate, queryPages, maxQueries, noOtherHosts,
        keepAlive, http1, proxy, noProxy, render, noRobots, wait, maxPerHost, noRecord, update,
        resume, check, report, quiet, help, version});
    parser.addOptions(LoginOptionList());
    parser.addPositionalArgument(QStringLiteral("URL"),
        QStringLiteral("The start page, such as http://example.com/ or "
                       "https://localhost:8443/; none with --check or --continue."));

    if (!parser.parse(arguments))
        return CliRejection {parser.errorText()};
    if (parser.isSet(help))
        return CliShow {parser.helpText()};
    if (parser.isSet(version))
        return CliShow {
            QStringLiteral("tidewell-cli %1\n").arg(QCoreApplication::applicationVersion())};

    CliOptions options;
    const QStringList positional = parser.positionalArguments();
    options.quiet = parser.isSet(quiet);
    if (parser.isSet(check)) {
        if (!positional.isEmpty())
            return CliRejection {QStringLiteral("--check copies nothing: name no start URL")};
        options.check = parser.value(check);
        if (options.check.isEmpty())
            return CliRejection {QStringLiteral("--check takes the folder of a copy")};
        options.report = parser.value(report);
        return options;
    }
    if (parser.isSet(report))
        return CliRejection {QStringLiteral("--report goes with --check")};
    options.update = parser.isSet(update);
    options.resume = parser.value(resume);
    if (parser.isSet(resume)) {
        if (options.resume.isEmpty())
            return CliRejection {QStringLiteral("--continue takes the folder of a copy")};
        if (!positional.isEmpty() || options.update || parser.isSet(output))
            return CliRejection {QStringLiteral(
                "--continue takes the start URL and the folder from the copy: name nothing else")};
    } else if (positional.size() > 1 || (positional.isEmpty() && !options.update)) {
        return CliRejection {QStringLiteral("name exactly one start URL (see --help)")};
    }
    options.url = positional.isEmpty() ? QString() : positional.front().trimmed();
    const QString scheme = options.url.section(QStringLiteral("://"), 0, 0).toLower();
    if (options.url.contains(QStringLiteral("://")) && scheme != QStringLiteral("http")
        && scheme != QStringLiteral("https"))
        return CliRejection {
            QStringLiteral("only http:// and https:// sites can be copied, not \"%1\"")
                .arg(options.url)};
    if (!positional.isEmpty() && options.url.section(QStringLiteral("://"), -1).isEmpty())
        return CliRejection {QStringLiteral("the start URL names no host")};
    // Not repeated in the message: it would show the password on the terminal.
    if (options.url.section(QStringLiteral("://"), -1)
            .section(QLatin1Char('/'), 0, 0)
            .contains(QLatin1Char('@')))
        return CliRejection {QStringLiteral("the start URL holds a name or password: give them "
                                            "with --user and --password or %1 instead")
                                 .arg(QLatin1String(kPasswordVariable))};

    options.output = parser.isSet(resume) ? options.resume
        : parser.isSet(output)            ? parser.value(output)
                                          : defaultDir;
    // A whole-number option from low to high into target, or what is wrong with it.
    const auto readNumber = [&parser](const QCommandLineOption &option, int low, int high,
                                const QString &rule, int &target) -> std::optional<CliRejection> {
        if (!parser.isSet(option))
            return std::nullopt;
        const auto value = WholeNumber(parser.value(option), low, high);
        if (!value)
            return CliRejection {QStringLiteral("--%1 takes %2").arg(option.names().back(), rule)};
        target = *value;
        return std::nullopt;
    };
    for (const auto &rejection :
        {
            readNumber(connections, 1, kSlotCount,
                QStringLiteral("a whole number from 1 to %1").arg(kSlotCount), options.connections),
            readNumber(timeout, 1, kMaxTimeoutSeconds,
                QStringLiteral("a whole number of seconds from 1"), options.timeoutSeconds),
            readNumber(rate, 0, kMaxStartRate,
                QStringLiteral("a whole number from 0 to %1").arg(kMaxStartRate), options.rate),
            readNumber(maxQueries, 1, std::numeric_limits<int>::max(),
                QStringLiteral("a whole number from 1"), options.maxQueriesPerPath),
            readNumber(maxPerHost, 1, kSlotCount,
                QStringLiteral("a whole number from 1 to %1").arg(kSlotCount), options.maxPerHost),
        }) {
        if (rejection)
            return *rejection;
    }
    if (parser.isSet(types)) {
        std::tie(options.types, options.addTypes) = ParseTypes(parser.value(types));
        if (options.types->empty())
            return CliRejection {QStringLiteral("--types names no extension")};
    }
    if (parser.isSet(maxMemory)) {
        const auto bytes = ByteSize(parser.value(maxMemory));
        if (!bytes || *bytes < kMinMaxMemory)
            return CliRejection {
                QStringLiteral("--max-memory takes a size of at least 64K, such as "
                               "512M or 1G, not \"%1\"")
                    .arg(parser.value(maxMemory))};
        options.maxMemory = *bytes;
    }
    options.pageParts = !parser.isSet(onlyListedTypes);
    options.queryPages = parser.isSet(queryPages);
    options.otherHosts = !parser.isSet(noOtherHosts);
    options.keepAlive = parser.isSet(keepAlive);
    options.http1 = parser.isSet(http1);
    options.record = !parser.isSet(noRecord);
    options.robots = !parser.isSet(noRobots);
    if (parser.isSet(render)) {
        const std::optional<JobSettings::Render> when = RenderNamed(parser.value(render));
        if (!when)
            return CliRejection {QStringLiteral("--render takes auto, always or never, not \"%1\"")
                                     .arg(parser.value(render))};
        options.render = *when;
    }
    if (parser.isSet(wait)) {
        bool ok = false;
        const double seconds = parser.value(wait).toDouble(&ok);
        if (!ok || seconds < 0 || seconds > kMaxWaitSeconds)
            return CliRejection {QStringLiteral("--wait takes a number of seconds from 0 to %1")
                                     .arg(kMaxWaitSeconds)};
        options.waitMs = static_cast<int>(seconds * kMsPerSecond);
    }
    for (const QString &value : parser.values(connectTo)) {
        auto entry = ParseConnectTo(value);
        if (const auto *rejection = std::get_if<CliRejection>(&entry))
            return *rejection;
        options.connectTo.push_back(std::get<ConnectTo>(entry));
    }
    options.proxy = ToNetworkText(parser.value(proxy));
    if (parser.isSet(proxy) && !ParseProxyUrl(options.proxy))
        return CliRejection {QStringLiteral("--proxy takes an HTTP proxy's URL such as "
                                            "http://proxy.example:3128, not \"%1\"")
                                 .arg(FromNetworkText(WithoutUserInfo(options.proxy)))};
    options.noProxy = parser.isSet(noProxy);
    if (std::optional<QString> why = ReadLoginOptions(parser, options.login))
        return CliRejection {*why};
    options.checkCertificates = !parser.isSet(noCheckCertificate);
    options.caFile = parser.value(caCertificate);
    return options;
}

} // namespace tw
