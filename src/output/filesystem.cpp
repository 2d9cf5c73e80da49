#include "output/filesystem.h"

#include "extractor/textconversion.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace tw::FileSystem {

namespace {

#ifdef _WIN32
constexpr bool kPosix = false;
#else
constexpr bool kPosix = true;
#endif

// A name with a NUL byte would reach the system cut short, naming another file than the one
// checked; such names, and the empty one, are refused outright.
bool Usable(std::string_view path)
{
    return !path.empty() && path.find('\0') == std::string_view::npos;
}

std::optional<std::string> &programDirectoryOverride()
{
    static std::optional<std::string> value;
    return value;
}

fs::path ToPath(std::string_view systemPath)
{
    return fs::path(NativePath(systemPath));
}

bool WriteBytes(std::string_view path, std::string_view bytes, std::ios::openmode mode)
{
    if (!Usable(path))
        return false;
    std::ofstream out(ToPath(path), std::ios::binary | mode);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return !out.fail();
}

bool IsWritableDirectory(const QString &dir)
{
    const QFileInfo info(dir);
    return info.isDir() && info.isWritable();
}

} // namespace

std::string NativePath(std::string_view systemPath)
{
    std::string path(systemPath);
    if (kPosix)
        std::replace(path.begin(), path.end(), '\\', '/');
    if (!Usable(path))
        return path;
    return fs::path(path).lexically_normal().string();
}

std::string SystemPath(std::string_view nativePath)
{
    std::string path(nativePath);
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

bool MakeDir(std::string_view dir)
{
    if (!Usable(dir))
        return false;
    std::error_code error;
    return fs::create_directory(ToPath(dir), error) && !error;
}

bool WriteFile(std::string_view path, std::string_view bytes)
{
    return WriteBytes(path, bytes, std::ios::trunc);
}

bool AppendToFile(std::string_view path, std::string_view bytes)
{
    return WriteBytes(path, bytes, std::ios::app);
}

std::optional<std::vector<std::string>> ReadLines(std::string_view path)
{
    if (!Usable(path))
        return std::nullopt;
    std::error_code error;
    const fs::path native = ToPath(path);
    if (!fs::is_regular_file(native, error))
        return std::nullopt;
    std::ifstream in(native, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
    }
    if (in.bad())
        return std::nullopt;
    return lines;
}

bool RemoveFile(std::string_view path)
{
    if (!Usable(path))
        return false;
    std::error_code error;
    const fs::path native = ToPath(path);
    if (fs::is_directory(native, error))
        return false;
    return fs::remove(native, error) && !error;
}

void RemoveTmpFiles(std::string_view dir)
{
    if (!Usable(dir))
        return;
    std::error_code error;
    for (fs::directory_iterator it(ToPath(dir), error), end; !error && it != end;
         it.increment(error)) {
        std::error_code entryError;
        if (it->path().extension() == ".tmp" && !it->is_directory(entryError))
            fs::remove(it->path(), entryError);
    }
}

std::optional<std::int64_t> FileSize(std::string_view path)
{
    if (!Usable(path))
        return std::nullopt;
    std::error_code error;
    const auto size = fs::file_size(ToPath(path), error);
    if (error)
        return std::nullopt;
    return static_cast<std::int64_t>(size);
}

bool IsInsideDirectory(std::string_view path, std::string_view dir)
{
    if (!Usable(path) || !Usable(dir))
        return false;
    const fs::path base = ToPath(dir);
    const fs::path target = ToPath(path);
    if (base.is_absolute() != target.is_absolute())
        return false;
    const fs::path relative = target.lexically_relative(base);
    if (relative.empty())
        return false;
    const auto first = relative.begin()->string();
    return first != "..";
}

std::string ProgramDirectory()
{
    if (programDirectoryOverride())
        return *programDirectoryOverride();
    QString dir = QCoreApplication::applicationDirPath();
    if (kPosix && !IsWritableDirectory(dir)) {
        dir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        QDir().mkpath(dir);
    }
    std::string result = SystemPath(ToLocalText(QDir::toNativeSeparators(dir)));
    while (result.size() > 1 && result.back() == '\\')
        result.pop_back();
    return result;
}

void SetProgramDirectory(std::string systemPath)
{
    programDirectoryOverride() = std::move(systemPath);
}

std::string DefaultDownloadDirectory()
{
    if (!kPosix)
        return "C:\\Websites\\";
    return SystemPath(ToLocalText(QDir::homePath())) + "\\Websites\\";
}

} // namespace tw::FileSystem
