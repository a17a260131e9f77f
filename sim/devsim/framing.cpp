#include "sim/devsim/framing.h"

#include "sim/devsim/device_config.h"

#include <algorithm>
#include <cstdio>

namespace sim::devsim {

std::uint8_t nextModemStatus(std::uint8_t status, std::uint8_t lines)
{
    lines &= modem::kLines;
    const std::uint8_t old = status & modem::kLines;
    std::uint8_t deltas = status & modem::kDeltas;
    if ((old ^ lines) & modem::kCts)
        deltas |= modem::kDeltaCts;
    if ((old ^ lines) & modem::kDsr)
        deltas |= modem::kDeltaDsr;
    if ((old & modem::kRi) && !(lines & modem::kRi))
        deltas |= modem::kRiTrailingEdge;
    if ((old ^ lines) & modem::kDcd)
        deltas |= modem::kDeltaDcd;
    return static_cast<std::uint8_t>(lines | deltas);
}

std::vector<std::uint8_t> encodePacket(std::uint8_t type, std::span<const std::uint8_t> payload)
{
    const std::size_t size = std::min(payload.size(), packet::kMaxPayload);
    std::vector<std::uint8_t> bytes;
    bytes.reserve(packet::kHeaderSize + size);
    bytes.push_back(type);
    bytes.push_back(static_cast<std::uint8_t>(size >> 8));
    bytes.push_back(static_cast<std::uint8_t>(size));
    bytes.insert(bytes.end(), payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(size));
    return bytes;
}

std::vector<std::uint8_t> encodeControl(std::uint8_t code, std::span<const std::uint8_t> arguments)
{
    std::vector<std::uint8_t> payload { code };
    payload.insert(payload.end(), arguments.begin(), arguments.end());
    return encodePacket(packet::kControl, payload);
}

void FrameParser::feed(std::span<const std::uint8_t> bytes, const PacketHandler& handler)
{
    // First complete the packet held back, taking no more than it lacks, so
    // the buffer never grows past one packet.
    while (!m_pending.empty() && !bytes.empty()) {
        std::size_t wanted = packet::kHeaderSize;
        if (m_pending.size() >= packet::kHeaderSize)
            wanted += (std::size_t { m_pending[1] } << 8) | m_pending[2];
        const std::size_t take = std::min(wanted - m_pending.size(), bytes.size());
        m_pending.insert(m_pending.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
        bytes = bytes.subspan(take);
        if (m_pending.size() < packet::kHeaderSize)
            return;
        const std::size_t length = (std::size_t { m_pending[1] } << 8) | m_pending[2];
        if (m_pending.size() == packet::kHeaderSize + length) {
            const std::vector<std::uint8_t> complete = std::move(m_pending);
            m_pending.clear();
            handler(complete[0], std::span<const std::uint8_t>(complete).subspan(packet::kHeaderSize));
        }
    }
    if (!m_pending.empty())
        return; // still incomplete, and the delivery is used up
    // Then whole packets straight from the delivery.
    while (bytes.size() >= packet::kHeaderSize) {
        const std::size_t length = (std::size_t { bytes[1] } << 8) | bytes[2];
        if (bytes.size() < packet::kHeaderSize + length)
            break;
        handler(bytes[0], bytes.subspan(packet::kHeaderSize, length));
        bytes = bytes.subspan(packet::kHeaderSize + length);
    }
    m_pending.assign(bytes.begin(), bytes.end());
}

void applyLineControl(SerialState& state, std::uint8_t lineControl)
{
    state.dataBits = 5 + (lineControl & 0x03);
    if (!(lineControl & 0x04))
        state.stopBits = StopBits::One;
    else
        state.stopBits = state.dataBits == 5 ? StopBits::OneAndHalf : StopBits::Two;
    if (!(lineControl & 0x08)) {
        state.parity = ParityMode::None;
        return;
    }
    static constexpr ParityMode kParities[]
        = { ParityMode::Odd, ParityMode::Even, ParityMode::Mark, ParityMode::Space };
    state.parity = kParities[(lineControl >> 4) & 0x03];
}

bool applyBaudCode(SerialState& state, std::uint8_t code)
{
    if (code >= kBaudRates.size())
        return false;
    state.baud = kBaudRates[code];
    return true;
}

std::string describe(const SerialState& state)
{
    static constexpr char kParityLetters[] = { 'N', 'O', 'E', 'M', 'S' };
    static constexpr const char* kStopTexts[] = { "1", "1.5", "2" };
    static constexpr const char* kFlowTexts[] = { "none", "hardware", "software" };
    std::string text = std::to_string(state.baud) + " " + std::to_string(state.dataBits)
        + kParityLetters[static_cast<int>(state.parity)] + kStopTexts[static_cast<int>(state.stopBits)] + " flow "
        + kFlowTexts[static_cast<int>(state.flow)] + " DTR " + (state.dtr ? "on" : "off") + " RTS "
        + (state.rts ? "on" : "off");
    if (state.breakOn)
        text += " break";
    if (state.stopped)
        text += " stopped";
    return text;
}

std::string packetName(std::uint8_t type, std::span<const std::uint8_t> payload)
{
    char text[40];
    switch (type) {
    case packet::kBye:
        return "ByePacket";
    case packet::kHello:
        return "HelloPacket";
    case packet::kData:
        return "DataPacket (" + std::to_string(payload.size()) + " bytes)";
    case packet::kControl:
        if (payload.empty())
            return "ControlPacket without a code";
        std::snprintf(text, sizeof text, "ControlPacket 0x%02X", payload[0]);
        return text;
    default:
        std::snprintf(text, sizeof text, "packet type 0x%02X", type);
        return text;
    }
}

} // namespace sim::devsim
