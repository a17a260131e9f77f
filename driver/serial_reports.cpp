#include "common/serial_ioctl.h"
#include "driver/port_internal.h"

#include <mutex>

// What the device server reports of the serial line: modem status and line
// state, and the serial events they raise.
namespace driver {

using namespace common;

namespace {

// The events a modem status's delta bits raise under `waitMask`.
std::uint32_t modemEvents(std::uint32_t waitMask, std::uint8_t status)
{
    std::uint32_t events = 0;
    if ((waitMask & kSerialEvCts) && (status & 0x01))
        events |= kSerialEvCts;
    if ((waitMask & kSerialEvDsr) && (status & 0x02))
        events |= kSerialEvDsr;
    if ((waitMask & kSerialEvRing) && (status & 0x04))
        events |= kSerialEvRing;
    if ((waitMask & kSerialEvRlsd) && (status & 0x08))
        events |= kSerialEvRlsd;
    return events;
}

// Completes a pending wait with the new events and those pending, or keeps
// them pending; data lock held.
void signalEvents(PortDevice& port, std::uint32_t events)
{
    if (!events)
        return;
    SerialState& serial = port.serial;
    events |= serial.pendingEvents;
    if (port.pendingWait) {
        serial.pendingEvents = 0;
        completePendingWait(port, events);
    } else {
        serial.pendingEvents = events;
    }
}

} // namespace

void reportModemStatus(PortDevice& port, std::span<const std::uint8_t> packet)
{
    if (packet.size() < 5)
        return;
    const std::uint8_t code = packet[3];
    std::lock_guard lock(port.dataLock);
    SerialState& serial = port.serial;
    if (code == kCodeModemStatus) {
        serial.modemStatus = packet[4];
        return;
    }
    // A modem event needs both argument bytes; a shorter packet is ignored.
    if (code != kCodeModemEvent || packet.size() < 6)
        return;
    const std::uint8_t status = packet[4];
    serial.modemStatus = status;
    serial.modemControl = packet[5] & (kSerialDtrState | kSerialRtsState);
    const std::uint32_t events = modemEvents(serial.waitMask, status);
    signalEvents(port, events);
}

void reportModemState(PortDevice& port, std::uint8_t modemStatus)
{
    std::lock_guard lock(port.dataLock);
    port.serial.modemStatus = modemStatus;
    signalEvents(port, modemEvents(port.serial.waitMask, modemStatus));
}

void reportLineState(PortDevice& port, std::uint8_t lineStatus)
{
    constexpr std::uint8_t kBreak = 0x10;
    constexpr std::uint8_t kErrors = 0x0E; // overrun, parity, framing
    std::lock_guard lock(port.dataLock);
    const std::uint32_t mask = port.serial.waitMask;
    std::uint32_t events = 0;
    if ((mask & kSerialEvBreak) && (lineStatus & kBreak))
        events |= kSerialEvBreak;
    if ((mask & kSerialEvErr) && (lineStatus & kErrors))
        events |= kSerialEvErr;
    signalEvents(port, events);
}

} // namespace driver
