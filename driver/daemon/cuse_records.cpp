#include "driver/daemon/cuse_records.h"

#include "common/byte_order.h"
#include "common/serial_ioctl.h"

#include <algorithm>

namespace driver::daemon {

using namespace common;
using host::TtyLine;
using host::TtyParity;

namespace {

// Handshake and flow bits of the serial handflow record.
constexpr std::uint32_t kDtrControl = 0x01;
constexpr std::uint32_t kCtsHandshake = 0x08;
constexpr std::uint32_t kAutoTransmit = 0x01;
constexpr std::uint32_t kAutoReceive = 0x02;
constexpr std::uint32_t kRtsControl = 0x40;
constexpr std::uint32_t kRtsHandshakeFlow = 0x80;
// The 16550 modem status register.
constexpr std::uint32_t kMsrCts = 0x10;
constexpr std::uint32_t kMsrDsr = 0x20;
constexpr std::uint32_t kMsrRing = 0x40;
constexpr std::uint32_t kMsrCd = 0x80;

} // namespace

std::array<std::uint8_t, 3> lineControlOf(const TtyLine& line)
{
    return { static_cast<std::uint8_t>(line.twoStopBits ? 2 : 0), static_cast<std::uint8_t>(line.parity),
        line.dataBits };
}

void takeLineControl(TtyLine& line, std::span<const std::uint8_t> record)
{
    if (record.size() < kSerialLineControlSize)
        return;
    line.twoStopBits = record[0] != 0; // 1.5 stop bits is as near to 2 as a tty gets
    line.parity = record[1] <= 4 ? static_cast<TtyParity>(record[1]) : TtyParity::None;
    line.dataBits = std::clamp<std::uint8_t>(record[2], 5, 8);
}

std::vector<std::uint8_t> handflowOf(const TtyLine& line)
{
    const std::uint32_t handShake = kDtrControl | (line.rtsCts ? kCtsHandshake : 0);
    const std::uint32_t flowReplace = (line.rtsCts ? kRtsHandshakeFlow : kRtsControl)
        | (line.xonOutput ? kAutoTransmit : 0) | (line.xonInput ? kAutoReceive : 0);
    std::vector<std::uint8_t> bytes(kSerialHandflowSize);
    storeLe32(bytes, 0, handShake);
    storeLe32(bytes, 4, flowReplace);
    return bytes;
}

void takeHandflow(TtyLine& line, std::span<const std::uint8_t> record)
{
    if (record.size() < 8)
        return;
    const std::uint32_t handShake = loadLe32(record, 0);
    const std::uint32_t flowReplace = loadLe32(record, 4);
    line.rtsCts = (handShake & kCtsHandshake) != 0;
    line.xonOutput = (flowReplace & kAutoTransmit) != 0;
    line.xonInput = (flowReplace & kAutoReceive) != 0;
}

host::TtyModem modemOf(std::uint32_t modemStatus, std::uint32_t dtrRts)
{
    return host::TtyModem { (dtrRts & kSerialDtrState) != 0, (dtrRts & kSerialRtsState) != 0,
        (modemStatus & kMsrCts) != 0, (modemStatus & kMsrDsr) != 0, (modemStatus & kMsrCd) != 0,
        (modemStatus & kMsrRing) != 0 };
}

void countEvents(host::TtyCounts& counts, std::uint32_t events)
{
    counts.cts += (events & kSerialEvCts) ? 1 : 0;
    counts.dsr += (events & kSerialEvDsr) ? 1 : 0;
    counts.cd += (events & kSerialEvRlsd) ? 1 : 0;
    counts.ring += (events & kSerialEvRing) ? 1 : 0;
    counts.brk += (events & kSerialEvBreak) ? 1 : 0;
}

std::vector<std::uint8_t> wordRecord(std::initializer_list<std::uint32_t> values)
{
    std::vector<std::uint8_t> bytes(values.size() * 4);
    std::size_t offset = 0;
    for (std::uint32_t value : values) {
        storeLe32(bytes, offset, value);
        offset += 4;
    }
    return bytes;
}

} // namespace driver::daemon
