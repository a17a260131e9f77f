#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace driver {

// Every framed packet: type, big-endian payload length, payload.
inline constexpr std::size_t kPacketHeaderSize = 3;
inline constexpr std::size_t kMaxPacketPayload = 0xFFFF;
// A control packet in the stream whose length field n is above this is not a
// modem report and is skipped; n counts the code and its arguments.
inline constexpr std::size_t kMaxControlPayload = 7;
// A control datagram longer than this, header included, is ignored.
inline constexpr std::size_t kMaxControlDatagram = 7;

inline constexpr std::size_t packetPayloadLength(const std::uint8_t* header)
{
    return static_cast<std::size_t>(header[1]) << 8 | header[2];
}

// Where parsed packets go.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    // The payload of a packet of any type but 0x33.
    virtual void data(std::span<const std::uint8_t> payload) = 0;
    // A whole control packet (type 0x33) with at most kMaxControlPayload bytes after its header.
    virtual void control(std::span<const std::uint8_t> packet) = 0;
};

// Parses a framed byte stream that arrives in pieces of any size. A packet
// cut by the end of a piece waits in `pending` (at least 3 + 0xFFFF bytes)
// with `pendingFill` bytes; only as much of the next piece is copied there as
// completes it, so any piece size is parsed without losing a byte.
void parseFramed(
    std::span<const std::uint8_t> bytes, std::span<std::uint8_t> pending, std::uint32_t& pendingFill, FrameSink& sink);

} // namespace driver
