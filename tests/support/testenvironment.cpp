#include "support/testenvironment.h"

#include "output/filesystem.h"

#include <QDir>
#include <QDirIterator>
#include <QStandardPaths>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tw::test {

namespace {

QString &UserRoot()
{
    static QString root;
    return root;
}

} // namespace

void IsolateUserFolders()
{
    static QTemporaryDir dir;
    UserRoot() = dir.path();
    for (const char *name :
        {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "XDG_CACHE_HOME"}) {
        const QString sub = dir.path() + QLatin1Char('/') + QString::fromLatin1(name);
        QDir().mkpath(sub);
        QFile::setPermissions(
            sub, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        qputenv(name, sub.toLocal8Bit());
    }
}

void IsolateProgramDirectory()
{
    QStandardPaths::setTestModeEnabled(true);
    const QString program = UserRoot() + QStringLiteral("/program");
    QDir().mkpath(program);
    FileSystem::SetProgramDirectory(FileSystem::SystemPath(program.toStdString()));
}

TempDir::TempDir()
    : m_path(FileSystem::SystemPath(m_dir.path().toStdString()) + "\\")
{
}

SiteJob MirrorJob(const TempDir &dir)
{
    SiteJob job;
    job.siteHost = "host.com";
    job.outputDir = dir.Path() + "out\\";
    return job;
}

std::string ReadFileBytes(const std::string &systemPath)
{
    std::ifstream in(FileSystem::NativePath(systemPath), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::map<std::string, std::string> ReadTree(const QString &root)
{
    std::map<std::string, std::string> tree;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            tree[QDir(root).relativeFilePath(path).toStdString()] = file.readAll().toStdString();
    }
    return tree;
}

} // namespace tw::test
