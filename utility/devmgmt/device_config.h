#pragma once

#include "utility/devmgmt/protocol.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace utility::devmgmt {

// The 43 items of a device's settings, numbered as the lines of the device
// setting file.
enum class Item : int {
    DeviceName = 1,
    MacAddress = 2,
    ClientMode = 3,
    Dhcp = 4,
    DynamicIp = 5, // the device's current address; commands go there
    StaticIp = 6,
    DataPort = 7,
    BroadcastPort = 8,
    MulticastPort = 9,
    DestinationIp = 10, // "Reserved" in the setting file
    ClientDestinationPort = 11,
    Udp = 12,
    AutoConnect = 13,
    Tcp = 14,
    Broadcast = 15,
    Multicast = 16,
    Netmask = 17,
    Gateway = 18,
    Dns = 19,
    ConnectionTimeout = 20,
    TransmissionTimer = 21,
    AccessibleIpCheck = 22,
    AccessibleIp1 = 23,
    AccessibleIp2 = 24,
    AccessibleIp3 = 25,
    AccessibleIp4 = 26,
    SmtpDomain = 27,
    SmtpFrom = 28,
    SmtpTo1 = 29,
    SmtpTo2 = 30,
    SmtpTo3 = 31,
    SmtpUser = 32,
    SmtpPassword = 33,
    SmtpEvents = 34,
    DestinationHost = 35,
    BaudRate = 36,
    DataBits = 37,
    Parity = 38,
    StopBits = 39,
    FlowControl = 40,
    Rs485Mode = 41,
    TftpServer = 42,
    FirmwareFile = 43,
};

inline constexpr int kItemCount = 43;

// The item values as texts, in the forms of the device setting file: decimal
// numbers, dotted addresses, 0/1 switches, the MAC as "00-11-22-33-44-55" and
// the SMTP event bits as four upper-case hexadecimal digits, low byte first.
struct DeviceItems {
    std::array<std::string, kItemCount> values; // values[0] is item 1

    std::string& operator[](Item item) { return values[static_cast<std::size_t>(item) - 1]; }
    const std::string& operator[](Item item) const { return values[static_cast<std::size_t>(item) - 1]; }
    bool operator==(const DeviceItems&) const = default;
};

// Byte offsets of the record that other parts of the program look at directly.
namespace offset {
inline constexpr std::size_t kOptions = 9; // bit 1 auto connect; bit 0 set in SetConfig
inline constexpr std::size_t kName = 10;
inline constexpr std::size_t kMac = 26;
inline constexpr std::size_t kFlags = 32;
inline constexpr std::size_t kTimeout = 33;
inline constexpr std::size_t kCurrentIp = 34;
inline constexpr std::size_t kStaticIp = 38;
inline constexpr std::size_t kDataPort = 42;
inline constexpr std::size_t kBroadcastPort = 44;
inline constexpr std::size_t kMulticastPort = 46;
inline constexpr std::size_t kDestinationIp = 48;
inline constexpr std::size_t kClientPort = 52;
inline constexpr std::size_t kNetmask = 54;
inline constexpr std::size_t kGateway = 58;
inline constexpr std::size_t kDns = 62;
inline constexpr std::size_t kSerialFormat = 66; // baud code, data bits code
inline constexpr std::size_t kSerialControl = 67; // parity, flow control, stop bits codes
inline constexpr std::size_t kRs485Mode = 68;
inline constexpr std::size_t kConnectionState = 69;
inline constexpr std::size_t kTransmissionTimer = 70;
inline constexpr std::size_t kAccessibleIp = 72; // four addresses
inline constexpr std::size_t kSmtpDomain = 88;
inline constexpr std::size_t kSmtpFrom = 124;
inline constexpr std::size_t kSmtpTo = 160; // three texts
inline constexpr std::size_t kSmtpEvents = 268;
inline constexpr std::size_t kDestinationHost = 270;
inline constexpr std::size_t kTftpServer = 306;
inline constexpr std::size_t kFirmwareFile = 310;
} // namespace offset

inline constexpr std::size_t kNameSize = 16;
inline constexpr std::size_t kTextSize = 36;
inline constexpr std::size_t kFileNameSize = 128;

// Bits of the flag byte (offset 32).
namespace flag {
inline constexpr std::uint8_t kClient = 0x80;
inline constexpr std::uint8_t kDhcp = 0x40;
inline constexpr std::uint8_t kAccessibleIpCheck = 0x10;
inline constexpr std::uint8_t kUdp = 0x08;
inline constexpr std::uint8_t kTcp = 0x04;
inline constexpr std::uint8_t kMulticast = 0x02;
inline constexpr std::uint8_t kBroadcast = 0x01;
} // namespace flag

// Data-channel state at offset 69.
inline constexpr std::uint8_t kStateIdle = 0;
inline constexpr std::uint8_t kStateConnected = 1;

// The 438-byte device settings record, header included, as QueryReply,
// SetConfigReply, RestoreReply, RebootReply and SetConfig carry it.
struct DeviceConfig {
    std::array<std::uint8_t, kRecordSize> bytes {};

    // The record at the start of a received reply. Bytes the datagram does not
    // have read as zero, as they do in the zero-wiped receive buffers.
    static DeviceConfig fromDatagram(std::span<const std::uint8_t> datagram);

    int type() const { return bytes[kOpcodeOffset] & 0x0F; }
    MacAddress mac() const;
    // Name by the text rule, dropping bytes 0xCC.
    std::string name() const;
    std::uint8_t flags() const { return bytes[offset::kFlags]; }
    platform::Ipv4 currentAddress() const { return address(offset::kCurrentIp); }
    std::uint16_t dataPort() const { return port(offset::kDataPort); }
    std::uint16_t clientPort() const { return port(offset::kClientPort); }
    std::uint8_t connectionState() const { return bytes[offset::kConnectionState]; }

    platform::Ipv4 address(std::size_t at) const;
    std::uint16_t port(std::size_t at) const;
    bool operator==(const DeviceConfig&) const = default;
};

// Builds a SetConfig from the 43 item texts. The MAC is always the device's
// stored one, never the MAC text; items 8 and 9 are always written as 25122
// and 25123; items 32 and 33 have no place in the record. Texts longer than
// their field are cut at the field.
DeviceConfig buildSetConfig(const DeviceItems& items, const MacAddress& storedMac);

// The 43 item values of a record as texts (items 32 and 33 are empty).
DeviceItems parseItems(const DeviceConfig& record);

// "00-11-22-33-44-55", upper-case.
std::string formatMac(const MacAddress& mac);

} // namespace utility::devmgmt
