// The wire side of the DHCP server: what a received datagram is, its
// options, the checks of a range, and the text of "dhcp.dat".
#include "utility/services/dhcp_server.h"

#include "platform/hex_digit.h"
#include "platform/net.h"

#include <cstdio>

namespace utility::services {
namespace {

constexpr std::uint8_t kCookie[4] = { 99, 130, 83, 99 };
constexpr std::uint8_t kOptionPad = 0;
constexpr std::uint8_t kOptionMessageType = 53;
constexpr std::uint8_t kOptionRequestedAddress = 50;
constexpr std::uint8_t kOptionEnd = 255;

std::uint32_t get32(const std::uint8_t* at)
{
    return std::uint32_t(at[0]) << 24 | std::uint32_t(at[1]) << 16 | std::uint32_t(at[2]) << 8 | at[3];
}

bool hasCookie(std::span<const std::uint8_t> datagram)
{
    if (datagram.size() < kDhcpOptionsOffset)
        return false;
    for (std::size_t i = 0; i < 4; ++i)
        if (datagram[kDhcpCookieOffset + i] != kCookie[i])
            return false;
    return true;
}

// Walks the options (PAD skipped, up to END or the end of the datagram) and
// calls `visit(code, value)` for each; false when an option runs past the
// datagram.
template <typename Visit> bool walkOptions(std::span<const std::uint8_t> datagram, Visit visit)
{
    std::size_t at = kDhcpOptionsOffset;
    while (at < datagram.size()) {
        const std::uint8_t code = datagram[at];
        if (code == kOptionEnd)
            return true;
        if (code == kOptionPad) {
            ++at;
            continue;
        }
        if (at + 1 >= datagram.size())
            return false;
        const std::size_t length = datagram[at + 1];
        if (at + 2 + length > datagram.size())
            return false;
        visit(code, datagram.subspan(at + 2, length));
        at += 2 + length;
    }
    return true;
}

std::string addressRange(const DhcpFields& fields)
{
    return platform::formatIpv4(fields.start) + " to " + platform::formatIpv4(fields.end);
}

} // namespace

std::optional<std::uint32_t> dhcpOption32(std::span<const std::uint8_t> datagram, std::uint8_t code)
{
    if (!hasCookie(datagram))
        return std::nullopt;
    std::optional<std::uint32_t> found;
    walkOptions(datagram, [&](std::uint8_t current, std::span<const std::uint8_t> value) {
        if (current == code && value.size() == 4 && !found)
            found = get32(value.data());
    });
    return found;
}

DhcpKind classifyDhcp(std::span<const std::uint8_t> datagram)
{
    // Everything up to the vendor area must be there.
    if (datagram.size() < kDhcpOptionsOffset || datagram[0] != 1 || datagram[1] != 1 || datagram[2] != 6)
        return DhcpKind::Ignore;
    // A BOOTP client need not send the cookie at all.
    if (!hasCookie(datagram))
        return DhcpKind::Bootp;
    int type = -1;
    bool malformed = false;
    const bool complete = walkOptions(datagram, [&](std::uint8_t code, std::span<const std::uint8_t> value) {
        if (code != kOptionMessageType || type >= 0)
            return;
        if (value.size() == 1)
            type = value[0];
        else
            malformed = true;
    });
    if (malformed || (!complete && type < 0))
        return DhcpKind::Ignore;
    switch (type) {
    case -1:
        return DhcpKind::Bootp; // no message type: BOOTP
    case 1:
        return DhcpKind::Discover;
    case 3:
        return DhcpKind::Request;
    case 4:
        return DhcpKind::Decline;
    case 7:
        return DhcpKind::Release;
    case 8:
        return DhcpKind::Inform;
    default:
        return DhcpKind::Ignore; // a server's message, or a type nobody knows
    }
}

std::optional<std::uint32_t> requestedAddress(std::span<const std::uint8_t> datagram)
{
    if (const auto requested = dhcpOption32(datagram, kOptionRequestedAddress))
        return requested;
    if (datagram.size() >= 16) {
        if (const std::uint32_t ciaddr = get32(datagram.data() + 12))
            return ciaddr;
    }
    return std::nullopt;
}

std::string checkDhcpRange(const DhcpFields& fields, std::uint32_t serverIdentifier)
{
    const std::uint32_t mask = fields.netmask;
    if (fields.start > fields.end)
        return "The start address " + platform::formatIpv4(fields.start) + " is above the end address "
            + platform::formatIpv4(fields.end) + ".";
    if ((fields.start & mask) != (fields.end & mask))
        return "The addresses " + addressRange(fields) + " cross the subnet mask " + platform::formatIpv4(mask)
            + ": both must lie in one subnet.";
    if (fields.end - fields.start >= kDhcpPoolSize)
        return "The addresses " + addressRange(fields) + " are more than the " + std::to_string(kDhcpPoolSize)
            + " the pool holds.";
    // A device given the subnet's own address or its broadcast address
    // cannot talk to anyone.
    if (mask < 0xFFFFFFFE) {
        const std::uint32_t network = fields.start & mask;
        const std::uint32_t broadcast = network | ~mask;
        if (fields.start == network)
            return "The addresses " + addressRange(fields) + " include the subnet's network address "
                + platform::formatIpv4(network) + ".";
        if (fields.end == broadcast)
            return "The addresses " + addressRange(fields) + " include the subnet's broadcast address "
                + platform::formatIpv4(broadcast) + ".";
    }
    if (serverIdentifier != 0) {
        if ((serverIdentifier & mask) != (fields.start & mask))
            return "The addresses " + addressRange(fields) + " lie outside the subnet of this server's address "
                + platform::formatIpv4(serverIdentifier) + " (mask " + platform::formatIpv4(mask) + ").";
        if (serverIdentifier >= fields.start && serverIdentifier <= fields.end)
            return "The addresses " + addressRange(fields) + " include this server's own address "
                + platform::formatIpv4(serverIdentifier) + ".";
    }
    return {};
}

std::string formatMac(const MacAddress& mac)
{
    char text[18];
    std::snprintf(text, sizeof text, "%.2X-%.2X-%.2X-%.2X-%.2X-%.2X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

std::optional<MacAddress> parseMacText(std::string_view text)
{
    MacAddress mac;
    for (std::size_t i = 0; i < mac.size(); ++i) {
        const std::size_t position = i * 3;
        if (position + 1 >= text.size())
            return std::nullopt;
        const int high = platform::hexDigit(text[position]);
        const int low = platform::hexDigit(text[position + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        mac[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return mac;
}

std::vector<DhcpMapping> parseDhcpFile(std::string_view text)
{
    std::vector<DhcpMapping> rows;
    std::string token;
    bool addressNext = true;
    for (char c : text) {
        if (c != '$') {
            token += c;
            continue;
        }
        if (addressNext)
            rows.push_back({ token, {} });
        else
            rows.back().mac = token;
        addressNext = !addressNext;
        token.clear();
    }
    return rows;
}

std::string formatDhcpFile(const std::vector<DhcpMapping>& rows)
{
    std::string text;
    for (const auto& row : rows)
        text += row.address + "$" + row.mac + "$";
    return text;
}

} // namespace utility::services
