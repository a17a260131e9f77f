#pragma once

#include "common/byte_order.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace common {

// The port driver's own device-control requests and the records they carry,
// shared by the driver and the utility.

inline constexpr std::uint32_t kMethodBuffered = 0;
inline constexpr std::uint32_t kMethodOutDirect = 2;
inline constexpr std::uint32_t kFileAnyAccess = 0;

constexpr std::uint32_t ctlCode(
    std::uint32_t deviceType, std::uint32_t function, std::uint32_t method, std::uint32_t access)
{
    return deviceType << 16 | access << 14 | function << 2 | method;
}

inline constexpr std::uint32_t kIoctlCreateDosName = ctlCode(0x22, 0x807, kMethodOutDirect, kFileAnyAccess);
inline constexpr std::uint32_t kIoctlDeleteDosName = ctlCode(0x22, 0x808, kMethodOutDirect, kFileAnyAccess);
inline constexpr std::uint32_t kIoctlGetDosName = ctlCode(0x22, 0x809, kMethodBuffered, kFileAnyAccess);
inline constexpr std::uint32_t kIoctlQueryTransportInfo = ctlCode(0x22, 0x810, kMethodOutDirect, kFileAnyAccess);
inline constexpr std::uint32_t kIoctlSetDosName = ctlCode(0x22, 0x811, kMethodBuffered, kFileAnyAccess);
inline constexpr std::uint32_t kIoctlSetRemoteInfo = ctlCode(0x22, 0x812, kMethodBuffered, kFileAnyAccess);
inline constexpr std::uint32_t kIoctlConnection = ctlCode(0x22, 0x813, kMethodOutDirect, kFileAnyAccess);
inline constexpr std::uint32_t kIoctlDisconnection = ctlCode(0x22, 0x814, kMethodOutDirect, kFileAnyAccess);
inline constexpr std::uint32_t kIoctlCloseTransport = ctlCode(0x22, 0x815, kMethodOutDirect, kFileAnyAccess);
inline constexpr std::uint32_t kIoctlServer = ctlCode(0x22, 0x816, kMethodBuffered, kFileAnyAccess);
inline constexpr std::uint32_t kIoctlGetRemoteInfo = ctlCode(0x22, 0x822, kMethodBuffered, kFileAnyAccess);
inline constexpr std::uint32_t kIoctlGetUiNumber = ctlCode(0x22, 0x823, kMethodBuffered, kFileAnyAccess);

static_assert(kIoctlCreateDosName == 0x22201E && kIoctlDeleteDosName == 0x222022 && kIoctlGetDosName == 0x222024);
static_assert(kIoctlQueryTransportInfo == 0x222042 && kIoctlSetDosName == 0x222044 && kIoctlSetRemoteInfo == 0x222048);
static_assert(kIoctlConnection == 0x22204E && kIoctlDisconnection == 0x222052 && kIoctlCloseTransport == 0x222056);
static_assert(kIoctlServer == 0x222058 && kIoctlGetRemoteInfo == 0x222088 && kIoctlGetUiNumber == 0x22208C);

// Buffer sizes the requests require.
inline constexpr std::size_t kRemoteInfoInSize = 32;
inline constexpr std::size_t kRemoteInfoOutSize = 36;
inline constexpr std::size_t kDosNameOutSize = 12;
inline constexpr std::size_t kDosNameChars = 6; // characters of the name the 12 bytes carry
inline constexpr std::size_t kUiNumberOutSize = 8;
inline constexpr std::size_t kComNumberInSize = 4;
inline constexpr std::size_t kQueryTypeInSize = 4;
inline constexpr std::size_t kTransportInfoMinOut = 4;

// Transport query types of IOCTL_QUERY_TRANSPORT_INFO.
inline constexpr std::uint32_t kTdiQueryAddressInfo = 3;
// The answer to kTdiQueryAddressInfo: an activity count, then one IPv4
// transport address (count, length, type, port, address, eight zero bytes).
inline constexpr std::size_t kTdiAddressInfoSize = 26;

// Largest MaxPacketLen a TCP or UDP port accepts.
inline constexpr std::uint32_t kMaxPacketLenTcp = 1460;
inline constexpr std::uint32_t kMaxPacketLenUdp = 1472;

inline constexpr std::uint8_t kProtocolTcp = 0;
inline constexpr std::uint8_t kProtocolUdp = 1;
inline constexpr std::uint32_t kConnTypeServer = 0;
inline constexpr std::uint32_t kConnTypeClient = 1;

// `RemoteInfo`: a port's remote endpoint and options. Addresses and ports
// hold network byte order as a little-endian load of their bytes, the form
// the driver keeps: 192.168.0.2 is 0x0200A8C0, port 5000 is 0x8813.
struct RemoteInfo {
    std::uint32_t remoteHostIp = 0;
    std::uint16_t remoteHostPort = 0;
    std::uint8_t protocol = 0;
    std::uint32_t connectAtWinStart = 0;
    std::uint32_t linkState = 0; // reported only
    std::uint32_t connType = 0;
    std::uint32_t cmdByte = 0;
    std::uint32_t maxPacketLen = 0;
    std::uint16_t localPort = 0; // reported only
    std::uint32_t bindAddress = 0; // sent only

    bool operator==(const RemoteInfo&) const = default;

    // The 32 bytes IOCTL_SET_REMOTE_INFO sends (reserved bytes zero).
    std::array<std::uint8_t, kRemoteInfoInSize> encodeSet() const;
    // Reads the sent form; reserved bytes are ignored. `bytes` has 32 bytes or more.
    static RemoteInfo decodeSet(std::span<const std::uint8_t> bytes);
    // The 36 bytes IOCTL_GET_REMOTE_INFO returns.
    std::array<std::uint8_t, kRemoteInfoOutSize> encodeGet() const;
    // Reads the returned form. `bytes` has 36 bytes or more.
    static RemoteInfo decodeGet(std::span<const std::uint8_t> bytes);
};

// Network-order forms from and to host numbers: an address given as its
// first to last octet, a port as its number.
constexpr std::uint32_t networkAddress(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    return static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b) << 8 | static_cast<std::uint32_t>(c) << 16
        | static_cast<std::uint32_t>(d) << 24;
}
constexpr std::uint16_t networkPort(std::uint16_t port) { return static_cast<std::uint16_t>(port >> 8 | port << 8); }
constexpr std::uint16_t hostPort(std::uint16_t networkOrder) { return networkPort(networkOrder); }
// "192.168.0.2" from the network-order form.
std::string addressText(std::uint32_t networkOrder);
// The network-order form of a dotted quad; false when the text is not one.
bool parseAddress(std::string_view text, std::uint32_t& networkOrder);

// The 12 bytes of IOCTL_GET_DOS_NAME: at most six characters, zero filled.
std::array<std::uint8_t, kDosNameOutSize> encodeDosName(std::string_view portName);
std::string decodeDosName(std::span<const std::uint8_t> bytes);

} // namespace common
