#pragma once

#include "platform/net.h"
#include "platform/result.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim::devsim {

// The device side of the management datagrams. This encoding is the device's
// own and is kept apart from the utility's on purpose: each one checks the
// other.

inline constexpr std::string_view kSignature = "ZORVVROZ";
inline constexpr std::size_t kHeaderSize = 9;
inline constexpr std::size_t kDeviceConfigSize = 438;
inline constexpr std::size_t kUpgradeSize = 164;
inline constexpr std::size_t kStatusReplySize = 30;
inline constexpr std::size_t kConnectNoticeSize = 16;

inline constexpr std::uint16_t kBroadcastPort = 25122;
inline constexpr std::uint16_t kMulticastPort = 25123;
inline constexpr std::uint16_t kUnicastPort = 25124;
inline constexpr std::string_view kDefaultMulticastGroup = "225.1.2.3";

// Byte 8 of a datagram.
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

// Text for a log line ("Query", "SetConfigReply", "opcode 0x4E").
std::string opcodeName(std::uint8_t code);

using Mac = std::array<std::uint8_t, 6>;
std::string formatMac(const Mac& mac); // "02:44:53:00:00:01"
bool parseMac(std::string_view text, Mac& mac);

// Bits of the flags byte (offset 32).
namespace flag {
inline constexpr std::uint8_t kClientMode = 0x80;
inline constexpr std::uint8_t kDhcp = 0x40;
inline constexpr std::uint8_t kAccessCheck = 0x10;
inline constexpr std::uint8_t kUdpData = 0x08;
inline constexpr std::uint8_t kTcpData = 0x04;
inline constexpr std::uint8_t kMulticastManagement = 0x02;
inline constexpr std::uint8_t kBroadcastManagement = 0x01;
} // namespace flag

// Bit 1 of byte 9.
inline constexpr std::uint8_t kAutoConnectBit = 0x02;

// Field widths of the record's texts.
inline constexpr std::size_t kNameSize = 16;
inline constexpr std::size_t kSmtpTextSize = 36;
inline constexpr std::size_t kDestinationHostSize = 36;
inline constexpr std::size_t kFileNameSize = 128;

// The serial code tables: the index is the code stored in the record.
inline constexpr std::array<std::uint32_t, 9> kBaudRates
    = { 921600, 115200, 57600, 38400, 19200, 9600, 4800, 2400, 1200 };
inline constexpr std::array<int, 4> kDataBits = { 5, 6, 7, 8 };
inline constexpr std::array<std::string_view, 3> kParityNames = { "odd", "even", "none" };
inline constexpr std::array<std::string_view, 3> kStopBitNames = { "1", "1.5", "2" };
inline constexpr std::array<std::string_view, 3> kFlowControlNames = { "xon-xoff", "hardware", "none" };

// A device's settings: every item the record carries, decoded. The MAC is
// the device's identity and never changes through the protocol.
struct DeviceConfig {
    std::string name;
    Mac mac {};
    bool autoConnect = false;
    // Flags byte.
    bool clientMode = false;
    bool dhcp = false;
    bool accessCheck = false;
    bool udpData = false;
    bool tcpData = true;
    bool multicastManagement = true;
    bool broadcastManagement = true;
    std::uint8_t connectionTimeout = 0; // minutes
    platform::Ipv4 currentAddress = 0;
    platform::Ipv4 staticAddress = 0;
    std::uint16_t dataPort = 5000;
    std::uint16_t broadcastPort = kBroadcastPort;
    std::uint16_t multicastPort = kMulticastPort;
    platform::Ipv4 destinationAddress = 0;
    std::uint16_t destinationPort = 5000;
    platform::Ipv4 netmask = 0xFF000000;
    platform::Ipv4 gateway = 0;
    platform::Ipv4 dns = 0;
    std::uint8_t baudCode = 1; // 115200
    std::uint8_t dataBitsCode = 3; // 8
    std::uint8_t parityCode = 2; // none
    std::uint8_t flowControlCode = 2; // none
    std::uint8_t stopBitsCode = 0; // 1
    std::uint8_t rs485Mode = 0;
    std::uint16_t transmissionTimer = 10; // ms
    std::array<platform::Ipv4, 4> accessibleIps {};
    std::string smtpDomain;
    std::string smtpFrom;
    std::array<std::string, 3> smtpTo;
    std::uint16_t smtpEvents = 0;
    std::string destinationHost;
    platform::Ipv4 upgradeServer = 0;
    std::string upgradeFile;

    bool operator==(const DeviceConfig&) const = default;
};

// Builds the 438-byte record with the given opcode in byte 8. The
// connection state (byte 69) is the device's live state, not a setting.
// Texts longer than their field are cut at the field's width.
std::vector<std::uint8_t> encodeDeviceConfig(
    const DeviceConfig& config, std::uint8_t code, std::uint8_t connectionState);

// Reads the settings from a record of at least 438 bytes (signature and
// opcode are the caller's business). Texts end at the first zero byte.
platform::Result<DeviceConfig> decodeDeviceConfig(std::span<const std::uint8_t> record);

// Big-endian helpers shared by the request and reply layouts.
void putUint16(std::span<std::uint8_t> out, std::size_t offset, std::uint16_t value);
void putUint32(std::span<std::uint8_t> out, std::size_t offset, std::uint32_t value);
std::uint16_t getUint16(std::span<const std::uint8_t> in, std::size_t offset);
std::uint32_t getUint32(std::span<const std::uint8_t> in, std::size_t offset);
// Text field: the characters, a zero byte if shorter, zero up to the width.
void putText(std::span<std::uint8_t> out, std::size_t offset, std::size_t width, std::string_view text);
// Bytes up to the first zero byte or the field's end.
std::string getText(std::span<const std::uint8_t> in, std::size_t offset, std::size_t width);

// True when the datagram starts with the signature and has a full header.
bool hasHeader(std::span<const std::uint8_t> datagram);

} // namespace sim::devsim
