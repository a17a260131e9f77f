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
    // The count comes from the last bytes alone, so a range across a
    // boundary of the third byte gives an empty pool.
    const int count = static_cast<int>(m_fields.end & 0xFF) - static_cast<int>(m_fields.start & 0xFF) + 1;
    for (int k = 0; k < count; ++k) {
        PoolEntry entry { m_fields.start + static_cast<std::uint32_t>(k), false };
        const std::string text = platform::formatIpv4(entry.address);
        entry.inUse
            = std::any_of(m_rows.begin(), m_rows.end(), [&](const DhcpMapping& row) { return row.address == text; });
        m_pool.push_back(entry);
    }
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

std::uint32_t DhcpServer::allocate(const MacAddress& mac)
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
    return m_fields.start;
}

bool DhcpServer::buildReply(DhcpKind kind, std::size_t requestLength)
{
    if (kind != DhcpKind::Request && !(m_fields.start < m_fields.end))
        return false;
    std::uint8_t* b = m_buffer.data();
    b[0] = 2;
    if (kind == DhcpKind::Bootp) {
        b[240] = kOptionMessageType;
        b[241] = 1;
        b[242] = kOffer;
    } else {
        b[242] = kind == DhcpKind::Request ? kAck : kOffer;
    }
    put32(b + 16, allocate(chaddrOf(b)));
    put32(b + 20, m_fields.server);
    // The boot file name goes in with the rest of the file field cleared, so
    // a name the client sent does not trail behind ours.
    std::memset(b + 108, 0, 128);
    std::memcpy(b + 108, m_fields.bootFile.data(), std::min(m_fields.bootFile.size(), kDhcpBootFileMax));
    putOption32(b + 243, 54, m_serverIdentifier);
    putOption32(b + 249, 1, m_fields.netmask);
    putOption32(b + 255, 3, m_fields.gateway);
    putOption32(b + 261, 6, m_fields.dns);
    putOption32(b + 267, 51, kDhcpLeaseSeconds);
    putOption32(b + 273, 58, kDhcpRenewalSeconds);
    putOption32(b + 279, 59, kDhcpRebindingSeconds);
    b[285] = kOptionEnd;
    // The reply keeps the request's length, but never ends inside the
    // options: a shorter request gets the smallest BOOTP message.
    m_replyLength = requestLength < kDhcpOptionsEnd ? kBootpMinimumSize : requestLength;
    std::memset(b + kDhcpOptionsEnd, 0, m_replyLength - kDhcpOptionsEnd);
    return true;
}

DhcpServer::Outcome DhcpServer::handle(std::span<const std::uint8_t> datagram)
{
    Outcome outcome;
    m_buffer.fill(0);
    const std::size_t length = std::min(datagram.size(), m_buffer.size());
    std::copy_n(datagram.begin(), length, m_buffer.begin());
    outcome.kind = classifyDhcp(std::span<const std::uint8_t>(m_buffer.data(), length));
    const std::string mac = formatMac(chaddrOf(m_buffer.data()));
    bool send = false;
    switch (outcome.kind) {
    case DhcpKind::Discover:
        if (m_pending)
            return outcome;
        outcome.log = "Received a DHCP request from device with MAC " + mac + "\r\n";
        m_pending = true;
        send = buildReply(DhcpKind::Discover, length);
        break;
    case DhcpKind::Request: {
        if (!m_pending)
            return outcome;
        send = buildReply(DhcpKind::Request, length);
        outcome.acked = true;
        const std::uint8_t* y = m_buffer.data() + 16;
        char text[96];
        std::snprintf(text, sizeof text, "Assigned IP %d.%d.%d.%d to device with MAC %s\r\n\r\n", y[0], y[1], y[2],
            y[3], mac.c_str());
        outcome.log = text;
        m_pending = false;
        break;
    }
    case DhcpKind::Bootp:
        if (m_pending)
            return outcome;
        outcome.log = "Received a BOOTP request from device with MAC " + mac + "\r\n";
        send = buildReply(DhcpKind::Bootp, length);
        break;
    case DhcpKind::Ignore:
        return outcome;
    }
    if (send)
        outcome.reply = std::span<const std::uint8_t>(m_buffer.data(), m_replyLength);
    return outcome;
}

} // namespace utility::services
