#include "driver/framing.h"

#include "driver/packets.h"

#include <algorithm>
#include <cstring>

namespace driver {

namespace {

void deliver(std::span<const std::uint8_t> packet, FrameSink& sink)
{
    if (packet[0] == kControlPacketType) {
        if (packet.size() - kPacketHeaderSize <= kMaxControlPayload)
            sink.control(packet);
        return;
    }
    // Data, and also hello and bye, whose payload is empty.
    if (packet.size() > kPacketHeaderSize)
        sink.data(packet.subspan(kPacketHeaderSize));
}

} // namespace

void parseFramed(
    std::span<const std::uint8_t> bytes, std::span<std::uint8_t> pending, std::uint32_t& pendingFill, FrameSink& sink)
{
    while (!bytes.empty()) {
        if (pendingFill > 0) {
            // Complete the header first, then the packet it announces.
            std::size_t wanted = kPacketHeaderSize;
            if (pendingFill >= kPacketHeaderSize)
                wanted += packetPayloadLength(pending.data());
            const std::size_t take = std::min(wanted - pendingFill, bytes.size());
            std::memcpy(pending.data() + pendingFill, bytes.data(), take);
            pendingFill += static_cast<std::uint32_t>(take);
            bytes = bytes.subspan(take);
            if (pendingFill < kPacketHeaderSize)
                return;
            const std::size_t total = kPacketHeaderSize + packetPayloadLength(pending.data());
            if (pendingFill < total)
                continue; // the header just completed; take the payload
            pendingFill = 0;
            deliver(pending.first(total), sink);
            continue;
        }
        if (bytes.size() < kPacketHeaderSize || bytes.size() < kPacketHeaderSize + packetPayloadLength(bytes.data())) {
            std::memcpy(pending.data(), bytes.data(), bytes.size());
            pendingFill = static_cast<std::uint32_t>(bytes.size());
            return;
        }
        const std::size_t total = kPacketHeaderSize + packetPayloadLength(bytes.data());
        deliver(bytes.first(total), sink);
        bytes = bytes.subspan(total);
    }
}

} // namespace driver
