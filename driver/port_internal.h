#pragma once

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
// Sends a control packet when the port is connected and framed; success otherwise.
NtStatus sendControl(PortDevice& port, const ControlPacket& packet);
// Completes the pending wait-on-mask request with `events`; data lock held.
void completePendingWait(PortDevice& port, std::uint32_t events);
// Empties the receive and reassembly buffers; data lock held.
void emptyReceiveBuffers(PortDevice& port);

} // namespace driver
