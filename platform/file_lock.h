#pragma once

#include "platform/result.h"

#include <string>

namespace platform {

// An advisory lock (flock) held while the object lives. The lock is taken on a
// file of its own or on a folder, never on the data file itself: a data file is
// replaced by a rename, which would leave a lock on the old inode.
//
// Locks are per open description: two FileLock objects of one process on one
// path exclude each other as two processes do.
class FileLock {
public:
    enum class Wait {
        No, // fail at once (EWOULDBLOCK) when another holder has it
        Yes, // block until the holder lets go
    };
    enum class Kind {
        Exclusive, // one holder: writers, a station's run
        Shared, // many holders at once, none while an exclusive one holds it
    };

    FileLock() = default;
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();

    // Locks `path`: a folder, or a lock file created (mode 0644) if missing.
    // A symbolic link or anything but a regular file or folder is refused.
    static Result<FileLock> acquire(const std::string& path, Kind kind = Kind::Exclusive, Wait wait = Wait::Yes);

    bool held() const { return m_fd >= 0; }
    const std::string& path() const { return m_path; }
    void release();

private:
    int m_fd = -1;
    std::string m_path;
};

} // namespace platform
