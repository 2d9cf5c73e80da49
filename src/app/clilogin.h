#pragma once

// What tidewell-cli tells a site of its user: a cookies.txt file to start with and one to save
// the cookies in, a name and password for the site's 401, and header fields. The options read
// from the command line here; the password asked on the terminal and the cookies read from and
// written to their files in the runner.

#include "common/sitejob.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>

#include <optional>
#include <string>
#include <utility>
#include <vector>

class QTextStream;

namespace tw {

// The environment variable a script gives the password in.
inline constexpr char kPasswordVariable[] = "TIDEWELL_PASSWORD";

struct LoginOptions
{
    QString cookiesFile; // --cookies, as typed
    QString saveCookiesFile; // --save-cookies, as typed
    QString user;
    // --password, or nothing: from the environment, else asked on the terminal.
    std::optional<QString> password;
    std::vector<std::pair<std::string, std::string>> headerFields;
};

QList<QCommandLineOption> LoginOptionList();
// The options of LoginOptionList as parser read them, or what is wrong with them.
std::optional<QString> ReadLoginOptions(const QCommandLineParser &parser, LoginOptions &options);

// A --header value ("Name: value") as a field, or why it is refused.
std::optional<std::pair<std::string, std::string>> HeaderFieldOf(
    const QString &typed, QString &why);

// Puts into settings what options name: the cookies of the file, the name and the password
// (from the option, the environment, else asked on the terminal without echo) and the fields.
// What is wrong otherwise, for the user to read.
std::optional<QString> ApplyLoginOptions(
    const LoginOptions &options, JobSettings &settings, QTextStream &err);

// Writes the cookies the copy ends with into the file --save-cookies names, readable by its
// owner alone; what went wrong otherwise.
std::optional<QString> SaveCookies(const LoginOptions &options, const std::vector<Cookie> &cookies);

} // namespace tw
