#include "utility/services/dhcp_server.h"

#include "platform/net.h"

#include <algorithm>
#include <cstring>

namespace utility::services {
namespace {

constexpr std::uint8_t kOptionMessageType = 53;
constexpr std::uint8_t kOptionEnd = 255;
constexpr std::uint8_t kOffer = 2;
constexpr std::uint8_t kAck = 5;
constexpr std::uint8_t kNak = 6;
constexpr std::uint8_t kOptionRequestedAddress = 50;
constexpr std::uint8_t kOptionServerIdentifier = 54;

void put32(std::uint8_t* at, std::uint32_t value)
{
    at[0] = static_cast<std::uint8_t>(value >> 24);
    at[1] = static_cast<std::uint8_t>(value >> 16);
    at[2] = static_cast<std::uint8_t>(value >> 8);
    at[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t get32(const std::uint8_t* at)
{
    return std::uint32_t(at[0]) << 24 | std::uint32_t(at[1]) << 16 | std::uint32_t(at[2]) << 8 | at[3];
}

void putOption32(std::uint8_t* at, std::uint8_t code, std::uint32_t value)
{
    at[0] = code;
    at[1] = 4;
    put32(at + 2, value);
}

MacAddress chaddrOf(const std::uint8_t* buffer)
{
    MacAddress mac;
    std::memcpy(mac.data(), buffer + 28, mac.size());
    return mac;
}

} // namespace

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

bool DhcpServer::offerable(std::uint32_t address, platform::TimePoint now) const
{
    if (address == 0 || address == kDhcpBroadcast || address == m_serverIdentifier)
        return false;
    const std::uint32_t mask = m_fields.netmask;
    if (mask < 0xFFFFFFFE && ((address & ~mask) == 0 || (address | mask) == kDhcpBroadcast))
        return false;
    if (m_serverIdentifier != 0 && (address & mask) != (m_serverIdentifier & mask))
        return false;
    const auto declined = m_declined.find(address);
    return declined == m_declined.end() || declined->second <= now;
}

std::vector<DhcpMapping> DhcpServer::savedRows() const
{
    std::vector<DhcpMapping> saved;
    for (const auto& row : m_rows) {
        const auto mac = parseMacText(row.mac);
        if (!mac || !m_offeredRows.contains(*mac))
            saved.push_back(row);
    }
    return saved;
}

bool DhcpServer::expire(platform::TimePoint now)
{
    bool removed = false;
    for (auto offer = m_offers.begin(); offer != m_offers.end();) {
        if (offer->second > now) {
            ++offer;
            continue;
        }
        // Nobody asked for the offered address: it is free again.
        if (m_offeredRows.erase(offer->first))
            removed |= removeRow(offer->first, std::nullopt);
        offer = m_offers.erase(offer);
    }
    std::erase_if(m_declined, [now](const auto& declined) { return declined.second <= now; });
    return removed;
}

bool DhcpServer::removeRow(const MacAddress& mac, std::optional<std::uint32_t> address)
{
    for (std::size_t i = m_rows.size(); i-- > 0;) {
        const auto rowAddress = platform::parseIpv4(m_rows[i].address);
        if (parseMacText(m_rows[i].mac) == mac && (!address || rowAddress == address))
            return deleteRow(i);
    }
    return false;
}

bool DhcpServer::listed(const MacAddress& mac) const
{
    return std::any_of(
        m_rows.begin(), m_rows.end(), [&](const DhcpMapping& row) { return parseMacText(row.mac) == mac; });
}

bool DhcpServer::deleteRow(std::size_t index)
{
    if (index >= m_rows.size())
        return false;
    const auto address = platform::parseIpv4(m_rows[index].address);
    for (auto& entry : m_pool)
        if (address && entry.address == *address)
            entry.inUse = false;
    const auto mac = parseMacText(m_rows[index].mac);
    m_rows.erase(m_rows.begin() + static_cast<std::ptrdiff_t>(index));
    if (mac && !listed(*mac))
        m_offeredRows.erase(*mac);
    return true;
}

void DhcpServer::deleteAll()
{
    m_rows.clear();
    m_offeredRows.clear();
    for (auto& entry : m_pool)
        entry.inUse = false;
}

std::optional<std::uint32_t> DhcpServer::allocate(const MacAddress& mac, platform::TimePoint now)
{
    for (const auto& row : m_rows) {
        const auto listed = parseMacText(row.mac);
        if (!listed || *listed != mac)
            continue;
        // A row whose address cell is no address, or one the server must not
        // give out (its own, another subnet's...), cannot be handed out; the
        // device is served as a new one.
        if (const auto address = platform::parseIpv4(row.address); address && offerable(*address, now))
            return *address;
    }
    for (auto& entry : m_pool) {
        if (entry.inUse || !offerable(entry.address, now))
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
    // The reply keeps the request's length, but never ends inside the
    // options: a shorter request gets the smallest BOOTP message.
    m_replyLength = requestLength < kDhcpOptionsEnd ? kBootpMinimumSize : requestLength;
    // The options are ours alone: the type first, then the rest.
    static constexpr std::uint8_t kCookie[4] = { 99, 130, 83, 99 };
    std::memcpy(b + kDhcpCookieOffset, kCookie, 4);
    b[240] = kOptionMessageType;
    b[241] = 1;
    b[242] = kind == Reply::Ack || kind == Reply::Inform ? kAck : kind == Reply::Nak ? kNak : kOffer;
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
    std::size_t end = 267;
    if (kind != Reply::Inform) {
        // An INFORM's client has its address already: no lease comes with it.
        putOption32(b + 267, 51, kDhcpLeaseSeconds);
        putOption32(b + 273, 58, kDhcpRenewalSeconds);
        putOption32(b + 279, 59, kDhcpRebindingSeconds);
        end = 285;
    }
    b[end] = kOptionEnd;
    std::memset(b + end + 1, 0, m_replyLength - end - 1);
}

std::string DhcpServer::exhausted(const std::string& mac) const
{
    return "No address left for device with MAC " + mac + ": the pool " + platform::formatIpv4(m_fields.start) + " to "
        + platform::formatIpv4(m_fields.end) + " is exhausted.\r\n";
}

DhcpServer::Outcome DhcpServer::ack(Outcome outcome, const MacAddress& mac, std::uint32_t address, std::size_t length)
{
    buildReply(Reply::Ack, address, length);
    outcome.reply = std::span<const std::uint8_t>(m_buffer.data(), m_replyLength);
    outcome.acked = true;
    // The offer's row is the device's now, and kept.
    if (m_offeredRows.erase(mac))
        outcome.listChanged = true;
    m_offers.erase(mac);
    outcome.log = "Assigned IP " + platform::formatIpv4(address) + " to device with MAC " + formatMac(mac) + "\r\n\r\n";
    return outcome;
}

DhcpServer::Outcome DhcpServer::nak(Outcome outcome, const MacAddress& mac, std::uint32_t address, std::size_t length)
{
    buildReply(Reply::Nak, 0, length);
    outcome.reply = std::span<const std::uint8_t>(m_buffer.data(), m_replyLength);
    outcome.log = "Refused IP " + platform::formatIpv4(address) + " to device with MAC " + formatMac(mac)
        + ": the address is not assigned to it.\r\n";
    return outcome;
}

DhcpServer::Outcome DhcpServer::answerRequest(std::size_t length, platform::TimePoint now)
{
    Outcome outcome;
    outcome.kind = DhcpKind::Request;
    const std::span<const std::uint8_t> request(m_buffer.data(), length);
    const MacAddress mac = chaddrOf(m_buffer.data());
    if (dhcpOption32(request, kOptionServerIdentifier))
        return answerSelecting(outcome, request, now);
    const auto requested = requestedAddress(request);
    const std::uint32_t ciaddr = get32(m_buffer.data() + 12);
    if (pending(mac, now) && ciaddr == 0) {
        // The answer to our offer from a client that leaves out whose offer
        // it takes.
        const auto address = allocate(mac, now);
        if (!address) {
            outcome.log = exhausted(formatMac(mac));
            return outcome;
        }
        if (requested && *requested != *address)
            return nak(outcome, mac, *requested, length);
        return ack(outcome, mac, *address, length);
    }
    // Renewing, rebinding or rebooting: a device this server knows nothing
    // of is another server's to answer; one it knows is confirmed in the
    // address the list gives it and refused any other.
    if (!requested || !listed(mac))
        return outcome;
    if (!holds(mac, *requested) || !offerable(*requested, now))
        return nak(outcome, mac, *requested, length);
    outcome = ack(outcome, mac, *requested, length);
    // A renewing client has its address and hears it.
    if (ciaddr != 0)
        outcome.destination = ciaddr;
    return outcome;
}

DhcpServer::Outcome DhcpServer::answerSelecting(
    Outcome outcome, std::span<const std::uint8_t> request, platform::TimePoint now)
{
    const MacAddress mac = chaddrOf(request.data());
    const auto server = dhcpOption32(request, kOptionServerIdentifier);
    if (*server != m_serverIdentifier) {
        // The client took another server's offer: ours is withdrawn and its
        // address free again.
        m_offers.erase(mac);
        if (m_offeredRows.erase(mac))
            removeRow(mac, std::nullopt);
        return outcome;
    }
    const auto requested = dhcpOption32(request, kOptionRequestedAddress);
    if (!requested)
        return outcome;
    // Our offer, or one whose hold ran out: the address is the device's if
    // the list gives it to it or it is still free.
    const bool free = std::any_of(m_pool.begin(), m_pool.end(),
        [&](const PoolEntry& entry) { return entry.address == *requested && !entry.inUse; });
    if (!offerable(*requested, now) || (!holds(mac, *requested) && !free))
        return nak(outcome, mac, *requested, request.size());
    if (free) {
        for (auto& entry : m_pool)
            if (entry.address == *requested)
                entry.inUse = true;
        m_rows.push_back({ platform::formatIpv4(*requested), formatMac(mac) });
        outcome.listChanged = true;
    }
    return ack(outcome, mac, *requested, request.size());
}

DhcpServer::Outcome DhcpServer::answerDecline(std::span<const std::uint8_t> request, platform::TimePoint now)
{
    Outcome outcome;
    outcome.kind = DhcpKind::Decline;
    const MacAddress mac = chaddrOf(request.data());
    const auto server = dhcpOption32(request, kOptionServerIdentifier);
    const auto declined = dhcpOption32(request, kOptionRequestedAddress);
    // Only the device the address was given to can say it is in use: a
    // DECLINE from any other would take a working device's address away
    // and, once it rested, give it to a second one.
    if ((server && *server != m_serverIdentifier) || !declined || !holds(mac, *declined))
        return outcome;
    // Someone else uses the address: it rests, and the device gets another.
    m_declined[*declined] = now + kDhcpDeclineHold;
    m_offers.erase(mac);
    m_offeredRows.erase(mac);
    outcome.listChanged = removeRow(mac, *declined);
    for (auto& entry : m_pool)
        if (entry.address == *declined)
            entry.inUse = false;
    outcome.log = "Device with MAC " + formatMac(mac) + " declined IP " + platform::formatIpv4(*declined)
        + ": the address is in use; it is not offered for "
        + std::to_string(std::chrono::duration_cast<std::chrono::minutes>(kDhcpDeclineHold).count()) + " minutes.\r\n";
    return outcome;
}

DhcpServer::Outcome DhcpServer::answerRelease(std::span<const std::uint8_t> request)
{
    Outcome outcome;
    outcome.kind = DhcpKind::Release;
    const MacAddress mac = chaddrOf(request.data());
    const auto server = dhcpOption32(request, kOptionServerIdentifier);
    const std::uint32_t ciaddr = get32(request.data() + 12);
    if ((server && *server != m_serverIdentifier) || !holds(mac, ciaddr))
        return outcome;
    m_offers.erase(mac);
    m_offeredRows.erase(mac);
    outcome.listChanged = removeRow(mac, ciaddr);
    outcome.log = "Device with MAC " + formatMac(mac) + " released IP " + platform::formatIpv4(ciaddr) + ".\r\n";
    return outcome;
}

DhcpServer::Outcome DhcpServer::answerInform(std::span<const std::uint8_t> request)
{
    Outcome outcome;
    outcome.kind = DhcpKind::Inform;
    const std::uint32_t ciaddr = get32(request.data() + 12);
    if (ciaddr == 0)
        return outcome;
    // The settings without an address: the client has one.
    buildReply(Reply::Inform, 0, request.size());
    outcome.reply = std::span<const std::uint8_t>(m_buffer.data(), m_replyLength);
    outcome.destination = ciaddr;
    outcome.log = "Sent the settings to device with MAC " + formatMac(chaddrOf(request.data())) + " at IP "
        + platform::formatIpv4(ciaddr) + ".\r\n";
    return outcome;
}

DhcpServer::Outcome DhcpServer::handle(std::span<const std::uint8_t> datagram, platform::TimePoint now)
{
    const bool expired = expire(now);
    Outcome outcome;
    m_buffer.fill(0);
    const std::size_t length = std::min(datagram.size(), m_buffer.size());
    std::copy_n(datagram.begin(), length, m_buffer.begin());
    const std::span<const std::uint8_t> request(m_buffer.data(), length);
    outcome.kind = classifyDhcp(request);
    const MacAddress mac = chaddrOf(m_buffer.data());
    switch (outcome.kind) {
    case DhcpKind::Discover:
    case DhcpKind::Bootp: {
        const bool discover = outcome.kind == DhcpKind::Discover;
        outcome.log = std::string(discover ? "Received a DHCP request" : "Received a BOOTP request")
            + " from device with MAC " + formatMac(mac) + "\r\n";
        const bool known = listed(mac);
        const std::size_t rows = m_rows.size();
        const auto address = allocate(mac, now);
        if (!address) {
            outcome.log += exhausted(formatMac(mac));
            break;
        }
        if (discover) {
            m_offers[mac] = now + kDhcpOfferHold;
            // The row waits for the device's request; unrequested, it goes.
            if (!known || m_rows.size() != rows)
                m_offeredRows.insert(mac);
        } else {
            // A BOOTP client sends no request: the reply is the assignment.
            outcome.listChanged = m_rows.size() != rows;
        }
        buildReply(discover ? Reply::Offer : Reply::Bootp, *address, length);
        outcome.reply = std::span<const std::uint8_t>(m_buffer.data(), m_replyLength);
        break;
    }
    case DhcpKind::Request:
        outcome = answerRequest(length, now);
        break;
    case DhcpKind::Decline:
        outcome = answerDecline(request, now);
        break;
    case DhcpKind::Release:
        outcome = answerRelease(request);
        break;
    case DhcpKind::Inform:
        outcome = answerInform(request);
        break;
    case DhcpKind::Ignore:
        break;
    }
    outcome.listChanged |= expired;
    return outcome;
}

} // namespace utility::services
