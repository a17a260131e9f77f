#include "platform/file_lock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace platform {

FileLock::FileLock(FileLock&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
    , m_path(std::move(other.m_path))
{
}

FileLock& FileLock::operator=(FileLock&& other) noexcept
{
    if (this != &other) {
        release();
        m_fd = std::exchange(other.m_fd, -1);
        m_path = std::move(other.m_path);
    }
    return *this;
}

FileLock::~FileLock() { release(); }

void FileLock::release()
{
    if (m_fd >= 0)
        ::close(m_fd); // closing the description lets the lock go
    m_fd = -1;
}

Result<FileLock> FileLock::acquire(const std::string& path, Kind kind, Wait wait)
{
    // A folder is opened as it is; anything else is a lock file of our own.
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOTDIR)
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    else if (fd < 0 && errno == ENOENT)
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int code = errno;
        const std::string why = code == ELOOP ? "it is a symbolic link" : std::strerror(code);
        return Error { "cannot lock " + path + ": " + why, code };
    }
    struct stat info { };
    if (::fstat(fd, &info) != 0 || !(S_ISREG(info.st_mode) || S_ISDIR(info.st_mode))) {
        ::close(fd);
        return Error { "cannot lock " + path + ": not a regular file or folder", EINVAL };
    }
    int operation = kind == Kind::Exclusive ? LOCK_EX : LOCK_SH;
    if (wait == Wait::No)
        operation |= LOCK_NB;
    while (::flock(fd, operation) != 0) {
        if (errno == EINTR)
            continue;
        const int code = errno;
        ::close(fd);
        if (code == EWOULDBLOCK)
            return Error { path + " is locked by another program", code };
        return Error { "cannot lock " + path + ": " + std::strerror(code), code };
    }
    FileLock lock;
    lock.m_fd = fd;
    lock.m_path = path;
    return lock;
}

} // namespace platform
