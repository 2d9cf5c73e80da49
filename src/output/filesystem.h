#pragma once

// The only code that touches the disk. Every path it takes is in system form: "/" separates
// components (an output directory ends with "/"), and a "\" counts as "/" too. Each becomes the
// system's own separator before the system sees the path, and "." and ".." components are always
// resolved lexically, so a/b/../c names the same file as a/c whether or not a/b exists. No function
// here throws.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw::FileCalls {
class AppendedFile;
} // namespace tw::FileCalls

namespace tw::FileSystem {

// The longest name and path the system stores.
inline constexpr std::size_t kMaxNameBytes = 255;
inline constexpr std::size_t kMaxPathBytes = 4095;

// The path as the operating system wants it: native separators, dot components resolved, and
// fitted to the system's limits in a stable way. A name longer than kMaxNameBytes keeps its
// beginning and its extension (up to 16 bytes), with "~" and 16 hexadecimal digits of a hash of
// the whole name in place of the cut. A path still longer than kMaxPathBytes keeps its folders
// while they fit with room for one name, and the rest of it becomes one name the same way.
std::string NativePath(std::string_view systemPath);

// The path (system form) of the file that NativePath names: what is really stored.
std::string StoredPath(std::string_view systemPath);

// The inverse for paths that come from the platform (home folder, program folder, a typed native
// directory): native separators become "/".
std::string SystemPath(std::string_view nativePath);

// Creates one directory; true only when this call created it (false when it existed, when its
// parent is missing, when the name is refused, or when the path is too long for a folder).
bool MakeDir(std::string_view dir);

// Creates or truncates the file and writes bytes; false on any failure, with the system's reason
// in error when given.
bool WriteFile(std::string_view path, std::string_view bytes, std::string *error = nullptr);
// WriteFile for a file of secrets: it is readable by its owner alone before bytes are written.
bool WritePrivateFile(std::string_view path, std::string_view bytes, std::string *error = nullptr);

// Writes bytes as the file path in place of the file stand-in: the stand-in, when it exists, is
// overwritten and renamed to path (no new file is made, and path never holds a part of bytes);
// otherwise path is written as WriteFile writes it. The stand-in is gone afterwards either way.
// False on any failure, with the system's reason in error when given.
bool WriteFileInPlaceOf(std::string_view standIn, std::string_view path, std::string_view bytes,
    std::string *error = nullptr);

// A file written as its bytes arrive, kept open between writes until it is closed.
class GrowingFile
{
public:
    GrowingFile();
    GrowingFile(GrowingFile &&other) noexcept;
    GrowingFile &operator=(GrowingFile &&other) noexcept;
    GrowingFile(const GrowingFile &) = delete;
    GrowingFile &operator=(const GrowingFile &) = delete;
    ~GrowingFile();

    // Creates the file, or cuts the one there to nothing, and keeps it open.
    bool Open(std::string_view path, std::string *error = nullptr);
    bool Append(std::string_view bytes, std::string *error = nullptr);
    void Close();
    bool IsOpen() const { return m_file != nullptr; }
    // The bytes appended since it was last opened.
    std::int64_t Size() const { return m_size; }

private:
    std::unique_ptr<FileCalls::AppendedFile> m_file;
    std::int64_t m_size = 0;
};

// Renames the file from to to, replacing a file there; false on any failure, with the system's
// reason in error when given.
bool RenameFile(std::string_view from, std::string_view to, std::string *error = nullptr);

// Appends bytes to the file, creating it when missing; false on any failure.
bool AppendToFile(std::string_view path, std::string_view bytes, std::string *error = nullptr);

// AppendToFile for a log written line by line: the file stays open until CloseLogs (or until
// other logs take its place), and every call's bytes are written before it returns.
bool AppendToLog(std::string_view path, std::string_view bytes, std::string *error = nullptr);
void CloseLogs();

// The lines of a text file without their line ends (LF or CR LF); nullopt when it cannot be read.
std::optional<std::vector<std::string>> ReadLines(std::string_view path);

// The whole file; nullopt when it cannot be read.
std::optional<std::string> ReadFile(std::string_view path);

// What a path names, symbolic links followed, as a browser opening it from disk finds it. The
// path is taken as it is, not fitted: a name too long for the system is not there.
enum class EntryKind { Nothing, File, Folder };
EntryKind KindOfEntry(std::string_view path);

// Every file below dir, symbolic links to files included, as its path relative to dir with "/"
// separators, in sorted order. A folder reached through a symbolic link is not entered, so that
// a link to a folder above cannot make the walk endless.
std::vector<std::string> FilesBelow(std::string_view dir);

// Deletes one file; false when it could not be deleted (a missing file included).
bool RemoveFile(std::string_view path);

// Deletes every file directly in dir whose name ends in ".tmp"; errors are ignored.
void RemoveTmpFiles(std::string_view dir);

// The size of a regular file, or nullopt when it does not exist or cannot be examined.
std::optional<std::int64_t> FileSize(std::string_view path);
// The bytes the file system holding folder can still take; none when it cannot tell.
std::optional<std::int64_t> SpaceLeft(std::string_view folder);

// What tells one version of a file from another that replaced it: its size and when it was last
// written.
struct FileStamp
{
    std::int64_t size = 0;
    std::int64_t written = 0; // in nanoseconds since the epoch
    bool operator==(const FileStamp &) const = default;
};
// The stamp of a regular file, or nullopt when it does not exist or cannot be examined.
std::optional<FileStamp> StampOf(std::string_view path);

// True when path, with "." and ".." resolved lexically, is dir itself or lies below it.
bool IsInsideDirectory(std::string_view path, std::string_view dir);

// The program directory without a trailing "/": the executable's folder, or on POSIX the per-user
// data folder when the executable's folder is not writable.
std::string ProgramDirectory();

// Replaces the program directory for this process (tests keep their files in a temporary folder).
void SetProgramDirectory(std::string systemPath);

// "C:/Websites/" on Windows; the folder Websites in the user's home on POSIX; ends with "/".
std::string DefaultDownloadDirectory();

} // namespace tw::FileSystem

namespace tw {

// True when the file named by path exists and its size can be read.
inline bool FileExists(std::string_view path)
{
    return FileSystem::FileSize(path).has_value();
}

} // namespace tw
