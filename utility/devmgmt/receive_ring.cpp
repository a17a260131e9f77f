#include "utility/devmgmt/receive_ring.h"

#include <algorithm>
#include <cstdio>

namespace utility::devmgmt {
namespace {
constexpr std::size_t kMacOffset = 26;
constexpr std::size_t kMacSize = 6;
} // namespace

void ReceiveRing::reset()
{
    for (auto& slot : m_slots) {
        slot.length = -1;
        slot.sender = {};
        slot.data.fill(0);
    }
    m_writeIndex = 0;
    m_ignored = 0;
    m_short = 0;
    m_clashes.clear();
    m_clashCount = 0;
}

void ReceiveRing::recordCurrent(std::size_t length, const platform::Endpoint& sender)
{
    // The slot at the write index is always empty (reset and discard wipe
    // it), so the bytes behind a short datagram are zero.
    RingSlot& slot = current();
    slot.length = static_cast<std::int32_t>(std::min(length, kMaxDatagram));
    slot.sender = sender;
}

void ReceiveRing::discardCurrent()
{
    RingSlot& slot = current();
    slot.length = -1;
    slot.sender = {};
    slot.data.fill(0);
}

std::optional<std::size_t> ReceiveRing::findMac(std::span<const std::uint8_t> datagram) const
{
    // Bytes missing from a short datagram count as zero, as they read in a slot.
    std::array<std::uint8_t, kMacSize> mac {};
    if (datagram.size() > kMacOffset)
        std::copy_n(datagram.begin() + kMacOffset, std::min(kMacSize, datagram.size() - kMacOffset), mac.begin());
    for (std::size_t index = 0; index < m_writeIndex && index < kRingSlots; ++index) {
        const auto& data = m_slots[index].data;
        if (std::equal(mac.begin(), mac.end(), data.begin() + kMacOffset))
            return index;
    }
    return std::nullopt;
}

void ReceiveRing::noteSameMac(std::size_t kept, const platform::Endpoint& sender)
{
    if (kept >= m_writeIndex || kept >= kRingSlots)
        return;
    const RingSlot& slot = m_slots[kept];
    if (slot.sender.address == sender.address)
        return; // the same device answering again
    AddressClash clash;
    std::copy_n(slot.data.begin() + kMacOffset, kMacSize, clash.mac.begin());
    clash.first = slot.sender.address;
    clash.second = sender.address;
    if (std::find(m_clashes.begin(), m_clashes.end(), clash) != m_clashes.end())
        return;
    // A few are kept to be named; past them every such reply is counted.
    ++m_clashCount;
    if (m_clashes.size() < kClashesKept)
        m_clashes.push_back(clash);
}

std::vector<std::string> describeLeftOut(const ReceiveRing& ring)
{
    std::vector<std::string> notes;
    if (ring.ignoredCount() > 0)
        notes.push_back(std::to_string(ring.ignoredCount()) + (ring.ignoredCount() == 1 ? " reply" : " replies")
            + " left out: the device table holds " + std::to_string(kRingSlots) + " devices.");
    if (ring.shortCount() > 0)
        notes.push_back(std::to_string(ring.shortCount()) + (ring.shortCount() == 1 ? " reply" : " replies")
            + " left out: shorter than the " + std::to_string(kRecordSize) + " bytes of a device's settings.");
    for (const auto& clash : ring.clashes()) {
        char mac[18];
        std::snprintf(mac, sizeof mac, "%.2X-%.2X-%.2X-%.2X-%.2X-%.2X", clash.mac[0], clash.mac[1], clash.mac[2],
            clash.mac[3], clash.mac[4], clash.mac[5]);
        notes.push_back(std::string("Address clash: MAC ") + mac + " answered from " + platform::formatIpv4(clash.first)
            + " and from " + platform::formatIpv4(clash.second) + ".");
    }
    if (ring.clashCount() > ring.clashes().size())
        notes.push_back(std::to_string(ring.clashCount() - ring.clashes().size())
            + " more replies carried a MAC that had answered from another address.");
    return notes;
}

} // namespace utility::devmgmt
