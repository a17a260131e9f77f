#pragma once

#include "platform/clock.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace utility::services {

// Sizes and offsets of the BOOTP/DHCP datagrams the server answers.
inline constexpr std::size_t kDhcpBufferSize = 1500;
inline constexpr std::size_t kDhcpCookieOffset = 236;
inline constexpr std::size_t kDhcpOptionsOffset = 240;
// The options of a reply end here (the end option is at 285).
inline constexpr std::size_t kDhcpOptionsEnd = 286;
// The smallest BOOTP message; replies to shorter requests get this length.
inline constexpr std::size_t kBootpMinimumSize = 300;
inline constexpr std::size_t kDhcpBootFileMax = 32;
inline constexpr std::uint32_t kDhcpLeaseSeconds = 172800;
inline constexpr std::uint32_t kDhcpRenewalSeconds = 86400;
inline constexpr std::uint32_t kDhcpRebindingSeconds = 86400;
inline constexpr std::size_t kDhcpPoolSize = 256;
// "dhcp.dat" is read through a buffer of this size.
inline constexpr std::size_t kDhcpFileLimit = 25600;
inline constexpr const char* kDhcpFileName = "dhcp.dat";
// How long an offer waits for its REQUEST. A client that asks again later
// (or went away) does not hold up anyone else meanwhile, and an offer never
// taken gives its address back.
inline constexpr std::chrono::seconds kDhcpOfferHold { 60 };
// How long an address a device declined (found in use) is not offered.
inline constexpr std::chrono::seconds kDhcpDeclineHold { 600 };
inline constexpr std::uint32_t kDhcpBroadcast = 0xFFFFFFFF;

enum class DhcpKind { Ignore, Discover, Request, Bootp, Decline, Release, Inform };

// The value of a four-byte option, walking the options (PAD skipped) as
// far as the datagram reaches; nothing without the magic cookie.
std::optional<std::uint32_t> dhcpOption32(std::span<const std::uint8_t> datagram, std::uint8_t code);

// Option 50 (requested address) of a request, or its ciaddr when the option
// is absent (a client renewing or rebinding); nothing when it names none.
std::optional<std::uint32_t> requestedAddress(std::span<const std::uint8_t> datagram);

// What a received datagram is: a request of an Ethernet client with the
// message type (option 53) wherever it stands among the options; without
// a type, or without the magic cookie, a BOOTP request. Server messages,
// unknown types and malformed options are ignored.
DhcpKind classifyDhcp(std::span<const std::uint8_t> datagram);

using MacAddress = std::array<std::uint8_t, 6>;

// "%.2X-%.2X-%.2X-%.2X-%.2X-%.2X"
std::string formatMac(const MacAddress& mac);
// Six hex pairs at positions 0, 3, 6, 9, 12 and 15, any case; nothing when
// the text does not hold them.
std::optional<MacAddress> parseMacText(std::string_view text);

// One row of the mapping list, the two cells as shown.
struct DhcpMapping {
    std::string address;
    std::string mac;
    bool operator==(const DhcpMapping&) const = default;
};

// The rows of "dhcp.dat": "$"-terminated fields, address then MAC text per
// row; characters after the last "$" are dropped.
std::vector<DhcpMapping> parseDhcpFile(std::string_view text);
std::string formatDhcpFile(const std::vector<DhcpMapping>& rows);

struct PoolEntry {
    std::uint32_t address = 0;
    bool inUse = false;
    bool operator==(const PoolEntry&) const = default;
};

// The values a user enters for the server (settings items 13 to 19).
struct DhcpFields {
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    std::uint32_t gateway = 0;
    std::uint32_t netmask = 0;
    std::uint32_t dns = 0;
    std::uint32_t server = 0;
    std::string bootFile;
    bool operator==(const DhcpFields&) const = default;
};

// Why a range cannot be served ("" when it can): the start above the end, a
// range crossing what the netmask allows, more addresses than the pool
// holds, the subnet's network or broadcast address, and (with the server's
// own address known) another subnet than the server's or the server's own
// address.
std::string checkDhcpRange(const DhcpFields& fields, std::uint32_t serverIdentifier = 0);

// The server's state and its answer to one datagram, without any socket:
// the fields, the pool, the mapping list and the pending flag.
class DhcpServer {
public:
    DhcpServer();

    void setFields(const DhcpFields& fields);
    const DhcpFields& fields() const { return m_fields; }
    void setServerIdentifier(std::uint32_t address) { m_serverIdentifier = address; }
    std::uint32_t serverIdentifier() const { return m_serverIdentifier; }

    // Builds the pool from the start and end addresses and the list; a
    // range that checkDhcpRange refuses gives an empty pool.
    void buildPool();
    const std::vector<PoolEntry>& pool() const { return m_pool; }

    // Offers waiting for their REQUEST, by client hardware address, each
    // until its time runs out.
    bool pending(const MacAddress& mac, platform::TimePoint now) const;
    std::size_t pendingCount() const { return m_offers.size(); }
    void clearPending() { m_offers.clear(); }

    const std::vector<DhcpMapping>& rows() const { return m_rows; }
    void setRows(std::vector<DhcpMapping> rows)
    {
        m_rows = std::move(rows);
        m_offeredRows.clear();
    }
    // The rows "dhcp.dat" keeps: all but those of offers not yet requested.
    std::vector<DhcpMapping> savedRows() const;
    // Ends the offers whose time ran out (their rows go unless a request
    // confirmed them) and the holds of declined addresses; true when rows
    // were removed.
    bool expire(platform::TimePoint now);
    // Whether the server may give `address` to a device at all: not its
    // own, not the subnet's network or broadcast address, not of another
    // subnet, not declined within the hold.
    bool offerable(std::uint32_t address, platform::TimePoint now = {}) const;
    // Removes one row and frees its pool entry; false for a bad index.
    bool deleteRow(std::size_t index);
    void deleteAll();

    // The address for a device: its listed one, else the first free pool
    // entry (listed at once); nothing when the pool is used up.
    std::optional<std::uint32_t> allocate(const MacAddress& mac, platform::TimePoint now = {});
    // Whether the list gives `address` to the device.
    bool holds(const MacAddress& mac, std::uint32_t address) const;

    struct Outcome {
        DhcpKind kind = DhcpKind::Ignore;
        // The reply to send (empty when nothing is sent); it lives in the
        // server's buffer until the next datagram.
        std::span<const std::uint8_t> reply;
        // Text for the view's log (empty when nothing is logged).
        std::string log;
        // An ack was built: the list has rows to delete.
        bool acked = false;
        // Where the reply goes: broadcast, or the client's own address when
        // it has one (renewing, informing).
        std::uint32_t destination = kDhcpBroadcast;
        // The rows "dhcp.dat" keeps changed.
        bool listChanged = false;
    };
    // Handles one received datagram (longer ones are cut to the buffer) at
    // time `now`.
    Outcome handle(std::span<const std::uint8_t> datagram, platform::TimePoint now = {});

private:
    enum class Reply { Offer, Bootp, Ack, Nak, Inform };
    void buildReply(Reply kind, std::uint32_t address, std::size_t requestLength);
    Outcome answerRequest(std::size_t length, platform::TimePoint now);
    Outcome answerSelecting(Outcome outcome, std::span<const std::uint8_t> request, platform::TimePoint now);
    Outcome answerDecline(std::span<const std::uint8_t> request, platform::TimePoint now);
    Outcome answerRelease(std::span<const std::uint8_t> request);
    Outcome answerInform(std::span<const std::uint8_t> request);
    Outcome ack(Outcome outcome, const MacAddress& mac, std::uint32_t address, std::size_t length);
    Outcome nak(Outcome outcome, const MacAddress& mac, std::uint32_t address, std::size_t length);
    // Removes the device's row for `address` (any address when nothing);
    // true when one was removed.
    bool removeRow(const MacAddress& mac, std::optional<std::uint32_t> address);
    bool listed(const MacAddress& mac) const;
    std::string exhausted(const std::string& mac) const;
    std::size_t m_replyLength = 0;

    DhcpFields m_fields;
    std::uint32_t m_serverIdentifier = 0;
    std::vector<PoolEntry> m_pool;
    std::vector<DhcpMapping> m_rows;
    std::map<MacAddress, platform::TimePoint> m_offers; // when each offer runs out
    std::set<MacAddress> m_offeredRows; // devices whose row an offer made and no request confirmed yet
    std::map<std::uint32_t, platform::TimePoint> m_declined; // until when each declined address rests
    std::array<std::uint8_t, kDhcpBufferSize> m_buffer {};
};

} // namespace utility::services
