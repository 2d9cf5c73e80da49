#pragma once

// tidewell-cli's command line as a value: the arguments in, the options, a text to show (help,
// version) or a rejection out. Nothing is applied or printed here.

#include "app/clilogin.h"
#include "crawl/engine.h"
#include "crawl/memorylimit.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tw {

inline constexpr int kMsPerSecond = 1000;
inline constexpr int kMaxWaitSeconds = 3600;

// --connect-to HOST:ADDRESS:PORT.
struct ConnectTo
{
    QString host;
    QString address;
    quint16 port = 0;
};

struct CliOptions
{
    QString url;
    QString check; // --check: the copy to check instead of copying a site, as typed
    QString report; // --report: where the check's report goes, as typed
    QString output; // as typed, or the default download folder
    int connections = kDefaultConnectionCount;
    int timeoutSeconds = kDefaultTimeoutMs / kMsPerSecond;
    // --types: the entries typed, which replace the list in use or (addTypes) are added to it.
    std::optional<std::vector<std::string>> types;
    bool addTypes = false;
    bool pageParts = true;
    bool quiet = false;
    std::vector<ConnectTo> connectTo;
    QString caFile;
    bool checkCertificates = true;
    std::int64_t maxMemory = DefaultResponseMemoryLimit();
    int rate = kDefaultStartRate;
    bool queryPages = false;
    bool otherHosts = true;
    bool keepAlive = false;
    bool http1 = false;
    JobSettings::Render render = JobSettings::Render::Auto;
    bool record = true;
    bool robots = true;
    int waitMs = 0;
    int maxPerHost = 0;
    // Take up the copy in output: every stored file asked again, or (resume) what waited.
    bool update = false;
    QString resume;
    int maxQueriesPerPath = SiteJob().maxQueriesPerPath;
    LoginOptions login;
    // --proxy: the HTTP proxy for every site instead of the environment's; --no-proxy: none of
    // the environment's.
    std::string proxy;
    bool noProxy = false;
};

// What --help or --version show.
struct CliShow
{
    QString text;
};

struct CliRejection
{
    QString message;
};

std::variant<CliOptions, CliShow, CliRejection> ParseCliArguments(const QStringList &arguments);

} // namespace tw
