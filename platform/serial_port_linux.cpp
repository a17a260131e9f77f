#include "platform/faults.h"
#include "platform/serial_port.h"
#include "platform/termios2_linux.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace platform {
namespace {

using std::chrono::milliseconds;

struct BaudCode {
    std::uint32_t baud;
    speed_t code;
};

constexpr BaudCode kBaudCodes[] = { { 300, B300 }, { 600, B600 }, { 1200, B1200 }, { 2400, B2400 }, { 4800, B4800 },
    { 9600, B9600 }, { 19200, B19200 }, { 38400, B38400 }, { 57600, B57600 }, { 115200, B115200 }, { 230400, B230400 },
    { 460800, B460800 }, { 500000, B500000 }, { 921600, B921600 }, { 1000000, B1000000 } };

using detail::KernelTermios2;
using detail::kGetTermios2;
using detail::kInputRateShift;
using detail::kOtherRate;
using detail::kRateBits;
using detail::kSetTermios2;

Error osError(const std::string& what, int code = errno) { return Error { what + ": " + std::strerror(code), code }; }

enum class WaitOutcome { Ready, TimedOut, Failed };

// Waits for `events` on `fd` until `deadline` on `clock`. With the machine's
// clock this is one poll; with a virtual or scaled clock it polls in short
// slices and lets the clock pass its own time meanwhile. `check` is asked
// between slices for conditions poll cannot see (line error counters).
template <typename Check>
WaitOutcome waitFd(int fd, short events, Clock& clock, TimePoint deadline, short& revents, Check check)
{
    const bool realTime = dynamic_cast<RealClock*>(&clock) != nullptr;
    for (;;) {
        if (check())
            return WaitOutcome::Ready;
        const TimePoint now = clock.now();
        const Duration remaining = deadline - now;
        int timeoutMs = 0;
        if (realTime && remaining > Duration::zero()) {
            // Capped so that error counters are looked at now and then.
            const auto ms = std::chrono::duration_cast<milliseconds>(remaining + milliseconds(1) - Duration(1));
            timeoutMs = static_cast<int>(std::min<std::int64_t>(ms.count(), 50));
        }
        pollfd pfd { fd, events, 0 };
        int n;
        do {
            n = ::poll(&pfd, 1, timeoutMs);
        } while (n < 0 && errno == EINTR);
        if (n < 0)
            return WaitOutcome::Failed;
        if (n > 0) {
            revents = pfd.revents;
            if (pfd.revents & (POLLERR | POLLNVAL))
                return WaitOutcome::Failed;
            if (pfd.revents & events)
                return WaitOutcome::Ready;
            if (pfd.revents & POLLHUP)
                return WaitOutcome::Failed;
        }
        if (clock.now() >= deadline)
            return check() ? WaitOutcome::Ready : WaitOutcome::TimedOut;
        if (!realTime) {
            // Let a virtual clock move on by a millisecond (a scaled one
            // sleeps the matching real slice).
            std::mutex mutex;
            std::condition_variable condition;
            std::unique_lock lock(mutex);
            const Duration step = std::min<Duration>(deadline - clock.now(), milliseconds(1));
            clock.waitFor(condition, lock, step, [] { return false; });
        }
    }
}

class LinuxSerialPort final : public SerialPort {
public:
    LinuxSerialPort(int fd, std::string path, Clock& clock)
        : m_fd(fd)
        , m_path(std::move(path))
        , m_clock(clock)
    {
        m_errorBaseline = lineErrorCounts();
        struct stat status { };
        // Unix 98 pseudo-terminal slaves have the majors 136 to 143.
        m_pseudoTerminal = ::fstat(m_fd, &status) == 0 && S_ISCHR(status.st_mode) && major(status.st_rdev) >= 136
            && major(status.st_rdev) <= 143;
    }
    ~LinuxSerialPort() override
    {
        ::tcflush(m_fd, flushQueues());
        ::close(m_fd);
    }
    std::string devicePath() const override { return m_path; }
    LinuxSerialPort(const LinuxSerialPort&) = delete;
    LinuxSerialPort& operator=(const LinuxSerialPort&) = delete;

    Result<SerialSettings> settings() override
    {
        if (faults::shouldFail(faults::Op::SetOption))
            return Error { "tcgetattr " + m_path + ": injected fault", EIO };
        termios tio {};
        if (::tcgetattr(m_fd, &tio) != 0)
            return osError("tcgetattr " + m_path);
        SerialSettings result = m_settings;
        const speed_t code = ::cfgetospeed(&tio);
        for (const auto& entry : kBaudCodes) {
            if (entry.code == code)
                result.baud = entry.baud;
        }
        KernelTermios2 exact {};
        if (code == kOtherRate && ::ioctl(m_fd, kGetTermios2, &exact) == 0)
            result.baud = exact.c_ospeed;
        switch (tio.c_cflag & CSIZE) {
        case CS5:
            result.dataBits = 5;
            break;
        case CS6:
            result.dataBits = 6;
            break;
        case CS7:
            result.dataBits = 7;
            break;
        default:
            result.dataBits = 8;
        }
        result.parity = (tio.c_cflag & PARENB) ? ((tio.c_cflag & PARODD) ? Parity::Odd : Parity::Even) : Parity::None;
        result.stopBits = (tio.c_cflag & CSTOPB) ? 2 : 1;
        return result;
    }

    Result<void> configure(const SerialSettings& settings) override
    {
        if (faults::shouldFail(faults::Op::SetOption))
            return Error { "tcsetattr " + m_path + ": injected fault", EIO };
        termios tio {};
        if (::tcgetattr(m_fd, &tio) != 0)
            return osError("tcgetattr " + m_path);
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
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
        case 8:
            tio.c_cflag |= CS8;
            break;
        default:
            return Error { "unsupported data bits", EINVAL };
        }
        if (settings.parity != Parity::None)
            tio.c_cflag |= PARENB | (settings.parity == Parity::Odd ? PARODD : 0);
        if (settings.stopBits == 2)
            tio.c_cflag |= CSTOPB;
        // Bytes with parity errors are passed on as received (no INPCK); the
        // error itself is seen through the driver's error counters.
        tio.c_iflag &= ~(INPCK | PARMRK | IGNPAR | ISTRIP | IXON | IXOFF);
        if (settings.flow == FlowControl::XonXoff) {
            tio.c_iflag |= IXON | IXOFF;
            tio.c_cc[VSTART] = 0x11;
            tio.c_cc[VSTOP] = 0x13;
        } else if (settings.flow == FlowControl::Hardware) {
            tio.c_cflag |= CRTSCTS;
        }
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        const BaudCode* found = nullptr;
        for (const auto& entry : kBaudCodes) {
            if (entry.baud == settings.baud)
                found = &entry;
        }
        if (found) {
            ::cfsetispeed(&tio, found->code);
            ::cfsetospeed(&tio, found->code);
            if (::tcsetattr(m_fd, TCSANOW, &tio) != 0)
                return osError("tcsetattr " + m_path);
        } else if (auto rate = setOtherRate(tio, settings.baud); !rate.ok()) {
            return rate.error();
        }
        // Pseudo-terminals have no modem lines; that is not an error here.
        const int lines = TIOCM_DTR;
        ::ioctl(m_fd, settings.dtr ? TIOCMBIS : TIOCMBIC, &lines);
        const int rts = TIOCM_RTS;
        ::ioctl(m_fd, settings.rts ? TIOCMBIS : TIOCMBIC, &rts);
        m_settings = settings;
        return {};
    }

    // A rate without a B-constant, as a number; the driver says which rate
    // it really set, and one far from the asked rate is refused too.
    // The other settings go in with it, in one call.
    Result<void> setOtherRate(const termios& settings, std::uint32_t baud)
    {
        const std::string refused = m_path + " does not take " + std::to_string(baud) + " baud";
        if (baud == 0)
            return Error { refused, EINVAL };
        KernelTermios2 tio {};
        tio.c_iflag = settings.c_iflag;
        tio.c_oflag = settings.c_oflag;
        tio.c_cflag = settings.c_cflag;
        tio.c_lflag = settings.c_lflag;
        tio.c_line = settings.c_line;
        std::memcpy(tio.c_cc, settings.c_cc, sizeof tio.c_cc);
        tio.c_cflag &= ~(kRateBits | (kRateBits << kInputRateShift));
        tio.c_cflag |= kOtherRate | (kOtherRate << kInputRateShift);
        tio.c_ispeed = baud;
        tio.c_ospeed = baud;
        if (::ioctl(m_fd, kSetTermios2, &tio) != 0)
            return osError(refused);
        KernelTermios2 taken {};
        if (::ioctl(m_fd, kGetTermios2, &taken) != 0)
            return osError(refused);
        // Within 2%, as a UART's divisor allows.
        const std::uint64_t off = taken.c_ospeed > baud ? taken.c_ospeed - baud : baud - taken.c_ospeed;
        if (off * 50 > baud)
            return Error { refused + " (it set " + std::to_string(taken.c_ospeed) + ")", EINVAL };
        return {};
    }

    Result<void> setTimeouts(const SerialTimeouts& timeouts) override
    {
        if (faults::shouldFail(faults::Op::SetOption))
            return Error { "timeouts " + m_path + ": injected fault", EIO };
        m_timeouts = timeouts;
        return {};
    }

    Result<void> setQueueSizes(std::size_t, std::size_t) override { return {}; }

    Result<void> purge() override
    {
        if (::tcflush(m_fd, flushQueues()) != 0)
            return osError("tcflush " + m_path);
        return {};
    }

    Result<void> setEventMask(std::uint32_t mask) override
    {
        m_eventMask = mask;
        return {};
    }

    IoResult write(const std::uint8_t* data, std::size_t size) override
    {
        const std::uint64_t totalMs
            = std::uint64_t { m_timeouts.writeMultiplier } * size + std::uint64_t { m_timeouts.writeConstant };
        const bool limited = totalMs != 0;
        const TimePoint deadline = m_clock.now() + milliseconds(totalMs);
        std::size_t done = 0;
        bool first = true;
        while (done < size) {
            if (faults::shouldFail(faults::Op::Write))
                return { first ? IoStatus::FailedAtOnce : IoStatus::CompletionFailed, done };
            const ssize_t n = ::write(m_fd, data + done, size - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                first = false;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN)
                return { first ? IoStatus::FailedAtOnce : IoStatus::CompletionFailed, done };
            first = false;
            short revents = 0;
            const TimePoint until = limited ? deadline : m_clock.now() + std::chrono::hours(24);
            const WaitOutcome outcome = waitFd(m_fd, POLLOUT, m_clock, until, revents, [] { return false; });
            if (outcome == WaitOutcome::Failed)
                return { IoStatus::WaitFailed, done };
            if (outcome == WaitOutcome::TimedOut)
                return { IoStatus::TimedOut, done };
        }
        return { IoStatus::Done, done };
    }

    IoResult read(std::uint8_t* buffer, std::size_t size, Duration limit) override
    {
        if (faults::shouldFail(faults::Op::Read))
            return { IoStatus::FailedAtOnce, 0 };
        const TimePoint start = m_clock.now();
        const TimePoint limitDeadline = start + limit;
        const bool atOnce = m_timeouts.readInterval == SerialTimeouts::kReturnAtOnce && m_timeouts.readMultiplier == 0
            && m_timeouts.readConstant == 0;
        const std::uint64_t totalMs
            = std::uint64_t { m_timeouts.readMultiplier } * size + std::uint64_t { m_timeouts.readConstant };
        const bool hasTotal = totalMs != 0;
        const TimePoint totalDeadline = start + milliseconds(totalMs);
        const bool hasInterval = m_timeouts.readInterval != 0 && !atOnce;
        std::size_t done = 0;
        bool first = true;
        TimePoint lastByte = start;
        while (done < size) {
            const ssize_t n = ::read(m_fd, buffer + done, size - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                lastByte = m_clock.now();
                first = false;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN)
                return { first ? IoStatus::FailedAtOnce : IoStatus::CompletionFailed, done };
            first = false;
            if (atOnce)
                break;
            // Nothing more for now: find the earliest end of this read.
            TimePoint end = limitDeadline;
            bool endIsLimit = true;
            if (hasTotal && totalDeadline <= end) {
                end = totalDeadline;
                endIsLimit = false;
            }
            if (hasInterval && done > 0) {
                const TimePoint intervalEnd = lastByte + milliseconds(m_timeouts.readInterval);
                if (intervalEnd <= end) {
                    end = intervalEnd;
                    endIsLimit = false;
                }
            }
            if (m_clock.now() >= end) {
                if (endIsLimit)
                    return { IoStatus::TimedOut, done };
                break;
            }
            short revents = 0;
            const WaitOutcome outcome = waitFd(m_fd, POLLIN, m_clock, end, revents, [] { return false; });
            if (outcome == WaitOutcome::Failed)
                return { IoStatus::WaitFailed, done };
        }
        return { IoStatus::Done, done };
    }

    IoResult waitEvent(Duration limit, std::uint32_t& events) override
    {
        events = 0;
        if (m_eventMask == 0)
            return { IoStatus::FailedAtOnce, 0 };
        const TimePoint deadline = m_clock.now() + limit;
        auto check = [&] {
            std::uint32_t found = 0;
            if ((m_eventMask & kSerialEventRxChar) && pendingInput() > 0)
                found |= kSerialEventRxChar;
            if ((m_eventMask & kSerialEventLineError) && lineErrorCounts().total() > m_errorBaseline.total())
                found |= kSerialEventLineError;
            events = found;
            return found != 0;
        };
        short revents = 0;
        const short pollEvents = (m_eventMask & kSerialEventRxChar) ? POLLIN : 0;
        const WaitOutcome outcome = waitFd(m_fd, pollEvents, m_clock, deadline, revents, check);
        if (outcome == WaitOutcome::Failed)
            return { IoStatus::WaitFailed, 0 };
        if (outcome == WaitOutcome::TimedOut)
            return { IoStatus::TimedOut, 0 };
        check();
        return { IoStatus::Done, 0 };
    }

    Result<SerialStatus> clearErrors() override
    {
        SerialStatus status;
        const ErrorCounts now = lineErrorCounts();
        if (now.overrun > m_errorBaseline.overrun)
            status.errors |= kSerialErrorOverrun;
        if (now.parity > m_errorBaseline.parity)
            status.errors |= kSerialErrorParity;
        if (now.frame > m_errorBaseline.frame)
            status.errors |= kSerialErrorFrame;
        if (now.brk > m_errorBaseline.brk)
            status.errors |= kSerialErrorBreak;
        m_errorBaseline = now;
        status.inQueue = pendingInput();
        int out = 0;
        if (::ioctl(m_fd, TIOCOUTQ, &out) == 0 && out > 0)
            status.outQueue = static_cast<std::size_t>(out);
        return status;
    }

private:
    // A UART's output queue holds what has not left it; a pseudo-terminal's
    // is what the other side has not read yet, bytes a real line would have
    // carried long ago. Purging it would lose commands a board (a simulator
    // on the other side) was about to read, so only the input is purged there.
    int flushQueues() const { return m_pseudoTerminal ? TCIFLUSH : TCIOFLUSH; }
    bool m_pseudoTerminal = false;
    struct ErrorCounts {
        std::uint64_t frame = 0, parity = 0, overrun = 0, brk = 0;
        std::uint64_t total() const { return frame + parity + overrun + brk; }
    };

    // Real UARTs count line errors in the driver; pseudo-terminals have none.
    ErrorCounts lineErrorCounts() const
    {
        serial_icounter_struct counts {};
        ErrorCounts result;
        if (::ioctl(m_fd, TIOCGICOUNT, &counts) == 0) {
            result.frame = static_cast<std::uint64_t>(counts.frame);
            result.parity = static_cast<std::uint64_t>(counts.parity);
            result.overrun
                = static_cast<std::uint64_t>(counts.overrun) + static_cast<std::uint64_t>(counts.buf_overrun);
            result.brk = static_cast<std::uint64_t>(counts.brk);
        }
        return result;
    }

    std::size_t pendingInput() const
    {
        int available = 0;
        if (::ioctl(m_fd, FIONREAD, &available) != 0 || available < 0)
            return 0;
        return static_cast<std::size_t>(available);
    }

    int m_fd;
    std::string m_path;
    Clock& m_clock;
    SerialSettings m_settings;
    SerialTimeouts m_timeouts;
    std::uint32_t m_eventMask = 0;
    ErrorCounts m_errorBaseline;
};

} // namespace

Result<std::unique_ptr<SerialPort>> openSerialPort(const std::string& devicePath, Clock& clock)
{
    if (faults::shouldFail(faults::Op::Open))
        return Error { "open " + devicePath + ": injected fault", EIO };
    const int fd = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return osError("open " + devicePath);
    if (!::isatty(fd)) {
        ::close(fd);
        return Error { devicePath + " is not a terminal", ENOTTY };
    }
    // Exclusive: a lock among cooperating programs (root passes TIOCEXCL).
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int code = errno;
        ::close(fd);
        return osError("lock " + devicePath, code);
    }
    ::ioctl(fd, TIOCEXCL);
    return std::unique_ptr<SerialPort>(new LinuxSerialPort(fd, devicePath, clock));
}

} // namespace platform
