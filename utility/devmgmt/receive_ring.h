#pragma once

#include "utility/devmgmt/protocol.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace utility::devmgmt {

// One received datagram as a search socket stored it.
struct RingSlot {
    std::int32_t length = -1; // -1: empty
    platform::Endpoint sender;
    std::array<std::uint8_t, kMaxDatagram> data {}; // zero beyond `length`

    std::span<const std::uint8_t> datagram() const
    {
        return { data.data(), length < 0 ? 0 : static_cast<std::size_t>(length) };
    }
};

// One MAC address that answered from two addresses in one search: two
// devices claim it, or one claims another's; only the first is kept.
struct AddressClash {
    MacAddress mac {};
    platform::Ipv4 first = 0; // sender of the reply kept
    platform::Ipv4 second = 0; // sender of the other one
    bool operator==(const AddressClash&) const = default;
};

// The replies of one search, in arrival order. A search takes at most 256
// replies: once every slot is filled, further replies are counted and
// ignored, so the first replies of a search are never overwritten.
class ReceiveRing {
public:
    // Empties every slot and starts again at slot 0 (before every search).
    void reset();

    // Index of the slot the next accepted datagram goes into; kRingSlots when full.
    std::size_t writeIndex() const { return m_writeIndex; }
    bool full() const { return m_writeIndex >= kRingSlots; }
    const RingSlot& slot(std::size_t index) const { return m_slots[index]; }
    // Replies refused since the last reset because every slot was taken.
    std::size_t ignoredCount() const { return m_ignored; }
    // QueryReplies refused since the last reset for being shorter than a
    // whole settings record (short datagrams of other types go unsaid).
    std::size_t shortCount() const { return m_short; }
    // MACs that answered from a second address since the last reset (the
    // first kClashesKept; clashCount() also counts the replies past them).
    static constexpr std::size_t kClashesKept = 16;
    const std::vector<AddressClash>& clashes() const { return m_clashes; }
    std::size_t clashCount() const { return m_clashCount; }

    // For the owning socket: the slot at the write index (not when full).
    RingSlot& current() { return m_slots[m_writeIndex]; }
    // Stores `length` received bytes into the current slot's record, wiping the rest.
    void recordCurrent(std::size_t length, const platform::Endpoint& sender);
    // Empties the current slot again; the next datagram reuses it.
    void discardCurrent();
    void advance() { ++m_writeIndex; }
    void countIgnored() { ++m_ignored; }
    void countShort() { ++m_short; }
    // Notes a reply whose MAC the slot `kept` holds already, when it came
    // from another address than the one kept (each clash once).
    void noteSameMac(std::size_t kept, const platform::Endpoint& sender);
    // True when a slot below the write index holds a datagram with this MAC
    // (offsets 26..31).
    bool holdsMac(std::span<const std::uint8_t> datagram) const { return findMac(datagram).has_value(); }
    // The first such slot.
    std::optional<std::size_t> findMac(std::span<const std::uint8_t> datagram) const;

private:
    std::array<RingSlot, kRingSlots> m_slots {};
    std::size_t m_writeIndex = 0;
    std::size_t m_ignored = 0;
    std::size_t m_short = 0;
    std::vector<AddressClash> m_clashes;
    std::size_t m_clashCount = 0;
};

// What a search left out of the table, in plain words, one sentence per
// kind: replies beyond the table's size, short replies, address clashes.
std::vector<std::string> describeLeftOut(const ReceiveRing& ring);

} // namespace utility::devmgmt
