#include "sim/devsim/data_channel.h"

#include "sim/devsim/device.h"

#include <cstdio>

namespace sim::devsim {
namespace {

std::string hex(std::uint8_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

} // namespace

void DataChannel::onControl(std::span<const std::uint8_t> payload)
{
    if (payload.empty()) {
        verbose(m_label + ": control packet without a code ignored");
        return;
    }
    const std::uint8_t code = payload[0];
    const auto arguments = payload.subspan(1);
    auto needs = [&](std::size_t count) {
        if (arguments.size() >= count)
            return true;
        verbose(
            m_label + ": control " + hex(code) + " without its " + std::to_string(count) + " argument byte(s) ignored");
        return false;
    };
    bool modemLines = false;
    switch (code) {
    case control::kClearDtr:
    case control::kSetDtr:
        m_state.dtr = code == control::kSetDtr;
        modemLines = true;
        break;
    case control::kClearRts:
    case control::kSetRts:
        m_state.rts = code == control::kSetRts;
        modemLines = true;
        break;
    case control::kModemControl:
        if (!needs(1))
            return;
        // The modem control register's own layout: bit 0 DTR, bit 1 RTS.
        m_state.modemControl = arguments[0];
        m_state.dtr = (arguments[0] & 0x01) != 0;
        m_state.rts = (arguments[0] & 0x02) != 0;
        modemLines = true;
        break;
    case control::kBaudAndLineControl:
        if (!needs(2))
            return;
        if (!applyBaudCode(m_state, arguments[0]))
            verbose(m_label + ": unknown baud code " + hex(arguments[0]) + "; the baud rate stays "
                + std::to_string(m_state.baud));
        applyLineControl(m_state, arguments[1]);
        m_serial.showLineSettings(m_state);
        break;
    case control::kLineControl:
        if (!needs(1))
            return;
        applyLineControl(m_state, arguments[0]);
        m_serial.showLineSettings(m_state);
        break;
    case control::kBreakOff:
    case control::kBreakOn:
        m_state.breakOn = code == control::kBreakOn;
        break;
    case control::kFifoControl:
        if (!needs(1))
            return;
        m_state.fifoControl = arguments[0];
        break;
    case control::kStop:
        if (!arguments.empty())
            m_state.xoffChar = arguments[0];
        m_state.stopped = true;
        break;
    case control::kResume:
        if (!arguments.empty())
            m_state.xonChar = arguments[0];
        m_state.stopped = false;
        break;
    case control::kFlowControl:
        if (!needs(1))
            return;
        if (arguments[0] > 2) {
            verbose(m_label + ": flow control code " + hex(arguments[0]) + " ignored");
            return;
        }
        m_state.flow = static_cast<FlowMode>(arguments[0]);
        break;
    default:
        verbose(m_label + ": control code " + hex(code) + " ignored");
        return;
    }
    verbose(m_label + ": control " + hex(code) + ": serial " + sim::devsim::describe(m_state));
    if (code == control::kStop || code == control::kResume)
        updateFlow();
    if (modemLines) {
        loopBackModemLines();
        report(control::kModemStatus);
    }
}

void DataChannel::loopBackModemLines()
{
    if (m_serial.mode() != SerialMode::Echo)
        return;
    const std::uint8_t lines = static_cast<std::uint8_t>((m_status.modemStatus & modem::kRi)
        | (m_state.rts ? modem::kCts : 0) | (m_state.dtr ? modem::kDsr | modem::kDcd : 0));
    setModemInputs(lines);
}

void DataChannel::setModemInputs(std::uint8_t lines)
{
    m_status.modemStatus = nextModemStatus(m_status.modemStatus, lines);
    if (m_status.modemStatus & modem::kDeltas)
        report(control::kModemEvent);
}

void DataChannel::report(std::uint8_t code)
{
    if (!m_connected || !m_settings.framing)
        return; // a change stays marked until it can be reported
    std::vector<std::uint8_t> arguments { m_status.modemStatus };
    if (code == control::kModemEvent)
        arguments.push_back(static_cast<std::uint8_t>((m_state.dtr ? 0x01 : 0) | (m_state.rts ? 0x02 : 0)));
    verbose(m_label + " -> " + m_peer.text() + " ControlPacket " + hex(code) + " modem status "
        + hex(m_status.modemStatus));
    send(encodeControl(code, arguments));
    // Reported changes are cleared, as reading a modem status register clears them.
    m_status.modemStatus &= modem::kLines;
}

} // namespace sim::devsim
