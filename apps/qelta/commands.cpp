#include "apps/qelta/command.h"

#include <array>
#include <cstdio>

namespace qelta {
namespace {

int runStartup(Context& context)
{
    const auto& shell = context.shell;
    const auto& selection = shell.selection();
    std::printf("INF: %s\n", shell.driverInf().c_str());
    std::printf("Hardware ID: %.*s\n", static_cast<int>(shell.hardwareId().size()), shell.hardwareId().data());
    std::printf("Settings: %s\n", context.shell.store().path().c_str());
    std::printf("Address: %s\n", selection.effectiveAddress.c_str());
    std::printf("Netmask: %s\n", selection.netmask.c_str());
    return kExitOk;
}

int runSettings(Context& context)
{
    // The lines as the file holds them, without the carriage returns.
    for (char c : utility::shell::formatSettingsFile(context.shell.settings()))
        if (c != '\r')
            std::putchar(c);
    return kExitOk;
}

Runner declareStartup(CLI::App& command)
{
    cli::setExitStatus(command, "0 shown, 1 the start-up failed, 2 bad arguments.");
    return runStartup;
}

Runner declareSettings(CLI::App& command)
{
    cli::setExitStatus(command, "0 shown, 1 the start-up failed, 2 bad arguments.");
    return runSettings;
}

const std::array kCommands = {
    Command {
        "startup", "run the start-up, show the driver package, settings file and interface, and exit", declareStartup },
    Command { "settings", "show the 39 application settings", declareSettings },
    Command { "search", "search for device servers and print the device table", declareSearch },
    Command { "setup", "change one device's settings as the Device Setup sheet does", declareSetup },
    Command { "monitor", "poll devices' status as the Device Monitor does", declareMonitor },
    Command { "restore", "return devices to their factory settings", declareRestore },
    Command { "reboot", "reboot devices", declareReboot },
    Command { "upgrade", "make one device fetch new firmware from a TFTP server", declareUpgrade },
    Command { "dhcp", "run the DHCP/BOOTP server until interrupted", declareDhcp },
    Command { "tftp", "run the TFTP server until interrupted, its log on stdout", declareTftp },
    Command { "term", "open a serial port as the COM Port Terminal does: print, type, echo, auto test", declareTerm },
    Command { "vsp", "list, add, remove, set, connect and close virtual serial ports; watch them", declareVsp },
};

} // namespace

std::span<const Command> commands() { return kCommands; }

CLI::Option* addDeviceAddress(CLI::App& command, std::string& address)
{
    return command.add_option("--ip", address, "the device's address")
        ->type_name("ADDR")
        ->check(cli::ipv4())
        ->required();
}

CLI::Option* addDeviceAddresses(CLI::App& command, std::vector<std::string>& addresses)
{
    return command.add_option("--ip", addresses, "a device's address; may be given many times")
        ->type_name("ADDR")
        ->check(cli::ipv4())
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->required();
}

CLI::Option* addYes(CLI::App& command, bool& yes, const std::string& what)
{
    return command.add_flag("-y,--yes", yes, what);
}

CLI::Option* addJson(CLI::App& command, bool& json, const std::string& what)
{
    return command.add_flag("--json", json, what);
}

namespace {

void writeWithoutCarriageReturns(std::FILE* stream, const std::string& text)
{
    for (char c : text)
        if (c != '\r')
            std::fputc(c, stream);
}

} // namespace

void printLog(const std::string& text)
{
    writeWithoutCarriageReturns(stdout, text);
    std::fflush(stdout);
}

void printLogLine(const std::string& text)
{
    writeWithoutCarriageReturns(stdout, text);
    if (!text.empty() && text.back() != '\n')
        std::fputc('\n', stdout);
    std::fflush(stdout);
}

void printStatus(const std::string& text)
{
    writeWithoutCarriageReturns(stderr, text);
    std::fflush(stderr);
}

} // namespace qelta
