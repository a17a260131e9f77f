#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace driver {

// Packet types of the framed stream between a port and its device server.
inline constexpr std::uint8_t kByePacketType = 0x30;
inline constexpr std::uint8_t kHelloPacketType = 0x31;
inline constexpr std::uint8_t kDataPacketType = 0x32;
inline constexpr std::uint8_t kControlPacketType = 0x33;

// A framed UDP port greets its device server and says goodbye with these.
inline constexpr std::array<std::uint8_t, 3> kHelloPacket { kHelloPacketType, 0x00, 0x00 };
inline constexpr std::array<std::uint8_t, 3> kByePacket { kByePacketType, 0x00, 0x00 };
// Removal of a connected UDP port sends the bye type byte alone.
inline constexpr std::array<std::uint8_t, 1> kRemovalByePacket { kByePacketType };

// Codes of the control packets a port sends.
inline constexpr std::uint8_t kCodeClearDtr = 0x11;
inline constexpr std::uint8_t kCodeClearRts = 0x12;
inline constexpr std::uint8_t kCodeSetDtr = 0x13;
inline constexpr std::uint8_t kCodeSetRts = 0x14;
inline constexpr std::uint8_t kCodeBaudAndLineControl = 0x15;
inline constexpr std::uint8_t kCodeBreakOff = 0x16;
inline constexpr std::uint8_t kCodeBreakOn = 0x17;
inline constexpr std::uint8_t kCodeFifoControl = 0x18;
inline constexpr std::uint8_t kCodeLineControl = 0x19;
inline constexpr std::uint8_t kCodeModemControl = 0x1A;
inline constexpr std::uint8_t kCodeXoff = 0x21;
inline constexpr std::uint8_t kCodeXon = 0x22;
inline constexpr std::uint8_t kCodeFlowControl = 0x24;

// Codes of the control packets a device server sends.
inline constexpr std::uint8_t kCodeModemEvent = 0x81;
inline constexpr std::uint8_t kCodeModemStatus = 0xA3;

// A `ControlPacket`: type 0x33, a big-endian payload length, then the code
// and up to two argument bytes.
struct ControlPacket {
    std::uint8_t code = 0;
    std::uint8_t argumentCount = 0;
    std::array<std::uint8_t, 2> arguments {};

    static ControlPacket make(std::uint8_t code) { return { code, 0, {} }; }
    static ControlPacket make(std::uint8_t code, std::uint8_t first) { return { code, 1, { first, 0 } }; }
    static ControlPacket make(std::uint8_t code, std::uint8_t first, std::uint8_t second)
    {
        return { code, 2, { first, second } };
    }

    std::size_t encodedSize() const { return 4u + argumentCount; }
    // The bytes on the wire; the first encodedSize() are meaningful.
    std::array<std::uint8_t, 6> encode() const
    {
        return { kControlPacketType, 0x00, static_cast<std::uint8_t>(1 + argumentCount), code, arguments[0],
            arguments[1] };
    }
};

} // namespace driver
