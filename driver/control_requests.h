#pragma once

#include "driver/host/request.h"
#include "driver/port_device.h"

namespace driver {

// Runs one of the driver's own control requests (device type 0x22) on a
// started port whose request count it holds: completes the request and
// releases the count. Unknown codes complete with
// STATUS_INVALID_DEVICE_REQUEST.
NtStatus controlRequest(PortDevice& port, const host::RequestPtr& request);

// The link state IOCTL_GET_REMOTE_INFO reports: for a client (ConnType
// non-zero) whether it is connected, for a server whether it serves.
std::uint32_t linkState(const PortDevice& port);

} // namespace driver
