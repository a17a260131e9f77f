#include "common/serial_ioctl.h"
#include "driver/host/host.h"
#include "driver/pacing.h"
#include "driver/port_internal.h"
#include "driver/receive_tap.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

namespace driver {

using namespace common;

namespace {

// How long a read with an interval timeout waits for data.
constexpr auto kReadWait = std::chrono::milliseconds(1);

// Copies up to `out.size()` unread bytes out of the ring; data lock held.
std::size_t takeReceived(PortDevice& port, std::span<std::uint8_t> out)
{
    PortBuffers& buffers = *port.buffers;
    std::uint32_t& unread = port.serial.commStatus.amountInInQueue;
    const std::size_t count = std::min<std::size_t>(out.size(), unread);
    const std::size_t first = std::min<std::size_t>(count, kBufferSize - buffers.receiveRead);
    std::memcpy(out.data(), buffers.receive.data() + buffers.receiveRead, first);
    std::memcpy(out.data() + first, buffers.receive.data(), count - first);
    buffers.receiveRead = static_cast<std::uint32_t>((buffers.receiveRead + count) % kBufferSize);
    unread -= static_cast<std::uint32_t>(count);
    return count;
}

// Appends to the ring and reports the arrival; data lock held.
std::uint32_t appendLocked(PortDevice& port, std::span<const std::uint8_t> bytes)
{
    PortBuffers& buffers = *port.buffers;
    SerialState& serial = port.serial;
    if (!port.openFlag.load()) {
        // What came before a program was on its way is not its own.
        const bool waiting = programWaitingLocked(port);
        if (waiting && !buffers.keptForProgram)
            emptyReceiveBuffers(port);
        buffers.keptForProgram = waiting;
    }
    if (port.receiveTap && !bytes.empty())
        port.receiveTap->arriving();
    if (port.receiveTap && serial.commStatus.amountInInQueue == 0 && !bytes.empty()) {
        bytes = bytes.subspan(port.receiveTap->offer(bytes));
        if (bytes.empty())
            return 0;
    }
    if (bytes.size() > kBufferSize)
        bytes = bytes.last(kBufferSize); // only the newest fit
    const std::size_t first = std::min<std::size_t>(bytes.size(), kBufferSize - buffers.receiveWrite);
    std::memcpy(buffers.receive.data() + buffers.receiveWrite, bytes.data(), first);
    std::memcpy(buffers.receive.data(), bytes.data() + first, bytes.size() - first);
    buffers.receiveWrite = static_cast<std::uint32_t>((buffers.receiveWrite + bytes.size()) % kBufferSize);
    std::uint64_t unread = serial.commStatus.amountInInQueue + bytes.size();
    if (unread > kBufferSize) {
        // The oldest bytes are overwritten.
        buffers.receiveRead = buffers.receiveWrite;
        unread = kBufferSize;
    }
    serial.commStatus.amountInInQueue = static_cast<std::uint32_t>(unread);

    constexpr std::uint32_t kArrivalEvents = kSerialEvRxChar | kSerialEvRlsd;
    if (serial.waitMask & kArrivalEvents) {
        if (port.pendingWait) {
            serial.commStatus.eofReceived = 1;
            const std::uint32_t events = serial.pendingEvents | kArrivalEvents;
            serial.pendingEvents = 0;
            completePendingWait(port, events);
        } else {
            serial.pendingEvents |= kArrivalEvents;
        }
    }
    return serial.commStatus.amountInInQueue;
}

// A stopped device server may send again once the receive buffer is below
// the resume level; data lock held. True when the resume is to be sent.
bool resumeDue(PortDevice& port)
{
    ReceiveFlow& flow = port.receiveFlow;
    if (flow.stopSent && port.serial.commStatus.amountInInQueue < kFlowResumeLevel && !flow.resumeSent) {
        flow.resumeSent = true;
        flow.stopSent = false;
        return true;
    }
    return false;
}

// Brings the device server to the state the flags ask for. Jobs queued while
// one runs may run beside it, so the sends are serialised and each run sends
// what the device has not been told yet, in order: a stop overtaken by a
// drain before it went out is not sent at all, and a resume never goes out
// ahead of the stop it answers.
void runFlowControlJob(PortDevice& port)
{
    if (host::atRaisedLevel()) {
        queueFlowControl(port);
        return;
    }
    std::lock_guard sending(port.flowSendMutex);
    for (;;) {
        std::uint8_t code = 0;
        std::uint8_t xonChar = 0;
        {
            std::lock_guard lock(port.dataLock);
            ReceiveFlow& flow = port.receiveFlow;
            if (flow.stopSent == flow.deviceStopped)
                return;
            flow.deviceStopped = flow.stopSent;
            code = flow.stopSent ? kCodeXoff : kCodeXon;
            // Both carry the XON character, as the device server expects.
            xonChar = port.serial.chars.xonChar;
        }
        (void)sendControl(port, ControlPacket::make(code, xonChar));
    }
}

void completePendingRead(PortDevice& port)
{
    std::size_t count = 0;
    {
        std::lock_guard lock(port.dataLock);
        if (!port.pendingRead)
            return;
        host::RequestPtr read = std::move(port.pendingRead);
        port.pendingRead = nullptr;
        count = takeReceived(port, read->output());
        resumeIfDrained(port);
        read->complete(kStatusSuccess, count);
    }
    // The read's count is held until the transport is no longer touched: a
    // removal waits for it before it takes the transport away.
    if (count > 0 && port.transport)
        port.transport->resumeReceive();
    releaseRequest(port);
}

} // namespace

std::uint32_t appendReceived(PortDevice& port, std::span<const std::uint8_t> bytes)
{
    std::lock_guard lock(port.dataLock);
    return appendLocked(port, bytes);
}

void replaceReceived(PortDevice& port, std::span<const std::uint8_t> bytes)
{
    std::lock_guard lock(port.dataLock);
    emptyReceiveBuffers(port);
    (void)appendLocked(port, bytes);
}

void releaseReceiveFlow(PortDevice& port)
{
    bool queue = false;
    {
        std::lock_guard lock(port.dataLock);
        ReceiveFlow& flow = port.receiveFlow;
        if (flow.stopSent) {
            flow.stopSent = false;
            flow.resumeSent = true;
            queue = true;
        }
    }
    if (queue)
        queueFlowControl(port);
}

void resumeIfDrained(PortDevice& port)
{
    if (resumeDue(port))
        queueFlowControl(port);
}

void flowThresholdReached(PortDevice& port)
{
    bool queue = false;
    {
        std::lock_guard lock(port.dataLock);
        // The program may have read the buffer down since the network thread
        // looked; a stop then would never be answered by a resume.
        // With no program reading, the buffer keeps the newest bytes instead.
        if (port.openFlag.load() && !port.receiveFlow.stopSent
            && port.serial.commStatus.amountInInQueue >= kFlowResumeLevel) {
            port.receiveFlow.stopSent = true;
            port.receiveFlow.resumeSent = false;
            queue = true;
        }
    }
    if (queue)
        queueFlowControl(port);
}

bool setReceiveTap(host::FileHandle& handle, ReceiveTap* tap)
{
    auto* port = handle.device().extensionAs<PortDevice>();
    if (!port || !port->buffers)
        return false;
    std::lock_guard lock(port->dataLock);
    port->receiveTap = tap;
    return true;
}

bool setProgramProbe(host::FileHandle& handle, std::weak_ptr<const ProgramProbe> probe)
{
    auto* port = handle.device().extensionAs<PortDevice>();
    if (!port || !port->buffers)
        return false;
    std::lock_guard lock(port->dataLock);
    port->programProbe = std::move(probe);
    return true;
}

bool programWaitingLocked(PortDevice& port)
{
    const auto probe = port.programProbe.lock();
    return probe && probe->programWaiting();
}

bool writesPaced(host::FileHandle& handle)
{
    auto* port = handle.device().extensionAs<PortDevice>();
    return !port || loadShared(port->config.pacing) != 0;
}

bool portConnected(host::FileHandle& handle)
{
    auto* port = handle.device().extensionAs<PortDevice>();
    if (!port || !port->transport)
        return false;
    return port->transport->connected() && !port->transport->reconnectPending();
}

void queueFlowControl(PortDevice& port) { (void)queueJob(port, PortJob::FlowControl, runFlowControlJob); }

NtStatus readRequest(PortDevice& port, const host::RequestPtr& request)
{
    if (request->output().empty())
        return completeRequest(*request, kStatusSuccess, 0);
    NtStatus status = kStatusSuccess;
    std::size_t count = 0;
    {
        std::lock_guard lock(port.dataLock);
        if (port.pendingRead)
            return completeRequest(*request, kStatusInvalidDeviceRequest);
        if (port.serial.commStatus.amountInInQueue > 0) {
            count = takeReceived(port, request->output());
            resumeIfDrained(port);
        } else if (port.serial.timeouts.readIntervalTimeout != 0) {
            // Whatever arrives within a millisecond is returned; the request
            // keeps its count until the timer completes it.
            request->markPending();
            port.pendingRead = request;
            port.readTimer->set(kReadWait, [&port] { completePendingRead(port); });
            status = kStatusPending;
        }
    }
    if (count > 0 && port.transport)
        port.transport->resumeReceive();
    if (status == kStatusPending)
        return status;
    return completeRequest(*request, status, count);
}

NtStatus writeBytes(PortDevice& port, std::span<const std::uint8_t> data, bool hasBuffer, std::size_t& information)
{
    information = 0;
    PortTransport* transport = port.transport.get();
    if (transport)
        (void)transport->reconnect(); // a failure leaves the port unconnected
    if (!transport || !transport->connected())
        return kStatusInvalidDeviceState;
    if (!hasBuffer)
        return kStatusInvalidParameter;

    const bool framed = framedStream(port.config);
    const std::size_t header = framed ? kPacketHeaderSize : 0;
    const std::size_t maxPacketLen = port.config.maxPacketLen;
    // A packet length that leaves no room for data would never finish.
    if (maxPacketLen <= header)
        return kStatusInvalidParameter;
    // Nor may a chunk outgrow the transmit buffer or the 16-bit length field.
    std::size_t chunkSize = std::min(maxPacketLen - header, kBufferSize - header);
    if (framed)
        chunkSize = std::min(chunkSize, kMaxPacketPayload);

    std::uint32_t baudRate = 0;
    {
        std::lock_guard lock(port.dataLock);
        baudRate = std::max<std::uint32_t>(port.serial.baudRate, 10);
    }

    // A paced write goes one chunk at a time, each when the line has carried
    // those before. Unpaced, a stream connection takes as many chunks as the
    // transmit buffer holds in one send: the device server sees the same
    // bytes (each framed chunk behind its own header) for far fewer system
    // calls. A datagram holds one packet.
    const bool paced = loadShared(port.config.pacing) != 0;
    const bool gather = !paced && (port.config.protocol == 0 || speaksRfc2217(port.config));

    NtStatus status = kStatusSuccess;
    std::lock_guard transmit(port.transmitMutex);
    LinePacer pacer(port.host->clock(), baudRate);
    PortBuffers& buffers = *port.buffers;
    for (std::size_t offset = 0; offset < data.size();) {
        std::size_t fill = 0;
        std::size_t carried = 0; // of the caller's bytes, in the buffer
        do {
            const std::size_t length = std::min(chunkSize, data.size() - offset - carried);
            if (fill + header + length > kBufferSize)
                break;
            if (framed) {
                buffers.transmit[fill] = kDataPacketType;
                buffers.transmit[fill + 1] = static_cast<std::uint8_t>(length >> 8);
                buffers.transmit[fill + 2] = static_cast<std::uint8_t>(length);
            }
            std::memcpy(buffers.transmit.data() + fill + header, data.data() + offset + carried, length);
            fill += header + length;
            carried += length;
        } while (gather && offset + carried < data.size());
        buffers.transmitFill = static_cast<std::uint32_t>(fill);
        std::size_t taken = 0;
        const NtStatus sent = transport->sendTransmitBuffer(std::span(buffers.transmit).first(fill), taken);
        resetTransmitBuffer(port);
        if (!ntSuccess(sent)) {
            // The write ends here: the caller learns that only the first
            // `information` bytes went. A packet cut short is not passed on
            // by the device server, so a framed stream counts only the whole
            // packets that went (all but the last are full), a raw one every
            // byte. Later bytes would follow a hole (and after a packet cut
            // short, a framed stream would be out of step), so a connection
            // that still lives is ended: the next one starts clean.
            if (!framed)
                information += std::min(taken, carried);
            else if (taken >= fill)
                information += carried;
            else
                information += std::min(taken / (header + chunkSize) * chunkSize, carried);
            if (transport->connected())
                transport->abandonStream();
            status = sent;
            break;
        }
        information += carried;
        offset += carried;
        // A device server that buffers enough can be sent to without pacing.
        if (paced)
            pacer.sent(carried);
    }

    std::lock_guard lock(port.dataLock);
    if (port.serial.waitMask & kSerialEvTxEmpty)
        port.serial.pendingEvents |= kSerialEvTxEmpty;
    return status;
}

void resetTransmitBuffer(PortDevice& port)
{
    PortBuffers& buffers = *port.buffers;
    if (framedStream(port.config)) {
        buffers.transmit[0] = kDataPacketType;
        buffers.transmit[1] = 0;
        buffers.transmit[2] = 0;
        buffers.transmitFill = kPacketHeaderSize;
    } else {
        buffers.transmitFill = 0;
    }
}

} // namespace driver
