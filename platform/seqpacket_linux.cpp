#include "platform/seqpacket.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

Error osError(const std::string& what, int code = errno) { return Error { what + ": " + std::strerror(code), code }; }

bool socketAddress(const std::string& path, sockaddr_un& address)
{
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

} // namespace

SeqPacketSocket::SeqPacketSocket(int fd)
    : m_fd(fd)
{
}

SeqPacketSocket::~SeqPacketSocket() { ::close(m_fd); }

Result<std::unique_ptr<SeqPacketSocket>> SeqPacketSocket::connect(const std::string& path)
{
    sockaddr_un address;
    if (!socketAddress(path, address))
        return Error { "socket path too long: " + path, ENAMETOOLONG };
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return osError("socket");
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int code = errno;
        ::close(fd);
        return osError("connect " + path, code);
    }
    return std::unique_ptr<SeqPacketSocket>(new SeqPacketSocket(fd));
}

Result<std::unique_ptr<SeqPacketSocket>> SeqPacketSocket::connectTrusted(const std::string& path)
{
    const auto trusted = [](uid_t uid) { return uid == 0 || uid == ::geteuid(); };
    struct stat info { };
    if (::lstat(path.c_str(), &info) != 0)
        return osError("stat " + path);
    if (!S_ISSOCK(info.st_mode))
        return Error { path + " is no socket", ENOTSOCK };
    if (!trusted(info.st_uid))
        return Error { path + " belongs to user " + std::to_string(info.st_uid) + ", neither root nor this user",
            EPERM };
    auto socket = connect(path);
    if (!socket.ok())
        return socket;
    // The file may have been replaced since it was looked at: the process
    // that answers counts.
    const int peer = (*socket)->peerUid();
    if (peer < 0 || !trusted(static_cast<uid_t>(peer)))
        return Error { path + " is served by user " + std::to_string(peer) + ", neither root nor this user", EPERM };
    return socket;
}

Result<void> SeqPacketSocket::send(std::span<const std::uint8_t> message, bool wait)
{
    for (;;) {
        const ssize_t sent = ::send(m_fd, message.data(), message.size(), MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
        if (sent >= 0)
            return {};
        if (errno != EINTR)
            return osError("send");
    }
}

Result<std::size_t> SeqPacketSocket::receive(std::span<std::uint8_t> buffer, bool wait)
{
    for (;;) {
        const ssize_t got = ::recv(m_fd, buffer.data(), buffer.size(), MSG_TRUNC | (wait ? 0 : MSG_DONTWAIT));
        if (got >= 0) {
            if (static_cast<std::size_t>(got) > buffer.size())
                return Error { "message of " + std::to_string(got) + " bytes is too long", EMSGSIZE };
            return static_cast<std::size_t>(got);
        }
        if (errno == EINTR)
            continue;
        // The peer closed with a message of ours unread; what it sent before
        // closing is still there, and the end follows it.
        if (errno == ECONNRESET)
            continue;
        return osError("recv");
    }
}

bool SeqPacketSocket::peerClosed() const
{
    // A sequenced-packet receive gives 0 bytes both for an empty message and
    // at the end; only the end leaves the read side hung up.
    pollfd entry { m_fd, POLLRDHUP, 0 };
    return ::poll(&entry, 1, 0) < 0 || (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

bool SeqPacketSocket::readable() const
{
    pollfd entry { m_fd, POLLIN, 0 };
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLIN | POLLHUP | POLLERR | POLLRDHUP)) != 0;
}

void SeqPacketSocket::shutdown() { ::shutdown(m_fd, SHUT_RDWR); }

int SeqPacketSocket::peerUid() const
{
    ucred credentials {};
    socklen_t length = sizeof credentials;
    if (::getsockopt(m_fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return -1;
    return static_cast<int>(credentials.uid);
}

SeqPacketListener::SeqPacketListener(int fd, std::string path)
    : m_fd(fd)
    , m_wake { -1, -1 }
    , m_path(std::move(path))
{
    if (::pipe2(m_wake, O_CLOEXEC) != 0)
        m_wake[0] = m_wake[1] = -1;
}

SeqPacketListener::~SeqPacketListener()
{
    ::close(m_fd);
    ::unlink(m_path.c_str());
    if (m_wake[0] >= 0) {
        ::close(m_wake[0]);
        ::close(m_wake[1]);
    }
}

Result<std::unique_ptr<SeqPacketListener>> SeqPacketListener::listen(const std::string& path)
{
    sockaddr_un address;
    if (!socketAddress(path, address))
        return Error { "socket path too long: " + path, ENAMETOOLONG };
    // A socket nobody answers on is what a crashed daemon leaves behind.
    if (auto probe = SeqPacketSocket::connect(path); probe.ok())
        return Error { "another process serves " + path, EADDRINUSE };
    struct stat info { };
    if (::lstat(path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode))
            return Error { path + " exists and is no socket", EEXIST };
        ::unlink(path.c_str());
    }
    // Non-blocking, so that acceptNow() never waits; accept() polls first.
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return osError("socket");
    // The socket file is created without group or world access.
    const mode_t previous = ::umask(0077);
    const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int bindError = errno;
    ::umask(previous);
    if (bound != 0) {
        ::close(fd);
        return osError("bind " + path, bindError);
    }
    if (::chmod(path.c_str(), 0600) != 0 || ::listen(fd, 16) != 0) {
        const int code = errno;
        ::close(fd);
        ::unlink(path.c_str());
        return osError("listen " + path, code);
    }
    return std::unique_ptr<SeqPacketListener>(new SeqPacketListener(fd, path));
}

Result<std::unique_ptr<SeqPacketSocket>> SeqPacketListener::accept()
{
    for (;;) {
        pollfd fds[2] = { { m_fd, POLLIN, 0 }, { m_wake[0], POLLIN, 0 } };
        if (::poll(fds, m_wake[0] >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            return osError("poll");
        }
        if (fds[1].revents)
            return Error { "listener shut down", ECANCELED };
        const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0)
            return std::unique_ptr<SeqPacketSocket>(new SeqPacketSocket(fd));
        if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN)
            continue;
        return osError("accept");
    }
}

Result<std::unique_ptr<SeqPacketSocket>> SeqPacketListener::acceptNow()
{
    for (;;) {
        const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0)
            return std::unique_ptr<SeqPacketSocket>(new SeqPacketSocket(fd));
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        return osError("accept");
    }
}

void SeqPacketListener::shutdown()
{
    if (m_wake[1] >= 0) {
        const char byte = 1;
        (void)!::write(m_wake[1], &byte, 1);
    }
}

namespace {

std::string ownRuntimeDir()
{
    if (::getuid() == 0)
        return kSystemVorpilRuntimeDir;
    if (std::string dir = environment("XDG_RUNTIME_DIR"); !dir.empty())
        return dir + "/vorpil";
    return "/tmp/vorpil-" + std::to_string(::getuid());
}

} // namespace

std::string vorpilRuntimeDir()
{
    if (std::string dir = environment("VORPIL_RUNTIME_DIR"); !dir.empty())
        return dir;
    return ownRuntimeDir();
}

std::string chooseClientRuntimeDir(const VorpilRuntimeLookup& lookup)
{
    if (!lookup.configured.empty())
        return lookup.configured;
    if (lookup.root || !lookup.serves)
        return lookup.own;
    // A user's own daemon is the one they started on purpose; the system's
    // serves everyone else, so ports of the service need no setting.
    if (lookup.serves(lookup.own))
        return lookup.own;
    if (lookup.serves(kSystemVorpilRuntimeDir))
        return kSystemVorpilRuntimeDir;
    return lookup.own;
}

std::string vorpilClientRuntimeDir()
{
    VorpilRuntimeLookup lookup;
    lookup.configured = environment("VORPIL_RUNTIME_DIR");
    lookup.root = ::getuid() == 0;
    lookup.own = ownRuntimeDir();
    lookup.serves = [](const std::string& directory) {
        struct stat info { };
        return ::stat((directory + "/control").c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
    };
    return chooseClientRuntimeDir(lookup);
}

std::string vorpilStateDir()
{
    if (::getuid() == 0)
        return "/var/lib/vorpil";
    if (std::string dir = environment("XDG_STATE_HOME"); !dir.empty())
        return dir + "/vorpil";
    if (std::string home = environment("HOME"); !home.empty())
        return home + "/.local/state/vorpil";
    return "/tmp/vorpil-state-" + std::to_string(::getuid());
}

Result<void> makeDirectories(const std::string& path, unsigned mode)
{
    if (path.empty())
        return Error { "empty directory name", EINVAL };
    std::size_t position = 0;
    while (position != std::string::npos) {
        position = path.find('/', position + 1);
        const std::string part = path.substr(0, position);
        if (::mkdir(part.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST)
            return osError("mkdir " + part);
    }
    struct stat info { };
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return Error { path + " is no directory", ENOTDIR };
    return {};
}

Result<void> checkOwnDirectory(const std::string& path)
{
    struct stat info { };
    if (::lstat(path.c_str(), &info) != 0)
        return osError("stat " + path);
    if (!S_ISDIR(info.st_mode))
        return Error { path + " is no directory (a link is not accepted)", ENOTDIR };
    if (info.st_uid != ::geteuid())
        return Error { path + " belongs to user " + std::to_string(info.st_uid) + ", not to this one ("
                + std::to_string(::geteuid()) + ")",
            EPERM };
    if (info.st_mode & (S_IWGRP | S_IWOTH))
        return Error { path + " is writable by other users", EPERM };
    return {};
}

Result<unsigned> groupId(const std::string& name)
{
    std::vector<char> buffer(16384);
    group entry {};
    group* found = nullptr;
    const int error = ::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (error != 0 || !found)
        return Error { "no group named " + name, error != 0 ? error : ENOENT };
    return static_cast<unsigned>(found->gr_gid);
}

Result<void> shareWithGroup(const std::string& path, unsigned group, unsigned mode)
{
    if (::lchown(path.c_str(), static_cast<uid_t>(-1), static_cast<gid_t>(group)) != 0)
        return osError("chown " + path);
    struct stat info { };
    if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode))
        return {}; // a link's own mode means nothing
    if (::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0)
        return osError("chmod " + path);
    return {};
}

void useFineTimerSlack() { (void)::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); }

} // namespace platform
