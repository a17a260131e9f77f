#pragma once

#include "apps/cli/command_line.h"
#include "platform/prompter.h"
#include "utility/shell/shell.h"

#include <functional>
#include <memory>
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

// What a subcommand works with: the started shell and the prompter.
struct Context {
    utility::shell::Shell& shell;
    platform::Prompter& prompter;
};

// Runs a subcommand with the values its declaration collected.
using Runner = std::function<int(Context&)>;

// One subcommand of qelta. Every subcommand runs after the common start-up,
// and the settings are saved after it returns. `declare` puts its options on
// `command` (where the help, the refusals and the completion come from) and
// returns what runs it with their values; nothing in it starts any work.
struct Command {
    std::string_view name;
    std::string_view summary;
    Runner (*declare)(CLI::App& command);
};

// The start of a subcommand's declaration: the texts its help shows around
// the options, and the values the options fill (kept by its runner).
template <typename Options> std::shared_ptr<Options> describe(CLI::App& command, const char* about, const char* notes)
{
    command.description(about);
    command.footer(notes);
    return std::make_shared<Options>();
}

// Options several subcommands take, declared once. "--ip ADDR" for one
// device or (repeatable) for several; --yes answers the questions; --json
// prints JSON, as `what` says.
CLI::Option* addDeviceAddress(CLI::App& command, std::string& address);
CLI::Option* addDeviceAddresses(CLI::App& command, std::vector<std::string>& addresses);
CLI::Option* addYes(CLI::App& command, bool& yes, const std::string& what);
CLI::Option* addJson(CLI::App& command, bool& json, const std::string& what);

// A view's log text as a terminal wants it: log boxes end lines in "\r\n".
// printLog writes to stdout, printStatus to stderr; printLogLine also ends
// a text that has no line end of its own.
void printLog(const std::string& text);
void printLogLine(const std::string& text);
void printStatus(const std::string& text);

// Every subcommand, in the order --help lists them. Add new ones to the table
// in commands.cpp.
std::span<const Command> commands();

// The examples of qelta's help and its commands' (examples.cpp).
void addExamples(CLI::App& app);

// The window (gui_qt.cpp, or gui_none.cpp in a build without Qt).
bool guiBuilt();
bool displayAvailable();
int runGui(int argc, char** argv, const std::string& screenshotDir, unsigned monitorCycles);

// The subcommands' declarations (one file each; restore and reboot share
// device_command_support.cpp).
Runner declareSearch(CLI::App& command);
Runner declareDhcp(CLI::App& command);
Runner declareTftp(CLI::App& command);
Runner declareSetup(CLI::App& command);
Runner declareTerm(CLI::App& command);
Runner declareMonitor(CLI::App& command);
Runner declareRestore(CLI::App& command);
Runner declareReboot(CLI::App& command);
Runner declareUpgrade(CLI::App& command);
Runner declareVsp(CLI::App& command);

} // namespace qelta
