// The tty's settings as the port has them, and a program's new ones
// turned into the port's serial requests.
#include "driver/daemon/cuse_frontend.h"

#include "driver/daemon/cuse_records.h"

#include "common/byte_order.h"
#include "common/serial_ioctl.h"

#include <cstdio>

namespace driver::daemon {

using namespace common;
using host::TtyLine;

void CuseFrontEnd::publishTermios()
{
    const std::uint32_t rate = host::lineOf(m_termios).baudRate;
    if (rate != 0)
        m_rate = rate;
    const host::TtyReadRule rule = host::readRuleOf(m_termios);
    m_readRule = static_cast<std::uint16_t>(rule.min | rule.time << 8);
}

void CuseFrontEnd::refreshTermios(host::FileHandle& handle)
{
    TtyLine line = host::lineOf(m_termios);
    const host::Reply rate = control(handle, kIoctlSerialGetBaudRate, {}, kSerialBaudRateSize);
    if (ntSuccess(rate.status) && rate.output.size() >= 4)
        line.baudRate = loadLe32(rate.output, 0);
    const host::Reply lineControl = control(handle, kIoctlSerialGetLineControl, {}, kSerialLineControlSize);
    if (ntSuccess(lineControl.status))
        takeLineControl(line, lineControl.output);
    const host::Reply handflow = control(handle, kIoctlSerialGetHandflow, {}, kSerialHandflowSize);
    if (ntSuccess(handflow.status))
        takeHandflow(line, handflow.output);
    const host::Reply chars = control(handle, kIoctlSerialGetChars, {}, kSerialCharsSize);
    if (ntSuccess(chars.status) && chars.output.size() >= kSerialCharsSize) {
        line.xonChar = chars.output[4];
        line.xoffChar = chars.output[5];
    }
    // B0 (a hang-up) is the program's word, not the port's rate.
    if (host::lineOf(m_termios).baudRate == 0)
        line.baudRate = 0;
    host::applyLine(m_termios, line);
}

int CuseFrontEnd::setTermios(host::FileHandle& handle, const host::TtyTermios& wanted)
{
    if (host::canonical(wanted)) {
        // Line editing is not done here: the program gets raw bytes or nothing.
        if (!m_canonicalRefused)
            std::fprintf(stderr,
                "vorpild: %s: canonical mode (ICANON) refused: the port carries raw bytes (use raw mode, e.g. "
                "cfmakeraw or stty raw)\n",
                m_deviceName.c_str());
        m_canonicalRefused = true;
        return EINVAL;
    }
    const TtyLine before = host::lineOf(m_termios);
    const TtyLine after = host::lineOf(wanted);
    int result = 0;
    if (after.baudRate == 0 && before.baudRate != 0) {
        // B0 hangs up: DTR drops, the rate stays.
        (void)control(handle, kIoctlSerialClrDtr, {});
    } else if (after.baudRate != 0 && before.baudRate == 0) {
        (void)control(handle, kIoctlSerialSetDtr, {});
    }
    // The first settings of an open go to the device server whole: it may
    // hold another rate than the port (a rate alone is not sent until a line
    // control follows it).
    const bool whole = !m_settingsSent;
    m_settingsSent = true;
    const bool rateChanged = (whole || after.baudRate != before.baudRate) && after.baudRate != 0;
    if (rateChanged) {
        // Every rate goes to the port; its own table decides.
        const host::Reply reply = control(handle, kIoctlSerialSetBaudRate, wordRecord({ after.baudRate }));
        if (!ntSuccess(reply.status)) {
            if (m_refusedRates.insert(after.baudRate).second)
                std::fprintf(stderr, "vorpild: %s: %u baud refused (%s)\n", m_deviceName.c_str(), after.baudRate,
                    statusText(reply.status).c_str());
            result = EINVAL;
        }
    }
    // The device server learns a new rate together with the line control.
    if (whole || rateChanged || lineControlOf(before) != lineControlOf(after)) {
        const auto record = lineControlOf(after);
        const host::Reply reply = control(handle, kIoctlSerialSetLineControl, record);
        if (!ntSuccess(reply.status))
            result = EINVAL;
    }
    if (before.xonChar != after.xonChar || before.xoffChar != after.xoffChar) {
        const host::Reply chars = control(handle, kIoctlSerialGetChars, {}, kSerialCharsSize);
        if (ntSuccess(chars.status) && chars.output.size() >= kSerialCharsSize) {
            std::vector<std::uint8_t> updated(chars.output.begin(), chars.output.begin() + kSerialCharsSize);
            updated[4] = after.xonChar;
            updated[5] = after.xoffChar;
            (void)control(handle, kIoctlSerialSetChars, updated);
        }
    }
    if (whole || handflowOf(before) != handflowOf(after))
        (void)control(handle, kIoctlSerialSetHandflow, handflowOf(after));
    m_termios = wanted;
    // What the port refused stays as the port has it: the program reads back the truth.
    if (result != 0)
        refreshTermios(handle);
    publishTermios();
    return result;
}

} // namespace driver::daemon
