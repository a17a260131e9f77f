#include "utility/devmgmt/setting_file.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>

#include "platform/hex_digit.h"
#include "platform/net.h"
#include "utility/devmgmt/printable_text.h"

namespace utility::devmgmt {
namespace {

constexpr std::array<std::string_view, kItemCount> kComments = {
    " // ( 1) Device name\r\n",
    " // ( 2) MAC address\r\n",
    " // ( 3) Server/Client switch, 0: Server, 1: Client\r\n",
    " // ( 4) DHCP function switch, 0: Disable, 1: Enable\r\n",
    " // ( 5) Server dynamic listening IP\r\n",
    " // ( 6) Server static listening IP\r\n",
    " // ( 7) Server data listening Port\r\n",
    " // ( 8) Server broadcast listening Port\r\n",
    " // ( 9) Server mulitcast listening Port\r\n",
    " // (10) Reserved.\r\n",
    " // (11) Clinet destination Port\r\n",
    " // (12) UDP Protocol, 0: Disable 1: Enable\r\n",
    " // (13) Auto connect after reboot, 0: Disable 1: Enable\r\n",
    " // (14) TCP Protocol, 0: Disable 1: Enable\r\n",
    " // (15) Broadcast, 0: Disable 1: Enable\r\n",
    " // (16) Multicast, 0: Disable 1: Enable\r\n",
    " // (17) Netmask\r\n",
    " // (18) Gateway\r\n",
    " // (19) DNS server\r\n",
    " // (20) Connection timeout (min)\r\n",
    " // (21) Transmission timer (ms)\r\n",
    " // (22) Enable Accessible IP check function\r\n",
    " // (23) Accessible IP 1\r\n",
    " // (24) Accessible IP 2\r\n",
    " // (25) Accessible IP 3\r\n",
    " // (26) Accessible IP 4\r\n",
    " // (27) SMTP domain name\r\n",
    " // (28) SMTP From Address\r\n",
    " // (29) SMTP To Address 1\r\n",
    " // (30) SMTP To Address 2\r\n",
    " // (31) SMTP To Address 3\r\n",
    " // (32) SMTP username\r\n",
    " // (33) SMTP password\r\n",
    " // (34) SMTP event enable bits\r\n",
    " // (35) Destination host name / IP\r\n",
    " // (36) Baud rate(bps), 0: 921600, 1: 115200, 2: 57600, 3: 38400, 4: 19200, 5: 9600, 6: 4800, 7: 2400, 8: "
    "1200\r\n",
    " // (37) Data bits, 0: 5bits, 1: 6bits, 2: 7bits, 3: 8bits\r\n",
    " // (38) Parity, 0: Odd, 1: Even, 2: None\r\n",
    " // (39) Stop bits, 0: 1bit, 1: 1.5bits\r\n",
    " // (40) Flow Control, 0: Xon/Xoff, 1: Hardware, 2: None\r\n",
    " // (41) RS-485 mode, 0: Sleep, 1:Single-half, 2: Single-half or double-full-slave, 3: Double-full-master\r\n",
    " // (42) Firmware Upgrade - TFTP server IP\r\n",
    " // (43) Firmware Upgrade - Runtime code filename\r\n",
};

// A decimal number from the leading digits, saturated so that no length of
// digits overflows; nullopt when the text does not start with a digit.
std::optional<long> leadingNumber(std::string_view text)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return std::nullopt;
    long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            break;
        value = std::min(value * 10 + (c - '0'), 1'000'000'000L);
    }
    return value;
}

} // namespace

std::string_view settingComment(int item)
{
    if (item < 1 || item > kItemCount)
        return {};
    return kComments[static_cast<std::size_t>(item - 1)];
}

std::string formatSettingFile(const DeviceItems& values)
{
    std::string file;
    for (int item = 1; item <= kItemCount; ++item) {
        std::string value;
        switch (static_cast<Item>(item)) {
        case Item::BroadcastPort:
            value = std::to_string(kDeviceBroadcastPort);
            break;
        case Item::MulticastPort:
            value = std::to_string(kDeviceMulticastPort);
            break;
        case Item::SmtpUser:
        case Item::SmtpPassword:
            break; // never saved
        default:
            value = values.values[static_cast<std::size_t>(item - 1)];
            break;
        }
        file += value;
        if (value.size() < kSettingValueWidth)
            file.append(kSettingValueWidth - value.size(), ' ');
        file += settingComment(item);
    }
    return file;
}

std::array<std::string, kItemCount> readSettingValues(std::string_view data)
{
    std::array<std::string, kItemCount> values;
    std::size_t at = 0;
    for (auto& value : values) {
        if (at >= data.size())
            break;
        // A hand-edited line without a comment must not pull the next line
        // into its value, so the value also ends at a line end.
        const std::size_t end = data.find_first_of(std::string_view(" \r\n", 3), at);
        value = std::string(data.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
        // Lines end in CR LF as saved, or in LF alone as Linux editors
        // write them; a lone CR ends a line too.
        const std::size_t lineEnd = data.find_first_of(std::string_view("\r\n", 2), at);
        if (lineEnd == std::string_view::npos)
            break;
        at = lineEnd + 1;
        if (data[lineEnd] == '\r' && at < data.size() && data[at] == '\n')
            ++at;
    }
    return values;
}

int settingLinesIn(std::string_view data)
{
    int lines = 0;
    std::size_t at = 0;
    while (lines < kItemCount && at < data.size()) {
        ++lines;
        const std::size_t lineEnd = data.find_first_of(std::string_view("\r\n", 2), at);
        if (lineEnd == std::string_view::npos)
            break;
        at = lineEnd + 1;
        if (data[lineEnd] == '\r' && at < data.size() && data[at] == '\n')
            ++at;
    }
    return lines;
}

std::vector<RefusedItem> unloadableValues(const DeviceItems& values)
{
    std::vector<RefusedItem> refused;
    for (int item = 1; item <= kItemCount; ++item) {
        const std::string& value = values.values[static_cast<std::size_t>(item - 1)];
        if (std::string why = settingValueProblem(item, value, false); !why.empty())
            refused.push_back({ item, value, std::move(why) });
    }
    return refused;
}

std::size_t settingTextLimit(int item)
{
    switch (static_cast<Item>(item)) {
    case Item::DeviceName:
        return kNameSize;
    case Item::SmtpDomain:
    case Item::SmtpFrom:
    case Item::SmtpTo1:
    case Item::SmtpTo2:
    case Item::SmtpTo3:
    case Item::DestinationHost:
        return kTextSize;
    case Item::FirmwareFile:
        return kFileNameSize;
    default:
        return isAddressItem(item) ? kAddressTextLimit : std::string::npos;
    }
}

bool isAddressItem(int item)
{
    switch (static_cast<Item>(item)) {
    case Item::StaticIp:
    case Item::DestinationIp:
    case Item::Netmask:
    case Item::Gateway:
    case Item::Dns:
    case Item::AccessibleIp1:
    case Item::AccessibleIp2:
    case Item::AccessibleIp3:
    case Item::AccessibleIp4:
    case Item::TftpServer:
        return true;
    default:
        return false;
    }
}

std::string settingItemName(int item)
{
    // The comment without its number, up to its first comma: "Netmask",
    // "Baud rate(bps)".
    std::string_view comment = settingComment(item);
    const std::size_t open = comment.find(')');
    if (open == std::string_view::npos)
        return {};
    comment.remove_prefix(open + 2);
    const std::size_t end = comment.find_first_of(std::string_view(",\r", 2));
    return std::string(comment.substr(0, end));
}

std::string settingValueProblem(int item, std::string_view value, bool strict)
{
    const LoadRule rule = loadRule(item);
    if (rule == LoadRule::Ignored || value.empty())
        return {};
    // A line break inside a value would move every later item of the file
    // by a line; the other control characters reach terminals and logs.
    if (hasControls(value))
        return "holding control characters";
    const std::size_t limit = settingTextLimit(item);
    if (value.size() > limit)
        return "longer than " + std::to_string(limit) + " characters";
    if (isAddressItem(item) && !platform::parseIpv4(value))
        return "not an IPv4 address";
    const bool digitsOnly = std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
    const auto number = leadingNumber(value);
    switch (rule) {
    case LoadRule::Number: {
        if (strict && !digitsOnly)
            return "not a number";
        // The ports have Submit's own check and message; the timeout and
        // the timer are sent as shown only within their fields.
        const bool port
            = static_cast<Item>(item) == Item::DataPort || static_cast<Item>(item) == Item::ClientDestinationPort;
        if (port && !strict)
            return {};
        const long upper = static_cast<Item>(item) == Item::ConnectionTimeout ? kConnectionTimeoutLimit : 65535;
        if (number.value_or(0) > upper)
            return "above " + std::to_string(upper);
        return {};
    }
    case LoadRule::Switch:
        if (strict && value != "0" && value != "1")
            return "not 0 or 1";
        return {};
    case LoadRule::List:
        if (!number || number >= listSize(item) || (strict && !digitsOnly))
            return "not one of 0.." + std::to_string(listSize(item) - 1);
        return {};
    case LoadRule::Events:
        if (strict && (value.size() > 4 || !std::all_of(value.begin(), value.end(), [](char c) {
                return platform::hexDigit(c) >= 0;
            })))
            return "not four hexadecimal digits";
        return {};
    case LoadRule::Text:
    case LoadRule::Ignored:
        return {};
    }
    return {};
}

LoadRule loadRule(int item)
{
    switch (static_cast<Item>(item)) {
    case Item::MacAddress:
    case Item::DynamicIp:
    case Item::BroadcastPort:
    case Item::MulticastPort:
    case Item::SmtpUser:
    case Item::SmtpPassword:
        return LoadRule::Ignored;
    case Item::DataPort:
    case Item::ClientDestinationPort:
    case Item::ConnectionTimeout:
    case Item::TransmissionTimer:
        return LoadRule::Number;
    case Item::Udp:
    case Item::AutoConnect:
    case Item::Tcp:
    case Item::Broadcast:
    case Item::Multicast:
    case Item::AccessibleIpCheck:
        return LoadRule::Switch;
    case Item::ClientMode:
    case Item::Dhcp:
    case Item::BaudRate:
    case Item::DataBits:
    case Item::Parity:
    case Item::StopBits:
    case Item::FlowControl:
    case Item::Rs485Mode:
        return LoadRule::List;
    case Item::SmtpEvents:
        return LoadRule::Events;
    default:
        return LoadRule::Text;
    }
}

int listSize(int item)
{
    switch (static_cast<Item>(item)) {
    case Item::ClientMode:
    case Item::Dhcp:
        return 2;
    case Item::BaudRate:
        return 9;
    case Item::DataBits:
    case Item::Rs485Mode:
        return 4;
    case Item::Parity:
    case Item::StopBits:
    case Item::FlowControl:
        return 3;
    default:
        return 0;
    }
}

std::string formatEventBits(unsigned bits)
{
    char text[8];
    std::snprintf(text, sizeof text, "%.4X", (bits & 0x1Fu) << 8);
    return text;
}

unsigned parseEventBits(std::string_view text)
{
    // The text is the 16-bit field with its bytes swapped: its first two
    // digits are the low byte, which holds the five bits.
    unsigned value = 0;
    for (const char c : text) {
        const int digit = platform::hexDigit(c);
        if (digit < 0)
            break;
        value = (value * 16 + static_cast<unsigned>(digit)) & 0xFFFF;
    }
    return (value >> 8) & 0x1F;
}

void applySettingValues(
    const std::array<std::string, kItemCount>& values, DeviceItems& sheet, std::vector<int>& emptyItems)
{
    std::vector<RefusedItem> refused;
    applySettingValues(values, sheet, emptyItems, refused);
}

void applySettingValues(const std::array<std::string, kItemCount>& values, DeviceItems& sheet,
    std::vector<int>& emptyItems, std::vector<RefusedItem>& refusedItems)
{
    for (int item = 1; item <= kItemCount; ++item) {
        const LoadRule rule = loadRule(item);
        if (rule == LoadRule::Ignored)
            continue;
        const std::string& value = values[static_cast<std::size_t>(item - 1)];
        if (value.empty()) {
            emptyItems.push_back(item);
            continue;
        }
        // What the sheet could not show as it is, or would send otherwise
        // than it shows, stays as it was.
        if (std::string why = settingValueProblem(item, value, false); !why.empty()) {
            refusedItems.push_back({ item, value, std::move(why) });
            continue;
        }
        std::string& target = sheet.values[static_cast<std::size_t>(item - 1)];
        switch (rule) {
        case LoadRule::Text:
            target = value;
            break;
        case LoadRule::Number:
            // A number control shows what the file's digits say; text that
            // is no number reads as 0, as such a control would read it.
            target = std::to_string(leadingNumber(value).value_or(0));
            break;
        case LoadRule::Switch:
            target = std::string(leadingNumber(value).value_or(0) != 0 ? "1" : "0");
            break;
        case LoadRule::List:
            target = std::to_string(leadingNumber(value).value_or(0));
            break;
        case LoadRule::Events:
            target = formatEventBits(parseEventBits(value));
            break;
        case LoadRule::Ignored:
            break;
        }
    }
}

std::string refusedItemMessage(const RefusedItem& refused)
{
    return "Item " + std::to_string(refused.item) + " (" + settingItemName(refused.item) + "): \""
        + escapeControls(refused.value) + "\" is " + refused.why;
}

} // namespace utility::devmgmt
