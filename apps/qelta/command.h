#pragma once

#include "platform/prompter.h"
#include "utility/shell/shell.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qelta {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1; // the start-up failed, or the command did
inline constexpr int kExitBadArguments = 2;
inline constexpr int kExitPortTaken = 3; // a socket the command needs could not be bound
inline constexpr int kExitNoDriverHost = 3; // vorpild is not running (as devcon says it)

// What a subcommand works with: the started shell and its own arguments.
struct Context {
    utility::shell::Shell& shell;
    platform::Prompter& prompter;
    std::vector<std::string> arguments;
};

// One subcommand of qelta. Every subcommand runs after the common start-up,
// and the settings are saved after it returns.
struct Command {
    std::string_view name;
    std::string_view usage; // arguments after the name, for --help
    std::string_view summary;
    // Shown by "qelta COMMAND --help"; empty for commands without options.
    std::string_view help;
    // Checks the arguments before anything starts; returns an empty text when
    // they are fine, otherwise what is wrong.
    std::string (*checkArguments)(const std::vector<std::string>& arguments);
    int (*run)(Context& context);
};

// A view's log text as a terminal wants it: log boxes end lines in "\r\n".
// printLog writes to stdout, printStatus to stderr; printLogLine also ends
// a text that has no line end of its own.
void printLog(const std::string& text);
void printLogLine(const std::string& text);
void printStatus(const std::string& text);

// Every subcommand, in the order --help lists them. Add new ones to the table
// in commands.cpp.
std::span<const Command> commands();

// The window (gui_qt.cpp, or gui_none.cpp in a build without Qt).
bool guiBuilt();
bool displayAvailable();
int runGui(int argc, char** argv, const std::string& screenshotDir, unsigned monitorCycles);

// The search command (search_command.cpp).
std::string checkSearchArguments(const std::vector<std::string>& arguments);
int runSearch(Context& context);
extern const std::string_view kSearchUsage;
extern const std::string_view kSearchHelp;

// The dhcp command (dhcp_command.cpp).
std::string checkDhcpArguments(const std::vector<std::string>& arguments);
int runDhcp(Context& context);
extern const std::string_view kDhcpUsage;
extern const std::string_view kDhcpHelp;

// The TFTP server command (tftp_command.cpp).
std::string checkTftpArguments(const std::vector<std::string>& arguments);
int runTftp(Context& context);
extern const std::string_view kTftpUsage;
extern const std::string_view kTftpHelp;

// The setup command (setup_command.cpp).
std::string checkSetupArguments(const std::vector<std::string>& arguments);
int runSetup(Context& context);
extern const std::string_view kSetupUsage;
extern const std::string_view kSetupHelp;

// The COM terminal command (term_command.cpp).
std::string checkTermArguments(const std::vector<std::string>& arguments);
int runTerm(Context& context);
extern const std::string_view kTermUsage;
extern const std::string_view kTermHelp;

// The device monitor and the restore, reboot and upgrade commands
// (monitor_command.cpp, restore_command.cpp, reboot_command.cpp,
// upgrade_command.cpp).
std::string checkMonitorArguments(const std::vector<std::string>& arguments);
int runMonitor(Context& context);
extern const std::string_view kMonitorUsage;
extern const std::string_view kMonitorHelp;
std::string checkRestoreArguments(const std::vector<std::string>& arguments);
int runRestore(Context& context);
extern const std::string_view kRestoreUsage;
extern const std::string_view kRestoreHelp;
std::string checkRebootArguments(const std::vector<std::string>& arguments);
int runReboot(Context& context);
extern const std::string_view kRebootUsage;
extern const std::string_view kRebootHelp;
std::string checkUpgradeArguments(const std::vector<std::string>& arguments);
int runUpgrade(Context& context);
extern const std::string_view kUpgradeUsage;
extern const std::string_view kUpgradeHelp;

// The virtual serial port command (vsp_command.cpp).
std::string checkVspArguments(const std::vector<std::string>& arguments);
int runVsp(Context& context);
extern const std::string_view kVspUsage;
extern const std::string_view kVspHelp;

} // namespace qelta
