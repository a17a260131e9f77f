#include "sim/devsim/device_config.h"

#include <algorithm>
#include <cstdio>

namespace sim::devsim {
namespace {

// Offsets in the record.
constexpr std::size_t kOptionsOffset = 9;
constexpr std::size_t kNameOffset = 10;
constexpr std::size_t kMacOffset = 26;
constexpr std::size_t kFlagsOffset = 32;
constexpr std::size_t kTimeoutOffset = 33;
constexpr std::size_t kCurrentAddressOffset = 34;
constexpr std::size_t kStaticAddressOffset = 38;
constexpr std::size_t kDataPortOffset = 42;
constexpr std::size_t kBroadcastPortOffset = 44;
constexpr std::size_t kMulticastPortOffset = 46;
constexpr std::size_t kDestinationAddressOffset = 48;
constexpr std::size_t kDestinationPortOffset = 52;
constexpr std::size_t kNetmaskOffset = 54;
constexpr std::size_t kGatewayOffset = 58;
constexpr std::size_t kDnsOffset = 62;
constexpr std::size_t kBaudDataOffset = 66;
constexpr std::size_t kParityFlowStopOffset = 67;
constexpr std::size_t kRs485Offset = 68;
constexpr std::size_t kConnectionStateOffset = 69;
constexpr std::size_t kTransmissionTimerOffset = 70;
constexpr std::size_t kAccessibleIpOffset = 72;
constexpr std::size_t kSmtpDomainOffset = 88;
constexpr std::size_t kSmtpFromOffset = 124;
constexpr std::size_t kSmtpToOffset = 160;
constexpr std::size_t kSmtpEventsOffset = 268;
constexpr std::size_t kDestinationHostOffset = 270;
constexpr std::size_t kUpgradeServerOffset = 306;
constexpr std::size_t kUpgradeFileOffset = 310;

} // namespace

std::string opcodeName(std::uint8_t code)
{
    switch (code) {
    case opcode::kQuery:
        return "Query";
    case opcode::kQueryReply:
        return "QueryReply";
    case opcode::kSetConfig:
        return "SetConfig";
    case opcode::kSetConfigReply:
        return "SetConfigReply";
    case opcode::kUpgrade:
        return "Upgrade";
    case opcode::kRestore:
        return "Restore";
    case opcode::kRestoreReply:
        return "RestoreReply";
    case opcode::kReboot:
        return "Reboot";
    case opcode::kRebootReply:
        return "RebootReply";
    case opcode::kStatusQuery:
        return "StatusQuery";
    case opcode::kStatusReply:
        return "StatusReply";
    case opcode::kConnectNotice:
        return "ConnectNotice";
    default: {
        char text[16];
        std::snprintf(text, sizeof text, "opcode 0x%02X", code);
        return text;
    }
    }
}

std::string formatMac(const Mac& mac)
{
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

bool parseMac(std::string_view text, Mac& mac)
{
    // Six pairs of hex digits separated by ':' or '-'.
    if (text.size() != 17)
        return false;
    Mac result {};
    for (std::size_t i = 0; i < 6; ++i) {
        if (i > 0 && text[i * 3 - 1] != ':' && text[i * 3 - 1] != '-')
            return false;
        unsigned value = 0;
        for (std::size_t j = 0; j < 2; ++j) {
            const char c = text[i * 3 + j];
            unsigned digit = 0;
            if (c >= '0' && c <= '9')
                digit = static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                digit = static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                digit = static_cast<unsigned>(c - 'A' + 10);
            else
                return false;
            value = value * 16 + digit;
        }
        result[i] = static_cast<std::uint8_t>(value);
    }
    mac = result;
    return true;
}

void putUint16(std::span<std::uint8_t> out, std::size_t offset, std::uint16_t value)
{
    out[offset] = static_cast<std::uint8_t>(value >> 8);
    out[offset + 1] = static_cast<std::uint8_t>(value);
}

void putUint32(std::span<std::uint8_t> out, std::size_t offset, std::uint32_t value)
{
    for (std::size_t i = 0; i < 4; ++i)
        out[offset + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

std::uint16_t getUint16(std::span<const std::uint8_t> in, std::size_t offset)
{
    return static_cast<std::uint16_t>((in[offset] << 8) | in[offset + 1]);
}

std::uint32_t getUint32(std::span<const std::uint8_t> in, std::size_t offset)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value = (value << 8) | in[offset + i];
    return value;
}

void putText(std::span<std::uint8_t> out, std::size_t offset, std::size_t width, std::string_view text)
{
    const std::size_t length = std::min(text.size(), width);
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(offset),
        out.begin() + static_cast<std::ptrdiff_t>(offset + width), std::uint8_t { 0 });
    std::copy_n(text.begin(), length, out.begin() + static_cast<std::ptrdiff_t>(offset));
}

std::string getText(std::span<const std::uint8_t> in, std::size_t offset, std::size_t width)
{
    std::string text;
    for (std::size_t i = offset; i < offset + width && in[i] != 0; ++i)
        text.push_back(static_cast<char>(in[i]));
    return text;
}

bool hasHeader(std::span<const std::uint8_t> datagram)
{
    return datagram.size() >= kHeaderSize && std::equal(kSignature.begin(), kSignature.end(), datagram.begin());
}

std::vector<std::uint8_t> encodeDeviceConfig(
    const DeviceConfig& config, std::uint8_t code, std::uint8_t connectionState)
{
    std::vector<std::uint8_t> record(kDeviceConfigSize, 0);
    std::span<std::uint8_t> out(record);
    std::copy(kSignature.begin(), kSignature.end(), record.begin());
    record[8] = code;
    record[kOptionsOffset] = config.autoConnect ? kAutoConnectBit : 0;
    putText(out, kNameOffset, kNameSize, config.name);
    std::copy(config.mac.begin(), config.mac.end(), record.begin() + kMacOffset);
    std::uint8_t flags = 0;
    flags |= config.clientMode ? flag::kClientMode : 0;
    flags |= config.dhcp ? flag::kDhcp : 0;
    flags |= config.accessCheck ? flag::kAccessCheck : 0;
    flags |= config.udpData ? flag::kUdpData : 0;
    flags |= config.tcpData ? flag::kTcpData : 0;
    flags |= config.multicastManagement ? flag::kMulticastManagement : 0;
    flags |= config.broadcastManagement ? flag::kBroadcastManagement : 0;
    record[kFlagsOffset] = flags;
    record[kTimeoutOffset] = config.connectionTimeout;
    putUint32(out, kCurrentAddressOffset, config.currentAddress);
    putUint32(out, kStaticAddressOffset, config.staticAddress);
    putUint16(out, kDataPortOffset, config.dataPort);
    putUint16(out, kBroadcastPortOffset, config.broadcastPort);
    putUint16(out, kMulticastPortOffset, config.multicastPort);
    putUint32(out, kDestinationAddressOffset, config.destinationAddress);
    putUint16(out, kDestinationPortOffset, config.destinationPort);
    putUint32(out, kNetmaskOffset, config.netmask);
    putUint32(out, kGatewayOffset, config.gateway);
    putUint32(out, kDnsOffset, config.dns);
    record[kBaudDataOffset] = static_cast<std::uint8_t>((config.baudCode << 3) | (config.dataBitsCode & 0x07));
    record[kParityFlowStopOffset] = static_cast<std::uint8_t>(
        (config.parityCode << 5) | ((config.flowControlCode & 0x07) << 2) | (config.stopBitsCode & 0x03));
    record[kRs485Offset] = config.rs485Mode;
    record[kConnectionStateOffset] = connectionState;
    putUint16(out, kTransmissionTimerOffset, config.transmissionTimer);
    for (std::size_t i = 0; i < config.accessibleIps.size(); ++i)
        putUint32(out, kAccessibleIpOffset + 4 * i, config.accessibleIps[i]);
    putText(out, kSmtpDomainOffset, kSmtpTextSize, config.smtpDomain);
    putText(out, kSmtpFromOffset, kSmtpTextSize, config.smtpFrom);
    for (std::size_t i = 0; i < config.smtpTo.size(); ++i)
        putText(out, kSmtpToOffset + kSmtpTextSize * i, kSmtpTextSize, config.smtpTo[i]);
    putUint16(out, kSmtpEventsOffset, config.smtpEvents);
    putText(out, kDestinationHostOffset, kDestinationHostSize, config.destinationHost);
    putUint32(out, kUpgradeServerOffset, config.upgradeServer);
    putText(out, kUpgradeFileOffset, kFileNameSize, config.upgradeFile);
    return record;
}

platform::Result<DeviceConfig> decodeDeviceConfig(std::span<const std::uint8_t> in)
{
    if (in.size() < kDeviceConfigSize)
        return platform::Error { "record of " + std::to_string(in.size()) + " bytes, 438 expected" };
    DeviceConfig config;
    config.autoConnect = (in[kOptionsOffset] & kAutoConnectBit) != 0;
    config.name = getText(in, kNameOffset, kNameSize);
    std::copy_n(in.begin() + kMacOffset, config.mac.size(), config.mac.begin());
    const std::uint8_t flags = in[kFlagsOffset];
    config.clientMode = (flags & flag::kClientMode) != 0;
    config.dhcp = (flags & flag::kDhcp) != 0;
    config.accessCheck = (flags & flag::kAccessCheck) != 0;
    config.udpData = (flags & flag::kUdpData) != 0;
    config.tcpData = (flags & flag::kTcpData) != 0;
    config.multicastManagement = (flags & flag::kMulticastManagement) != 0;
    config.broadcastManagement = (flags & flag::kBroadcastManagement) != 0;
    config.connectionTimeout = in[kTimeoutOffset];
    config.currentAddress = getUint32(in, kCurrentAddressOffset);
    config.staticAddress = getUint32(in, kStaticAddressOffset);
    config.dataPort = getUint16(in, kDataPortOffset);
    config.broadcastPort = getUint16(in, kBroadcastPortOffset);
    config.multicastPort = getUint16(in, kMulticastPortOffset);
    config.destinationAddress = getUint32(in, kDestinationAddressOffset);
    config.destinationPort = getUint16(in, kDestinationPortOffset);
    config.netmask = getUint32(in, kNetmaskOffset);
    config.gateway = getUint32(in, kGatewayOffset);
    config.dns = getUint32(in, kDnsOffset);
    config.baudCode = static_cast<std::uint8_t>(in[kBaudDataOffset] >> 3);
    config.dataBitsCode = in[kBaudDataOffset] & 0x07;
    config.parityCode = static_cast<std::uint8_t>(in[kParityFlowStopOffset] >> 5);
    config.flowControlCode = (in[kParityFlowStopOffset] >> 2) & 0x07;
    config.stopBitsCode = in[kParityFlowStopOffset] & 0x03;
    config.rs485Mode = in[kRs485Offset];
    config.transmissionTimer = getUint16(in, kTransmissionTimerOffset);
    for (std::size_t i = 0; i < config.accessibleIps.size(); ++i)
        config.accessibleIps[i] = getUint32(in, kAccessibleIpOffset + 4 * i);
    config.smtpDomain = getText(in, kSmtpDomainOffset, kSmtpTextSize);
    config.smtpFrom = getText(in, kSmtpFromOffset, kSmtpTextSize);
    for (std::size_t i = 0; i < config.smtpTo.size(); ++i)
        config.smtpTo[i] = getText(in, kSmtpToOffset + kSmtpTextSize * i, kSmtpTextSize);
    config.smtpEvents = getUint16(in, kSmtpEventsOffset);
    config.destinationHost = getText(in, kDestinationHostOffset, kDestinationHostSize);
    config.upgradeServer = getUint32(in, kUpgradeServerOffset);
    config.upgradeFile = getText(in, kUpgradeFileOffset, kFileNameSize);
    return config;
}

} // namespace sim::devsim
