#include "common/byte_order.h"
#include "common/serial_ioctl.h"
#include "driver/port_internal.h"
#include "driver/vorpil_driver.h"

#include <mutex>

namespace driver {

using namespace common;
using host::Request;
using host::RequestPtr;

namespace {

struct BaudCode {
    std::uint32_t rate;
    std::uint8_t code;
};

// The only rates a port accepts, with the device server's code for each.
constexpr BaudCode kBaudCodes[] = { { 921600, 0 }, { 115200, 1 }, { 57600, 2 }, { 38400, 3 }, { 19200, 4 }, { 9600, 5 },
    { 4800, 6 }, { 2400, 7 }, { 1200, 8 } };

} // namespace

// The line-control byte (16550 line control register layout), or -1 for a
// combination the port rejects.
int lineControlByte(std::uint8_t stopBits, std::uint8_t parity, std::uint8_t wordLength)
{
    if (wordLength < 5 || wordLength > 8)
        return -1;
    int value = wordLength - 5;
    // The stop-bit flag means 1.5 stop bits with five data bits and two
    // otherwise: with five data bits, asking for two gets the 1.5 a UART has.
    if (stopBits == 1) {
        if (wordLength != 5)
            return -1;
        value |= 0x04;
    } else if (stopBits == 2) {
        value |= 0x04;
    } else if (stopBits != 0) {
        return -1;
    }
    constexpr int kParityBits[] = { 0x00, 0x08, 0x18, 0x28, 0x38 };
    if (parity > 4)
        return -1;
    return value | kParityBits[parity];
}

std::uint8_t flowControlCode(const SerialHandflow& handflow)
{
    constexpr std::uint32_t kCtsHandshake = 0x08;
    constexpr std::uint32_t kAutoTransmit = 0x01; // the port obeys the XON/XOFF it receives
    if (handflow.controlHandShake & kCtsHandshake)
        return 1; // hardware
    if (handflow.flowReplace & kAutoTransmit)
        return 2; // software, outbound: what a device server's XON/XOFF setting does
    return 0;
}

namespace {

// The fixed SERIAL_COMMPROP answer.
void fillProperties(std::span<std::uint8_t> out)
{
    std::fill_n(out.begin(), kSerialCommPropSize, std::uint8_t { 0 });
    storeLe16(out, kCommPropPacketLength, 64);
    storeLe16(out, kCommPropPacketVersion, 2);
    storeLe32(out, kCommPropServiceMask, 1);
    storeLe32(out, kCommPropMaxTxQueue, 0);
    storeLe32(out, kCommPropMaxRxQueue, 0);
    storeLe32(out, kCommPropMaxBaud, 0x10000000);
    storeLe32(out, kCommPropProvSubType, 1);
    storeLe32(out, kCommPropProvCapabilities, 0xFF);
    storeLe32(out, kCommPropSettableParams, 0x7F);
    storeLe32(out, kCommPropSettableBaud, 0x7FFFF);
    storeLe16(out, kCommPropSettableData, 0x000F);
    storeLe16(out, kCommPropSettableStopParity, 0x1F07);
    storeLe32(out, kCommPropCurrentTxQueue, 0);
    storeLe32(out, kCommPropCurrentRxQueue, kBufferSize);
}

// The outcome of one serial request: completed with a status and a byte
// count, completed after sending a packet, or kept pending.
struct Outcome {
    NtStatus status = kStatusSuccess;
    std::size_t information = 0;
    bool send = false;
    ControlPacket packet;
    bool kept = false;
};

Outcome fail(NtStatus status) { return Outcome { status, 0, false, {}, false }; }
Outcome done(std::size_t information = 0) { return Outcome { kStatusSuccess, information, false, {}, false }; }
Outcome sending(ControlPacket packet) { return Outcome { kStatusSuccess, 0, true, packet, false }; }

class SerialRequest {
public:
    SerialRequest(PortDevice& port, const RequestPtr& request)
        : m_port(port)
        , m_serial(port.serial)
        , m_request(request)
        , m_in(request->input())
        , m_out(request->output())
    {
    }

    // Runs the request with the data lock held.
    Outcome run()
    {
        switch (m_request->ioControlCode()) {
        case kIoctlSerialSetBaudRate:
            return needIn(kSerialBaudRateSize) ? setBaudRate() : tooSmall();
        case kIoctlSerialSetQueueSize:
            if (!needIn(kSerialQueueSizeSize))
                return tooSmall();
            m_serial.queueSize = std::max(m_serial.queueSize, loadLe32(m_in, 0));
            return done();
        case kIoctlSerialSetLineControl:
            return needIn(kSerialLineControlSize) ? setLineControl() : tooSmall();
        case kIoctlSerialSetBreakOn:
            return sending(ControlPacket::make(kCodeBreakOn));
        case kIoctlSerialSetBreakOff:
            return sending(ControlPacket::make(kCodeBreakOff));
        case kIoctlSerialSetTimeouts:
            return needIn(kSerialTimeoutsSize) ? setTimeouts() : tooSmall();
        case kIoctlSerialGetTimeouts:
            if (!needOut(kSerialTimeoutsSize))
                return tooSmall();
            storeLe32(m_out, 0, m_serial.timeouts.readIntervalTimeout);
            storeLe32(m_out, 4, m_serial.timeouts.readTotalTimeoutMultiplier);
            storeLe32(m_out, 8, m_serial.timeouts.readTotalTimeoutConstant);
            storeLe32(m_out, 12, m_serial.timeouts.writeTotalTimeoutMultiplier);
            storeLe32(m_out, 16, m_serial.timeouts.writeTotalTimeoutConstant);
            return done(kSerialTimeoutsSize);
        case kIoctlSerialSetDtr:
        case kIoctlSerialClrDtr:
            return setDtr(m_request->ioControlCode() == kIoctlSerialSetDtr);
        case kIoctlSerialResetDevice:
            return done();
        case kIoctlSerialSetRts:
        case kIoctlSerialClrRts:
            return setRts(m_request->ioControlCode() == kIoctlSerialSetRts);
        case kIoctlSerialSetXoff:
            return sending(ControlPacket::make(kCodeXoff, m_serial.chars.xoffChar));
        case kIoctlSerialSetXon:
            return sending(ControlPacket::make(kCodeXon, m_serial.chars.xonChar));
        case kIoctlSerialGetWaitMask:
            return word(m_serial.waitMask);
        case kIoctlSerialSetWaitMask:
            return needIn(4) ? setWaitMask() : tooSmall();
        case kIoctlSerialWaitOnMask:
            return needOut(4) ? waitOnMask() : tooSmall();
        case kIoctlSerialPurge:
            if (!needIn(4))
                return tooSmall();
            // Whatever the flags: there is no transmit queue, and a pending read stays.
            emptyReceiveBuffers(m_port);
            return done(4);
        case kIoctlSerialGetBaudRate:
            return word(m_serial.baudRate);
        case kIoctlSerialGetLineControl:
            if (!needOut(kSerialLineControlSize))
                return tooSmall();
            m_out[0] = m_serial.stopBits;
            m_out[1] = m_serial.parity;
            m_out[2] = m_serial.wordLength;
            return done(kSerialLineControlSize);
        case kIoctlSerialGetChars:
            if (!needOut(kSerialCharsSize))
                return tooSmall();
            m_out[0] = m_serial.chars.eofChar;
            m_out[1] = m_serial.chars.errorChar;
            m_out[2] = m_serial.chars.breakChar;
            m_out[3] = m_serial.chars.eventChar;
            m_out[4] = m_serial.chars.xonChar;
            m_out[5] = m_serial.chars.xoffChar;
            return done(kSerialCharsSize);
        case kIoctlSerialSetChars:
            if (!needIn(kSerialCharsSize))
                return tooSmall();
            m_serial.chars = SerialChars { m_in[0], m_in[1], m_in[2], m_in[3], m_in[4], m_in[5] };
            return done();
        case kIoctlSerialGetHandflow:
            if (!needOut(kSerialHandflowSize))
                return tooSmall();
            storeLe32(m_out, 0, m_serial.handflow.controlHandShake);
            storeLe32(m_out, 4, m_serial.handflow.flowReplace);
            storeLe32(m_out, 8, static_cast<std::uint32_t>(m_serial.handflow.xonLimit));
            storeLe32(m_out, 12, static_cast<std::uint32_t>(m_serial.handflow.xoffLimit));
            return done(kSerialHandflowSize);
        case kIoctlSerialSetHandflow:
            return needIn(kSerialHandflowSize) ? setHandflow() : tooSmall();
        case kIoctlSerialGetModemStatus:
            return word(m_serial.modemStatus);
        case kIoctlSerialGetCommStatus:
            return needOut(kSerialStatusSize) ? commStatus() : tooSmall();
        case kIoctlSerialXoffCounter:
            if (!needIn(kSerialXoffCounterSize))
                return tooSmall();
            // The count in the second field must be positive; nothing else is done.
            return static_cast<std::int32_t>(loadLe32(m_in, 4)) <= 0 ? fail(kStatusInvalidParameter) : done();
        case kIoctlSerialGetProperties:
            if (!needOut(kSerialCommPropSize))
                return tooSmall();
            fillProperties(m_out);
            return done(kSerialCommPropSize);
        case kIoctlSerialGetDtrRts:
            return word(m_serial.modemControl);
        case kIoctlSerialLsrMstInsert:
            return needIn(1) ? lsrMstInsert() : tooSmall();
        case kIoctlSerialConfigSize:
            return word(0);
        case kIoctlSerialGetStats:
            if (!needOut(kSerialPerfStatsSize))
                return tooSmall();
            storeLe32(m_out, 0, m_serial.stats.receivedCount);
            storeLe32(m_out, 4, m_serial.stats.transmittedCount);
            storeLe32(m_out, 8, m_serial.stats.frameErrorCount);
            storeLe32(m_out, 12, m_serial.stats.serialOverrunErrorCount);
            storeLe32(m_out, 16, m_serial.stats.bufferOverrunErrorCount);
            storeLe32(m_out, 20, m_serial.stats.parityErrorCount);
            return done(kSerialPerfStatsSize);
        case kIoctlSerialClearStats:
            m_serial.stats = PerfStats {};
            return done();
        case kIoctlSerialGetModemControl:
            return done(); // answers nothing
        case kIoctlSerialSetModemControl:
            return needIn(4) ? sending(ControlPacket::make(kCodeModemControl, m_in[0])) : tooSmall();
        case kIoctlSerialSetFifoControl:
            return needIn(4) ? sending(ControlPacket::make(kCodeFifoControl, m_in[0])) : tooSmall();
        default:
            return fail(kStatusInvalidDeviceRequest);
        }
    }

private:
    bool needIn(std::size_t size) const { return m_in.size() >= size; }
    bool needOut(std::size_t size) const { return m_out.size() >= size; }
    static Outcome tooSmall() { return fail(kStatusBufferTooSmall); }

    Outcome word(std::uint32_t value)
    {
        if (!needOut(4))
            return tooSmall();
        storeLe32(m_out, 0, value);
        return done(4);
    }

    // A refused rate or line control leaves the port as it was: what a
    // program reads back, and what writes are paced at, is what the device
    // server was told.
    Outcome setBaudRate()
    {
        const std::uint32_t requested = loadLe32(m_in, 0);
        const std::uint32_t rate = requested < 10 ? 9600 : requested;
        for (const auto& entry : kBaudCodes) {
            if (entry.rate == requested) {
                m_serial.baudRate = rate;
                m_serial.baudCode = entry.code;
                m_serial.baudPending = true;
                return done();
            }
        }
        // RFC 2217 carries any 32-bit rate; the native packet only a code.
        if (speaksRfc2217(m_port.config) && requested != 0) {
            m_serial.baudRate = rate;
            m_serial.baudPending = true;
            return done();
        }
        return fail(kStatusInvalidParameter);
    }

    Outcome setLineControl()
    {
        const int value = lineControlByte(m_in[0], m_in[1], m_in[2]);
        if (value < 0)
            return fail(kStatusInvalidParameter);
        m_serial.stopBits = m_in[0];
        m_serial.parity = m_in[1];
        m_serial.wordLength = m_in[2];
        m_serial.lineControl = static_cast<std::uint8_t>(value);
        // The device server learns a new rate only together with the line control.
        if (m_serial.baudPending) {
            m_serial.baudPending = false;
            return sending(ControlPacket::make(kCodeBaudAndLineControl, m_serial.baudCode, m_serial.lineControl));
        }
        return sending(ControlPacket::make(kCodeLineControl, m_serial.lineControl));
    }

    Outcome setTimeouts()
    {
        SerialTimeouts timeouts { loadLe32(m_in, 0), loadLe32(m_in, 4), loadLe32(m_in, 8), loadLe32(m_in, 12),
            loadLe32(m_in, 16) };
        if (timeouts.readIntervalTimeout == 0xFFFFFFFF && timeouts.readTotalTimeoutMultiplier == 0xFFFFFFFF
            && timeouts.readTotalTimeoutConstant == 0xFFFFFFFF)
            return fail(kStatusInvalidParameter);
        m_serial.timeouts = timeouts;
        return done();
    }

    Outcome setDtr(bool on)
    {
        if ((m_serial.handflow.controlHandShake & kSerialDtrMask) == kSerialDtrHandshake)
            return fail(kStatusInvalidParameter);
        // The lines loop back locally until the device server reports.
        if (on) {
            m_serial.modemControl |= kSerialDtrState;
            m_serial.modemStatus |= kModemStatusDsr;
        } else {
            m_serial.modemControl &= ~kSerialDtrState;
            m_serial.modemStatus &= ~kModemStatusDsr;
        }
        return sending(ControlPacket::make(on ? kCodeSetDtr : kCodeClearDtr));
    }

    Outcome setRts(bool on)
    {
        const std::uint32_t rts = m_serial.handflow.flowReplace & kSerialRtsMask;
        if (rts == kSerialRtsHandshake || rts == kSerialTransmitToggle)
            return fail(kStatusInvalidParameter);
        if (on) {
            m_serial.modemControl |= kSerialRtsState;
            m_serial.modemStatus |= kModemStatusCts;
        } else {
            m_serial.modemControl &= ~kSerialRtsState;
            m_serial.modemStatus &= ~kModemStatusCts;
        }
        return sending(ControlPacket::make(on ? kCodeSetRts : kCodeClearRts));
    }

    Outcome setWaitMask()
    {
        const std::uint32_t mask = loadLe32(m_in, 0);
        if (mask & ~kSerialEvAllBits)
            return fail(kStatusInvalidParameter);
        completePendingWait(m_port, 0);
        m_serial.waitMask = mask;
        return done();
    }

    Outcome waitOnMask()
    {
        if (m_port.pendingWait)
            return fail(kStatusInvalidParameter);
        if (m_serial.pendingEvents) {
            storeLe32(m_out, 0, m_serial.pendingEvents);
            m_serial.pendingEvents = 0;
            return done(4);
        }
        m_request->markPending();
        m_port.pendingWait = m_request;
        Outcome outcome;
        outcome.kept = true;
        return outcome;
    }

    Outcome setHandflow()
    {
        SerialHandflow handflow { loadLe32(m_in, 0), loadLe32(m_in, 4), static_cast<std::int32_t>(loadLe32(m_in, 8)),
            static_cast<std::int32_t>(loadLe32(m_in, 12)) };
        const auto queueSize = static_cast<std::int64_t>(m_serial.queueSize);
        if ((handflow.controlHandShake & 0x7FFFFF84) || (handflow.flowReplace & 0x7FFFFF20)
            || (handflow.controlHandShake & kSerialDtrMask) == kSerialDtrMask || handflow.xonLimit < 0
            || handflow.xoffLimit < 0 || handflow.xonLimit > queueSize || handflow.xoffLimit > queueSize)
            return fail(kStatusInvalidParameter);
        m_serial.handflow = handflow;
        return sending(ControlPacket::make(kCodeFlowControl, flowControlCode(handflow)));
    }

    Outcome commStatus()
    {
        const CommStatus& status = m_serial.commStatus;
        std::fill_n(m_out.begin(), kSerialStatusSize, std::uint8_t { 0 });
        storeLe32(m_out, 0, status.errors);
        storeLe32(m_out, 4, status.holdReasons);
        storeLe32(m_out, 8, status.amountInInQueue);
        storeLe32(m_out, 12, status.amountInOutQueue);
        m_out[16] = status.eofReceived;
        m_out[17] = status.waitForImmediate;
        return done(kSerialStatusSize);
    }

    Outcome lsrMstInsert()
    {
        const std::uint8_t escape = m_in[0];
        if (escape != 0
            && (escape == m_serial.chars.xonChar || escape == m_serial.chars.xoffChar
                || (m_serial.handflow.flowReplace & kSerialErrorChar)))
            return fail(kStatusInvalidParameter);
        m_serial.escapeChar = escape;
        return done();
    }

    PortDevice& m_port;
    SerialState& m_serial;
    const RequestPtr& m_request;
    std::span<const std::uint8_t> m_in;
    std::span<std::uint8_t> m_out;
};

} // namespace

NtStatus sendControl(PortDevice& port, const ControlPacket& packet)
{
    if (!port.transport || !carriesSettings(port.config) || !port.transport->connected())
        return kStatusSuccess;
    return port.transport->sendControlPacket(packet);
}

void completePendingWait(PortDevice& port, std::uint32_t events)
{
    if (!port.pendingWait)
        return;
    RequestPtr wait = std::move(port.pendingWait);
    port.pendingWait = nullptr;
    storeLe32(wait->output(), 0, events);
    wait->complete(kStatusSuccess, 4);
    releaseRequest(port); // counter lock under the data lock: the one permitted nesting
}

void emptyReceiveBuffers(PortDevice& port)
{
    if (!port.buffers)
        return;
    port.buffers->receiveRead = 0;
    port.buffers->receiveWrite = 0;
    port.serial.commStatus.amountInInQueue = 0;
    // A stopped device server would otherwise wait for a read that never
    // comes: nothing is left to read.
    resumeIfDrained(port);
}

void resetReassembly(PortDevice& port)
{
    if (port.buffers)
        port.buffers->reassemblyFill = 0;
}

NtStatus serialControl(PortDevice& port, const RequestPtr& request)
{
    if (request->ioControlCode() == kIoctlSerialImmediateChar) {
        // Goes the way of a write whose data never arrives: nothing to send
        // when its length is 0, and no buffer to send from otherwise.
        std::size_t information = 0;
        const NtStatus status = request->output().empty() ? kStatusSuccess : writeBytes(port, {}, false, information);
        completeRequest(*request, status);
        releaseRequest(port);
        return status;
    }
    Outcome outcome;
    {
        std::lock_guard lock(port.dataLock);
        outcome = SerialRequest(port, request).run();
    }
    if (outcome.kept)
        return kStatusPending; // counted until it completes
    // A purge makes room for a connection held back by a full buffer, and
    // empties the device server's buffers where the link can say so.
    if (request->ioControlCode() == kIoctlSerialPurge && port.transport) {
        port.transport->resumeReceive();
        if (ntSuccess(outcome.status))
            outcome.status = port.transport->purge(loadLe32(request->input(), 0));
    }
    // The local state has changed already; a failed send becomes the status.
    if (outcome.send)
        outcome.status = sendControl(port, outcome.packet);
    completeRequest(*request, outcome.status, ntSuccess(outcome.status) ? outcome.information : 0);
    releaseRequest(port);
    return outcome.status;
}

} // namespace driver
