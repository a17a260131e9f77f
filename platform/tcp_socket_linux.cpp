#include "platform/faults.h"
#include "platform/socket_util_linux.h"
#include "platform/tcp_socket.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {
namespace {

using detail::errnoError;
using detail::fromSockaddr;
using detail::injected;
using detail::toSockaddr;

Result<int> openStream()
{
    if (faults::shouldFail(faults::Op::Open))
        return injected("socket");
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errnoError("socket");
    return fd;
}

Result<void> setIntOption(int fd, int level, int name, int value, const char* what)
{
    if (faults::shouldFail(faults::Op::SetOption))
        return injected(what);
    if (::setsockopt(fd, level, name, &value, sizeof value) != 0)
        return errnoError(what);
    return {};
}

Result<void> bindFd(int fd, Ipv4 localAddress, std::uint16_t port)
{
    if (faults::shouldFail(faults::Op::Bind))
        return injected("bind");
    const sockaddr_in addr = toSockaddr(localAddress, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        return errnoError("bind");
    return {};
}

Endpoint nameOf(int fd, bool peer)
{
    sockaddr_in addr {};
    socklen_t length = sizeof addr;
    if (fd < 0)
        return {};
    const int rc = peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &length)
                        : ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    return rc == 0 ? fromSockaddr(addr) : Endpoint {};
}

} // namespace

TcpSocket::~TcpSocket() { close(); }

TcpSocket::TcpSocket(TcpSocket&& other) noexcept
    : m_fd(other.m_fd)
{
    other.m_fd = -1;
}

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept
{
    if (this != &other) {
        close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

Result<TcpSocket> TcpSocket::open()
{
    SUITE_TRY_ASSIGN(const int fd, openStream());
    return TcpSocket(fd);
}

Result<void> TcpSocket::setReuseAddress(bool on)
{
    return setIntOption(m_fd, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0, "SO_REUSEADDR");
}

Result<void> TcpSocket::setNoDelay(bool on)
{
    return setIntOption(m_fd, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0, "TCP_NODELAY");
}

Result<void> TcpSocket::bind(Ipv4 localAddress, std::uint16_t port) { return bindFd(m_fd, localAddress, port); }

Result<TcpSocket::ConnectStatus> TcpSocket::connect(const Endpoint& to)
{
    if (faults::shouldFail(faults::Op::Open))
        return injected("connect");
    const sockaddr_in addr = toSockaddr(to.address, to.port);
    int rc;
    do {
        rc = ::connect(m_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0)
        return ConnectStatus::Connected;
    if (errno == EINPROGRESS)
        return ConnectStatus::InProgress;
    return errnoError("connect");
}

Result<void> TcpSocket::finishConnect()
{
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return errnoError("connect");
    if (error != 0)
        return errnoError("connect", error);
    // A socket that is writable without an error has still not connected
    // when the peer's address is unknown (the connect is still under way).
    if (nameOf(m_fd, true).port == 0)
        return Error { "connect: not connected", ENOTCONN };
    return {};
}

Result<std::size_t> TcpSocket::send(std::span<const std::uint8_t> data)
{
    if (faults::shouldFail(faults::Op::Send))
        return injected("send");
    ssize_t sent;
    do {
        sent = ::send(m_fd, data.data(), data.size(), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0)
        return errnoError("send");
    return static_cast<std::size_t>(sent);
}

Result<std::size_t> TcpSocket::receive(std::span<std::uint8_t> buffer)
{
    if (faults::shouldFail(faults::Op::Receive))
        return injected("recv");
    ssize_t received;
    do {
        received = ::recv(m_fd, buffer.data(), buffer.size(), 0);
    } while (received < 0 && errno == EINTR);
    if (received < 0)
        return errnoError("recv");
    return static_cast<std::size_t>(received);
}

Result<void> TcpSocket::shutdownSend()
{
    if (::shutdown(m_fd, SHUT_WR) != 0)
        return errnoError("shutdown");
    return {};
}

void TcpSocket::close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

void TcpSocket::closeReset()
{
    if (m_fd < 0)
        return;
    // A zero linger time turns the close into a reset.
    linger option {};
    option.l_onoff = 1;
    option.l_linger = 0;
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    close();
}

Endpoint TcpSocket::localEndpoint() const { return nameOf(m_fd, false); }
Endpoint TcpSocket::peerEndpoint() const { return nameOf(m_fd, true); }

TcpListener::~TcpListener() { close(); }

TcpListener::TcpListener(TcpListener&& other) noexcept
    : m_fd(other.m_fd)
{
    other.m_fd = -1;
}

TcpListener& TcpListener::operator=(TcpListener&& other) noexcept
{
    if (this != &other) {
        close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

Result<TcpListener> TcpListener::listen(Ipv4 localAddress, std::uint16_t port, int backlog)
{
    SUITE_TRY_ASSIGN(const int fd, openStream());
    TcpListener listener(fd);
    // A restarted server must get its port back while old connections
    // linger in TIME_WAIT.
    SUITE_TRY(setIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1, "SO_REUSEADDR"));
    SUITE_TRY(bindFd(fd, localAddress, port));
    if (::listen(fd, backlog) != 0)
        return errnoError("listen");
    return listener;
}

void TcpListener::close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

Result<TcpSocket> TcpListener::accept(Endpoint& peer)
{
    sockaddr_in addr {};
    socklen_t length = sizeof addr;
    int fd;
    do {
        fd = ::accept4(m_fd, reinterpret_cast<sockaddr*>(&addr), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errnoError("accept");
    peer = fromSockaddr(addr);
    return TcpSocket(fd);
}

Endpoint TcpListener::localEndpoint() const { return nameOf(m_fd, false); }

} // namespace platform
