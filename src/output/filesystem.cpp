#include "output/filesystem.h"

#include "common/pathform.h"
#include "common/stringops.h"
#include "common/textconversion.h"
#include "output/filecalls.h"
#include "output/pathfitting.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
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

// The logs a job appends to line by line stay open between lines; each line still reaches the
// system at once, so a copy that stops early keeps every line written.
struct OpenLog
{
    std::string path;
    FileCalls::AppendedFile file;
};
constexpr std::size_t kMaxOpenLogs = 4;

std::vector<OpenLog> &openLogs()
{
    static std::vector<OpenLog> logs;
    return logs;
}

// Why the last write failed, in the system's words when it gave any.
std::string WriteFailure()
{
    return errno != 0 ? std::strerror(errno) : "write failed";
}

fs::path ToPath(std::string_view systemPath)
{
    return fs::path(NativePath(systemPath));
}

bool WriteBytes(
    std::string_view path, std::string_view bytes, FileCalls::WriteMode mode, std::string *error)
{
    if (!Usable(path)) {
        if (error)
            *error = "invalid file name";
        return false;
    }
    errno = 0;
    if (FileCalls::Write(NativePath(path), bytes, mode))
        return true;
    if (error)
        *error = WriteFailure();
    return false;
}

// Every file operation names its path through here, so the common case is kept free of
// std::filesystem's parsing.
FittedPath FittedNativePath(std::string_view systemPath)
{
    std::string path(systemPath);
    if (kPosix)
        std::replace(path.begin(), path.end(), '\\', '/');
    if (!Usable(path))
        return {path};
    const char separator = kPosix ? '/' : '\\';
    if (!kPosix)
        path = fs::path(path).lexically_normal().string();
    else if (HasDotsOrDoubleSlashes(path))
        path = LexicallyNormalPosix(path);
    if (FitsAsItIs(path, separator))
        return {path};
    return Fit(path, separator);
}

bool IsWritableDirectory(const QString &dir)
{
    const QFileInfo info(dir);
    return info.isDir() && info.isWritable();
}

} // namespace

std::string NativePath(std::string_view systemPath)
{
    return FittedNativePath(systemPath).path;
}

std::string StoredPath(std::string_view systemPath)
{
    return SystemPath(NativePath(systemPath));
}

std::string SystemPath(std::string_view nativePath)
{
    return WithSlashes(nativePath);
}

bool MakeDir(std::string_view dir)
{
    const FittedPath fitted = FittedNativePath(dir);
    if (!Usable(dir) || fitted.folded)
        return false;
    std::error_code error;
    return fs::create_directory(fs::path(fitted.path), error) && !error;
}

bool WriteFile(std::string_view path, std::string_view bytes, std::string *error)
{
    return WriteBytes(path, bytes, FileCalls::WriteMode::Truncate, error);
}

bool WritePrivateFile(std::string_view path, std::string_view bytes, std::string *error)
{
    return WriteBytes(path, bytes, FileCalls::WriteMode::Private, error);
}

namespace {

// Writes path; a write that fails leaves no file cut short, which would pass for the real one.
bool WriteOrRemove(std::string_view path, std::string_view bytes, std::string *error)
{
    if (WriteFile(path, bytes, error))
        return true;
    std::error_code ignored;
    fs::remove(ToPath(path), ignored);
    return false;
}

} // namespace

bool WriteFileInPlaceOf(
    std::string_view standIn, std::string_view path, std::string_view bytes, std::string *error)
{
    if (!Usable(standIn) || !Usable(path))
        return WriteOrRemove(path, bytes, error);
    // A file is never written over in place: a write that fails leaves the file it would have
    // replaced as it was.
    const std::string from = NativePath(standIn);
    errno = 0;
    const FileCalls::Overwritten written = FileCalls::Overwrite(from, bytes);
    if (written == FileCalls::Overwritten::NotOpened)
        return WriteOrRemove(path, bytes, error);
    if (written == FileCalls::Overwritten::Done && FileCalls::Rename(from, NativePath(path)))
        return true;
    if (error)
        *error = WriteFailure();
    RemoveFile(standIn);
    return false;
}

GrowingFile::GrowingFile() = default;
GrowingFile::GrowingFile(GrowingFile &&other) noexcept = default;
GrowingFile &GrowingFile::operator=(GrowingFile &&other) noexcept = default;
GrowingFile::~GrowingFile() = default;

bool GrowingFile::Open(std::string_view path, std::string *error)
{
    Close();
    if (!WriteFile(path, {}, error))
        return false;
    m_file = std::make_unique<FileCalls::AppendedFile>(NativePath(path));
    m_size = 0;
    return true;
}

bool GrowingFile::Append(std::string_view bytes, std::string *error)
{
    errno = 0;
    if (m_file && m_file->Append(bytes)) {
        m_size += static_cast<std::int64_t>(bytes.size());
        return true;
    }
    if (error)
        *error = WriteFailure();
    return false;
}

void GrowingFile::Close()
{
    m_file.reset();
}

bool RenameFile(std::string_view from, std::string_view to, std::string *error)
{
    errno = 0;
    if (Usable(from) && Usable(to) && FileCalls::Rename(NativePath(from), NativePath(to)))
        return true;
    if (error)
        *error = WriteFailure();
    return false;
}

bool AppendToFile(std::string_view path, std::string_view bytes, std::string *error)
{
    return WriteBytes(path, bytes, FileCalls::WriteMode::Append, error);
}

bool AppendToLog(std::string_view path, std::string_view bytes, std::string *error)
{
    auto &logs = openLogs();
    auto log = std::find_if(
        logs.begin(), logs.end(), [path](const OpenLog &open) { return open.path == path; });
    if (log == logs.end()) {
        if (!Usable(path))
            return AppendToFile(path, bytes, error);
        if (logs.size() == kMaxOpenLogs)
            logs.erase(logs.begin());
        log = logs.insert(
            logs.end(), {std::string(path), FileCalls::AppendedFile(NativePath(path))});
    }
    errno = 0;
    if (log->file.Append(bytes))
        return true;
    if (error)
        *error = WriteFailure();
    logs.erase(log);
    return false;
}

void CloseLogs()
{
    openLogs().clear();
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

std::optional<std::string> ReadFile(std::string_view path)
{
    if (!Usable(path))
        return std::nullopt;
    return FileCalls::Read(NativePath(path));
}

EntryKind KindOfEntry(std::string_view path)
{
    if (!Usable(path))
        return EntryKind::Nothing;
    std::string native(path);
    if (kPosix)
        std::replace(native.begin(), native.end(), '\\', '/');
    std::error_code error;
    const fs::file_status status = fs::status(native, error);
    if (fs::is_regular_file(status))
        return EntryKind::File;
    return fs::is_directory(status) ? EntryKind::Folder : EntryKind::Nothing;
}

std::vector<std::string> FilesBelow(std::string_view dir)
{
    std::vector<std::string> files;
    if (!Usable(dir))
        return files;
    const fs::path root = ToPath(dir);
    // Every entry's path is the root's followed by a separator: what follows is the relative path.
    const std::size_t rootLength
        = root.native().size() + (root.native().ends_with(fs::path::preferred_separator) ? 0 : 1);
    std::error_code error;
    for (fs::recursive_directory_iterator
             it(root, fs::directory_options::skip_permission_denied, error),
         end;
         !error && it != end; it.increment(error)) {
        std::error_code entryError;
        if (it->is_regular_file(entryError))
            files.push_back(SystemPath(it->path().string().substr(rootLength)));
    }
    std::sort(files.begin(), files.end());
    return files;
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
    return FileCalls::RegularFileSize(NativePath(path));
}

std::optional<std::int64_t> SpaceLeft(std::string_view folder)
{
    std::error_code error;
    const std::filesystem::space_info space
        = std::filesystem::space(std::filesystem::path(NativePath(folder)), error);
    if (error)
        return std::nullopt;
    return static_cast<std::int64_t>(space.available);
}

std::optional<FileStamp> StampOf(std::string_view path)
{
    if (!Usable(path))
        return std::nullopt;
    const auto status = FileCalls::RegularFileSizeAndTime(NativePath(path));
    return status ? std::optional(FileStamp {status->first, status->second}) : std::nullopt;
}

bool IsInsideDirectory(std::string_view path, std::string_view dir)
{
    if (!Usable(path) || !Usable(dir))
        return false;
    // Both are normalized, so inside means: the directory's components lead the path's.
    const char separator = kPosix ? '/' : '\\';
    const std::string &base = RememberedFor<NativePath>(dir);
    const std::string target = NativePath(path);
    if (base.empty() || (base.front() == separator) != (target.front() == separator))
        return false;
    // The directory itself, or a path that goes on after its name with a separator.
    const std::string_view name
        = std::string_view(base).substr(0, base.size() - (base.back() == separator ? 1 : 0));
    return target.starts_with(name)
        && (target.size() == name.size() || target[name.size()] == separator);
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
    while (result.size() > 1 && result.back() == '/')
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
        return "C:/Websites/";
    return SystemPath(ToLocalText(QDir::homePath())) + "/Websites/";
}

} // namespace tw::FileSystem
