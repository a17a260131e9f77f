#include "utility/services/terminal_file.h"

#include "utility/services/terminal_view.h"

#include <array>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace utility::services {

namespace {

// Opens a regular file without waiting on a FIFO or following a final
// symbolic link; -1 with `why` set otherwise.
int openRegular(const std::string& path, int flags, std::string& why)
{
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        why = errno == ELOOP ? path + " is a symbolic link" : path + ": " + std::strerror(errno);
        return -1;
    }
    struct stat status { };
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        why = path + " is not a regular file";
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

} // namespace

TerminalFileSend::TerminalFileSend(platform::EventLoop& loop, Terminal& terminal)
    : m_loop(loop)
    , m_terminal(terminal)
{
}

TerminalFileSend::~TerminalFileSend()
{
    if (m_timer != 0)
        m_loop.killTimer(m_timer);
    if (m_fd >= 0)
        ::close(m_fd);
}

bool TerminalFileSend::start(const std::string& path, std::string& why)
{
    if (running()) {
        why = "a file is being sent";
        return false;
    }
    if (!m_terminal.isOpen()) {
        why = "the port is not open";
        return false;
    }
    const int fd = openRegular(path, O_RDONLY, why);
    if (fd < 0)
        return false;
    struct stat status { };
    ::fstat(fd, &status);
    m_fd = fd;
    m_total = static_cast<std::uint64_t>(status.st_size);
    m_handed = 0;
    m_taken = 0;
    m_timer = m_loop.startTimer(kPoll, [this] { tick(); });
    return true;
}

void TerminalFileSend::cancel()
{
    if (!running())
        return;
    // What the reader took goes out in full; the block it did not take is dropped.
    m_taken = m_terminal.dropPendingWrite() ? m_handed - m_lastBlock : m_handed;
    finish(Outcome::Cancelled);
}

void TerminalFileSend::tick()
{
    if (!m_terminal.isOpen()) {
        finish(Outcome::PortClosed);
        return;
    }
    if (m_terminal.writePending())
        return; // the device has not taken the last block yet
    if (m_taken != m_handed) {
        m_taken = m_handed;
        if (m_progress)
            m_progress();
    }
    std::array<std::uint8_t, kBlockSize> block {};
    ssize_t got = 0;
    do
        got = ::read(m_fd, block.data(), block.size());
    while (got < 0 && errno == EINTR);
    if (got < 0) {
        finish(Outcome::ReadFailed);
        return;
    }
    if (got == 0) {
        m_total = m_taken; // a file that shrank meanwhile ends where it ends
        finish(Outcome::Sent);
        return;
    }
    m_terminal.send(block.data(), static_cast<std::size_t>(got));
    m_lastBlock = static_cast<std::uint64_t>(got);
    m_handed += m_lastBlock;
}

void TerminalFileSend::finish(Outcome outcome)
{
    m_loop.killTimer(m_timer);
    m_timer = 0;
    ::close(m_fd);
    m_fd = -1;
    if (m_finished)
        m_finished(outcome);
}

TerminalLogFile::~TerminalLogFile() { close(); }

std::string TerminalLogFile::open(const std::string& path)
{
    close();
    std::string why;
    m_fd = openRegular(path, O_WRONLY | O_CREAT | O_APPEND, why);
    if (m_fd >= 0)
        m_path = path;
    return why;
}

void TerminalLogFile::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

std::string TerminalLogFile::write(const std::string& text)
{
    for (std::size_t done = 0; m_fd >= 0 && done < text.size();) {
        const ssize_t written = ::write(m_fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            const std::string why = m_path + ": " + std::strerror(written < 0 ? errno : ENOSPC);
            close();
            return why;
        }
        done += static_cast<std::size_t>(written);
    }
    return {};
}

} // namespace utility::services
