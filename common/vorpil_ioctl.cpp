#include "common/vorpil_ioctl.h"

#include <charconv>

namespace common {

std::array<std::uint8_t, kRemoteInfoInSize> RemoteInfo::encodeSet() const
{
    std::array<std::uint8_t, kRemoteInfoInSize> bytes {};
    storeLe32(bytes, 0, remoteHostIp);
    storeLe16(bytes, 4, remoteHostPort);
    bytes[8] = protocol;
    bytes[12] = static_cast<std::uint8_t>(connectAtWinStart);
    storeLe32(bytes, 16, connType);
    storeLe32(bytes, 20, cmdByte);
    storeLe32(bytes, 24, maxPacketLen);
    storeLe32(bytes, 28, bindAddress);
    return bytes;
}

RemoteInfo RemoteInfo::decodeSet(std::span<const std::uint8_t> bytes)
{
    RemoteInfo info;
    info.remoteHostIp = loadLe32(bytes, 0);
    info.remoteHostPort = loadLe16(bytes, 4);
    info.protocol = bytes[8];
    info.connectAtWinStart = bytes[12];
    info.connType = loadLe32(bytes, 16);
    info.cmdByte = loadLe32(bytes, 20);
    info.maxPacketLen = loadLe32(bytes, 24);
    info.bindAddress = loadLe32(bytes, 28);
    return info;
}

std::array<std::uint8_t, kRemoteInfoOutSize> RemoteInfo::encodeGet() const
{
    std::array<std::uint8_t, kRemoteInfoOutSize> bytes {};
    storeLe32(bytes, 0, remoteHostIp);
    storeLe32(bytes, 4, remoteHostPort);
    storeLe32(bytes, 8, protocol);
    storeLe32(bytes, 12, connectAtWinStart);
    storeLe32(bytes, 16, linkState);
    storeLe32(bytes, 20, connType);
    storeLe32(bytes, 24, cmdByte);
    storeLe32(bytes, 28, maxPacketLen);
    storeLe32(bytes, 32, localPort);
    return bytes;
}

RemoteInfo RemoteInfo::decodeGet(std::span<const std::uint8_t> bytes)
{
    RemoteInfo info;
    info.remoteHostIp = loadLe32(bytes, 0);
    info.remoteHostPort = static_cast<std::uint16_t>(loadLe32(bytes, 4));
    info.protocol = static_cast<std::uint8_t>(loadLe32(bytes, 8));
    info.connectAtWinStart = loadLe32(bytes, 12);
    info.linkState = loadLe32(bytes, 16);
    info.connType = loadLe32(bytes, 20);
    info.cmdByte = loadLe32(bytes, 24);
    info.maxPacketLen = loadLe32(bytes, 28);
    info.localPort = static_cast<std::uint16_t>(loadLe32(bytes, 32));
    return info;
}

std::string addressText(std::uint32_t networkOrder)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        if (i)
            text += '.';
        text += std::to_string((networkOrder >> (8 * i)) & 0xFF);
    }
    return text;
}

bool parseAddress(std::string_view text, std::uint32_t& networkOrder)
{
    std::uint32_t value = 0;
    const char* position = text.data();
    const char* end = text.data() + text.size();
    for (int i = 0; i < 4; ++i) {
        if (i) {
            if (position == end || *position != '.')
                return false;
            ++position;
        }
        unsigned part = 0;
        const auto [next, error] = std::from_chars(position, end, part);
        if (error != std::errc() || next == position || next - position > 3 || part > 255)
            return false;
        value |= static_cast<std::uint32_t>(part) << (8 * i);
        position = next;
    }
    if (position != end)
        return false;
    networkOrder = value;
    return true;
}

std::array<std::uint8_t, kDosNameOutSize> encodeDosName(std::string_view portName)
{
    std::array<std::uint8_t, kDosNameOutSize> bytes {};
    for (std::size_t i = 0; i < portName.size() && i < kDosNameChars; ++i)
        bytes[i] = static_cast<std::uint8_t>(portName[i]);
    return bytes;
}

std::string decodeDosName(std::span<const std::uint8_t> bytes)
{
    std::string name;
    for (std::size_t i = 0; i < bytes.size() && i < kDosNameChars && bytes[i] != 0; ++i)
        name += static_cast<char>(bytes[i]);
    return name;
}

} // namespace common
