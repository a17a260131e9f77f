#include "utility/devmgmt/protocol.h"

#include <algorithm>

namespace utility::devmgmt {
namespace {

template <std::size_t N> void writeHeader(std::array<std::uint8_t, N>& datagram, std::uint8_t code)
{
    static_assert(N >= kHeaderSize);
    std::copy(kSignature.begin(), kSignature.end(), datagram.begin());
    datagram[kOpcodeOffset] = code;
}

// Copies at most `size` bytes of the text; the rest of the field stays zero.
template <std::size_t N>
void writePadded(std::array<std::uint8_t, N>& datagram, std::size_t at, std::size_t size, std::string_view text)
{
    const std::size_t count = std::min(size, text.size());
    std::copy_n(reinterpret_cast<const std::uint8_t*>(text.data()), count, datagram.begin() + at);
}

template <std::size_t N> void writeAddress(std::array<std::uint8_t, N>& datagram, std::size_t at, platform::Ipv4 value)
{
    datagram[at] = static_cast<std::uint8_t>(value >> 24);
    datagram[at + 1] = static_cast<std::uint8_t>(value >> 16);
    datagram[at + 2] = static_cast<std::uint8_t>(value >> 8);
    datagram[at + 3] = static_cast<std::uint8_t>(value);
}

std::array<std::uint8_t, kRecordSize> buildIdentification(
    std::uint8_t code, std::uint8_t byte9, std::string_view deviceName, const MacAddress& mac)
{
    std::array<std::uint8_t, kRecordSize> datagram {};
    writeHeader(datagram, code);
    datagram[9] = byte9;
    writePadded(datagram, 10, 16, deviceName);
    std::copy(mac.begin(), mac.end(), datagram.begin() + 26);
    return datagram;
}

std::uint32_t readU32(std::span<const std::uint8_t> data, std::size_t at)
{
    return (std::uint32_t { data[at] } << 24) | (std::uint32_t { data[at + 1] } << 16)
        | (std::uint32_t { data[at + 2] } << 8) | std::uint32_t { data[at + 3] };
}

} // namespace

bool hasSignature(std::span<const std::uint8_t> datagram)
{
    return datagram.size() >= kSignature.size() && std::equal(kSignature.begin(), kSignature.end(), datagram.begin());
}

int recordType(std::span<const std::uint8_t> datagram)
{
    if (datagram.size() < kHeaderSize)
        return -1;
    return datagram[kOpcodeOffset] & 0x0F;
}

std::array<std::uint8_t, 4> addressBytes(std::string_view text)
{
    std::array<std::uint8_t, 4> result {};
    // Reduced digit by digit so that no number of digits can overflow.
    auto partValue = [](std::string_view part) {
        unsigned value = 0;
        for (const char c : part) {
            if (c < '0' || c > '9')
                break;
            value = (value * 10 + static_cast<unsigned>(c - '0')) % 256;
        }
        return static_cast<std::uint8_t>(value);
    };
    std::size_t start = 0;
    for (std::size_t index = 0; index < 3; ++index) {
        const std::size_t dot = text.find('.', start);
        if (dot == std::string_view::npos) {
            result[index] = partValue(text.substr(start));
            return result; // too few dots: the later parts are missing
        }
        result[index] = partValue(text.substr(start, dot - start));
        start = dot + 1;
    }
    result[3] = partValue(text.substr(text.rfind('.') + 1));
    return result;
}

std::array<std::uint8_t, kHeaderSize> buildQuery()
{
    std::array<std::uint8_t, kHeaderSize> datagram {};
    writeHeader(datagram, opcode::kQuery);
    return datagram;
}

std::array<std::uint8_t, kHeaderSize> buildStatusQuery()
{
    std::array<std::uint8_t, kHeaderSize> datagram {};
    writeHeader(datagram, opcode::kStatusQuery);
    return datagram;
}

std::array<std::uint8_t, kRecordSize> buildRestore(std::string_view deviceName, const MacAddress& mac)
{
    return buildIdentification(opcode::kRestore, 0x01, deviceName, mac);
}

std::array<std::uint8_t, kRecordSize> buildReboot(std::string_view deviceName, const MacAddress& mac)
{
    return buildIdentification(opcode::kReboot, 0x00, deviceName, mac);
}

std::array<std::uint8_t, kUpgradeSize> buildUpgrade(
    std::string_view deviceName, const MacAddress& mac, platform::Ipv4 tftpServer, std::string_view fileName)
{
    std::array<std::uint8_t, kUpgradeSize> datagram {};
    writeHeader(datagram, opcode::kUpgrade);
    writePadded(datagram, 10, 16, deviceName);
    std::copy(mac.begin(), mac.end(), datagram.begin() + 26);
    writeAddress(datagram, 32, tftpServer);
    writePadded(datagram, 36, 128, fileName);
    return datagram;
}

std::array<std::uint8_t, kConnectNoticeSize> buildConnectNotice(platform::Ipv4 hostAddress, std::uint16_t port)
{
    std::array<std::uint8_t, kConnectNoticeSize> datagram {};
    writeHeader(datagram, opcode::kConnectNotice);
    writeAddress(datagram, 10, hostAddress);
    datagram[14] = static_cast<std::uint8_t>(port >> 8);
    datagram[15] = static_cast<std::uint8_t>(port);
    return datagram;
}

std::optional<StatusReply> parseStatusReply(std::span<const std::uint8_t> datagram)
{
    const auto data = datagram.first(std::min(datagram.size(), kStatusReadLimit));
    if (data.size() < kStatusReplyMinSize || !hasSignature(data) || data[kOpcodeOffset] != opcode::kStatusReply)
        return std::nullopt;
    StatusReply reply;
    reply.modemStatus = data[9];
    const auto version = data.subspan(10, 12);
    const auto end = std::find(version.begin(), version.end(), std::uint8_t { 0 });
    reply.firmwareVersion.assign(version.begin(), end);
    reply.bytesSent = readU32(data, 22);
    reply.bytesReceived = readU32(data, 26);
    return reply;
}

} // namespace utility::devmgmt
