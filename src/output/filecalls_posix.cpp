#include "output/filecalls.h"

#include <array>
#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw::FileCalls {

namespace {

constexpr mode_t kNewFileMode = 0666;

// Writes all of bytes from offset on; a call the system interrupted or cut short goes on.
bool WriteAll(int descriptor, std::string_view bytes, off_t offset)
{
    while (!bytes.empty()) {
        const ssize_t written = offset < 0
            ? ::write(descriptor, bytes.data(), bytes.size())
            : ::pwrite(descriptor, bytes.data(), bytes.size(), offset);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
        if (offset >= 0)
            offset += written;
    }
    return true;
}

// Closes the descriptor; the first failure is what errno keeps.
bool CloseAfter(int descriptor, bool succeeded)
{
    const int reason = errno;
    const bool closed = ::close(descriptor) == 0;
    if (!succeeded)
        errno = reason;
    return succeeded && closed;
}

} // namespace

bool Write(const std::string &path, std::string_view bytes, WriteMode mode)
{
    constexpr mode_t kPrivateFileMode = 0600;
    const int flags
        = O_WRONLY | O_CREAT | O_CLOEXEC | (mode == WriteMode::Append ? O_APPEND : O_TRUNC);
    const bool hidden = mode == WriteMode::Private;
    const int descriptor = ::open(path.c_str(), flags, hidden ? kPrivateFileMode : kNewFileMode);
    if (descriptor < 0)
        return false;
    // A file that was there before keeps its mode unless it is made private before the write.
    if (hidden && ::fchmod(descriptor, kPrivateFileMode) != 0)
        return CloseAfter(descriptor, false);
    return CloseAfter(descriptor, WriteAll(descriptor, bytes, -1));
}

Overwritten Overwrite(const std::string &path, std::string_view bytes)
{
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, kNewFileMode);
    if (descriptor < 0)
        return Overwritten::NotOpened;
    const off_t oldSize = ::lseek(descriptor, 0, SEEK_END);
    const auto newSize = static_cast<off_t>(bytes.size());
    const bool written = oldSize >= 0 && WriteAll(descriptor, bytes, 0)
        && (oldSize <= newSize || ::ftruncate(descriptor, newSize) == 0);
    return CloseAfter(descriptor, written) ? Overwritten::Done : Overwritten::Failed;
}

std::optional<std::string> Read(const std::string &path)
{
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        return std::nullopt;
    // Read to the end, not by the size a seek gives: a folder may open, and seeks to the
    // largest size there is.
    std::array<char, std::size_t {64} * 1024> block;
    std::string bytes;
    for (;;) {
        const ssize_t got = ::read(descriptor, block.data(), block.size());
        if (got > 0) {
            bytes.append(block.data(), static_cast<std::size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        ::close(descriptor);
        if (got < 0)
            return std::nullopt;
        return bytes;
    }
}

bool Rename(const std::string &from, const std::string &to)
{
    return ::rename(from.c_str(), to.c_str()) == 0;
}

std::optional<std::pair<std::int64_t, std::int64_t>> RegularFileSizeAndTime(const std::string &path)
{
    struct stat status
    {
    };
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
    return std::pair(static_cast<std::int64_t>(status.st_size),
        static_cast<std::int64_t>(status.st_mtim.tv_sec) * kNanosecondsPerSecond
            + status.st_mtim.tv_nsec);
}

std::optional<std::int64_t> RegularFileSize(const std::string &path)
{
    const auto status = RegularFileSizeAndTime(path);
    return status ? std::optional(status->first) : std::nullopt;
}

AppendedFile::AppendedFile(const std::string &path)
    : m_descriptor(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, kNewFileMode))
    , m_openError(errno)
{
}

AppendedFile::AppendedFile(AppendedFile &&other) noexcept
    : m_descriptor(std::exchange(other.m_descriptor, -1))
    , m_openError(other.m_openError)
{
}

AppendedFile &AppendedFile::operator=(AppendedFile &&other) noexcept
{
    std::swap(m_descriptor, other.m_descriptor);
    std::swap(m_openError, other.m_openError);
    return *this;
}

AppendedFile::~AppendedFile()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

bool AppendedFile::Append(std::string_view bytes)
{
    if (m_descriptor < 0) {
        errno = m_openError;
        return false;
    }
    return WriteAll(m_descriptor, bytes, -1);
}

} // namespace tw::FileCalls
