#include "utility/shell/app_settings.h"
#include "platform/hex_digit.h"

#include <climits>
#include <cstdio>
#include <optional>
#include <variant>

namespace utility::shell {
namespace {

// The comment that follows each item's value; fixed so that people editing
// the file by hand see what every line means.
constexpr std::array<std::string_view, AppSettings::kItemCount> kComments = {
    " // (0) Setting File Format Version\r\n",
    " // (1) QELTA Logo File Name\r\n",
    " // (2) QELTA Title File Name\r\n",
    " // (3) (DM) Search Timer (100ms)\r\n",
    " // (4) (DM) Reset Timer (100ms)\r\n",
    " // (5) (DM) Reboot Timer (sec/unit)\r\n",
    " // (6) (DM) Use External Browser 0:disable 1:enable\r\n",
    " // (7) (DM) Search After Application Start 0:disable 1:enable\r\n",
    " // (8) (DM) Upgrade Timer 0:disable 1:enable\r\n",
    " // (9) (DM) Upgrade - TFTP Server IP\r\n",
    " // (10) (DM) Upgrade - TFTP File Name\r\n",
    " // (11) (VSP) Maximum Network TX Packet Size Setting 0:disable 1:enable\r\n",
    " // (12) (MON) Monitor Timer (sec)\r\n",
    " // (13) (DHCP) Start IP (Hex) \r\n",
    " // (14) (DHCP) Maximal IP (Hex)\r\n",
    " // (15) (DHCP) Gateway IP (Hex)\r\n",
    " // (16) (DHCP) Netmask (Hex)\r\n",
    " // (17) (DHCP) DNS IP (Hex)\r\n",
    " // (18) (DHCP) Server IP (Hex)\r\n",
    " // (19) (DHCP) Boot File\r\n",
    " // (20) (TFTP) File Path\r\n",
    " // (21) (TERM1) Baud Rate 0 - 9: 1200|2400|4800|9600|14400|19200|38400|57600|115200|921600\r\n",
    " // (22) (TERM1) Data Bits 0 - 3: 8|7|6|5\r\n",
    " // (23) (TERM1) Parity Check 0: None\r\n",
    " // (24) (TERM1) Stop Bits 0: 1\r\n",
    " // (25) (TERM1) Flow Control 0 - 2: None|Xon-Xoff|Hardware\r\n",
    " // (26) (TERM1) Echo Test 0:disable 1:enable\r\n",
    " // (27) (TERM1) Test Interval (ms)\r\n",
    " // (28) (TERM1) Test Data Length\r\n",
    " // (29) (TERM2) Baud Rate 0 - 9: 1200|2400|4800|9600|14400|19200|38400|57600|115200|921600\r\n",
    " // (30) (TERM2) Data Bits 0 - 3: 8|7|6|5\r\n",
    " // (31) (TERM2) Parity Check 0: None\r\n",
    " // (32) (TERM2) Stop Bits 0: 1\r\n",
    " // (33) (TERM2) Flow Control 0 - 2: None|Xon-Xoff|Hardware\r\n",
    " // (34) (TERM2) Echo Test 0:disable 1:enable\r\n",
    " // (35) (TERM2) Test Interval (ms)\r\n",
    " // (36) (TERM2) Test Data Length\r\n",
    " // (37) VSP Connection Status Check Function 0:disable 1:enable\r\n",
    " // (38) Current selection of local host IP address\r\n",
};

constexpr int kTftpPathItem = 20;
constexpr std::size_t kValueWidth = 15;

// A hexadecimal item: eight digits, most significant first.
struct Hex {
    std::uint32_t* value;
};
// Item 20: the path ends at "$" so that it may hold spaces.
struct Path {
    std::string* value;
};
using Field = std::variant<std::string*, int*, bool*, Hex, Path>;

Field fieldOf(AppSettings& s, int item)
{
    if (item >= 21 && item <= 36) {
        TerminalSettings& t = s.terminal[(item - 21) / 8];
        switch ((item - 21) % 8) {
        case 0:
            return &t.baudRateIndex;
        case 1:
            return &t.dataBitsIndex;
        case 2:
            return &t.parityIndex;
        case 3:
            return &t.stopBitsIndex;
        case 4:
            return &t.flowControlIndex;
        case 5:
            return &t.echo;
        case 6:
            return &t.testIntervalMs;
        default:
            return &t.testDataLength;
        }
    }
    switch (item) {
    case 0:
        return &s.formatVersion;
    case 1:
        return &s.logoFileName;
    case 2:
        return &s.titleFileName;
    case 3:
        return &s.searchPeriod;
    case 4:
        return &s.restorePeriod;
    case 5:
        return &s.rebootPeriod;
    case 6:
        return &s.useExternalBrowser;
    case 7:
        return &s.searchAtStart;
    case 8:
        return &s.upgradePeriod;
    case 9:
        return Hex { &s.upgradeTftpServer };
    case 10:
        return &s.upgradeFileName;
    case 11:
        return &s.maxTxPacketSizeSwitch;
    case 12:
        return &s.monitorInterval;
    case 13:
        return Hex { &s.dhcpStart };
    case 14:
        return Hex { &s.dhcpEnd };
    case 15:
        return Hex { &s.dhcpGateway };
    case 16:
        return Hex { &s.dhcpNetmask };
    case 17:
        return Hex { &s.dhcpDns };
    case 18:
        return Hex { &s.dhcpServer };
    case 19:
        return &s.dhcpBootFile;
    case 20:
        return Path { &s.tftpFilePath };
    case 37:
        return &s.connectionCheckSwitch;
    default:
        return &s.localHostAddress;
    }
}

bool isValueCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-'
        || c == '\\' || c == ':' || c == '_';
}

// The leading number of a text, as a C library conversion would read it;
// out-of-range numbers stop at the limits of int instead of overflowing.
int leadingNumber(std::string_view text)
{
    std::size_t i = 0;
    const bool negative = i < text.size() && text[i] == '-';
    if (negative)
        ++i;
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        return static_cast<int>(-value);
    return static_cast<int>(value > INT_MAX ? INT_MAX : value);
}

// Pads the text on the left with "0" to eight characters and reads its first
// eight as the number. A text with anything but hexadecimal digits there
// gives no number, so a mistyped address never turns into a different one.
std::optional<std::uint32_t> hexNumber(std::string_view text)
{
    std::string digits(text.size() < 8 ? 8 - text.size() : 0, '0');
    digits.append(text.substr(0, 8 - digits.size()));
    std::uint32_t value = 0;
    for (char c : digits) {
        const int digit = platform::hexDigit(c);
        if (digit < 0)
            return std::nullopt;
        value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    return value;
}

// One line of the file: the bytes before its line feed, or nothing when the
// bytes end before one.
std::optional<std::string_view> takeLine(std::string_view& rest)
{
    const auto feed = rest.find('\n');
    if (feed == std::string_view::npos)
        return std::nullopt;
    const std::string_view line = rest.substr(0, feed);
    rest.remove_prefix(feed + 1);
    return line;
}

std::string valueTextOf(std::string_view line)
{
    std::string value;
    for (char c : line) {
        if (c == ' ')
            break;
        if (isValueCharacter(c))
            value += c;
    }
    return value;
}

std::optional<std::string> pathTextOf(std::string_view line)
{
    const auto dollar = line.find('$');
    if (dollar == std::string_view::npos)
        return std::nullopt;
    std::string path;
    for (char c : line.substr(0, dollar))
        if (c != '\r' && c != '\n')
            path += c;
    return path;
}

} // namespace

std::string settingsValueText(const AppSettings& settings, int item)
{
    // The field is only read here.
    const Field field = fieldOf(const_cast<AppSettings&>(settings), item);
    if (auto text = std::get_if<std::string*>(&field))
        return **text;
    if (auto number = std::get_if<int*>(&field))
        return std::to_string(**number);
    if (auto flag = std::get_if<bool*>(&field))
        return **flag ? "1" : "0";
    if (auto hex = std::get_if<Hex>(&field)) {
        char buffer[9];
        std::snprintf(buffer, sizeof buffer, "%.8X", static_cast<unsigned>(*hex->value));
        return buffer;
    }
    return *std::get<Path>(field).value + "$";
}

std::string formatSettingsLine(const AppSettings& settings, int item)
{
    std::string line = settingsValueText(settings, item);
    if (line.size() < kValueWidth)
        line.append(kValueWidth - line.size(), ' ');
    line += kComments[static_cast<std::size_t>(item)];
    return line;
}

std::string formatSettingsFile(const AppSettings& settings)
{
    std::string file;
    for (int item = 0; item < AppSettings::kItemCount; ++item)
        file += formatSettingsLine(settings, item);
    return file;
}

ParseStatus parseSettingsFile(std::string_view bytes, AppSettings& settings, int* failedLine)
{
    auto failed = [&](int item, ParseStatus status) {
        if (failedLine)
            *failedLine = item + 1;
        return status;
    };
    // Items the file cannot express (a hexadecimal value that is not one) keep
    // their defaults rather than whatever the caller held before.
    AppSettings parsed;
    std::string_view rest = bytes;
    for (int item = 0; item < AppSettings::kItemCount; ++item) {
        const auto line = takeLine(rest);
        if (!line)
            return failed(item, ParseStatus::EndedEarly);
        const Field field = fieldOf(parsed, item);
        if (item == kTftpPathItem) {
            auto path = pathTextOf(*line);
            if (!path)
                return failed(item, ParseStatus::EndedEarly);
            *std::get<Path>(field).value = std::move(*path);
            continue;
        }
        const std::string value = valueTextOf(*line);
        if (item == 0) {
            if (value != kSettingsFormatVersion)
                return failed(item, ParseStatus::VersionMismatch);
            parsed.formatVersion = value;
        } else if (auto text = std::get_if<std::string*>(&field)) {
            **text = value;
        } else if (auto number = std::get_if<int*>(&field)) {
            **number = leadingNumber(value);
        } else if (auto flag = std::get_if<bool*>(&field)) {
            **flag = leadingNumber(value) != 0;
        } else if (auto hex = std::get_if<Hex>(&field)) {
            if (auto number = hexNumber(value))
                *hex->value = *number;
        }
    }
    settings = std::move(parsed);
    return ParseStatus::Ok;
}

} // namespace utility::shell
