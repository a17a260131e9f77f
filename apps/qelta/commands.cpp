#include "apps/qelta/command.h"

#include <array>
#include <cstdio>

namespace qelta {
namespace {

std::string noArguments(const std::vector<std::string>& arguments)
{
    if (arguments.empty())
        return {};
    return "unexpected argument '" + arguments.front() + "'";
}

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

const std::array kCommands = {
    Command { "startup", "", "run the start-up, show the driver package, settings file and interface, and exit", {},
        noArguments, runStartup },
    Command { "settings", "", "show the 39 application settings", {}, noArguments, runSettings },
    Command { "search", kSearchUsage, "search for device servers and print the device table", kSearchHelp,
        checkSearchArguments, runSearch },
    Command { "setup", kSetupUsage, "change one device's settings as the Device Setup sheet does", kSetupHelp,
        checkSetupArguments, runSetup },
    Command { "monitor", kMonitorUsage, "poll devices' status as the Device Monitor does", kMonitorHelp,
        checkMonitorArguments, runMonitor },
    Command { "restore", kRestoreUsage, "return devices to their factory settings", kRestoreHelp, checkRestoreArguments,
        runRestore },
    Command { "reboot", kRebootUsage, "reboot devices", kRebootHelp, checkRebootArguments, runReboot },
    Command { "upgrade", kUpgradeUsage, "make one device fetch new firmware from a TFTP server", kUpgradeHelp,
        checkUpgradeArguments, runUpgrade },
    Command {
        "dhcp", kDhcpUsage, "run the DHCP/BOOTP server until interrupted", kDhcpHelp, checkDhcpArguments, runDhcp },
    Command { "tftp", kTftpUsage, "run the TFTP server until interrupted, its log on stdout", kTftpHelp,
        checkTftpArguments, runTftp },
    Command { "term", kTermUsage, "open a serial port as the COM Port Terminal does: print, type, echo, auto test",
        kTermHelp, checkTermArguments, runTerm },
    Command { "vsp", kVspUsage, "list, add, remove, set, connect and close virtual serial ports; watch them", kVspHelp,
        checkVspArguments, runVsp },
};

} // namespace

std::span<const Command> commands() { return kCommands; }

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
