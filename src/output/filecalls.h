#pragma once

// The system's calls that write and examine files, made nowhere else. Each platform has its own
// implementation and the build picks it. Every path here is native and already fitted; a call
// that fails leaves the system's reason in errno.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tw::FileCalls {

// Private: truncated, and readable by its owner alone (a file of secrets).
enum class WriteMode { Truncate, Append, Private };

// Writes bytes to the file, creating it when missing.
bool Write(const std::string &path, std::string_view bytes, WriteMode mode);

// Writes bytes over the file from its start, creating it when missing, and cuts it to their
// size. The file is overwritten, not truncated first: a file system may write out at once a file
// that was cut to nothing and filled again, as it would a replaced one.
enum class Overwritten { Done, NotOpened, Failed };
Overwritten Overwrite(const std::string &path, std::string_view bytes);

// The whole file; nullopt when it cannot be opened or read (a folder included).
std::optional<std::string> Read(const std::string &path);

bool Rename(const std::string &from, const std::string &to);

// The size of a regular file (symbolic links followed); nullopt for anything else.
std::optional<std::int64_t> RegularFileSize(const std::string &path);
// The size of a regular file and when it was last written, in nanoseconds since the epoch
// (symbolic links followed); nullopt for anything else.
std::optional<std::pair<std::int64_t, std::int64_t>> RegularFileSizeAndTime(
    const std::string &path);

// A file kept open to be appended to; each Append reaches the system before it returns.
class AppendedFile
{
public:
    explicit AppendedFile(const std::string &path);
    AppendedFile(AppendedFile &&other) noexcept;
    AppendedFile &operator=(AppendedFile &&other) noexcept;
    AppendedFile(const AppendedFile &) = delete;
    AppendedFile &operator=(const AppendedFile &) = delete;
    ~AppendedFile();

    bool Append(std::string_view bytes);

private:
    int m_descriptor = -1;
    int m_openError = 0;
};

} // namespace tw::FileCalls
