#include "driver/host/pty_port.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace driver::host {

using namespace common;

namespace {

// The kernel's termios with the rates as numbers, for rates beyond the
// B-constants (set with BOTHER); declared here because the kernel header
// clashes with the C library's.
struct KernelTermios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};
constexpr unsigned long kGetTermios2 = _IOR('T', 0x2A, KernelTermios2);
constexpr speed_t kOtherRate = 0010000; // BOTHER

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

void closeFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

NtStatus PtyPort::create(std::unique_ptr<PtyPort>& port, int group)
{
    std::unique_ptr<PtyPort> pty(new PtyPort);
    pty->m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (pty->m_master < 0 || ::grantpt(pty->m_master) != 0 || ::unlockpt(pty->m_master) != 0)
        return kStatusInsufficientResources;
    char name[PATH_MAX];
    if (::ptsname_r(pty->m_master, name, sizeof name) != 0)
        return kStatusInsufficientResources;
    pty->m_slavePath = name;
    pty->m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty->m_slave < 0)
        return kStatusInsufficientResources;
    if (group >= 0
        && (::fchown(pty->m_slave, static_cast<uid_t>(-1), static_cast<gid_t>(group)) != 0
            || ::fchmod(pty->m_slave, 0660) != 0))
        return kStatusInsufficientResources;

    // Raw 9600 baud, as a serial port starts; EXTPROC makes every settings
    // change show up on the master in packet mode.
    termios attributes {};
    if (::tcgetattr(pty->m_slave, &attributes) != 0)
        return kStatusInsufficientResources;
    ::cfmakeraw(&attributes);
    attributes.c_lflag |= EXTPROC;
    ::cfsetispeed(&attributes, B9600);
    ::cfsetospeed(&attributes, B9600);
    int packetMode = 1;
    if (::tcsetattr(pty->m_slave, TCSANOW, &attributes) != 0 || ::ioctl(pty->m_master, TIOCPKT, &packetMode) != 0)
        return kStatusInsufficientResources;
    // The settings report of our own change above is not a program's.
    std::array<std::uint8_t, 64> drain;
    while (::read(pty->m_master, drain.data(), drain.size()) > 0) { }

    // Our own slave descriptor is open before the watch, so only programs count.
    pty->m_watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    pty->m_stop = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    pty->m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (pty->m_watch < 0 || pty->m_stop < 0 || pty->m_wake < 0
        || ::inotify_add_watch(pty->m_watch, name, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0)
        return kStatusInsufficientResources;
    port = std::move(pty);
    return kStatusSuccess;
}

PtyPort::~PtyPort()
{
    closeFd(m_watch);
    closeFd(m_stop);
    closeFd(m_wake);
    closeFd(m_slave);
    closeFd(m_master);
}

void PtyPort::stop()
{
    const std::uint64_t one = 1;
    (void)!::write(m_stop, &one, sizeof one);
}

void PtyPort::wake()
{
    const std::uint64_t one = 1;
    (void)!::write(m_wake, &one, sizeof one);
}

PtySettings PtyPort::settings() const
{
    termios attributes {};
    if (::tcgetattr(m_slave, &attributes) != 0)
        return {};
    return settingsOf(attributes, m_slave);
}

bool PtyPort::settingsChangePending() const
{
    // In packet mode a pending status report makes the master urgent.
    pollfd master { m_master, POLLPRI, 0 };
    return ::poll(&master, 1, 0) > 0 && (master.revents & POLLPRI);
}

void PtyPort::discardTerminalInput() { (void)::tcflush(m_slave, TCIFLUSH); }

bool PtyPort::openedByOthers() const
{
    DIR* processes = ::opendir("/proc");
    if (!processes)
        return false;
    const std::string self = std::to_string(::getpid());
    bool found = false;
    while (!found) {
        const dirent* process = ::readdir(processes);
        if (!process)
            break;
        const char* pid = process->d_name;
        if (pid[0] < '0' || pid[0] > '9' || self == pid)
            continue;
        const std::string fdDir = std::string("/proc/") + pid + "/fd";
        DIR* fds = ::opendir(fdDir.c_str());
        if (!fds)
            continue; // gone, or not ours to look at
        while (const dirent* fd = ::readdir(fds)) {
            if (fd->d_name[0] == '.')
                continue;
            char target[PATH_MAX];
            const ssize_t length = ::readlink((fdDir + "/" + fd->d_name).c_str(), target, sizeof target - 1);
            if (length > 0 && std::string(target, static_cast<std::size_t>(length)) == m_slavePath) {
                found = true;
                break;
            }
        }
        ::closedir(fds);
    }
    ::closedir(processes);
    return found;
}

bool PtyPort::waitEvents(std::vector<PtyEvent>& events, const PtyWait& wait)
{
    for (;;) {
        short masterEvents = 0;
        if (wait.programData)
            masterEvents |= POLLIN;
        if (wait.writable)
            masterEvents |= POLLOUT;
        pollfd fds[4] = { { m_stop, POLLIN, 0 }, { m_wake, POLLIN, 0 }, { m_watch, POLLIN, 0 },
            { masterEvents ? m_master : -1, masterEvents, 0 } };
        const int ready = ::poll(fds, 4, wait.limitMs);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (ready == 0)
            return true;
        if (fds[0].revents)
            return false;
        const std::size_t before = events.size();
        if (fds[1].revents) {
            std::uint64_t count = 0;
            (void)!::read(m_wake, &count, sizeof count);
            events.push_back({ PtyEventKind::Woken, {}, {} });
        }
        // Opens first: a program's first bytes belong to the open that precedes them.
        if (fds[2].revents)
            readWatch(events);
        if (fds[3].revents & POLLIN)
            (void)readMaster(events);
        if (fds[3].revents & POLLOUT)
            events.push_back({ PtyEventKind::Writable, {}, {} });
        if (events.size() != before)
            return true;
    }
}

void PtyPort::pendingEvents(std::vector<PtyEvent>& events, bool programData)
{
    readWatch(events);
    while (programData && readMaster(events)) { }
}

void PtyPort::readWatch(std::vector<PtyEvent>& events)
{
    alignas(inotify_event) std::array<char, 4096> buffer;
    for (;;) {
        const ssize_t got = ::read(m_watch, buffer.data(), buffer.size());
        if (got <= 0)
            return;
        for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
            inotify_event event;
            std::memcpy(&event, buffer.data() + offset, sizeof event);
            if (event.mask & IN_OPEN)
                events.push_back({ PtyEventKind::Opened, {}, {} });
            if (event.mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE))
                events.push_back({ PtyEventKind::Closed, {}, {} });
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
        }
    }
}

bool PtyPort::readMaster(std::vector<PtyEvent>& events)
{
    std::array<std::uint8_t, 4097> buffer;
    const ssize_t got = ::read(m_master, buffer.data(), buffer.size());
    if (got <= 0)
        return false;
    const std::uint8_t status = buffer[0];
    if (status == TIOCPKT_DATA) {
        if (got > 1)
            events.push_back({ PtyEventKind::Data, { buffer.begin() + 1, buffer.begin() + got }, {} });
        return true;
    }
    if (status & TIOCPKT_FLUSHREAD)
        events.push_back({ PtyEventKind::FlushInput, {}, {} });
    if (status & TIOCPKT_FLUSHWRITE)
        events.push_back({ PtyEventKind::FlushOutput, {}, {} });
    if (status & TIOCPKT_IOCTL) {
        // The terminal reports a change before the bytes the program wrote
        // ahead of it; those bytes go first, so a new rate does not overtake
        // data written at the old one.
        while (readMaster(events)) { }
        termios attributes {};
        if (::tcgetattr(m_slave, &attributes) != 0)
            return true;
        events.push_back({ PtyEventKind::Settings, {}, settingsOf(attributes, m_slave) });
        // A program that cleared external processing would report no further
        // changes; it is set again (which reports once more, harmlessly).
        if (!(attributes.c_lflag & EXTPROC)) {
            attributes.c_lflag |= EXTPROC;
            (void)::tcsetattr(m_slave, TCSANOW, &attributes);
        }
    }
    return true;
}

std::size_t PtyPort::writeSome(std::span<const std::uint8_t> bytes)
{
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t count = ::write(m_master, bytes.data() + written, bytes.size() - written);
        if (count > 0) {
            written += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        break; // full (EAGAIN), or gone
    }
    return written;
}

} // namespace driver::host
