#pragma once

// Keeps every test run away from the user's real settings, data and program folders: settings,
// per-user data and the program directory all live in one temporary folder per test process.

#include "common/sitejob.h"

#include <QRect>
#include <QString>
#include <QTemporaryDir>

#include <map>
#include <ostream>
#include <string>

// Lets GoogleTest print QStrings readably in failure messages.
inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QRect &rect, std::ostream *out)
{
    *out << rect.x() << ',' << rect.y() << ' ' << rect.width() << 'x' << rect.height();
}

namespace tw::test {

// Points XDG_CONFIG_HOME, XDG_DATA_HOME and XDG_RUNTIME_DIR at a fresh temporary folder. Call
// before the application object is made.
void IsolateUserFolders();

// Turns on QStandardPaths' test mode and points the program directory at the same folder. Call
// after the application object is made.
void IsolateProgramDirectory();

// A fresh temporary directory in system form ("\" separators), ending with "\".
class TempDir
{
public:
    TempDir();
    const std::string &Path() const { return m_path; }
    // The native form, for checks made with Qt or the standard library.
    QString NativePath() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    std::string m_path;
};

// A job for the site "host.com" whose mirror lies one level below dir ("out\\"), so that a write
// beside the mirror would show in dir.
SiteJob MirrorJob(const TempDir &dir);

// The contents of a file given in system form, or an empty string when it cannot be read.
std::string ReadFileBytes(const std::string &systemPath);

// Every file below root, by its path relative to root with "/" separators, with its bytes.
std::map<std::string, std::string> ReadTree(const QString &root);

} // namespace tw::test
