#pragma once

// Requests as clients send them, for the DHCP server's tests.
#include "platform/net.h"
#include "utility/services/dhcp_server.h"

#include <gtest/gtest.h>

#include <vector>

namespace utility::services {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr MacAddress kMacA { 0x00, 0x11, 0x22, 0x33, 0x44, 0x55 };
constexpr MacAddress kMacB { 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x0F };
constexpr MacAddress kMacC { 2, 0, 0, 0, 0, 0x0E };

inline std::uint32_t ip(const char* text) { return *platform::parseIpv4(text); }

// A request as a client sends it: op 1, Ethernet, the cookie and the given
// options from offset 240.
inline Bytes request(const MacAddress& mac, Bytes options, std::size_t length = 300)
{
    Bytes b(length, 0);
    b[0] = 1;
    b[1] = 1;
    b[2] = 6;
    b[4] = 0xDE; // xid
    b[7] = 0x01;
    for (std::size_t i = 0; i < 6; ++i)
        b[28 + i] = mac[i];
    // The magic cookie, as far as the datagram reaches.
    const std::uint8_t cookie[] = { 99, 130, 83, 99 };
    for (std::size_t i = 0; i < 4 && 236 + i < b.size(); ++i)
        b[236 + i] = cookie[i];
    for (std::size_t i = 0; i < options.size() && 240 + i < b.size(); ++i)
        b[240 + i] = options[i];
    return b;
}
inline Bytes discover(const MacAddress& mac) { return request(mac, { 53, 1, 1, 255 }); }
inline Bytes dhcpRequest(const MacAddress& mac) { return request(mac, { 53, 1, 3, 255 }); }
inline Bytes bootp(const MacAddress& mac) { return request(mac, { 255 }); }

inline std::uint32_t get32(std::span<const std::uint8_t> b, std::size_t at)
{
    return std::uint32_t(b[at]) << 24 | std::uint32_t(b[at + 1]) << 16 | std::uint32_t(b[at + 2]) << 8 | b[at + 3];
}

inline DhcpFields fields(const char* start, const char* end)
{
    return { ip(start), ip(end), ip("192.168.0.1"), ip("255.255.255.0"), ip("192.168.0.53"), ip("192.168.0.2"),
        "zv.bin" };
}

inline DhcpServer running(const char* start, const char* end, std::vector<DhcpMapping> rows = {})
{
    DhcpServer server;
    server.setFields(fields(start, end));
    server.setServerIdentifier(ip("192.168.0.9"));
    server.setRows(std::move(rows));
    server.buildPool();
    return server;
}

inline Bytes withAddress(Bytes b, std::size_t at, const char* address)
{
    const std::uint32_t value = ip(address);
    for (std::size_t i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    return b;
}
// A REQUEST naming its address in option 50 (selecting, rebooting).
inline Bytes requestFor(const MacAddress& mac, const char* address)
{
    return withAddress(request(mac, { 53, 1, 3, 50, 4, 0, 0, 0, 0, 255 }), 245, address);
}
// A renewing or rebinding REQUEST: the address in ciaddr, no option 50.
inline Bytes renewal(const MacAddress& mac, const char* address) { return withAddress(dhcpRequest(mac), 12, address); }

} // namespace
} // namespace utility::services
