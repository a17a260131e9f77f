#include "utility/devmgmt/receive_ring.h"

#include <algorithm>

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

bool ReceiveRing::holdsMac(std::span<const std::uint8_t> datagram) const
{
    // Bytes missing from a short datagram count as zero, as they read in a slot.
    std::array<std::uint8_t, kMacSize> mac {};
    if (datagram.size() > kMacOffset)
        std::copy_n(datagram.begin() + kMacOffset, std::min(kMacSize, datagram.size() - kMacOffset), mac.begin());
    for (std::size_t index = 0; index < m_writeIndex && index < kRingSlots; ++index) {
        const auto& data = m_slots[index].data;
        if (std::equal(mac.begin(), mac.end(), data.begin() + kMacOffset))
            return true;
    }
    return false;
}

} // namespace utility::devmgmt
