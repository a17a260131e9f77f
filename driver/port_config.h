#pragma once

#include "driver/port_device.h"

namespace driver {

// The configuration values of the hardware key, in the order they are read
// and written: RemoteHostIP, RemoteHostPort, Protocol, ConnectAtWinStart,
// ConnType, CmdByte, MaxPacketLen, LocalPort.

// Writes the eight values from the port's configuration, stopping at the
// first failure, whose status is returned.
NtStatus storeConfiguration(PortDevice& port);

// Reads the eight values into the port's configuration, stopping at the first
// value that cannot be read, whose status is returned (the values read before
// it stay in effect). Data longer than 4 bytes leaves its field unchanged.
NtStatus reloadConfiguration(PortDevice& port);

} // namespace driver
