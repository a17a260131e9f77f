#include "platform/faults.h"
#include "platform/pty_master.h"
#include "platform/pty_open_linux.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace platform {
namespace {

Error osError(const std::string& what, int code = errno) { return Error { what + ": " + std::strerror(code), code }; }

speed_t speedOf(std::uint32_t baud)
{
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 921600:
        return B921600;
    default:
        return B0;
    }
}

} // namespace

PtyMaster::PtyMaster(int master, int slave, std::string slavePath)
    : m_master(master)
    , m_slave(slave)
    , m_slavePath(std::move(slavePath))
{
}

PtyMaster::~PtyMaster()
{
    ::close(m_slave);
    ::close(m_master);
}

Result<std::unique_ptr<PtyMaster>> PtyMaster::open()
{
    if (faults::shouldFail(faults::Op::Open))
        return Error { "posix_openpt: injected fault", EIO };
    SUITE_TRY_ASSIGN(detail::RawPty pty, detail::openRawPty(O_NONBLOCK));
    return std::unique_ptr<PtyMaster>(new PtyMaster(pty.master, pty.slave, pty.slavePath));
}

Result<std::size_t> PtyMaster::read(std::span<std::uint8_t> buffer)
{
    if (faults::shouldFail(faults::Op::Read))
        return Error { "read pty: injected fault", EIO };
    ssize_t got;
    do {
        got = ::read(m_master, buffer.data(), buffer.size());
    } while (got < 0 && errno == EINTR);
    if (got < 0)
        return osError("read pty");
    return static_cast<std::size_t>(got);
}

Result<std::size_t> PtyMaster::write(std::span<const std::uint8_t> data)
{
    if (faults::shouldFail(faults::Op::Write))
        return Error { "write pty: injected fault", EIO };
    ssize_t done;
    do {
        done = ::write(m_master, data.data(), data.size());
    } while (done < 0 && errno == EINTR);
    if (done < 0)
        return osError("write pty");
    return static_cast<std::size_t>(done);
}

Result<void> PtyMaster::setLineSettings(const SerialSettings& settings)
{
    termios tio {};
    if (::tcgetattr(m_slave, &tio) != 0)
        return osError("tcgetattr pty");
    const speed_t speed = speedOf(settings.baud);
    if (speed != B0) {
        ::cfsetispeed(&tio, speed);
        ::cfsetospeed(&tio, speed);
    }
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
    switch (settings.dataBits) {
    case 5:
        tio.c_cflag |= CS5;
        break;
    case 6:
        tio.c_cflag |= CS6;
        break;
    case 7:
        tio.c_cflag |= CS7;
        break;
    default:
        tio.c_cflag |= CS8;
    }
    if (settings.parity != Parity::None)
        tio.c_cflag |= PARENB | (settings.parity == Parity::Odd ? PARODD : 0);
    if (settings.stopBits == 2)
        tio.c_cflag |= CSTOPB;
    if (::tcsetattr(m_slave, TCSANOW, &tio) != 0)
        return osError("tcsetattr pty");
    return {};
}

} // namespace platform
