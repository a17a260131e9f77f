#pragma once

#include "platform/prompter.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mfg {

// The program's settings as the pages and the sequence use them. Missing
// files leave these defaults.
struct MfgSettings {
    std::string loaderPath;
    std::string testFirmwarePath;
    std::string productionFirmwarePath;
    std::string eepromPath;
    std::string logPath;
    std::string clientAddress;
    std::string currentMac;
    std::string endMac;
    // The parsed MAC range; valid only after the range was checked since the
    // start or the last Apply.
    bool macValuesParsed = false;
    std::uint64_t currentMacValue = 0;
    std::uint64_t endMacValue = 0;
    int erase_wait_time = 9; // seconds
    int ItemMask = 255;
    std::string comName = "COM1";
    int comIndex = 0;
    std::uint16_t LegacyBase = 0x3F8;
    std::uint8_t com_port_speed = 0; // 1: 921600 baud ISP
};

// The eight items of the sequence, in bit order.
inline constexpr std::array<const char*, 8> kItemNames = { "Download Boot Loader", "Update Test Firmware", "RAM Test",
    "CPU Test", "EEPROM Test", "HSUART Test", "Write Data Into EEPROM", "Update Production Firmware" };

inline constexpr const char* kOptionFile = "Option.dat";
inline constexpr const char* kComFile = "com.dat";
inline constexpr const char* kItemFile = "item.dat";
inline constexpr const char* kItemFileCreated = "Item.dat";
// The port-I/O module the Option page asks for (one line; none when missing
// or empty). Kept apart from the three settings files, whose lines are fixed.
inline constexpr const char* kPortIoFile = "portio.dat";
inline constexpr const char* kItemFileUnreadable = "item.dat unreadable: all items selected";

// Reads a settings file line by line with a length limit per line. A line
// end (LF or CR LF) is removed; a line longer than its limit keeps its first
// `limit` characters and the rest of it is skipped, so it cannot spill into
// the next setting.
class LineReader {
public:
    explicit LineReader(std::string bytes)
        : m_bytes(std::move(bytes))
    {
    }
    std::optional<std::string> next(std::size_t limit);

private:
    std::string m_bytes;
    std::size_t m_pos = 0;
};

// ItemMask from item.dat's line: its leading decimal number. Nothing when
// there is no number or it is not 0-255: such a file selects no item by
// accident, and a board would pass having been tested for nothing.
std::optional<int> parseItemMask(const std::string& line);

// The module named in portio.dat; empty when none is asked for.
std::string readPortIoFile(const std::string& directory);
bool writePortIoFile(const std::string& directory, const std::string& module);

// The leading decimal number of a text, as the C library converts it
// (blanks, a sign, digits; 0 when there is none; clamped to int).
int leadingNumber(const std::string& text);

// The path of a settings file in `directory`: an existing file whose name
// matches regardless of case (files often come from case-blind systems),
// else the name itself.
std::string settingsFilePath(const std::string& directory, const std::string& name);

// com.dat's speed line: true when the run programs at 921600 baud (the text
// begins with the digit 9), false for 115200 (anything else, or no line).
bool ispSpeedIsFast(const std::string& speedText);

// A path from Option.dat as this system opens it. Paths written with
// backslashes (by Windows tools, or by older versions of the Option page)
// have them read as slashes, unless the path exists exactly as written.
std::string hostFilePath(const std::string& path);

// Seconds of erase wait for Option.dat line 9's first character.
int eraseWaitTimeForChoice(char choice);

// The nine lines of Option.dat.
struct OptionFileData {
    std::string loaderPath, testFirmwarePath, productionFirmwarePath, eepromPath, logPath;
    std::string clientAddress, currentMac, endMac;
    int eraseChoice = 3; // 0..4 for 6..10 s
};
std::string optionFileText(const OptionFileData& data);
bool writeOptionFile(const std::string& directory, const OptionFileData& data);

// Test page: reads Option.dat into the settings; when it is missing adds the
// reason to `resultMessage` and returns false.
bool readOptionFileForTestPage(const std::string& directory, MfgSettings& settings, std::string& resultMessage);
// Test page activation: ItemMask from item.dat (all items, after a warning
// box, when it is unreadable), COM name, index, base and speed from com.dat
// (a warning box when com.dat is missing).
void readItemAndComFiles(const std::string& directory, MfgSettings& settings, platform::Prompter& prompter);
// The items a mask selects, in bit order.
std::vector<int> selectedItems(int itemMask);

// Appends a failed board to the log; when the log does not open adds the
// reason to `resultMessage` and returns false.
bool AppendLog(const std::string& logPath, const std::string& currentMac, std::string& resultMessage);

} // namespace mfg
