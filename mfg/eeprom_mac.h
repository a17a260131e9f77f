#pragma once

#include "mfg/config_files.h"
#include "mfg/serial_link.h"
#include "platform/clock.h"
#include "platform/port_io.h"
#include "platform/prompter.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mfg {

inline constexpr std::size_t kEepromEntries = 34;
inline constexpr std::size_t kEepromWriteCommandSize = 14;

// One word of the EEPROM file: four address and four value characters, sent
// as they stand.
struct EepromEntry {
    std::array<char, 4> address {};
    std::array<char, 4> value {};
};

// Reads the entries from the EEPROM file's bytes: two lines per entry, the
// address in characters 1-4 of the first, the value in characters 0-3 of the
// second; lines longer than 79 characters continue as the next line. Missing
// characters of a short line count as '0'. Nothing when the file holds fewer
// than 34 entries.
std::optional<std::vector<EepromEntry>> parseEepromFile(const std::string& bytes);

// The "ew" command for one entry with the current MAC put into entries 6-11
// (characters 2-3 of the value; entry 6 the last byte, entry 11 the first).
std::array<std::uint8_t, kEepromWriteCommandSize> eepromWriteCommand(
    const EepromEntry& entry, std::size_t index, const std::string& currentMac);

// The MAC address an "er" dump shows: the two digits of entries 11 down to 6,
// found at c + 2 + 3k after the first colon c (c = -1 without one), capitals.
// Bytes beyond `dump` count as zero.
std::string macFromDump(const std::uint8_t* dump, std::size_t size);

// Why a read-back failed, for the failed board's log entry: what the step
// with the box number `code` waited for, and for 9 what the board answered
// (`reply`, the bytes read): a dump whose address is not the one written
// (`written`), or a text that is no dump at all.
std::string readBackReason(int code, const std::uint8_t* reply, std::size_t size, const std::string& written);

// Checks that the current MAC lies within the range and parses both ends.
// A failure adds its reason to `resultMessage`.
bool ValidateMacRange(MfgSettings& settings, std::string& resultMessage);

inline constexpr const char* kMacOutOfRange = "The MAC address is out of range now !!\n";

// Whether a range is used up: the current text lies above the end (a
// thirteen-digit current text is the mark of a range used up at
// FFFFFFFFFFFF). Texts that do not parse are not judged here.
bool MacRangeUsedUp(const std::string& currentMac, const std::string& endMac);

// Steps the current MAC after a passing run and rewrites Option.dat in
// `directory`. A range that is used up leaves the current value one above
// its end, so the next board is refused; at FFFFFFFFFFFF that is the
// thirteen-digit 1000000000000, which no range can hold. False, with the
// reason added to `resultMessage`, when Option.dat could not be rewritten.
bool AdvanceMac(const std::string& directory, MfgSettings& settings, std::string& resultMessage);

// Writes the EEPROM file's words with the current MAC into the board's
// EEPROM through its test firmware and, over the serial driver, reads the
// MAC back. Over direct access the bytes go to the UART at LegacyBase.
// A failed read-back shows its box and also leaves "EEPROM read-back failed
// (N): " and the reason in `resultMessage`, so that the failed board's log
// entry says why.
struct EepromTarget {
    SerialLink& link;
    platform::PortIo* portIo; // null: no direct access
    platform::Clock& clock;
    platform::Prompter& prompter;
    // Set once the first word carrying the address goes to the board.
    bool* wordsSent = nullptr;
};
bool WriteEepromData(EepromTarget target, MfgSettings& settings, std::string& resultMessage);

} // namespace mfg
