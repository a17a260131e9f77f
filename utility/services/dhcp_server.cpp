#include "utility/services/dhcp_server.h"

#include "platform/net.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace utility::services {
namespace {

constexpr std::uint8_t kCookie[4] = { 99, 130, 83, 99 };
constexpr std::uint8_t kOptionMessageType = 53;
constexpr std::uint8_t kOptionEnd = 255;
constexpr std::uint8_t kDiscover = 1;
constexpr std::uint8_t kOffer = 2;
constexpr std::uint8_t kRequest = 3;
constexpr std::uint8_t kAck = 5;
constexpr std::uint8_t kNak = 6;
constexpr std::uint8_t kOptionPad = 0;
constexpr std::uint8_t kOptionRequestedAddress = 50;
constexpr std::uint8_t kOptionServerIdentifier = 54;

void put32(std::uint8_t* at, std::uint32_t value)
{
    at[0] = static_cast<std::uint8_t>(value >> 24);
    at[1] = static_cast<std::uint8_t>(value >> 16);
    at[2] = static_cast<std::uint8_t>(value >> 8);
    at[3] = static_cast<std::uint8_t>(value);
}

void putOption32(std::uint8_t* at, std::uint8_t code, std::uint32_t value)
{
    at[0] = code;
    at[1] = 4;
    put32(at + 2, value);
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

MacAddress chaddrOf(const std::uint8_t* buffer)
{
    MacAddress mac;
    std::memcpy(mac.data(), buffer + 28, mac.size());
    return mac;
}

std::uint32_t get32(const std::uint8_t* at)
{
    return std::uint32_t(at[0]) << 24 | std::uint32_t(at[1]) << 16 | std::uint32_t(at[2]) << 8 | at[3];
}

// The value of a four-byte option, walking the options as far as the
// datagram reaches.
std::optional<std::uint32_t> option32(std::span<const std::uint8_t> datagram, std::uint8_t code)
{
    std::size_t at = kDhcpOptionsOffset;
    while (at < datagram.size()) {
        const std::uint8_t current = datagram[at];
        if (current == kOptionEnd)
            break;
        if (current == kOptionPad) {
            ++at;
            continue;
        }
        if (at + 1 >= datagram.size())
            break;
        const std::size_t length = datagram[at + 1];
        if (at + 2 + length > datagram.size())
            break;
        if (current == code && length == 4)
            return get32(datagram.data() + at + 2);
        at += 2 + length;
    }
    return std::nullopt;
}

std::string addressRange(const DhcpFields& fields)
{
    return platform::formatIpv4(fields.start) + " to " + platform::formatIpv4(fields.end);
}

} // namespace

DhcpKind classifyDhcp(std::span<const std::uint8_t> datagram)
{
    auto at = [&](std::size_t offset) -> std::uint8_t { return offset < datagram.size() ? datagram[offset] : 0; };
    if (at(0) != 1 || at(1) != 1 || at(2) != 6)
        return DhcpKind::Ignore;
    for (std::size_t i = 0; i < 4; ++i)
        if (at(kDhcpCookieOffset + i) != kCookie[i])
            return DhcpKind::Ignore;
    const std::uint8_t first = at(kDhcpOptionsOffset);
    if (first == kOptionEnd)
        return DhcpKind::Bootp;
    // Only a message type in the first option position is recognised.
    if (first != kOptionMessageType || at(kDhcpOptionsOffset + 1) != 1)
        return DhcpKind::Ignore;
    switch (at(kDhcpOptionsOffset + 2)) {
    case kDiscover:
        return DhcpKind::Discover;
    case kRequest:
        return DhcpKind::Request;
    case kOffer:
    case kAck:
        return DhcpKind::Ignore; // a server's message
    default:
        return DhcpKind::Bootp;
    }
}

std::optional<std::uint32_t> requestedAddress(std::span<const std::uint8_t> datagram)
{
    if (const auto requested = option32(datagram, kOptionRequestedAddress))
        return requested;
    if (datagram.size() >= 16) {
        if (const std::uint32_t ciaddr = get32(datagram.data() + 12))
            return ciaddr;
    }
    return std::nullopt;
}

std::string checkDhcpRange(const DhcpFields& fields)
{
    if (fields.start > fields.end)
        return "The start address " + platform::formatIpv4(fields.start) + " is above the end address "
            + platform::formatIpv4(fields.end) + ".";
    if ((fields.start & fields.netmask) != (fields.end & fields.netmask))
        return "The addresses " + addressRange(fields) + " cross the subnet mask "
            + platform::formatIpv4(fields.netmask) + ": both must lie in one subnet.";
    if (fields.end - fields.start >= kDhcpPoolSize)
        return "The addresses " + addressRange(fields) + " are more than the " + std::to_string(kDhcpPoolSize)
            + " the pool holds.";
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
        const int high = hexDigit(text[position]);
        const int low = hexDigit(text[position + 1]);
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

DhcpServer::DhcpServer() { m_pool.reserve(kDhcpPoolSize); }

void DhcpServer::setFields(const DhcpFields& fields)
{
    m_fields = fields;
    if (m_fields.bootFile.size() > kDhcpBootFileMax)
        m_fields.bootFile.resize(kDhcpBootFileMax);
}

void DhcpServer::buildPool()
{
    m_pool.clear();
    // Counted from the whole addresses: a range across a boundary of the
    // third byte is as good as any other inside the subnet.
    if (m_fields.start > m_fields.end || m_fields.end - m_fields.start >= kDhcpPoolSize)
        return;
    for (std::uint32_t address = m_fields.start;; ++address) {
        PoolEntry entry { address, false };
        const std::string text = platform::formatIpv4(entry.address);
        entry.inUse
            = std::any_of(m_rows.begin(), m_rows.end(), [&](const DhcpMapping& row) { return row.address == text; });
        m_pool.push_back(entry);
        if (address == m_fields.end)
            break;
    }
}

bool DhcpServer::pending(const MacAddress& mac, platform::TimePoint now) const
{
    const auto found = m_offers.find(mac);
    return found != m_offers.end() && found->second > now;
}

bool DhcpServer::deleteRow(std::size_t index)
{
    if (index >= m_rows.size())
        return false;
    const auto address = platform::parseIpv4(m_rows[index].address);
    for (auto& entry : m_pool)
        if (address && entry.address == *address)
            entry.inUse = false;
    m_rows.erase(m_rows.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
}

void DhcpServer::deleteAll()
{
    m_rows.clear();
    for (auto& entry : m_pool)
        entry.inUse = false;
}

std::optional<std::uint32_t> DhcpServer::allocate(const MacAddress& mac)
{
    for (const auto& row : m_rows) {
        const auto listed = parseMacText(row.mac);
        if (!listed || *listed != mac)
            continue;
        // A row whose address cell was edited into something that is no
        // address cannot be handed out; the device is served as a new one.
        if (const auto address = platform::parseIpv4(row.address))
            return *address;
    }
    for (auto& entry : m_pool) {
        if (entry.inUse)
            continue;
        entry.inUse = true;
        m_rows.push_back({ platform::formatIpv4(entry.address), formatMac(mac) });
        return entry.address;
    }
    // Every address has its device: handing one out again would give two
    // devices the same address.
    return std::nullopt;
}

bool DhcpServer::holds(const MacAddress& mac, std::uint32_t address) const
{
    return std::any_of(m_rows.begin(), m_rows.end(), [&](const DhcpMapping& row) {
        return parseMacText(row.mac) == mac && platform::parseIpv4(row.address) == address;
    });
}

void DhcpServer::buildReply(Reply kind, std::uint32_t address, std::size_t requestLength)
{
    std::uint8_t* b = m_buffer.data();
    b[0] = 2;
    switch (kind) {
    case Reply::Bootp:
        b[240] = kOptionMessageType;
        b[241] = 1;
        b[242] = kOffer;
        break;
    case Reply::Offer:
        b[242] = kOffer;
        break;
    case Reply::Ack:
        b[242] = kAck;
        break;
    case Reply::Nak:
        b[242] = kNak;
        break;
    }
    // The reply keeps the request's length, but never ends inside the
    // options: a shorter request gets the smallest BOOTP message.
    m_replyLength = requestLength < kDhcpOptionsEnd ? kBootpMinimumSize : requestLength;
    if (kind == Reply::Nak) {
        // A NAK carries no address and no parameters: only its type and who
        // sent it.
        std::memset(b + 12, 0, 12); // ciaddr, yiaddr, siaddr
        std::memset(b + 44, 0, 64 + 128); // sname, file
        putOption32(b + 243, kOptionServerIdentifier, m_serverIdentifier);
        b[249] = kOptionEnd;
        std::memset(b + 250, 0, m_replyLength - 250);
        return;
    }
    put32(b + 16, address);
    put32(b + 20, m_fields.server);
    // The boot file name goes in with the rest of the file field cleared, so
    // a name the client sent does not trail behind ours.
    std::memset(b + 108, 0, 128);
    std::memcpy(b + 108, m_fields.bootFile.data(), std::min(m_fields.bootFile.size(), kDhcpBootFileMax));
    putOption32(b + 243, kOptionServerIdentifier, m_serverIdentifier);
    putOption32(b + 249, 1, m_fields.netmask);
    putOption32(b + 255, 3, m_fields.gateway);
    putOption32(b + 261, 6, m_fields.dns);
    putOption32(b + 267, 51, kDhcpLeaseSeconds);
    putOption32(b + 273, 58, kDhcpRenewalSeconds);
    putOption32(b + 279, 59, kDhcpRebindingSeconds);
    b[285] = kOptionEnd;
    std::memset(b + kDhcpOptionsEnd, 0, m_replyLength - kDhcpOptionsEnd);
}

std::string DhcpServer::exhausted(const std::string& mac) const
{
    return "No address left for device with MAC " + mac + ": the pool " + addressRange(m_fields) + " is exhausted.\r\n";
}

DhcpServer::Outcome DhcpServer::answerRequest(std::size_t length, platform::TimePoint now)
{
    Outcome outcome;
    outcome.kind = DhcpKind::Request;
    const std::span<const std::uint8_t> request(m_buffer.data(), length);
    const MacAddress mac = chaddrOf(m_buffer.data());
    const std::string macText = formatMac(mac);
    std::optional<std::uint32_t> address;
    if (pending(mac, now)) {
        // The answer to our offer: acked with the device's address.
        m_offers.erase(mac);
        address = allocate(mac);
        if (!address) {
            outcome.log = exhausted(macText);
            return outcome;
        }
    } else {
        // Renewing, rebinding or rebooting: confirm the address the list
        // gives this device, refuse any other. A request naming another
        // server, or no address at all, is not ours to answer.
        const auto requested = requestedAddress(request);
        const auto server = option32(request, kOptionServerIdentifier);
        if (!requested || (server && *server != m_serverIdentifier))
            return outcome;
        if (!holds(mac, *requested)) {
            buildReply(Reply::Nak, 0, length);
            outcome.reply = std::span<const std::uint8_t>(m_buffer.data(), m_replyLength);
            outcome.log = "Refused IP " + platform::formatIpv4(*requested) + " to device with MAC " + macText
                + ": the address is not assigned to it.\r\n";
            return outcome;
        }
        address = requested;
    }
    buildReply(Reply::Ack, *address, length);
    outcome.reply = std::span<const std::uint8_t>(m_buffer.data(), m_replyLength);
    outcome.acked = true;
    outcome.log = "Assigned IP " + platform::formatIpv4(*address) + " to device with MAC " + macText + "\r\n\r\n";
    return outcome;
}

DhcpServer::Outcome DhcpServer::handle(std::span<const std::uint8_t> datagram, platform::TimePoint now)
{
    std::erase_if(m_offers, [now](const auto& offer) { return offer.second <= now; });
    Outcome outcome;
    m_buffer.fill(0);
    const std::size_t length = std::min(datagram.size(), m_buffer.size());
    std::copy_n(datagram.begin(), length, m_buffer.begin());
    outcome.kind = classifyDhcp(std::span<const std::uint8_t>(m_buffer.data(), length));
    const MacAddress mac = chaddrOf(m_buffer.data());
    const std::string macText = formatMac(mac);
    switch (outcome.kind) {
    case DhcpKind::Discover:
    case DhcpKind::Bootp: {
        const bool discover = outcome.kind == DhcpKind::Discover;
        outcome.log = std::string(discover ? "Received a DHCP request" : "Received a BOOTP request")
            + " from device with MAC " + macText + "\r\n";
        const auto address = allocate(mac);
        if (!address) {
            outcome.log += exhausted(macText);
            return outcome;
        }
        if (discover)
            m_offers[mac] = now + kDhcpOfferHold;
        buildReply(discover ? Reply::Offer : Reply::Bootp, *address, length);
        outcome.reply = std::span<const std::uint8_t>(m_buffer.data(), m_replyLength);
        return outcome;
    }
    case DhcpKind::Request: {
        Outcome answer = answerRequest(length, now);
        return answer;
    }
    case DhcpKind::Ignore:
        return outcome;
    }
    return outcome;
}

} // namespace utility::services
