#pragma once

#include "utility/devmgmt/device_config.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace utility::devmgmt {

// The device setting file: the 43 item values of the setup sheet, one line
// each in item order, padded to 24 characters and followed by a fixed comment
// ending in CR LF.

inline constexpr std::size_t kSettingValueWidth = 24;
inline constexpr std::size_t kSettingFileLimit = 50000;
inline constexpr std::string_view kSettingFileFilter = "Qelta Device Setting files (*.txt)|*.txt|";
inline constexpr std::string_view kSaveProposedName = "Qelta_Device_Setting";
inline constexpr std::string_view kLoadProposedName = "Palomir_Setting_Prototype";

// The comment of item `item` (1..43), leading space and CR LF included.
std::string_view settingComment(int item);

// The whole file text for the given values.
std::string formatSettingFile(const DeviceItems& values);

// The 43 value texts of a file as loading reads them: each value is every
// character from the start of its line up to the first space (or CR, LF or
// the end of the data); the next value starts after the next CR and the byte
// after it. Items the data does not reach come back empty; nothing past the
// end of `data` is ever read.
std::array<std::string, kItemCount> readSettingValues(std::string_view data);

// How many of the 43 item lines the data reaches (a last line without a
// line end counts).
int settingLinesIn(std::string_view data);

// How an item of the file reaches the sheet.
enum class LoadRule {
    Ignored, // 2, 5, 8, 9, 32, 33: never applied, never reported as empty
    Text, // the text of a control or hidden field
    Number, // a decimal number
    Switch, // a check box or radio pair: 0 or 1
    List, // a list index
    Events, // the five SMTP event lists, from the byte-swapped hexadecimal mask
};
LoadRule loadRule(int item);

// An item value the sheet does not take: its number, the value and why.
struct RefusedItem {
    int item = 0;
    std::string value;
    std::string why;
};

// Applies the values read from a file to the sheet's values. Items with an
// empty value are left unchanged and listed in `emptyItems` (item numbers,
// in order). Values the sheet could not show as they are, or would send
// otherwise than shown (see settingValueProblem), leave the item unchanged
// and are listed in `refusedItems`.
void applySettingValues(const std::array<std::string, kItemCount>& values, DeviceItems& sheet,
    std::vector<int>& emptyItems, std::vector<RefusedItem>& refusedItems);
void applySettingValues(
    const std::array<std::string, kItemCount>& values, DeviceItems& sheet, std::vector<int>& emptyItems);

// The longest value text of an item: the limits of the sheet's controls (16
// for the name, 15 for addresses, 36 for the other texts) and 128 for the
// firmware file name; npos for items that are no text.
inline constexpr std::size_t kAddressTextLimit = 15;
inline constexpr long kConnectionTimeoutLimit = 20;
std::size_t settingTextLimit(int item);
// Items that hold a dotted IPv4 address.
bool isAddressItem(int item);
// The item's name as its comment gives it: "Netmask", "Baud rate(bps)".
std::string settingItemName(int item);
// Why a non-empty value of item `item` cannot stand: too long for its
// control, no dotted IPv4 address, a list index the list lacks, a number its
// field cannot hold. Empty when the value is fine. `strict` (a value given on
// the command line) also wants plain digits for numbers and list indexes, 0
// or 1 for switches and at most four hexadecimal digits for the events.
std::string settingValueProblem(int item, std::string_view value, bool strict);
// "Item 17 (Netmask) ..." for a refused value.
std::string refusedItemMessage(const RefusedItem& refused);
// The values among `values` that loading a setting file would refuse (so
// a file saved with them could not be loaded back).
std::vector<RefusedItem> unloadableValues(const DeviceItems& values);

// The five event bits (cold start, warm start, authentication fail, IP
// change, password change) as the sheet keeps item 34: the low byte first.
std::string formatEventBits(unsigned bits);
// The five event bits of an item-34 text (the first two hexadecimal digits).
unsigned parseEventBits(std::string_view text);

// Entries of each list control of the sheet, for the range of item values.
int listSize(int item);

} // namespace utility::devmgmt
