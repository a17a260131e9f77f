#include "platform/faults.h"
#include "platform/file_lock.h"
#include "platform/text_file.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>

#include <dirent.h>
#include <signal.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The one way the programs write their files: a temporary file beside the
// target, fsync, rename, fsync of the folder; an advisory lock around a
// read-modify-write.
namespace platform {
namespace {

Error fileError(const std::string& what, const std::string& path, int code = errno)
{
    return Error { what + " " + path + ": " + std::strerror(code), code };
}

std::string fileNameOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The folder as open() takes it: "." for a bare name.
std::string folderOf(const std::string& path)
{
    const std::string folder = directoryOf(path);
    return folder.empty() ? std::string(".") : folder;
}

// Refuses a target that a rename must not replace: a symbolic link (a planted
// link would be swapped for our file, and a program that followed it as root
// would have written wherever it points) or anything but a regular file. A
// missing target is fine. `existing` gets the target's status when there is one.
Result<void> checkTarget(const std::string& path, struct stat& existing, bool& exists)
{
    exists = false;
    if (::lstat(path.c_str(), &existing) != 0) {
        if (errno == ENOENT)
            return {};
        return fileError("stat", path);
    }
    exists = true;
    if (S_ISLNK(existing.st_mode))
        return Error { "refusing to write " + path + ": it is a symbolic link", ELOOP };
    if (!S_ISREG(existing.st_mode))
        return Error { "refusing to write " + path + ": it is not a regular file", EINVAL };
    return {};
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

Result<void> appendFileBytes(const std::string& path, const std::string& bytes)
{
    // O_NONBLOCK: a FIFO without a reader is refused by open() instead of
    // holding the program; any other non-regular file is refused below.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (errno == ELOOP)
            return Error { "refusing to write " + path + ": it is a symbolic link", ELOOP };
        return fileError("open", path);
    }
    struct stat info { };
    Result<void> written;
    if (::fstat(fd, &info) != 0)
        written = fileError("stat", path);
    else if (!S_ISREG(info.st_mode))
        written = Error { "refusing to write " + path + ": it is not a regular file", EINVAL };
    else
        written = writeAll(fd, bytes, path);
    if (::close(fd) != 0 && written)
        written = fileError("close", path);
    return written;
}

namespace {

// A fresh temporary file in the target's folder, created exclusively (never
// an existing file or a link someone placed under the name).
Result<int> createTemporary(const std::string& path, std::string& temporary)
{
    static std::atomic<unsigned> counter { 0 };
    thread_local std::mt19937 random { std::random_device {}() };
    const std::string prefix = directoryOf(path) + "." + fileNameOf(path) + ".tmp-" + std::to_string(::getpid()) + "-";
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = prefix + std::to_string(counter++) + "-" + std::to_string(random() % 1000000);
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST)
            return fileError("create", temporary);
    }
    return Error { "create " + temporary + ": no free temporary name", EEXIST };
}

// A temporary file left by a writer that was killed before its rename
// (SIGKILL, a power cut): its process is gone, and it has not been touched
// for a while. A save takes milliseconds; the hour keeps well away from
// a save under way (of a process whose number this one cannot see, say).
constexpr std::time_t kAbandonedAfterSeconds = 3600;

void removeAbandonedTemporaries(const std::string& path)
{
    const std::string prefix = "." + fileNameOf(path) + ".tmp-";
    DIR* folder = ::opendir(folderOf(path).c_str());
    if (!folder)
        return;
    const std::time_t now = std::time(nullptr);
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        char* end = nullptr;
        const long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
        if (pid <= 0 || *end != '-' || pid == ::getpid())
            continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
            continue;
        const std::string temporary = directoryOf(path) + name;
        struct stat info { };
        if (::lstat(temporary.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid()
            && now - info.st_mtime > kAbandonedAfterSeconds)
            (void)::unlink(temporary.c_str());
    }
    ::closedir(folder);
}

void syncFolder(const std::string& path)
{
    const int fd = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    (void)::fsync(fd);
    ::close(fd);
}

} // namespace

Result<void> writeFileAtomic(const std::string& path, const std::string& bytes)
{
    struct stat existing { };
    bool exists = false;
    SUITE_TRY(checkTarget(path, existing, exists));
    if (faults::shouldFail(faults::Op::Open))
        return Error { "open " + path + ": injected fault", EIO };
    std::string temporary;
    SUITE_TRY_ASSIGN(const int fd, createTemporary(path, temporary));
    Result<void> result;
    if (exists) {
        // The new file takes the old one's place, and its permission bits
        // (and, for root, its owner).
        if (::fchmod(fd, existing.st_mode & 07777) != 0)
            result = fileError("chmod", temporary);
        else if (::geteuid() == 0 && ::fchown(fd, existing.st_uid, existing.st_gid) != 0)
            result = fileError("chown", temporary);
    }
    if (result.ok())
        result = writeAll(fd, bytes, temporary);
    if (result.ok() && ::fsync(fd) != 0)
        result = fileError("fsync", temporary);
    if (::close(fd) != 0 && result.ok())
        result = fileError("close", temporary);
    if (result.ok()) {
        // Checked again right before the rename; the rename itself replaces
        // a name and never follows a link, so nothing is written through one.
        result = checkTarget(path, existing, exists);
    }
    if (result.ok() && ::rename(temporary.c_str(), path.c_str()) != 0)
        result = fileError("rename", path);
    if (!result.ok()) {
        ::unlink(temporary.c_str());
        return result;
    }
    syncFolder(path);
    removeAbandonedTemporaries(path);
    return {};
}

Result<void> updateFileAtomic(const std::string& path, std::size_t limit, const FileChange& change)
{
    SUITE_TRY_ASSIGN(FileLock lock, FileLock::acquire(path + ".lock"));
    CurrentFile current;
    auto read = readDataFile(path, limit, &current.truncated);
    if (read.ok()) {
        current.exists = true;
        current.bytes = std::move(*read);
    } else if (read.error().code != ENOENT) {
        return read.error();
    }
    const std::optional<std::string> next = change(current);
    if (!next)
        return {};
    return writeFileAtomic(path, *next);
}

Result<std::string> keepBadCopy(const std::string& path)
{
    const std::string copy = path + ".bad";
    struct stat source { };
    if (::lstat(path.c_str(), &source) != 0)
        return fileError("stat", path);
    if (!S_ISREG(source.st_mode))
        return Error { "refusing to copy " + path + ": it is not a regular file", EINVAL };
    struct stat target { };
    bool exists = false;
    SUITE_TRY(checkTarget(copy, target, exists));
    // A second name for the file as it is: the writer that follows replaces
    // the data file by a rename, so the copy keeps every byte, however long.
    std::string temporary;
    {
        SUITE_TRY_ASSIGN(const int fd, createTemporary(copy, temporary));
        ::close(fd);
        ::unlink(temporary.c_str());
    }
    if (::link(path.c_str(), temporary.c_str()) == 0) {
        if (::rename(temporary.c_str(), copy.c_str()) != 0) {
            const Error error = fileError("rename", copy);
            ::unlink(temporary.c_str());
            return error;
        }
        syncFolder(copy);
        return copy;
    }
    // A file system without hard links: a copy of the bytes.
    SUITE_TRY_ASSIGN(const std::string bytes, readDataFile(path));
    SUITE_TRY(writeFileAtomic(copy, bytes));
    return copy;
}

} // namespace platform
