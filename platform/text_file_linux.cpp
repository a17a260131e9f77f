#include "platform/faults.h"
#include "platform/text_file.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

Error fileError(const std::string& what, const std::string& path, int code = errno)
{
    return Error { what + " " + path + ": " + std::strerror(code), code };
}

Result<void> writeAll(int fd, const std::string& bytes, const std::string& path)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        if (faults::shouldFail(faults::Op::Write))
            return Error { "write " + path + ": injected fault", EIO };
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fileError("write", path);
        }
        done += static_cast<std::size_t>(n);
    }
    return {};
}

} // namespace

Result<std::string> readFileBytes(const std::string& path, std::size_t limit, bool* truncated)
{
    if (truncated)
        *truncated = false;
    if (faults::shouldFail(faults::Op::Open))
        return Error { "open " + path + ": injected fault", EIO };
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fileError("open", path);
    std::string data;
    char buffer[8192];
    while (data.size() < limit) {
        if (faults::shouldFail(faults::Op::Read)) {
            ::close(fd);
            return Error { "read " + path + ": injected fault", EIO };
        }
        const std::size_t want = std::min(sizeof buffer, limit - data.size());
        const ssize_t n = ::read(fd, buffer, want);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int code = errno;
            ::close(fd);
            return fileError("read", path, code);
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
    ::close(fd);
    return data;
}

Result<void> writeFileBytes(const std::string& path, const std::string& bytes)
{
    if (faults::shouldFail(faults::Op::Open))
        return Error { "open " + path + ": injected fault", EIO };
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return fileError("open", path);
    auto result = writeAll(fd, bytes, path);
    if (::close(fd) != 0 && result.ok())
        return fileError("close", path);
    return result;
}

Result<void> writeFileAtomic(const std::string& path, const std::string& bytes)
{
    const std::string temporary = path + ".tmp." + std::to_string(::getpid());
    if (faults::shouldFail(faults::Op::Open))
        return Error { "open " + temporary + ": injected fault", EIO };
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return fileError("open", temporary);
    auto result = writeAll(fd, bytes, temporary);
    if (result.ok() && ::fsync(fd) != 0)
        result = fileError("fsync", temporary);
    ::close(fd);
    if (result.ok() && ::rename(temporary.c_str(), path.c_str()) != 0)
        result = fileError("rename", path);
    if (!result.ok())
        ::unlink(temporary.c_str());
    return result;
}

bool fileExists(const std::string& path)
{
    struct stat info { };
    return ::stat(path.c_str(), &info) == 0;
}

bool canOpenForReading(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool canOpenForWriting(const std::string& path)
{
    if (faults::shouldFail(faults::Op::Open))
        return false;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
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
