#include "apps/qelta/command.h"
#include "apps/qelta/device_command_support.h"

#include "platform/event_loop.h"
#include "platform/json_text.h"
#include "platform/termination_signals.h"
#include "utility/devmgmt/device_list_text.h"
#include "utility/devmgmt/device_monitor.h"
#include "utility/devmgmt/device_view.h"
#include "utility/devmgmt/monitor_history.h"
#include "utility/devmgmt/printable_text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace qelta {

namespace {

const char* const kAbout = R"(Runs the device monitor on the given devices as the Device Monitor view
does: a network search with the stored settings lists them, and their rows
follow in the device table's order, "NO." being the device's index in that
table (counted from 0). Then every interval seconds a cycle sends
StatusQuery to one device after another from the monitor's own socket, each
with a one-second reply timeout. A row is printed whenever it changes after
a reply or a timeout.)";

const char* const kNotes = R"("Monitor function starts" and "Monitor function stoped." go to stderr as the
system log lines.
Exit status: 0 when every device answered in the last cycle, 1 when one did
not, a device is not listed by the search, the monitor socket could not be
created or the CSV file cannot be written, 2 for bad arguments.)";

struct MonitorOptions {
    std::vector<std::string> addresses;
    std::optional<std::string> interval;
    std::optional<int> cycles;
    bool json = false;
    std::optional<std::string> csv;
};

std::string formatRow(const utility::devmgmt::MonitorRow& row, bool json)
{
    using namespace utility::devmgmt;
    if (json) {
        // Texts from the device as "qelta search --json" shows them (a name
        // in Latin-1 as such); the writer replaces whatever is left that is
        // no UTF-8.
        nlohmann::json object;
        object["no"] = std::stoi(row.texts[kMonitorNumber]);
        object["status"] = utf8Text(row.texts[kMonitorStatus]);
        object["name"] = utf8Text(row.texts[kMonitorName]);
        object["ip"] = utf8Text(row.texts[kMonitorIp]);
        object["modem"] = utf8Text(row.texts[kMonitorModem]);
        object["firmware"] = utf8Text(row.texts[kMonitorFirmware]);
        object["tx"] = utf8Text(row.texts[kMonitorTx]);
        object["rx"] = utf8Text(row.texts[kMonitorRx]);
        return platform::jsonText(object) + "\n";
    }
    // The name and the firmware version are the device's own texts: shown
    // raw, a control character in them would drive the terminal.
    const std::string name = escapeControls(row.texts[kMonitorName]);
    const std::string firmware = escapeControls(row.texts[kMonitorFirmware]);
    char line[512];
    std::snprintf(line, sizeof line, "%-4s %-8s %-16s %-15s %-5s %-12s %10s %10s\n", row.texts[kMonitorNumber].c_str(),
        row.texts[kMonitorStatus].c_str(), name.c_str(), row.texts[kMonitorIp].c_str(),
        row.texts[kMonitorModem].c_str(), firmware.c_str(), row.texts[kMonitorTx].c_str(),
        row.texts[kMonitorRx].c_str());
    return line;
}

// The local time as a spreadsheet reads it.
std::string localTimeText()
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

int runMonitor(Context& context, const MonitorOptions& options)
{
    using namespace utility::devmgmt;

    auto& settings = context.shell.settings();
    const auto& selection = context.shell.selection();
    auto loop = platform::makeEpollLoop();
    AskingPrompter prompter(context.prompter, true);
    NoSearchDialogs dialogs;

    DeviceMonitor monitor(*loop, prompter);
    monitor.setLogSink([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
    monitor.setInterval(static_cast<unsigned>(settings.monitorInterval));
    monitor.setIntervalSink([&](unsigned seconds) { settings.monitorInterval = static_cast<int>(seconds); });
    if (options.interval)
        monitor.editInterval(*options.interval);
    if (!monitor.create(selection.effectiveAddress))
        return kExitFailure;
    {
        // The rows as the view builds them: the checked rows of a searched
        // device table, numbered by their index there.
        DeviceView view(*loop, prompter, dialogs);
        view.setLocalAddress(selection.effectiveAddress, selection.netmask);
        view.setPeriods({ settings.searchPeriod, settings.restorePeriod, settings.rebootPeriod });
        if (!searchAndWait(*loop, view))
            return kExitPortTaken;
        if (checkAddresses(view, options.addresses) != options.addresses.size())
            return kExitFailure;
        monitor.rebuild(view);
    }

    std::FILE* csv = nullptr;
    bool csvFailed = false;
    if (options.csv) {
        csv = std::fopen(options.csv->c_str(), "wb");
        if (csv == nullptr) {
            std::fprintf(stderr, "qelta: cannot write %s: %s\n", options.csv->c_str(), std::strerror(errno));
            return kExitFailure;
        }
        const std::string header = monitorCsvHeader();
        csvFailed = std::fwrite(header.data(), 1, header.size(), csv) != header.size() || std::fflush(csv) != 0;
    }
    if (!options.json) {
        std::printf("%-4s %-8s %-16s %-15s %-5s %-12s %10s %10s\n", "NO.", "Status", "Device Name", "IP", "Modem",
            "Firmware", "TX", "RX");
        std::fflush(stdout);
    }
    std::vector<std::string> printed(monitor.rows().size());
    int cycles = 0;
    bool allAnswered = true;
    monitor.setRowDoneCallback([&](std::size_t row) {
        const std::string line = formatRow(monitor.rows()[row], options.json);
        if (line != printed[row]) {
            printed[row] = line;
            std::fwrite(line.data(), 1, line.size(), stdout);
            std::fflush(stdout);
        }
        if (csv != nullptr) {
            const std::string record = monitorCsvLine(localTimeText(), monitor.rows()[row]);
            csvFailed = csvFailed || std::fwrite(record.data(), 1, record.size(), csv) != record.size()
                || std::fflush(csv) != 0;
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
    if (csv != nullptr && (std::fclose(csv) != 0 || csvFailed)) {
        std::fprintf(stderr, "qelta: cannot write %s\n", options.csv->c_str());
        return kExitFailure;
    }
    return allAnswered ? kExitOk : kExitFailure;
}

} // namespace

Runner declareMonitor(CLI::App& command)
{
    auto options = describe<MonitorOptions>(command, kAbout, kNotes);
    addDeviceAddresses(command, options->addresses);
    // Any text: the field corrects it as the view's field does.
    command
        .add_option("--interval", options->interval,
            "seconds between cycle starts, corrected to 3..3600 and stored in Qelta.dat (default: the stored one)")
        ->type_name("N");
    command.add_option("--cycles", options->cycles, "stop after K cycles (default: until interrupted)")
        ->type_name("K")
        ->check(cli::wholeNumber(1, 999999999));
    addJson(command, options->json,
        "print one JSON object per line with the keys no, status, name, ip, modem, firmware, tx and rx");
    command
        .add_option("--csv", options->csv,
            "also write every row of every cycle to FILE (created or replaced) for a spreadsheet: "
            "time,index,name,ip,status,tx,rx with the local time as YYYY-MM-DD HH:MM:SS")
        ->type_name("FILE")
        ->check(CLI::Validator(
            [](std::string& name) { return name.empty() ? std::string("needs a file name") : std::string(); }, "",
            "FILE"));
    return [options](Context& context) { return runMonitor(context, *options); };
}

} // namespace qelta
