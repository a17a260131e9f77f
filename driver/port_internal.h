#pragma once

#include "driver/framing.h"
#include "driver/port_device.h"

#include <functional>
#include <span>
#include <string_view>

namespace driver {

// Request counting: every open, plug-and-play, device-control and write
// request holds one count while it runs. Adding fails once the port is gone.
bool acquireRequest(PortDevice& port);
void releaseRequest(PortDevice& port);

PortState portState(PortDevice& port);
void setPortState(PortDevice& port, PortState state);
void restorePreviousState(PortDevice& port);

NtStatus completeRequest(host::Request& request, NtStatus status, std::size_t information = 0);

// Queues one of the port's deferred jobs on its work item; false when it is
// already queued or the port's work items are gone.
bool queueJob(PortDevice& port, PortJob job, std::function<void(PortDevice&)> routine);

// Naming.
void runNamingJob(PortDevice& port);
NtStatus createDosName(PortDevice& port, std::string_view portName);
NtStatus deleteDosName(PortDevice& port);

// Configuration in the node's hardware key.
void loadConfiguration(PortDevice& port);

// Serial emulation. Completes the request, or keeps it and returns kStatusPending.
NtStatus serialControl(PortDevice& port, const host::RequestPtr& request);
// The line-control byte (16550 line control register layout) of a line
// control, or -1 for a combination the port rejects.
int lineControlByte(std::uint8_t stopBits, std::uint8_t parity, std::uint8_t wordLength);
// The flow-control code (0 none, 1 hardware, 2 software) of a handflow.
std::uint8_t flowControlCode(const SerialHandflow& handflow);
// Modem and line state reports of an RFC 2217 server (16550 layouts): the
// modem status and its events, the break and error events.
void reportModemState(PortDevice& port, std::uint8_t modemStatus);
void reportLineState(PortDevice& port, std::uint8_t lineStatus);
// Sends a control packet when the port is connected and carries settings
// (framed, or RFC 2217); success otherwise.
NtStatus sendControl(PortDevice& port, const ControlPacket& packet);
// Completes the pending wait-on-mask request with `events`; data lock held.
void completePendingWait(PortDevice& port, std::uint32_t events);
// Empties the receive buffer (and queues the resume when a stop is in
// force); data lock held. An incomplete framed packet stays in the
// reassembly buffer, so the stream keeps its packet boundaries.
void emptyReceiveBuffers(PortDevice& port);
// Forgets an incomplete framed packet; only when a new connection begins.
void resetReassembly(PortDevice& port);

// Data paths.
// Receive flow control: a stop goes out when the receive buffer holds this
// much, a resume once the buffer is below the second level again, whatever
// brought it there (a read, a purge, a new connection).
inline constexpr std::uint32_t kFlowStopLevel = 0x30000;
inline constexpr std::uint32_t kFlowResumeLevel = 0x10000;
// Appends bytes that arrived from the network to the receive buffer and
// reports the arrival; returns the unread count afterwards.
std::uint32_t appendReceived(PortDevice& port, std::span<const std::uint8_t> bytes);
// The port's program probe says a program is on its way; data lock held.
bool programWaitingLocked(PortDevice& port);
// Replaces whatever is unread with `bytes`.
void replaceReceived(PortDevice& port, std::span<const std::uint8_t> bytes);
// The receive buffer reached the stop level: sends the stop once.
void flowThresholdReached(PortDevice& port);
// The receive buffer gave up bytes: queues the resume when a stop is in force
// and the buffer is below the resume level; data lock held.
// The last handle closed: a device server stopped for a program that is gone
// may send again (the receive buffer keeps the newest bytes meanwhile).
void releaseReceiveFlow(PortDevice& port);
void resumeIfDrained(PortDevice& port);
void queueFlowControl(PortDevice& port);
// Completes the read, or keeps it for the read timer (kStatusPending; the
// request keeps its count until then).
NtStatus readRequest(PortDevice& port, const host::RequestPtr& request);
// Sends `data` in packets paced to the baud rate and returns the write's
// status. `information` is how many leading bytes of `data` the network took:
// the whole length with a success status; fewer, with the failed send's
// status, when a send failed (the peer left, the send limit passed), and the
// write stops there. `hasBuffer` is false for a request that carries no data.
NtStatus writeBytes(PortDevice& port, std::span<const std::uint8_t> data, bool hasBuffer, std::size_t& information);
// Puts the transmit buffer in its empty state; transmit mutex held.
void resetTransmitBuffer(PortDevice& port);

} // namespace driver
