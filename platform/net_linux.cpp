#include "platform/faults.h"
#include "platform/net.h"
#include "platform/socket_util_linux.h"

#include <cerrno>
#include <charconv>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {
namespace {

using detail::errnoError;
using detail::fromSockaddr;
using detail::injected;
using detail::toSockaddr;

} // namespace

std::optional<Ipv4> parseIpv4(std::string_view text)
{
    Ipv4 result = 0;
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        std::size_t end = text.find('.', pos);
        if (end == std::string_view::npos)
            end = text.size();
        if ((part < 3) != (end < text.size()))
            return std::nullopt; // too few or too many parts
        const std::string_view digits = text.substr(pos, end - pos);
        if (digits.empty() || digits.size() > 3)
            return std::nullopt;
        unsigned value = 0;
        auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (ec != std::errc() || ptr != digits.data() + digits.size() || value > 255)
            return std::nullopt;
        result = (result << 8) | value;
        pos = end + 1;
    }
    return result;
}

std::string formatIpv4(Ipv4 address)
{
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "."
        + std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::optional<Ipv4> resolveIpv4(const std::string& hostOrAddress)
{
    if (auto parsed = parseIpv4(hostOrAddress))
        return parsed;
    if (hostOrAddress.empty())
        return std::nullopt;
    addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(hostOrAddress.c_str(), nullptr, &hints, &list) != 0 || !list)
        return std::nullopt;
    const auto* addr = reinterpret_cast<const sockaddr_in*>(list->ai_addr);
    const Ipv4 result = ntohl(addr->sin_addr.s_addr);
    freeaddrinfo(list);
    return result;
}

std::string Endpoint::text() const { return formatIpv4(address) + ":" + std::to_string(port); }

UdpSocket::~UdpSocket() { close(); }

UdpSocket::UdpSocket(UdpSocket&& other) noexcept
    : m_fd(other.m_fd)
{
    other.m_fd = -1;
}

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept
{
    if (this != &other) {
        close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

Result<UdpSocket> UdpSocket::open()
{
    if (faults::shouldFail(faults::Op::Open))
        return injected("socket");
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errnoError("socket");
    return UdpSocket(fd);
}

void UdpSocket::close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

static Result<void> setIntOption(int fd, int level, int name, int value, const char* what)
{
    if (faults::shouldFail(faults::Op::SetOption))
        return injected(what);
    if (::setsockopt(fd, level, name, &value, sizeof value) != 0)
        return errnoError(what);
    return {};
}

Result<void> UdpSocket::setReuseAddress(bool on)
{
    return setIntOption(m_fd, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0, "SO_REUSEADDR");
}

Result<void> UdpSocket::bindToDevice(const std::string& interfaceName)
{
    if (faults::shouldFail(faults::Op::SetOption))
        return Error { "SO_BINDTODEVICE: injected fault", EIO };
    if (::setsockopt(
            m_fd, SOL_SOCKET, SO_BINDTODEVICE, interfaceName.c_str(), static_cast<socklen_t>(interfaceName.size()))
        != 0)
        return Error { "SO_BINDTODEVICE " + interfaceName + ": " + std::strerror(errno), errno };
    return {};
}

Result<void> UdpSocket::setBroadcast(bool on)
{
    return setIntOption(m_fd, SOL_SOCKET, SO_BROADCAST, on ? 1 : 0, "SO_BROADCAST");
}

Result<void> UdpSocket::setReceiveBuffer(int bytes)
{
    return setIntOption(m_fd, SOL_SOCKET, SO_RCVBUF, bytes, "SO_RCVBUF");
}

Result<void> UdpSocket::bind(const std::string& localAddress, std::uint16_t port)
{
    Ipv4 address = 0;
    if (!localAddress.empty()) {
        auto parsed = parseIpv4(localAddress);
        if (!parsed)
            return Error { "bind: not an IPv4 address: " + localAddress, EINVAL };
        address = *parsed;
    }
    return bind(address, port);
}

Result<void> UdpSocket::bind(Ipv4 localAddress, std::uint16_t port)
{
    if (faults::shouldFail(faults::Op::Bind))
        return injected("bind");
    const sockaddr_in addr = toSockaddr(localAddress, port);
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        return errnoError("bind");
    return {};
}

Result<void> UdpSocket::joinMulticast(Ipv4 group, Ipv4 interfaceAddress)
{
    if (faults::shouldFail(faults::Op::SetOption))
        return injected("IP_ADD_MEMBERSHIP");
    ip_mreq request {};
    request.imr_multiaddr.s_addr = htonl(group);
    request.imr_interface.s_addr = htonl(interfaceAddress);
    if (::setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0)
        return errnoError("IP_ADD_MEMBERSHIP");
    return {};
}

Result<void> UdpSocket::setMulticastTtl(int ttl)
{
    return setIntOption(m_fd, IPPROTO_IP, IP_MULTICAST_TTL, ttl, "IP_MULTICAST_TTL");
}

Result<void> UdpSocket::setMulticastLoopback(bool on)
{
    return setIntOption(m_fd, IPPROTO_IP, IP_MULTICAST_LOOP, on ? 1 : 0, "IP_MULTICAST_LOOP");
}

Result<void> UdpSocket::setMulticastInterface(Ipv4 interfaceAddress)
{
    if (faults::shouldFail(faults::Op::SetOption))
        return injected("IP_MULTICAST_IF");
    in_addr addr {};
    addr.s_addr = htonl(interfaceAddress);
    if (::setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_IF, &addr, sizeof addr) != 0)
        return errnoError("IP_MULTICAST_IF");
    return {};
}

Endpoint UdpSocket::localEndpoint() const
{
    sockaddr_in addr {};
    socklen_t length = sizeof addr;
    if (m_fd < 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
        return {};
    return { ntohl(addr.sin_addr.s_addr), ntohs(addr.sin_port) };
}

Result<std::size_t> UdpSocket::sendTo(const std::string& host, std::uint16_t port, std::span<const std::uint8_t> data)
{
    auto address = resolveIpv4(host);
    if (!address)
        return Error { "cannot resolve " + host, EHOSTUNREACH };
    return sendTo(Endpoint { *address, port }, data);
}

Result<std::size_t> UdpSocket::sendTo(const Endpoint& to, std::span<const std::uint8_t> data)
{
    if (faults::shouldFail(faults::Op::Send))
        return injected("sendto");
    const sockaddr_in addr = toSockaddr(to.address, to.port);
    const ssize_t sent
        = ::sendto(m_fd, data.data(), data.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    if (sent < 0)
        return errnoError("sendto");
    return static_cast<std::size_t>(sent);
}

Result<std::size_t> UdpSocket::receiveFrom(std::span<std::uint8_t> buffer, Endpoint& sender)
{
    if (faults::shouldFail(faults::Op::Receive))
        return injected("recvfrom");
    sockaddr_in addr {};
    socklen_t length = sizeof addr;
    const ssize_t received
        = ::recvfrom(m_fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&addr), &length);
    if (received < 0)
        return errnoError("recvfrom");
    sender = { ntohl(addr.sin_addr.s_addr), ntohs(addr.sin_port) };
    return static_cast<std::size_t>(received);
}

std::vector<InterfaceAddress> listInterfaces()
{
    std::vector<InterfaceAddress> result;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return result;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        if (!(entry->ifa_flags & IFF_UP))
            continue;
        InterfaceAddress item;
        item.name = entry->ifa_name;
        item.address = formatIpv4(ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr));
        if (entry->ifa_netmask)
            item.netmask = formatIpv4(ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr));
        else
            item.netmask = "255.255.255.255";
        item.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
        item.up = true;
        result.push_back(std::move(item));
    }
    ::freeifaddrs(list);
    return result;
}

std::optional<std::string> interfaceWithAddress(Ipv4 address)
{
    std::optional<std::string> found;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return found;
    for (ifaddrs* entry = list; entry && !found; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !(entry->ifa_flags & IFF_UP))
            continue;
        if (ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr) == address)
            found = entry->ifa_name;
    }
    ::freeifaddrs(list);
    return found;
}

std::vector<std::string> hostAddresses()
{
    std::vector<std::string> result;
    std::vector<std::string> loopback;
    for (const auto& item : listInterfaces()) {
        if (item.loopback)
            loopback.push_back(item.address);
        else
            result.push_back(item.address);
    }
    return result.empty() ? loopback : result;
}

std::string hostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return {};
    return name;
}

} // namespace platform
