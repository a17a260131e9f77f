// The terminal's settings passed on to the port.
#include "driver/daemon/port_frontend.h"

#include "common/byte_order.h"
#include "common/serial_ioctl.h"

#include <array>
#include <cstdio>

namespace driver::daemon {

using namespace common;

namespace {

// Handshake and flow bits of the serial handflow record.
constexpr std::uint32_t kDtrControl = 0x01;
constexpr std::uint32_t kCtsHandshake = 0x08;
constexpr std::uint32_t kAutoTransmit = 0x01;
constexpr std::uint32_t kAutoReceive = 0x02;
constexpr std::uint32_t kRtsControl = 0x40;
constexpr std::uint32_t kRtsHandshake = 0x80;

} // namespace

void PortFrontEnd::logRefusedRate(std::uint32_t rate, NtStatus status)
{
    if (!m_refusedRates.insert(rate).second)
        return;
    std::fprintf(stderr, "vorpild: %s: %u baud refused (%s)\n", m_deviceName.c_str(), rate, statusText(status).c_str());
}

void PortFrontEnd::applySettings(const host::PtySettings& settings)
{
    const host::PtySettings before = m_applied.value_or(settings);
    m_applied = settings;
    // A rate is compared with the port's, not with the terminal's last one:
    // the port may have been given another through the control socket, and
    // a program that sets the terminal's old rate means that rate.
    std::uint32_t portRate = before.baudRate;
    if (const host::Reply current = control(kIoctlSerialGetBaudRate, {}, 4);
        ntSuccess(current.status) && current.output.size() >= 4)
        portRate = loadLe32(current.output, 0);
    const bool rateChanged = portRate != settings.baudRate && settings.baudRate != 0;
    if (rateChanged || before.twoStopBits != settings.twoStopBits) {
        if (rateChanged) {
            // Every rate goes to the port; its own table decides.
            const host::Reply reply = control(kIoctlSerialSetBaudRate, ioctlWords({ settings.baudRate }));
            if (!ntSuccess(reply.status)) {
                logRefusedRate(settings.baudRate, reply.status);
                // A pty takes any rate without a word; the program reads
                // back the rate the line keeps, unless it has set another
                // since (that change is reported next).
                if (m_pty->setRate(portRate, settings.baudRate))
                    m_applied->baudRate = portRate;
            }
        }
        // The device server learns a new rate together with the line control.
        // Parity and word length stay as the port has them: a terminal cannot
        // carry them.
        std::array<std::uint8_t, 3> line { 0, 0, 8 };
        const host::Reply current = control(kIoctlSerialGetLineControl, {}, kSerialLineControlSize);
        if (ntSuccess(current.status) && current.output.size() >= 3)
            line = { current.output[0], current.output[1], current.output[2] };
        if (before.twoStopBits != settings.twoStopBits)
            line[0] = static_cast<std::uint8_t>(settings.twoStopBits ? 2 : 0);
        (void)control(kIoctlSerialSetLineControl, line);
    }
    const bool flowChanged = before.rtsCts != settings.rtsCts || before.xonOutput != settings.xonOutput
        || before.xonInput != settings.xonInput || before.xonChar != settings.xonChar
        || before.xoffChar != settings.xoffChar;
    if (flowChanged) {
        if (settings.xonOutput || settings.xonInput) {
            const host::Reply chars = control(kIoctlSerialGetChars, {}, kSerialCharsSize);
            if (ntSuccess(chars.status) && chars.output.size() >= kSerialCharsSize) {
                std::vector<std::uint8_t> updated(chars.output.begin(), chars.output.begin() + kSerialCharsSize);
                updated[4] = settings.xonChar;
                updated[5] = settings.xoffChar;
                (void)control(kIoctlSerialSetChars, updated);
            }
        }
        const std::uint32_t handShake = kDtrControl | (settings.rtsCts ? kCtsHandshake : 0);
        const std::uint32_t flowReplace = (settings.rtsCts ? kRtsHandshake : kRtsControl)
            | (settings.xonOutput ? kAutoTransmit : 0) | (settings.xonInput ? kAutoReceive : 0);
        (void)control(kIoctlSerialSetHandflow, ioctlWords({ handShake, flowReplace, 0, 0 }));
    }
}

} // namespace driver::daemon
