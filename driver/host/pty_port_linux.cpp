#include "driver/host/pty_port.h"
#include "platform/termios2_linux.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace driver::host {

using namespace common;

namespace {

using platform::detail::KernelTermios2;
using platform::detail::kGetTermios2;
using platform::detail::kOtherRate;
using platform::detail::kRateBits;

std::uint32_t rateOf(speed_t speed, int fd)
{
    struct Entry {
        speed_t speed;
        std::uint32_t rate;
    };
    static constexpr Entry kRates[] = { { B50, 50 }, { B75, 75 }, { B110, 110 }, { B134, 134 }, { B150, 150 },
        { B200, 200 }, { B300, 300 }, { B600, 600 }, { B1200, 1200 }, { B1800, 1800 }, { B2400, 2400 }, { B4800, 4800 },
        { B9600, 9600 }, { B19200, 19200 }, { B38400, 38400 }, { B57600, 57600 }, { B115200, 115200 },
        { B230400, 230400 }, { B460800, 460800 }, { B500000, 500000 }, { B576000, 576000 }, { B921600, 921600 },
        { B1000000, 1000000 }, { B1152000, 1152000 }, { B1500000, 1500000 }, { B2000000, 2000000 },
        { B2500000, 2500000 }, { B3000000, 3000000 }, { B3500000, 3500000 }, { B4000000, 4000000 } };
    for (const auto& entry : kRates) {
        if (entry.speed == speed)
            return entry.rate;
    }
    if (speed == kOtherRate) {
        KernelTermios2 exact {};
        if (::ioctl(fd, kGetTermios2, &exact) == 0)
            return exact.c_ospeed;
    }
    return 0;
}

PtySettings settingsOf(const termios& attributes, int fd)
{
    PtySettings settings;
    settings.baudRate = rateOf(cfgetospeed(&attributes), fd);
    settings.twoStopBits = (attributes.c_cflag & CSTOPB) != 0;
    settings.rtsCts = (attributes.c_cflag & CRTSCTS) != 0;
    settings.xonOutput = (attributes.c_iflag & IXON) != 0;
    settings.xonInput = (attributes.c_iflag & IXOFF) != 0;
    settings.xonChar = attributes.c_cc[VSTART];
    settings.xoffChar = attributes.c_cc[VSTOP];
    return settings;
}

// Bytes one read of the master may bring, after its status byte.
constexpr std::size_t kReadSize = 4096;

void closeFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

NtStatus failed(std::string& error, const char* call)
{
    error = std::string(call) + ": " + std::strerror(errno);
    return errno == EMFILE || errno == ENFILE || errno == ENOSPC || errno == ENOMEM ? kStatusInsufficientResources
                                                                                    : kStatusUnsuccessful;
}

} // namespace

NtStatus PtyPort::create(std::unique_ptr<PtyPort>& port, int group, std::string& error)
{
    std::unique_ptr<PtyPort> pty(new PtyPort);
    pty->m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (pty->m_master < 0)
        return failed(error, "posix_openpt");
    if (::grantpt(pty->m_master) != 0)
        return failed(error, "grantpt");
    if (::unlockpt(pty->m_master) != 0)
        return failed(error, "unlockpt");
    char name[PATH_MAX];
    if (const int code = ::ptsname_r(pty->m_master, name, sizeof name); code != 0) {
        errno = code;
        return failed(error, "ptsname_r");
    }
    pty->m_slavePath = name;
    if (group >= 0) {
        if (::chown(name, static_cast<uid_t>(-1), static_cast<gid_t>(group)) != 0)
            return failed(error, "chown");
        if (::chmod(name, 0660) != 0)
            return failed(error, "chmod");
    }

    // Raw 9600 baud, as a serial port starts; EXTPROC makes every settings
    // change show up on the master in packet mode. The master's terminal
    // requests reach the slave's settings, so the slave is never opened here.
    termios attributes {};
    if (::tcgetattr(pty->m_master, &attributes) != 0)
        return failed(error, "tcgetattr");
    ::cfmakeraw(&attributes);
    attributes.c_lflag |= EXTPROC;
    ::cfsetispeed(&attributes, B9600);
    ::cfsetospeed(&attributes, B9600);
    if (::tcsetattr(pty->m_master, TCSANOW, &attributes) != 0)
        return failed(error, "tcsetattr");
    int packetMode = 1;
    if (::ioctl(pty->m_master, TIOCPKT, &packetMode) != 0)
        return failed(error, "ioctl(TIOCPKT)");
    // Opened and closed once, the master is hung up from the start, so it
    // tells a program's presence the same way before and after the first.
    int peer = ::ioctl(pty->m_master, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (peer < 0)
        peer = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (peer < 0)
        return failed(error, "open");
    ::close(peer);
    // The settings report of our own change above is not a program's.
    std::array<std::uint8_t, 64> drain;
    while (::read(pty->m_master, drain.data(), drain.size()) > 0) { }

    pty->m_signal = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (pty->m_signal < 0)
        return failed(error, "eventfd");
    port = std::move(pty);
    return kStatusSuccess;
}

PtyPort::~PtyPort()
{
    closeFd(m_signal);
    closeFd(m_master);
}

namespace {

void ring(int fd)
{
    const std::uint64_t one = 1;
    (void)!::write(fd, &one, sizeof one);
}

} // namespace

void PtyPort::stop()
{
    m_stopped = true;
    ring(m_signal);
}

void PtyPort::wake()
{
    m_woken = true;
    ring(m_signal);
}

void PtyPort::noteClosed()
{
    std::lock_guard lock(m_readMutex);
    // A change reported before the close came before it, bytes and all.
    if (settingsChangePending())
        return;
    int unread = 0;
    if (::ioctl(m_master, FIONREAD, &unread) == 0 && unread > 0)
        m_held = static_cast<std::size_t>(unread);
}

bool PtyPort::setRate(std::uint32_t rate, std::uint32_t onlyFrom)
{
    KernelTermios2 attributes {};
    if (rate == 0 || ::ioctl(m_master, kGetTermios2, &attributes) != 0)
        return false;
    if (onlyFrom != 0 && attributes.c_ospeed != onlyFrom)
        return false;
    if (attributes.c_ospeed == rate && attributes.c_ispeed == rate)
        return true;
    attributes.c_cflag &= ~(kRateBits | (kRateBits << platform::detail::kInputRateShift));
    attributes.c_cflag |= kOtherRate | (kOtherRate << platform::detail::kInputRateShift);
    attributes.c_ospeed = rate;
    attributes.c_ispeed = rate;
    // Without waiting or flushing: those take the terminal's write lock.
    return ::ioctl(m_master, platform::detail::kSetTermios2, &attributes) == 0;
}

void PtyPort::noteOpened()
{
    m_opened = true;
    ring(m_signal);
}

PtySettings PtyPort::settings() const
{
    termios attributes {};
    if (::tcgetattr(m_master, &attributes) != 0)
        return {};
    return settingsOf(attributes, m_master);
}

bool PtyPort::settingsChangePending() const
{
    // In packet mode a pending status report makes the master urgent.
    pollfd master { m_master, POLLPRI, 0 };
    return ::poll(&master, 1, 0) > 0 && (master.revents & POLLPRI);
}

bool PtyPort::programPresent() const
{
    // The master hangs up when the last slave descriptor anywhere closes,
    // and stops when one opens.
    pollfd master { m_master, 0, 0 };
    return !(::poll(&master, 1, 0) > 0 && (master.revents & POLLHUP));
}

bool PtyPort::hasPending() const
{
    pollfd master { m_master, POLLIN | POLLPRI, 0 };
    return ::poll(&master, 1, 0) > 0 && (master.revents & (POLLIN | POLLPRI));
}

void PtyPort::discardTerminalInput()
{
    // The flush is made on a descriptor of the slave side of our own: on
    // the master only a settings request could reach the slave's input, and
    // that waits for the write lock of a program blocked in a write.
    const int peer = ::ioctl(m_master, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (peer < 0)
        return;
    (void)::tcflush(peer, TCIFLUSH);
    ::close(peer);
    // The packet mode reports the flush as if a program had made it. The
    // report is taken here, so that nothing looks left for a next program:
    // a status comes ahead of any byte, and a read of one byte takes no byte
    // of a program's. A settings change reported with it is reported again.
    std::lock_guard lock(m_readMutex);
    std::uint8_t status = 0;
    if (::read(m_master, &status, 1) == 1 && (status & TIOCPKT_IOCTL)) {
        termios attributes {};
        if (::tcgetattr(m_master, &attributes) == 0)
            (void)::tcsetattr(m_master, TCSANOW, &attributes);
    }
}

std::size_t PtyPort::unreadByProgram() const
{
    // Only the slave side counts its input.
    const int peer = ::ioctl(m_master, TIOCGPTPEER, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (peer < 0)
        return 0;
    int count = 0;
    if (::ioctl(peer, FIONREAD, &count) != 0 || count < 0)
        count = 0;
    ::close(peer);
    return static_cast<std::size_t>(count);
}

bool PtyPort::reportWaiting() const
{
    // Under the read lock: a report is either still on the master or counted
    // as told, never in between.
    std::shared_lock lock(m_readMutex);
    return m_flushesTold > 0 || settingsChangePending();
}

void PtyPort::flushReportHandled()
{
    std::lock_guard lock(m_readMutex);
    if (m_flushesTold > 0)
        --m_flushesTold;
}

void PtyPort::takeSignals(std::vector<PtyEvent>& events)
{
    std::uint64_t count = 0;
    (void)!::read(m_signal, &count, sizeof count);
    if (m_opened.exchange(false))
        events.push_back({ PtyEventKind::Opened, {}, {} });
}

bool PtyPort::waitEvents(std::vector<PtyEvent>& events, const PtyWait& wait)
{
    // Packets read in one go before others get a turn; a close is told only
    // once every byte before it has been read.
    constexpr int kPacketsPerWake = 16;
    bool masterGone = false;
    for (;;) {
        if (m_stopped)
            return false;
        short masterEvents = 0;
        if (wait.programData)
            masterEvents |= POLLIN | POLLPRI;
        if (wait.writable)
            masterEvents |= POLLOUT;
        // A terminal that hung up while its hang-up is not asked for is left
        // alone for the rest of this wait: it would report nothing else.
        const bool watchMaster = (wait.hangUp || wait.writable) && !masterGone;
        pollfd fds[2] = { { m_signal, POLLIN, 0 }, { watchMaster ? m_master : -1, masterEvents, 0 } };
        const int ready = ::poll(fds, 2, wait.limitMs);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (m_stopped)
            return false;
        if (ready == 0)
            return true;
        const std::size_t before = events.size();
        if (fds[0].revents)
            takeSignals(events);
        const short master = fds[1].revents;
        if (!wait.hangUp && (master & POLLHUP)) {
            masterGone = true;
            if (fds[0].revents && m_woken.exchange(false))
                events.push_back({ PtyEventKind::Woken, {}, {} });
            if (events.size() != before)
                return true;
            continue;
        }
        if (wait.programData && (master & (POLLIN | POLLPRI | POLLHUP))) {
            Read read = Read::Packet;
            for (int packet = 0; read == Read::Packet && (packet < kPacketsPerWake || (master & POLLHUP)); ++packet) {
                read = readMaster(events);
                // A packet shorter than a full read emptied the terminal: the
                // next poll says when there is more, without a read in vain.
                // The terminal's line discipline keeps one byte of its
                // buffer free, so a full read carries kReadSize - 1 bytes.
                if (read == Read::Packet && !(master & POLLHUP) && !events.empty()
                    && events.back().kind == PtyEventKind::Data && events.back().data.size() + 1 < kReadSize)
                    break;
            }
            if (read == Read::HungUp)
                events.push_back({ PtyEventKind::Closed, {}, {} });
        } else if (master & POLLHUP) {
            // Gone, with whatever it wrote still in the terminal for later.
            events.push_back({ PtyEventKind::Closed, {}, {} });
        }
        // A wake-up comes after what the terminal reported meanwhile: a flush
        // is then acted on before arrivals it woke for are passed on.
        if (fds[0].revents && m_woken.exchange(false))
            events.push_back({ PtyEventKind::Woken, {}, {} });
        if (wait.writable && (master & POLLOUT))
            events.push_back({ PtyEventKind::Writable, {}, {} });
        if (events.size() != before)
            return true;
    }
}

void PtyPort::pendingEvents(std::vector<PtyEvent>& events, std::size_t byteLimit)
{
    Read read = Read::Packet;
    std::size_t bytes = 0;
    while (read == Read::Packet && bytes < byteLimit) {
        const std::size_t before = events.size();
        read = readMaster(events);
        for (std::size_t i = before; i < events.size(); ++i)
            bytes += events[i].data.size();
    }
    if (read == Read::HungUp)
        events.push_back({ PtyEventKind::Closed, {}, {} });
}

PtyPort::Read PtyPort::readMaster(std::vector<PtyEvent>& events)
{
    std::lock_guard lock(m_readMutex);
    std::array<std::uint8_t, kReadSize + 1> buffer;
    ssize_t got = -1;
    do
        got = ::read(m_master, buffer.data(), buffer.size());
    while (got < 0 && errno == EINTR);
    if (got < 0)
        return errno == EIO ? Read::HungUp : Read::Nothing;
    if (got == 0)
        return Read::Nothing;
    const std::uint8_t status = buffer[0];
    if (status == TIOCPKT_DATA) {
        if (got > 1)
            events.push_back({ PtyEventKind::Data, { buffer.begin() + 1, buffer.begin() + got }, {} });
        m_held -= std::min<std::size_t>(m_held, static_cast<std::size_t>(got - 1));
        return Read::Packet;
    }
    statusEvents(status, events, true);
    return Read::Packet;
}

void PtyPort::statusEvents(std::uint8_t status, std::vector<PtyEvent>& events, bool drainHeld)
{
    if (status & TIOCPKT_FLUSHREAD) {
        ++m_flushesTold;
        events.push_back({ PtyEventKind::FlushInput, {}, {} });
    }
    if (status & TIOCPKT_FLUSHWRITE)
        events.push_back({ PtyEventKind::FlushOutput, {}, {} });
    if (!(status & TIOCPKT_IOCTL))
        return;
    // The terminal reports a change ahead of any byte not yet read, and
    // cannot tell which of those were written before it: the change goes
    // first, as a rate set now applies to what has not left a UART yet.
    // Bytes held by a close seen before the change go ahead of it.
    termios attributes {};
    if (::tcgetattr(m_master, &attributes) != 0)
        return;
    const PtySettings settings = settingsOf(attributes, m_master);
    if (drainHeld)
        readHeld(events);
    events.push_back({ PtyEventKind::Settings, {}, settings });
    // A program that cleared external processing would report no further
    // changes; it is set again (which reports once more, harmlessly).
    if (!(attributes.c_lflag & EXTPROC)) {
        attributes.c_lflag |= EXTPROC;
        (void)::tcsetattr(m_master, TCSANOW, &attributes);
    }
}

void PtyPort::readHeld(std::vector<PtyEvent>& events)
{
    std::array<std::uint8_t, kReadSize + 1> buffer;
    while (m_held > 0) {
        const ssize_t got = ::read(m_master, buffer.data(), std::min(m_held, kReadSize) + 1);
        if (got <= 0) {
            if (got < 0 && errno == EINTR)
                continue;
            m_held = 0;
            return;
        }
        if (buffer[0] != TIOCPKT_DATA) {
            // Another change came meanwhile: it is told after this one.
            std::vector<PtyEvent> later;
            statusEvents(buffer[0], later, false);
            readHeld(events);
            events.insert(events.end(), std::make_move_iterator(later.begin()), std::make_move_iterator(later.end()));
            return;
        }
        if (got > 1)
            events.push_back({ PtyEventKind::Data, { buffer.begin() + 1, buffer.begin() + got }, {} });
        m_held -= std::min<std::size_t>(m_held, static_cast<std::size_t>(got - 1));
    }
}

std::size_t PtyPort::writeSome(std::span<const std::uint8_t> bytes)
{
    std::size_t written = 0;
    while (written < bytes.size()) {
        const std::size_t wanted = bytes.size() - written;
        const ssize_t count = ::write(m_master, bytes.data() + written, wanted);
        if (count > 0) {
            written += static_cast<std::size_t>(count);
            // A short write filled the terminal: another would only say
            // EAGAIN (one wasted call per round while the program reads
            // slower than the device sends). Room is told by POLLOUT.
            if (static_cast<std::size_t>(count) < wanted)
                break;
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        break; // full (EAGAIN), or gone
    }
    return written;
}

} // namespace driver::host
