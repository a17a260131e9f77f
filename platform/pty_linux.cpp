#include "platform/pty.h"
#include "platform/pty_open_linux.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace platform {
namespace {

Error osError(const std::string& what, int code = errno) { return Error { what + ": " + std::strerror(code), code }; }

std::uint32_t baudOf(speed_t code)
{
    switch (code) {
    case B1200:
        return 1200;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    case B230400:
        return 230400;
    case B460800:
        return 460800;
    case B921600:
        return 921600;
    default:
        return 0;
    }
}

} // namespace

Pty::Pty(int master, int slave, std::string slavePath)
    : m_master(master)
    , m_slave(slave)
    , m_slavePath(std::move(slavePath))
{
}

Pty::~Pty()
{
    ::close(m_slave);
    ::close(m_master);
}

Result<std::unique_ptr<Pty>> Pty::open()
{
    SUITE_TRY_ASSIGN(detail::RawPty pty, detail::openRawPty());
    const int master = pty.master;
    const int slave = pty.slave;
    const std::string& name = pty.slavePath;
    const int flags = ::fcntl(master, F_GETFL);
    ::fcntl(master, F_SETFL, flags | O_NONBLOCK);
    return std::unique_ptr<Pty>(new Pty(master, slave, name));
}

Result<std::size_t> Pty::read(std::uint8_t* buffer, std::size_t size, Duration timeout)
{
    pollfd pfd { m_master, POLLIN, 0 };
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count();
    int n;
    do {
        n = ::poll(&pfd, 1, static_cast<int>(ms < 0 ? 0 : ms));
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return osError("poll pty");
    if (n == 0 || !(pfd.revents & POLLIN))
        return std::size_t { 0 };
    ssize_t got;
    do {
        got = ::read(m_master, buffer, size);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        if (errno == EAGAIN)
            return std::size_t { 0 };
        return osError("read pty");
    }
    return static_cast<std::size_t>(got);
}

Result<void> Pty::write(const std::uint8_t* data, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(m_master, data + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd pfd { m_master, POLLOUT, 0 };
            ::poll(&pfd, 1, 10);
            continue;
        }
        return osError("write pty");
    }
    return {};
}

Result<SerialSettings> Pty::peerSettings() const
{
    // The terminal settings belong to the slave side.
    termios tio {};
    if (::tcgetattr(m_slave, &tio) != 0)
        return osError("tcgetattr pty");
    SerialSettings settings;
    settings.baud = baudOf(::cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
    case CS5:
        settings.dataBits = 5;
        break;
    case CS6:
        settings.dataBits = 6;
        break;
    case CS7:
        settings.dataBits = 7;
        break;
    default:
        settings.dataBits = 8;
    }
    settings.parity = (tio.c_cflag & PARENB) ? ((tio.c_cflag & PARODD) ? Parity::Odd : Parity::Even) : Parity::None;
    settings.stopBits = (tio.c_cflag & CSTOPB) ? 2 : 1;
    return settings;
}

} // namespace platform
