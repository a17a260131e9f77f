#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace sim::devsim {

// The framed data channel between a virtual port and a device server, seen
// from the device. Every packet in both directions is a type byte, a
// big-endian 16-bit payload length n and n payload bytes. Over TCP packets
// follow one another in the stream; over UDP each datagram holds one.
namespace packet {
inline constexpr std::uint8_t kBye = 0x30;
inline constexpr std::uint8_t kHello = 0x31;
inline constexpr std::uint8_t kData = 0x32;
inline constexpr std::uint8_t kControl = 0x33;
inline constexpr std::size_t kHeaderSize = 3;
inline constexpr std::size_t kMaxPayload = 0xFFFF;
// A control packet carries a code and at most six argument bytes; longer
// ones are skipped, as the port skips them.
inline constexpr std::size_t kMaxControlPayload = 7;
} // namespace packet

// Codes of ControlPacket: the port's requests, then the device's reports.
namespace control {
inline constexpr std::uint8_t kClearDtr = 0x11;
inline constexpr std::uint8_t kClearRts = 0x12;
inline constexpr std::uint8_t kSetDtr = 0x13;
inline constexpr std::uint8_t kSetRts = 0x14;
inline constexpr std::uint8_t kBaudAndLineControl = 0x15; // baud code, line-control byte
inline constexpr std::uint8_t kBreakOff = 0x16;
inline constexpr std::uint8_t kBreakOn = 0x17;
inline constexpr std::uint8_t kFifoControl = 0x18; // FIFO control byte
inline constexpr std::uint8_t kLineControl = 0x19; // line-control byte
inline constexpr std::uint8_t kModemControl = 0x1A; // modem control byte
inline constexpr std::uint8_t kStop = 0x21; // one character; stop sending to the port
inline constexpr std::uint8_t kResume = 0x22; // one character; resume sending to the port
inline constexpr std::uint8_t kFlowControl = 0x24; // 0 none, 1 hardware, 2 software
inline constexpr std::uint8_t kModemEvent = 0x81; // modem status, DTR (bit 0) and RTS (bit 1)
inline constexpr std::uint8_t kModemStatus = 0xA3; // modem status
} // namespace control

// Modem status byte bits (the 16550 modem status register).
namespace modem {
inline constexpr std::uint8_t kDeltaCts = 0x01;
inline constexpr std::uint8_t kDeltaDsr = 0x02;
inline constexpr std::uint8_t kRiTrailingEdge = 0x04;
inline constexpr std::uint8_t kDeltaDcd = 0x08;
inline constexpr std::uint8_t kCts = 0x10;
inline constexpr std::uint8_t kDsr = 0x20;
inline constexpr std::uint8_t kRi = 0x40;
inline constexpr std::uint8_t kDcd = 0x80;
inline constexpr std::uint8_t kLines = 0xF0;
inline constexpr std::uint8_t kDeltas = 0x0F;
} // namespace modem

// The status after the input lines change to `lines` (upper four bits):
// delta bits of changed lines are added to those not yet reported; RI
// reports only its falling edge.
std::uint8_t nextModemStatus(std::uint8_t status, std::uint8_t lines);

// Builds one packet; payloads longer than 0xFFFF bytes are the caller's
// mistake and are cut there.
std::vector<std::uint8_t> encodePacket(std::uint8_t type, std::span<const std::uint8_t> payload);
std::vector<std::uint8_t> encodeControl(std::uint8_t code, std::span<const std::uint8_t> arguments = {});

// Splits a framed TCP stream into packets, however the stream is cut into
// deliveries. An incomplete packet waits (at most 3 + 0xFFFF bytes) until
// its remaining bytes arrive; every byte is handed on exactly once.
class FrameParser {
public:
    using PacketHandler = std::function<void(std::uint8_t type, std::span<const std::uint8_t> payload)>;

    void feed(std::span<const std::uint8_t> bytes, const PacketHandler& handler);
    void reset() { m_pending.clear(); }
    // Bytes of an incomplete packet held back.
    std::size_t pending() const { return m_pending.size(); }

private:
    std::vector<std::uint8_t> m_pending;
};

// A device's serial port as the port's control packets set it.
enum class ParityMode { None, Odd, Even, Mark, Space };
enum class FlowMode { None, Hardware, Software }; // the port's codes 0, 1, 2
enum class StopBits { One, OneAndHalf, Two };

struct SerialState {
    std::uint32_t baud = 115200;
    int dataBits = 8;
    ParityMode parity = ParityMode::None;
    StopBits stopBits = StopBits::One;
    FlowMode flow = FlowMode::None;
    bool dtr = false;
    bool rts = false;
    bool breakOn = false;
    std::uint8_t fifoControl = 0;
    std::uint8_t modemControl = 0;
    std::uint8_t xoffChar = 0; // the character of the last stop (0x21)
    std::uint8_t xonChar = 0; // the character of the last resume (0x22)
    bool stopped = false; // the port asked the device to stop sending
    bool operator==(const SerialState&) const = default;
};

// Takes the line settings from a 16550-style line control byte: bits 0-1
// word length 5..8, bit 2 more stop bits (1.5 with 5 data bits, else 2),
// bits 3-5 parity.
void applyLineControl(SerialState& state, std::uint8_t lineControl);
// The device's baud code table; false for an unknown code.
bool applyBaudCode(SerialState& state, std::uint8_t code);
std::string describe(const SerialState& state); // "115200 8N1 flow none DTR off RTS off"

// Text for a log line: "DataPacket", "ControlPacket 0x15", "type 0x41".
std::string packetName(std::uint8_t type, std::span<const std::uint8_t> payload);

} // namespace sim::devsim
