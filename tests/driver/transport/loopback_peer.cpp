#include "tests/driver/transport/loopback_peer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace driver_testing {

namespace {

sockaddr_in loopback(std::uint16_t port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

std::uint16_t boundPort(int fd)
{
    sockaddr_in address {};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

bool readable(int fd, std::chrono::milliseconds limit)
{
    pollfd entry { fd, POLLIN, 0 };
    return ::poll(&entry, 1, static_cast<int>(limit.count())) > 0;
}

} // namespace

TcpPeer::TcpPeer(int fd)
    : m_fd(fd)
{
    const int on = 1;
    setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

TcpPeer::~TcpPeer() { close(); }

std::unique_ptr<TcpPeer> TcpPeer::connect(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<TcpPeer>(fd);
}

bool TcpPeer::send(std::span<const std::uint8_t> bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t written = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (written <= 0)
            return false;
        sent += static_cast<std::size_t>(written);
    }
    return true;
}

Bytes TcpPeer::receive(std::size_t count, std::chrono::milliseconds limit)
{
    Bytes out;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::uint8_t buffer[65536];
    while (out.size() < count) {
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readable(m_fd, left))
            break;
        const ssize_t received = ::recv(m_fd, buffer, std::min(sizeof buffer, count - out.size()), 0);
        if (received <= 0)
            break;
        out.insert(out.end(), buffer, buffer + received);
    }
    return out;
}

bool TcpPeer::closedByOtherSide(std::chrono::milliseconds limit)
{
    if (!readable(m_fd, limit))
        return false;
    std::uint8_t byte = 0;
    return ::recv(m_fd, &byte, 1, MSG_PEEK) <= 0;
}

bool TcpPeer::quiet(std::chrono::milliseconds grace) { return !readable(m_fd, grace); }

std::uint16_t TcpPeer::remotePort() const
{
    sockaddr_in address {};
    socklen_t length = sizeof address;
    getpeername(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

void TcpPeer::shutdownWrite() { ::shutdown(m_fd, SHUT_WR); }

void TcpPeer::shutdown()
{
    if (m_fd >= 0)
        ::shutdown(m_fd, SHUT_RDWR);
}

void TcpPeer::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

TcpListener::TcpListener(std::uint16_t port, int receiveBuffer)
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (receiveBuffer > 0)
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    const sockaddr_in address = loopback(port);
    ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::listen(m_fd, 8);
    m_port = boundPort(m_fd);
}

TcpListener::~TcpListener() { ::close(m_fd); }

std::unique_ptr<TcpPeer> TcpListener::accept(std::chrono::milliseconds limit)
{
    if (!readable(m_fd, limit))
        return nullptr;
    const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    return fd >= 0 ? std::make_unique<TcpPeer>(fd) : nullptr;
}

UdpPeer::UdpPeer(std::uint16_t port)
{
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    m_port = boundPort(m_fd);
}

UdpPeer::~UdpPeer() { ::close(m_fd); }

bool UdpPeer::sendTo(std::uint16_t port, std::span<const std::uint8_t> bytes)
{
    const sockaddr_in address = loopback(port);
    return ::sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address), sizeof address)
        == static_cast<ssize_t>(bytes.size());
}

std::optional<UdpPeer::Datagram> UdpPeer::receive(std::chrono::milliseconds limit)
{
    if (!readable(m_fd, limit))
        return std::nullopt;
    std::uint8_t buffer[65536];
    sockaddr_in from {};
    socklen_t length = sizeof from;
    const ssize_t received = ::recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (received < 0)
        return std::nullopt;
    return Datagram { Bytes(buffer, buffer + received), ntohs(from.sin_port), ntohl(from.sin_addr.s_addr) };
}

} // namespace driver_testing
