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

// The driver host's own per-port options, each a REG_DWORD of its own beside
// the eight: seconds between reconnection attempts of a lost client (0 off),
// whether writes are paced to the emulated baud rate (0 off), and the wire
// protocol.
inline constexpr const char* kReconnectIntervalValue = "ReconnectInterval";
inline constexpr const char* kPacingValue = "Pacing";
// What the port speaks to its device server: kWireNative or kWireRfc2217.
inline constexpr const char* kWireProtocolValue = "WireProtocol";
inline constexpr std::uint32_t kMaxReconnectSeconds = 3600;
// Reads the options again (at every open, so devcon's changes apply to the
// next program).
void reloadOptions(PortDevice& port);

} // namespace driver
