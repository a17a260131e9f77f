#include "platform/faults.h"
#include "platform/text_file.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Reading files and the small path helpers; the writers are in
// text_file_write_linux.cpp.
namespace platform {
namespace {

Error fileError(const std::string& what, const std::string& path, int code = errno)
{
    return Error { what + " " + path + ": " + std::strerror(code), code };
}

// What a path is, in words, for a refusal.
std::string kindOf(mode_t mode)
{
    if (S_ISLNK(mode))
        return "a symbolic link";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}

Result<std::string> readOpened(int fd, const std::string& path, std::size_t limit, bool* truncated)
{
    std::string data;
    char buffer[8192];
    while (data.size() < limit) {
        if (faults::shouldFail(faults::Op::Read))
            return Error { "read " + path + ": injected fault", EIO };
        const std::size_t want = std::min(sizeof buffer, limit - data.size());
        const ssize_t n = ::read(fd, buffer, want);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fileError("read", path);
        }
        if (n == 0)
            break;
        data.append(buffer, static_cast<std::size_t>(n));
    }
    if (data.size() >= limit && truncated) {
        char probe;
        ssize_t n;
        do {
            n = ::read(fd, &probe, 1);
        } while (n < 0 && errno == EINTR);
        *truncated = n > 0;
    }
    return data;
}

Result<std::string> readRegular(const std::string& path, std::size_t limit, bool* truncated, bool followLinks)
{
    if (truncated)
        *truncated = false;
    if (faults::shouldFail(faults::Op::Open))
        return Error { "open " + path + ": injected fault", EIO };
    // Non-blocking: opening a FIFO without a writer would wait forever.
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW);
    const int fd = ::open(path.c_str(), flags);
    if (fd < 0) {
        if (errno == ELOOP && !followLinks)
            return Error { "refusing to read " + path + ": it is a symbolic link", ELOOP };
        return fileError("open", path);
    }
    struct stat info { };
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int code = errno;
        ::close(fd);
        if (info.st_mode == 0)
            return fileError("stat", path, code);
        return Error { "refusing to read " + path + ": it is " + kindOf(info.st_mode), EINVAL };
    }
    auto data = readOpened(fd, path, limit, truncated);
    ::close(fd);
    return data;
}

} // namespace

Result<std::string> readFileBytes(const std::string& path, std::size_t limit, bool* truncated)
{
    return readRegular(path, limit, truncated, true);
}

Result<std::string> readDataFile(const std::string& path, std::size_t limit, bool* truncated)
{
    return readRegular(path, limit, truncated, false);
}

bool fileExists(const std::string& path)
{
    struct stat info { };
    return ::stat(path.c_str(), &info) == 0;
}

bool canOpenForReading(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool canOpenForWriting(const std::string& path)
{
    if (faults::shouldFail(faults::Op::Open))
        return false;
    // A FIFO without a reader fails at once (ENXIO) instead of waiting.
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info { };
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ::close(fd);
    return regular;
}

std::string currentDirectory()
{
    char buffer[PATH_MAX];
    if (!::getcwd(buffer, sizeof buffer))
        return {};
    return buffer;
}

std::string absolutePath(const std::string& path)
{
    if (!path.empty() && path.front() == '/')
        return path;
    std::string base = currentDirectory();
    if (base.empty() || base.back() != '/')
        base += '/';
    return base + path;
}

std::string directoryOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return {};
    return path.substr(0, slash + 1);
}

} // namespace platform
