#pragma once

#include "platform/result.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// IPv4 address as a number whose most significant byte is the first dotted part.
using Ipv4 = std::uint32_t;

// Strict dotted-quad parse ("a.b.c.d", each part 0..255, decimal).
std::optional<Ipv4> parseIpv4(std::string_view text);
std::string formatIpv4(Ipv4 address);
// Resolves a dotted quad, or else a host name (first IPv4 address).
std::optional<Ipv4> resolveIpv4(const std::string& hostOrAddress);

struct Endpoint {
    Ipv4 address = 0;
    std::uint16_t port = 0;
    std::string text() const; // "a.b.c.d:port"
    bool operator==(const Endpoint&) const = default;
};

// A non-blocking UDP socket (close on destruction). Errors carry errno.
class UdpSocket {
public:
    UdpSocket() = default;
    ~UdpSocket();
    UdpSocket(UdpSocket&& other) noexcept;
    UdpSocket& operator=(UdpSocket&& other) noexcept;
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // Creates the socket. Options that must precede bind are set after open().
    static Result<UdpSocket> open();

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    void close();

    Result<void> setReuseAddress(bool on);
    Result<void> setBroadcast(bool on);
    // Room for datagrams that arrive while none is read (SO_RCVBUF); the
    // system may give less than asked for.
    Result<void> setReceiveBuffer(int bytes);
    // Binds to a dotted local address ("" or "0.0.0.0" = any) and port (0 = any free).
    Result<void> bind(const std::string& localAddress, std::uint16_t port);
    Result<void> bind(Ipv4 localAddress, std::uint16_t port);
    Result<void> joinMulticast(Ipv4 group, Ipv4 interfaceAddress = 0);
    Result<void> setMulticastTtl(int ttl);
    Result<void> setMulticastLoopback(bool on);
    Result<void> setMulticastInterface(Ipv4 interfaceAddress);
    // Restricts the socket to one interface (SO_BINDTODEVICE): it receives
    // only what arrives there, and broadcasts leave through it.
    Result<void> bindToDevice(const std::string& interfaceName);
    Endpoint localEndpoint() const;

    // Sends one datagram; the host text may be a dotted quad or a host name.
    Result<std::size_t> sendTo(const std::string& host, std::uint16_t port, std::span<const std::uint8_t> data);
    Result<std::size_t> sendTo(const Endpoint& to, std::span<const std::uint8_t> data);
    // Receives one datagram into `buffer` (truncated to its size). Returns the
    // number of bytes stored; an error with code EAGAIN when nothing waits.
    Result<std::size_t> receiveFrom(std::span<std::uint8_t> buffer, Endpoint& sender);

private:
    explicit UdpSocket(int fd)
        : m_fd(fd)
    {
    }
    int m_fd = -1;
};

// One adapter address as the system lists it.
struct InterfaceAddress {
    std::string name; // "eth0"
    std::string address; // dotted
    std::string netmask; // dotted
    bool loopback = false;
    bool up = false;
};

// Every IPv4 address of every up interface with its netmask, in system order
// (an interface with several addresses gives one entry per address: on Linux
// each address carries its own netmask, and any of them may be the one the
// user works on).
std::vector<InterfaceAddress> listInterfaces();

// The host's IPv4 addresses as a resolver of the host name would give them.
// On Linux the host name usually resolves to loopback only, so the list comes
// from the up interfaces, loopback only when nothing else is up.
std::vector<std::string> hostAddresses();

// The name of the up interface that carries `address` (any of its IPv4
// addresses), if there is one.
std::optional<std::string> interfaceWithAddress(Ipv4 address);

// The host name, or an empty string.
std::string hostName();

} // namespace platform
