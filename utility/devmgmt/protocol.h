#pragma once

#include "platform/net.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace utility::devmgmt {

// Every device-management datagram, in both directions, starts with these
// eight bytes (no terminator) followed by the opcode byte.
inline constexpr std::array<std::uint8_t, 8> kSignature = { 'Z', 'O', 'R', 'V', 'V', 'R', 'O', 'Z' };
inline constexpr std::size_t kHeaderSize = 9;
inline constexpr std::size_t kOpcodeOffset = 8;

// Datagram sizes.
inline constexpr std::size_t kRecordSize = 438; // DeviceConfig and the identification requests
inline constexpr std::size_t kUpgradeSize = 164;
inline constexpr std::size_t kConnectNoticeSize = 16;
inline constexpr std::size_t kMaxDatagram = 2000; // every receive buffer holds this much
inline constexpr std::size_t kStatusReadLimit = 128; // the monitor reads no more of a StatusReply
inline constexpr std::size_t kStatusReplyMinSize = 30;
inline constexpr std::size_t kRingSlots = 256;

// Device side.
inline constexpr std::uint16_t kDeviceBroadcastPort = 25122;
inline constexpr std::uint16_t kDeviceMulticastPort = 25123;
inline constexpr std::uint16_t kDeviceCommandPort = 25124;
// Utility side.
inline constexpr std::uint16_t kBroadcastSearchPort = 25120;
inline constexpr std::uint16_t kMulticastSearchPort = 25121;
inline constexpr std::uint16_t kCommandPort = 25125;
inline constexpr std::uint16_t kWatchPort = 25126; // the virtual-port manager's Query endpoint

inline constexpr std::string_view kDefaultBroadcastAddress = "255.255.255.255";
inline constexpr std::string_view kDefaultMulticastGroup = "225.1.2.3";

// Byte 8. The low four bits name the operation; replies are recognised by
// their low nibble only (a QueryReply may arrive as 0x01 or 0x11).
namespace opcode {
inline constexpr std::uint8_t kQuery = 0x00;
inline constexpr std::uint8_t kQueryReply = 0x01;
inline constexpr std::uint8_t kSetConfig = 0x02;
inline constexpr std::uint8_t kSetConfigReply = 0x03;
inline constexpr std::uint8_t kUpgrade = 0x05;
inline constexpr std::uint8_t kRestore = 0x08;
inline constexpr std::uint8_t kRestoreReply = 0x09;
inline constexpr std::uint8_t kReboot = 0x0B;
inline constexpr std::uint8_t kRebootReply = 0x0C;
inline constexpr std::uint8_t kStatusQuery = 0x10;
inline constexpr std::uint8_t kStatusReply = 0x11;
inline constexpr std::uint8_t kConnectNotice = 0x12;
} // namespace opcode

using MacAddress = std::array<std::uint8_t, 6>;

// True when the datagram begins with the signature.
bool hasSignature(std::span<const std::uint8_t> datagram);
// Low four bits of byte 8, or -1 when the datagram is shorter than the header.
int recordType(std::span<const std::uint8_t> datagram);

// IPv4 address text to its four bytes in text order. Each dot-separated part is
// read as a decimal number and stored modulo 256 ("10.0.0.300" gives 10,0,0,44);
// the first three parts give bytes 0..2 and the part after the last dot byte 3.
// Only the leading decimal digits of a part count; a part without any, and a
// part that is missing altogether, gives 0.
std::array<std::uint8_t, 4> addressBytes(std::string_view text);

std::array<std::uint8_t, kHeaderSize> buildQuery();
std::array<std::uint8_t, kHeaderSize> buildStatusQuery();

// Identification requests: name as shown in the device table (cut at 16
// bytes, zero-padded, no terminator when 16 long) and the device's MAC.
std::array<std::uint8_t, kRecordSize> buildRestore(std::string_view deviceName, const MacAddress& mac);
std::array<std::uint8_t, kRecordSize> buildReboot(std::string_view deviceName, const MacAddress& mac);

// Tells a device to fetch `fileName` (cut at 128 bytes) from the TFTP server.
std::array<std::uint8_t, kUpgradeSize> buildUpgrade(
    std::string_view deviceName, const MacAddress& mac, platform::Ipv4 tftpServer, std::string_view fileName);

// Tells a device where the utility's virtual port listens.
std::array<std::uint8_t, kConnectNoticeSize> buildConnectNotice(platform::Ipv4 hostAddress, std::uint16_t port);

struct StatusReply {
    std::uint8_t modemStatus = 0;
    std::string firmwareVersion; // up to 12 characters
    std::uint32_t bytesSent = 0;
    std::uint32_t bytesReceived = 0;
};

// Reads a StatusReply (only its first 128 bytes are looked at). A datagram
// shorter than 30 bytes, without the signature or with byte 8 other than
// 0x11 gives nothing.
std::optional<StatusReply> parseStatusReply(std::span<const std::uint8_t> datagram);

} // namespace utility::devmgmt
