#pragma once

#include "driver/port_device.h"

#include <string_view>

namespace driver {

// Names an unnamed port (DOS link and SERIALCOMM value), as the naming at
// start does; STATUS_UNSUCCESSFUL when it has a link or a value already.
NtStatus createDosNameIfUnnamed(PortDevice& port, std::string_view portName);

// Moves the port's DOS link to `portName`; the SERIALCOMM value stays as it
// is (the utility keeps it). STATUS_INVALID_DEVICE_STATE for a port that was
// never named. When the new link cannot be created (the name belongs to
// another port) the old link and name stay and the failure is returned, so a
// port never loses its name to a rename that did not happen.
NtStatus moveDosLink(PortDevice& port, std::string_view portName);

// The port's name ("COM5"), empty without one.
std::string currentPortName(PortDevice& port);

} // namespace driver
