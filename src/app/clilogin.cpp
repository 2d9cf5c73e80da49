#include "app/clilogin.h"

#include "common/textconversion.h"
#include "output/filesystem.h"
#include "transport/cookiejar.h"

#include <QTextStream>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iostream>

#ifndef _WIN32
#include <termios.h>
#include <unistd.h>
#endif

namespace tw {

namespace {

const QString kCookies = QStringLiteral("cookies");
const QString kSaveCookies = QStringLiteral("save-cookies");
const QString kUser = QStringLiteral("user");
const QString kPassword = QStringLiteral("password");
const QString kHeader = QStringLiteral("header");

// Fields the request writes itself: a second one would make it ambiguous.
bool IsOwnField(const std::string &lowerName)
{
    for (const char *own : {"host", "connection", "content-length", "transfer-encoding",
             "keep-alive", "upgrade", "te", "accept-encoding"}) {
        if (lowerName == own)
            return true;
    }
    return false;
}

bool IsTokenChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
        || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// A line typed on the terminal without its echo; nothing when there is no terminal.
std::optional<std::string> ReadHidden(const QString &prompt, QTextStream &err)
{
#ifndef _WIN32
    if (::isatty(STDIN_FILENO) == 0)
        return std::nullopt;
    err << prompt << Qt::flush;
    termios before {};
    const bool hidden = ::tcgetattr(STDIN_FILENO, &before) == 0;
    if (hidden) {
        termios quiet = before;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    const bool read = static_cast<bool>(std::getline(std::cin, line));
    if (hidden)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &before);
    err << '\n' << Qt::flush;
    if (!read)
        return std::nullopt;
    if (line.ends_with('\r'))
        line.pop_back();
    return line;
#else
    Q_UNUSED(prompt);
    Q_UNUSED(err);
    return std::nullopt;
#endif
}

} // namespace

QList<QCommandLineOption> LoginOptionList()
{
    return {
        QCommandLineOption(kCookies,
            QStringLiteral("Start with the cookies of FILE (cookies.txt: domain, subdomains, "
                           "path, secure, expiry, name, value, tab-separated), such as a "
                           "browser's login."),
            QStringLiteral("FILE")),
        QCommandLineOption(kSaveCookies,
            QStringLiteral("Write the cookies the copy ends with into FILE (cookies.txt, "
                           "readable by you alone), session cookies included."),
            QStringLiteral("FILE")),
        QCommandLineOption(kUser,
            QStringLiteral("Log in as NAME when the site asks (Basic or Digest); the password "
                           "comes from --password, else %1, else is asked.")
                .arg(QLatin1String(kPasswordVariable)),
            QStringLiteral("NAME")),
        QCommandLineOption(kPassword,
            QStringLiteral("The password of --user (seen by other users in the process list: "
                           "prefer %1 or the question).")
                .arg(QLatin1String(kPasswordVariable)),
            QStringLiteral("PASSWORD")),
        QCommandLineOption(kHeader,
            QStringLiteral("Send the header field \"Name: value\" with the site's own requests "
                           "(repeatable)."),
            QStringLiteral("FIELD")),
    };
}

std::optional<std::pair<std::string, std::string>> HeaderFieldOf(const QString &typed, QString &why)
{
    const std::string text = ToNetworkText(typed);
    const std::size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    if (colon == std::string::npos || name.empty()
        || !std::all_of(name.begin(), name.end(), IsTokenChar)) {
        why = QStringLiteral("--header takes \"Name: value\" with a name of letters, digits and "
                             "!#$%&'*+-.^_`|~, not \"%1\"")
                  .arg(typed);
        return std::nullopt;
    }
    std::string value = text.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    value.erase(value.find_last_not_of(" \t") + 1);
    if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        why = QStringLiteral("--header %1: a value may not hold a line break")
                  .arg(QString::fromStdString(name));
        return std::nullopt;
    }
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
        [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (IsOwnField(lower)) {
        why = QStringLiteral("--header %1: the copier writes that field itself")
                  .arg(QString::fromStdString(name));
        return std::nullopt;
    }
    return std::pair {name, value};
}

std::optional<QString> ReadLoginOptions(const QCommandLineParser &parser, LoginOptions &options)
{
    options.cookiesFile = parser.value(kCookies);
    options.saveCookiesFile = parser.value(kSaveCookies);
    if ((parser.isSet(kCookies) && options.cookiesFile.isEmpty())
        || (parser.isSet(kSaveCookies) && options.saveCookiesFile.isEmpty()))
        return QStringLiteral("--cookies and --save-cookies take a file");
    options.user = parser.value(kUser);
    if (parser.isSet(kUser) && options.user.isEmpty())
        return QStringLiteral("--user takes a name");
    if (options.user.contains(QLatin1Char(':')))
        return QStringLiteral("--user takes a name without \":\"");
    if (parser.isSet(kPassword)) {
        if (!parser.isSet(kUser))
            return QStringLiteral("--password goes with --user");
        options.password = parser.value(kPassword);
    }
    for (const QString &typed : parser.values(kHeader)) {
        QString why;
        auto field = HeaderFieldOf(typed, why);
        if (!field)
            return why;
        options.headerFields.push_back(std::move(*field));
    }
    return std::nullopt;
}

std::optional<QString> ApplyLoginOptions(
    const LoginOptions &options, JobSettings &settings, QTextStream &err)
{
    if (!options.cookiesFile.isEmpty()) {
        const std::optional<std::string> text
            = FileSystem::ReadFile(FileSystem::SystemPath(ToLocalText(options.cookiesFile)));
        if (!text)
            return QStringLiteral("cannot read --cookies %1").arg(options.cookiesFile);
        CookieFile file = ReadCookiesTxt(*text);
        if (file.badLine > 0)
            return QStringLiteral("--cookies %1, line %2: %3")
                .arg(options.cookiesFile)
                .arg(file.badLine)
                .arg(QString::fromStdString(file.fault));
        settings.cookies = std::move(file.cookies);
    }
    settings.headerFields = options.headerFields;
    settings.user = ToNetworkText(options.user);
    if (options.user.isEmpty())
        return std::nullopt;
    if (options.password) {
        settings.password = ToNetworkText(*options.password);
    } else if (const char *given = std::getenv(kPasswordVariable)) {
        settings.password = given;
    } else if (std::optional<std::string> typed
        = ReadHidden(QStringLiteral("Password for %1: ").arg(options.user), err)) {
        settings.password = std::move(*typed);
    } else {
        return QStringLiteral("--user %1 has no password: give --password, set %2, or run on a "
                              "terminal to be asked")
            .arg(options.user, QLatin1String(kPasswordVariable));
    }
    return std::nullopt;
}

std::optional<QString> SaveCookies(const LoginOptions &options, const std::vector<Cookie> &cookies)
{
    if (options.saveCookiesFile.isEmpty())
        return std::nullopt;
    std::string why;
    if (FileSystem::WritePrivateFile(FileSystem::SystemPath(ToLocalText(options.saveCookiesFile)),
            CookiesTxt(cookies), &why))
        return std::nullopt;
    return QStringLiteral("cannot write --save-cookies %1: %2")
        .arg(options.saveCookiesFile, FromLocalText(why));
}

} // namespace tw
