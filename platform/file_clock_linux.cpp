#include "platform/file_clock.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

Result<std::unique_ptr<FileClock>> FileClock::open(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return Error { "clock file " + path + ": " + std::strerror(errno), errno };
    struct stat info { };
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < static_cast<off_t>(sizeof(std::int64_t))) {
        ::close(fd);
        return Error { "clock file " + path + ": not a file of at least 8 bytes", EINVAL };
    }
    void* mapped = ::mmap(nullptr, sizeof(std::int64_t), PROT_READ, MAP_SHARED, fd, 0);
    const int code = errno;
    ::close(fd);
    if (mapped == MAP_FAILED)
        return Error { "clock file " + path + ": " + std::strerror(code), code };
    return std::unique_ptr<FileClock>(new FileClock(static_cast<const std::int64_t*>(mapped)));
}

FileClock::FileClock(const std::int64_t* time)
    : m_time(time)
{
}

FileClock::~FileClock() { ::munmap(const_cast<std::int64_t*>(m_time), sizeof(std::int64_t)); }

TimePoint FileClock::now() const { return TimePoint(Duration(__atomic_load_n(m_time, __ATOMIC_ACQUIRE))); }

WallTime FileClock::wallNow() const { return std::chrono::system_clock::now(); }

void FileClock::sleepFor(Duration duration)
{
    const TimePoint until = now() + duration;
    for (TimePoint current = now(); current < until; current = now())
        std::this_thread::sleep_for(realSlice(until - current));
}

Duration FileClock::realSlice(Duration clockTime) const
{
    return std::clamp<Duration>(clockTime, std::chrono::microseconds(50), std::chrono::milliseconds(1));
}

} // namespace platform
