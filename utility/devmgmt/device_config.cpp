#include "utility/devmgmt/device_config.h"

#include <algorithm>
#include <cstdio>

namespace utility::devmgmt {
namespace {

constexpr std::uint8_t kTextFiller = 0xFF; // erased-flash bytes the device may leave in its texts
constexpr std::uint8_t kNameFiller = 0xCC;

// The number in the leading decimal digits of a text, modulo `modulus`;
// 0 when the text does not start with a digit. Reducing digit by digit keeps
// any length of digits from overflowing.
unsigned leadingDecimal(std::string_view text, unsigned modulus)
{
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            break;
        value = (value * 10 + static_cast<unsigned>(c - '0')) % modulus;
    }
    return value;
}

unsigned leadingHex(std::string_view text, unsigned modulus)
{
    unsigned value = 0;
    for (const char c : text) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else
            break;
        value = (value * 16 + digit) % modulus;
    }
    return value;
}

// A 0/1 switch: any non-zero number counts as on, so that a stray value can
// never spill into the neighbouring bits of a shared byte.
bool switchOn(std::string_view text)
{
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        if (c != '0')
            return true;
    }
    return false;
}

class RecordWriter {
public:
    explicit RecordWriter(DeviceConfig& record)
        : m_bytes(record.bytes)
    {
    }

    // The field is zero already, so a shorter text is followed by its
    // terminator and a text as long as the field has none.
    void text(std::size_t at, std::size_t size, std::string_view value)
    {
        const std::size_t count = std::min(size, value.size());
        std::copy_n(reinterpret_cast<const std::uint8_t*>(value.data()), count, m_bytes.begin() + at);
    }

    void address(std::size_t at, std::string_view value)
    {
        const auto parts = addressBytes(value);
        std::copy(parts.begin(), parts.end(), m_bytes.begin() + at);
    }

    void u16(std::size_t at, unsigned value)
    {
        m_bytes[at] = static_cast<std::uint8_t>(value >> 8);
        m_bytes[at + 1] = static_cast<std::uint8_t>(value);
    }

private:
    std::array<std::uint8_t, kRecordSize>& m_bytes;
};

std::string readText(const DeviceConfig& record, std::size_t at, std::size_t size, std::uint8_t dropped)
{
    std::string result;
    for (std::size_t i = at; i < at + size; ++i) {
        const std::uint8_t byte = record.bytes[i];
        if (byte == 0)
            break;
        if (byte != dropped)
            result.push_back(static_cast<char>(byte));
    }
    return result;
}

std::string dotted(const DeviceConfig& record, std::size_t at) { return platform::formatIpv4(record.address(at)); }

std::string bit(std::uint8_t value, std::uint8_t mask) { return (value & mask) ? "1" : "0"; }

struct AddressItem {
    Item item;
    std::size_t at;
};

constexpr AddressItem kAddressItems[] = {
    { Item::DynamicIp, offset::kCurrentIp },
    { Item::StaticIp, offset::kStaticIp },
    { Item::DestinationIp, offset::kDestinationIp },
    { Item::Netmask, offset::kNetmask },
    { Item::Gateway, offset::kGateway },
    { Item::Dns, offset::kDns },
    { Item::AccessibleIp1, offset::kAccessibleIp },
    { Item::AccessibleIp2, offset::kAccessibleIp + 4 },
    { Item::AccessibleIp3, offset::kAccessibleIp + 8 },
    { Item::AccessibleIp4, offset::kAccessibleIp + 12 },
    { Item::TftpServer, offset::kTftpServer },
};

struct TextItem {
    Item item;
    std::size_t at;
    std::size_t size;
};

constexpr TextItem kTextItems[] = {
    { Item::SmtpDomain, offset::kSmtpDomain, kTextSize },
    { Item::SmtpFrom, offset::kSmtpFrom, kTextSize },
    { Item::SmtpTo1, offset::kSmtpTo, kTextSize },
    { Item::SmtpTo2, offset::kSmtpTo + kTextSize, kTextSize },
    { Item::SmtpTo3, offset::kSmtpTo + 2 * kTextSize, kTextSize },
    { Item::DestinationHost, offset::kDestinationHost, kTextSize },
    { Item::FirmwareFile, offset::kFirmwareFile, kFileNameSize },
};

struct FlagItem {
    Item item;
    std::uint8_t mask;
};

constexpr FlagItem kFlagItems[] = {
    { Item::ClientMode, flag::kClient },
    { Item::Dhcp, flag::kDhcp },
    { Item::AccessibleIpCheck, flag::kAccessibleIpCheck },
    { Item::Udp, flag::kUdp },
    { Item::Tcp, flag::kTcp },
    { Item::Multicast, flag::kMulticast },
    { Item::Broadcast, flag::kBroadcast },
};

} // namespace

DeviceConfig DeviceConfig::fromDatagram(std::span<const std::uint8_t> datagram)
{
    DeviceConfig record;
    std::copy_n(datagram.begin(), std::min(datagram.size(), kRecordSize), record.bytes.begin());
    return record;
}

MacAddress DeviceConfig::mac() const
{
    MacAddress result {};
    std::copy_n(bytes.begin() + offset::kMac, result.size(), result.begin());
    return result;
}

std::string DeviceConfig::name() const { return readText(*this, offset::kName, kNameSize, kNameFiller); }

platform::Ipv4 DeviceConfig::address(std::size_t at) const
{
    return (platform::Ipv4 { bytes[at] } << 24) | (platform::Ipv4 { bytes[at + 1] } << 16)
        | (platform::Ipv4 { bytes[at + 2] } << 8) | platform::Ipv4 { bytes[at + 3] };
}

std::uint16_t DeviceConfig::port(std::size_t at) const
{
    return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

DeviceConfig buildSetConfig(const DeviceItems& items, const MacAddress& storedMac)
{
    DeviceConfig record;
    std::copy(kSignature.begin(), kSignature.end(), record.bytes.begin());
    record.bytes[kOpcodeOffset] = opcode::kSetConfig;
    RecordWriter write(record);

    write.text(offset::kName, kNameSize, items[Item::DeviceName]);
    std::copy(storedMac.begin(), storedMac.end(), record.bytes.begin() + offset::kMac);
    for (const auto& [item, at] : kAddressItems)
        write.address(at, items[item]);
    write.u16(offset::kDataPort, leadingDecimal(items[Item::DataPort], 65536));
    // The device's management ports are fixed.
    write.u16(offset::kBroadcastPort, kDeviceBroadcastPort);
    write.u16(offset::kMulticastPort, kDeviceMulticastPort);
    write.u16(offset::kClientPort, leadingDecimal(items[Item::ClientDestinationPort], 65536));
    write.u16(offset::kTransmissionTimer, leadingDecimal(items[Item::TransmissionTimer], 65536));
    for (const auto& [item, at, size] : kTextItems)
        write.text(at, size, items[item]);

    std::uint8_t flags = 0;
    for (const auto& [item, mask] : kFlagItems)
        if (switchOn(items[item]))
            flags |= mask;
    record.bytes[offset::kFlags] = flags;

    record.bytes[offset::kOptions] = 0x01 | (switchOn(items[Item::AutoConnect]) ? 0x02 : 0x00);
    record.bytes[offset::kTimeout] = static_cast<std::uint8_t>(leadingDecimal(items[Item::ConnectionTimeout], 256));
    // Each code is kept to its own bits so a value out of range cannot spill
    // into the neighbouring field.
    auto code = [&](Item item, unsigned mask) { return leadingDecimal(items[item], 256) & mask; };
    record.bytes[offset::kSerialFormat]
        = static_cast<std::uint8_t>(code(Item::BaudRate, 0x1F) << 3 | code(Item::DataBits, 0x07));
    record.bytes[offset::kSerialControl] = static_cast<std::uint8_t>(
        code(Item::Parity, 0x07) << 5 | code(Item::FlowControl, 0x07) << 2 | code(Item::StopBits, 0x03));
    record.bytes[offset::kRs485Mode] = static_cast<std::uint8_t>(code(Item::Rs485Mode, 0xFF));
    record.bytes[offset::kConnectionState] = 0;

    // The event bits arrive with their bytes swapped: the first two digits are
    // the low byte of the big-endian field.
    const unsigned events = leadingHex(items[Item::SmtpEvents], 0x10000);
    record.bytes[offset::kSmtpEvents + 1] = static_cast<std::uint8_t>(events >> 8);
    record.bytes[offset::kSmtpEvents] = static_cast<std::uint8_t>(events);
    return record;
}

DeviceItems parseItems(const DeviceConfig& record)
{
    DeviceItems items;
    const auto& b = record.bytes;
    items[Item::DeviceName] = record.name();
    items[Item::MacAddress] = formatMac(record.mac());
    for (const auto& [item, at] : kAddressItems)
        items[item] = dotted(record, at);
    items[Item::DataPort] = std::to_string(record.port(offset::kDataPort));
    items[Item::BroadcastPort] = std::to_string(record.port(offset::kBroadcastPort));
    items[Item::MulticastPort] = std::to_string(record.port(offset::kMulticastPort));
    items[Item::ClientDestinationPort] = std::to_string(record.port(offset::kClientPort));
    items[Item::TransmissionTimer] = std::to_string(record.port(offset::kTransmissionTimer));
    for (const auto& [item, at, size] : kTextItems)
        items[item] = readText(record, at, size, kTextFiller);
    for (const auto& [item, mask] : kFlagItems)
        items[item] = bit(b[offset::kFlags], mask);
    items[Item::AutoConnect] = bit(b[offset::kOptions], 0x02);
    items[Item::ConnectionTimeout] = std::to_string(b[offset::kTimeout] & 0x1F);
    items[Item::BaudRate] = std::to_string(b[offset::kSerialFormat] >> 3);
    items[Item::DataBits] = std::to_string(b[offset::kSerialFormat] & 0x07);
    items[Item::Parity] = std::to_string(b[offset::kSerialControl] >> 5);
    items[Item::FlowControl] = std::to_string((b[offset::kSerialControl] >> 2) & 0x07);
    items[Item::StopBits] = std::to_string(b[offset::kSerialControl] & 0x03);
    items[Item::Rs485Mode] = std::to_string(b[offset::kRs485Mode]);

    char events[8];
    std::snprintf(events, sizeof events, "%.4X", (b[offset::kSmtpEvents + 1] << 8) | b[offset::kSmtpEvents]);
    items[Item::SmtpEvents] = events;
    return items;
}

std::string formatMac(const MacAddress& mac)
{
    char text[18];
    std::snprintf(text, sizeof text, "%.2X-%.2X-%.2X-%.2X-%.2X-%.2X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

} // namespace utility::devmgmt
