#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace utility::shell {

// One COM terminal port's settings. The indices are positions in the
// terminal's selection lists.
struct TerminalSettings {
    int baudRateIndex = 0;
    int dataBitsIndex = 0;
    int parityIndex = 2;
    int stopBitsIndex = 0;
    int flowControlIndex = 0;
    bool echo = false;
    int testIntervalMs = 1000;
    int testDataLength = 10;

    bool operator==(const TerminalSettings&) const = default;
};

// The utility's application settings, one line each in "Qelta.dat" (item
// numbers in the comments). Addresses are numbers whose most significant
// byte is the first dotted part.
struct AppSettings {
    static constexpr int kItemCount = 39;

    std::string formatVersion = "ZORV:1.6"; // 0
    std::string logoFileName = "QELTA_Logo"; // 1
    std::string titleFileName = "QELTA_Title"; // 2
    int searchPeriod = 10; // 3, in 100 ms
    int restorePeriod = 15; // 4, in 100 ms
    int rebootPeriod = 15; // 5, seconds per unit
    bool useExternalBrowser = false; // 6
    bool searchAtStart = false; // 7
    int upgradePeriod = 10; // 8, seconds per device
    std::uint32_t upgradeTftpServer = 0xC0A80001; // 9
    std::string upgradeFileName = "zv.bin"; // 10
    int maxTxPacketSizeSwitch = 0; // 11
    int monitorInterval = 3; // 12, seconds
    std::uint32_t dhcpStart = 0xC0A80064; // 13
    std::uint32_t dhcpEnd = 0xC0A800C8; // 14
    std::uint32_t dhcpGateway = 0xC0A80001; // 15
    std::uint32_t dhcpNetmask = 0xFFFFFF00; // 16
    std::uint32_t dhcpDns = 0x08080808; // 17
    std::uint32_t dhcpServer = 0xC0A80002; // 18
    std::string dhcpBootFile = "zv.bin"; // 19
    std::string tftpFilePath = "C:\\"; // 20
    std::array<TerminalSettings, 2> terminal {}; // 21-28 and 29-36
    int connectionCheckSwitch = 0; // 37
    std::string localHostAddress = "0.0.0.0"; // 38, dotted

    void setDefaults() { *this = AppSettings {}; }
    bool operator==(const AppSettings&) const = default;
};

// The only format version this program reads.
inline constexpr std::string_view kSettingsFormatVersion = "ZORV:1.6";

// The text of "Qelta.dat" for these settings: 39 lines ending in "\r\n".
std::string formatSettingsFile(const AppSettings& settings);

// One item's line of the file (item 0..38), "\r\n" included.
std::string formatSettingsLine(const AppSettings& settings, int item);

// The value text one item is written with (item 0..38).
std::string settingsValueText(const AppSettings& settings, int item);

enum class ParseStatus {
    Ok, // every item read
    VersionMismatch, // item 0 is not the format version this program reads
    EndedEarly, // fewer than 39 complete lines, or no "$" in line 20
};

// Reads the 39 items from the bytes of a settings file into `settings`. Only
// a complete parse assigns `settings`; otherwise it is left as it was.
// Nothing beyond `bytes` is ever read. When the parse fails, `failedLine`
// (if given) gets the number of the line (from 1) where it stopped.
ParseStatus parseSettingsFile(std::string_view bytes, AppSettings& settings, int* failedLine = nullptr);

} // namespace utility::shell
