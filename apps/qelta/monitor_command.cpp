#include "apps/qelta/command.h"
#include "apps/qelta/device_command_support.h"

#include "platform/event_loop.h"
#include "platform/termination_signals.h"
#include "utility/devmgmt/device_monitor.h"
#include "utility/devmgmt/device_view.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

namespace qelta {

const std::string_view kMonitorUsage = "--ip ADDR [--ip ADDR]... [--interval N] [--cycles K] [--json]";

const std::string_view kMonitorHelp = R"(usage: qelta [--local ADDR] monitor --ip ADDR [--ip ADDR]... [OPTIONS]

Runs the device monitor on the given devices, in the order given ("NO."
counts from 0): a network search with the stored settings first names them,
then every interval seconds a cycle sends StatusQuery to one device after
another from the monitor's own socket, each with a one-second reply
timeout. A row is printed whenever it changes after a reply or a timeout.

options:
  --ip ADDR      a device's address; may be given many times
  --interval N   seconds between cycle starts, corrected to 3..3600 and
                 stored in Qelta.dat (default: the stored one)
  --cycles K     stop after K cycles (default: until interrupted)
  --json         print one JSON object per line with the keys no, status,
                 name, ip, modem, firmware, tx and rx

"Monitor function starts" and "Monitor function stoped." go to stderr as the
system log lines.
Exit status: 0 when every device answered in the last cycle, 1 when one did
not (or the monitor socket could not be created), 2 for bad arguments.
)";

namespace {

struct MonitorOptions {
    std::vector<std::string> addresses;
    std::optional<std::string> interval;
    std::optional<int> cycles;
    bool json = false;
};

std::string parse(const std::vector<std::string>& arguments, MonitorOptions& options)
{
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        auto next = [&](std::string& out) {
            if (i + 1 >= arguments.size())
                return false;
            out = arguments[++i];
            return true;
        };
        std::string value;
        if (argument == "--ip") {
            if (auto error = takeAddress(arguments, i, options.addresses); !error.empty())
                return error;
        } else if (argument == "--interval") {
            if (!next(value))
                return "--interval needs a number";
            options.interval = value; // corrected as the field corrects it
        } else if (argument == "--cycles") {
            if (!next(value) || !parseNumber(value) || *parseNumber(value) < 1)
                return "--cycles needs a number of at least 1";
            options.cycles = parseNumber(value);
        } else if (argument == "--json") {
            options.json = true;
        } else {
            return "unknown option '" + argument + "'";
        }
    }
    if (options.addresses.empty())
        return "--ip ADDR is required";
    return {};
}

std::string formatRow(const utility::devmgmt::MonitorRow& row, bool json)
{
    using namespace utility::devmgmt;
    if (json) {
        nlohmann::json object;
        object["no"] = std::stoi(row.texts[kMonitorNumber]);
        object["status"] = row.texts[kMonitorStatus];
        object["name"] = row.texts[kMonitorName];
        object["ip"] = row.texts[kMonitorIp];
        object["modem"] = row.texts[kMonitorModem];
        object["firmware"] = row.texts[kMonitorFirmware];
        object["tx"] = row.texts[kMonitorTx];
        object["rx"] = row.texts[kMonitorRx];
        return object.dump() + "\n";
    }
    char line[256];
    std::snprintf(line, sizeof line, "%-4s %-8s %-16s %-15s %-5s %-12s %10s %10s\n", row.texts[kMonitorNumber].c_str(),
        row.texts[kMonitorStatus].c_str(), row.texts[kMonitorName].c_str(), row.texts[kMonitorIp].c_str(),
        row.texts[kMonitorModem].c_str(), row.texts[kMonitorFirmware].c_str(), row.texts[kMonitorTx].c_str(),
        row.texts[kMonitorRx].c_str());
    return line;
}

} // namespace

std::string checkMonitorArguments(const std::vector<std::string>& arguments)
{
    MonitorOptions options;
    return parse(arguments, options);
}

int runMonitor(Context& context)
{
    using namespace utility::devmgmt;
    MonitorOptions options;
    if (!parse(context.arguments, options).empty())
        return kExitBadArguments;

    auto& settings = context.shell.settings();
    const auto& selection = context.shell.selection();
    auto loop = platform::makeEpollLoop();
    AskingPrompter prompter(context.prompter, true);
    NoSearchDialogs dialogs;

    // The names as the device list shows them, from a search.
    std::vector<MonitorTarget> targets;
    {
        DeviceView view(*loop, prompter, dialogs);
        view.setLocalAddress(selection.effectiveAddress, selection.netmask);
        view.setPeriods({ settings.searchPeriod, settings.restorePeriod, settings.rebootPeriod });
        (void)searchAndWait(*loop, view);
        for (std::size_t i = 0; i < options.addresses.size(); ++i) {
            std::string name;
            for (const auto& row : view.rows())
                if (row.texts[kColumnIp] == options.addresses[i])
                    name = row.texts[kColumnName];
            targets.push_back({ i, name, options.addresses[i] });
        }
    }

    DeviceMonitor monitor(*loop, prompter);
    monitor.setLogSink([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
    monitor.setInterval(static_cast<unsigned>(settings.monitorInterval));
    monitor.setIntervalSink([&](unsigned seconds) { settings.monitorInterval = static_cast<int>(seconds); });
    if (options.interval)
        monitor.editInterval(*options.interval);
    if (!monitor.create(selection.effectiveAddress))
        return kExitFailure;
    monitor.rebuild(targets);

    if (!options.json) {
        std::printf("%-4s %-8s %-16s %-15s %-5s %-12s %10s %10s\n", "NO.", "Status", "Device Name", "IP", "Modem",
            "Firmware", "TX", "RX");
        std::fflush(stdout);
    }
    std::vector<std::string> printed(targets.size());
    int cycles = 0;
    bool allAnswered = true;
    monitor.setRowDoneCallback([&](std::size_t row) {
        const std::string line = formatRow(monitor.rows()[row], options.json);
        if (line != printed[row]) {
            printed[row] = line;
            std::fwrite(line.data(), 1, line.size(), stdout);
            std::fflush(stdout);
        }
        if (row == 0)
            allAnswered = true;
        allAnswered = allAnswered && monitor.rows()[row].texts[kMonitorStatus] == "Success";
        if (row + 1 == monitor.rows().size() && options.cycles && ++cycles >= *options.cycles)
            loop->quit(0);
    });
    if (!platform::quitOnTerminationSignals(*loop))
        std::fprintf(stderr, "qelta: cannot catch termination signals\n");
    monitor.clickStart();
    loop->run();
    monitor.clickStart(); // Stop, with its log line
    return allAnswered ? kExitOk : kExitFailure;
}

} // namespace qelta
