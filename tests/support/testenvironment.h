#pragma once

// Temporary folders and files for the tests, in the program's system path form.

#include "common/sitejob.h"
#include "output/filesystem.h"

#include <QDir>
#include <QDirIterator>
#include <QRect>
#include <QString>
#include <QTemporaryDir>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <ostream>
#include <string>

// Lets GoogleTest print QStrings and rectangles readably in failure messages.
inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QRect &rect, std::ostream *out)
{
    *out << rect.x() << ',' << rect.y() << ' ' << rect.width() << 'x' << rect.height();
}

namespace tw::test {

// A fresh temporary directory in system form ("\" separators), ending with "\".
class TempDir
{
public:
    TempDir() = default;
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    // Removed by its bytes: Qt cannot name a file whose name is not text, and would leave it.
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir.path().toStdString(), ignored);
    }

    const std::string &Path() const { return m_path; }
    // The native form, for checks made with Qt or the standard library.
    QString NativePath() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    std::string m_path = FileSystem::SystemPath(m_dir.path().toStdString()) + "/";
};

// A job for the site "host.com" whose mirror lies one level below dir ("out/"), so that a write
// beside the mirror would show in dir.
inline SiteJob MirrorJob(const TempDir &dir)
{
    SiteJob job;
    job.siteHost = "host.com";
    job.outputDir = dir.Path() + "out/";
    return job;
}

// The contents of a file named in system form, which may hold bytes that are not UTF-8; an empty
// string when it cannot be read.
inline std::string ReadFileBytes(const std::string &systemPath)
{
    std::ifstream in(FileSystem::NativePath(systemPath), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Every file below root, by its path relative to root with "/" separators, with its bytes.
inline std::map<std::string, std::string> ReadTree(const QString &root)
{
    std::map<std::string, std::string> tree;
    for (QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
         it.hasNext();) {
        QFile file(it.next());
        tree[QDir(root).relativeFilePath(file.fileName()).toStdString()]
            = file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    }
    return tree;
}

} // namespace tw::test
