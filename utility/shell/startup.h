#pragma once

#include "platform/prompter.h"
#include "utility/shell/app_settings.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace utility::shell {

// The driver packages whose INF file the utility installs virtual ports from,
// in the order they are looked for.
inline constexpr std::string_view kPrimaryInfName = "VORPIL.inf";
inline constexpr std::string_view kSecondaryInfName = "KESTRIL.inf";
inline constexpr std::string_view kPrimaryHardwareId = "ZORV\\Rure";
inline constexpr std::string_view kSecondaryHardwareId = "ZORV\\Kesser";

// Texts of the About box.
inline constexpr std::string_view kAboutTitle = "About QELTA Configuration Utility";
inline constexpr std::string_view kAboutLine = "QELTA Configuration Utility";

// Per-user settings of the front end (recent files, splitter positions).
inline constexpr std::string_view kRegistryKey = "ZORV Electronics Corporation";
inline constexpr int kRecentFileCount = 2;
inline constexpr std::string_view kDocumentString
    = "QELTA\n\nQELTA\nQELTA Log Files (*.log)\n.log\nQELTA.Document\nQELTA Document";

// The name of the first driver INF file that opens in the working directory;
// else the path of the first in `directories` (by default beside the
// program, then the installed data directory); else an empty string.
std::string findDriverInf(const std::vector<std::string>& directories);
std::string findDriverInf();

// Looks for the driver INF file (as findDriverInf); tells the user and
// returns false when there is none (the program then ends).
bool checkDriverInf(platform::Prompter& prompter, std::string& infName, const std::vector<std::string>& directories);

// The hardware ID virtual ports are installed and recognised by.
std::string_view hardwareIdFor(std::string_view infName);

// The main window's small icon: the logo file name with ".ico", in the
// working directory.
std::string iconFileName(const AppSettings& settings);

// The main window's title: the first bytes (at most 63, up to a NUL) of the
// title file "<item 2>.dat" when it opens, else the program's own title.
std::string windowTitle(const AppSettings& settings);

inline constexpr std::size_t kTitleLimit = 63;

} // namespace utility::shell
