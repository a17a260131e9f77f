// kellan-mp: the production-line program. Subcommands run the same
// controllers as the desktop pages, headless.

#include "apps/kellan-mp/command.h"
#include "mfg/option_page.h"

#include <cstdio>
#include <string>

CLI::Validator kellan_mp::notEmpty()
{
    return CLI::Validator(
        [](std::string& text) { return text.empty() ? std::string("needs a value") : std::string(); }, "", "");
}

namespace {

const char* const kAbout = R"(The production line: flashes, tests and provisions one board at a time with
the settings of the working directory (Option.dat, com.dat, item.dat).
Without a command kellan-mp opens its window (the Test and Option pages) when a
display is available and the build has the window; --records and --station there
are those of run, and the Test page shows the station's boards and yield of the day.)";

const char* const kNotes = R"(Direct UART access (the legacy UART of the COM number, register by register)
is used only when asked for: --portio MODULE, or the port-I/O module set on the
Option page (portio.dat). A bare file name is looked for beside the program,
then in the installed module folder; --portio none turns it off.
PORTIO_MODULE=none refuses every request, PORTIO_MODULE=PATH serves a request
with PATH.)";

const char* const kPortIo
    = "the port-I/O module for direct UART access (a bare name is looked for beside the program, then in the "
      "installed module folder); none: no direct UART access";

const char* const kRecords = "the store the runs are recorded in: postgresql://... or sqlite:PATH (default: "
                             "records.dat, else production.db of the working directory); none: no records";
const char* const kStation = "the station's name in the records (default: the host name)";

using kellan_mp::notEmpty;

// The Option page's MAC fields hold 12 hexadecimal digits: more are never cut off.
CLI::Validator macAddress()
{
    return CLI::Validator(
        [](std::string& text) {
            // Shorter or not hexadecimal: the page's own Apply says what is wrong.
            if (text.size() <= 12)
                return std::string();
            return "'" + text + "' is not a MAC address of 12 hexadecimal digits";
        },
        "", "");
}

// The Option page's path fields hold at most `limit` characters.
CLI::Validator pathOfAtMost(std::size_t limit)
{
    return CLI::Validator(
        [limit](std::string& text) {
            if (!text.empty() && text.size() <= limit)
                return std::string();
            return "'" + text + "' is not a path of 1 to " + std::to_string(limit) + " characters";
        },
        "", "");
}

void declareRun(CLI::App& app, kellan_mp::RunArguments& arguments)
{
    app.description("take one board through the selected items with the settings of the working directory "
                    "(Option.dat, com.dat, item.dat); prints each item's result, then PASS or FAIL and the error "
                    "message.");
    app.footer("Ctrl+C ends the run between two steps and says whether its MAC address was consumed; a\n"
               "second Ctrl+C within 2 s ends the program at once.\n"
               "Exit status: 0 PASS, 1 FAIL, 2 bad arguments or unreadable files, 3 the board passed but\n"
               "its run could not be recorded (PASS, NOT RECORDED), 130 interrupted.\n\n"
               "Every run is recorded (station, operator, times, MAC, items, the firmware\n"
               "files' SHA-256): in production.db of the working directory, or in the store\n"
               "--records URL (or records.dat) names: postgresql://... or sqlite:PATH. Such a\n"
               "shared store also hands out the MAC addresses from one range for a line of\n"
               "stations (taken from Option.dat the first time); Option.dat's MAC lines then\n"
               "show it.");
    app.add_flag("-y,--yes", arguments.yes, "answer the operator prompts at once (simulators, scripts)");
    app.add_option("--portio", arguments.portIo, kPortIo)->type_name("MODULE|none")->check(notEmpty());
    app.add_option("--records", arguments.records, kRecords)->type_name("URL")->check(notEmpty());
    app.add_option("--station", arguments.station, kStation)->type_name("NAME")->check(notEmpty());
}

void declareOptions(CLI::App& app, kellan_mp::OptionsArguments& arguments)
{
    app.description("the Option page: prints its fields (Option.dat, com.dat, the usable COM ports, the port-I/O "
                    "module of portio.dat); with changes, applies them as its Apply button does.");
    app.footer("Exit status: 0 shown or saved, 1 a field refused, 2 bad arguments.");
    arguments.command = &app;
    app.add_flag("--json", arguments.json, "print the fields as a JSON object");
    const struct {
        const char* name;
        const char* value;
        const char* description;
    } fields[] = { { "loader", "PATH", "the loader file" }, { "test-fw", "PATH", "the test firmware" },
        { "production-fw", "PATH", "the production firmware" }, { "eeprom", "PATH", "the EEPROM file" },
        { "log", "PATH", "the log file" }, { "client", "ADDRESS", "the address given to the board" },
        { "mac-start", "MAC", "the first MAC address of the range" },
        { "mac-end", "MAC", "the last MAC address of the range" },
        { "erase", "6|7|8|9|10", "the erase waiting time, in seconds" },
        { "port", "COMn", "the COM port (one of the usable ports)" }, { "speed", "921.6K|115.2K", "the ISP speed" },
        { "portio", "MODULE|none", kPortIo } };
    for (const auto& field : fields) {
        const std::string name = field.name;
        auto* option = app.add_option_function<std::string>(
            "--" + name, [&arguments, name](const std::string& value) { arguments.changes[name] = value; },
            field.description);
        option->type_name(field.value);
        if (name == "erase")
            option->check(cli::oneOf({ "6", "7", "8", "9", "10" }));
        else if (name == "speed")
            option->check(cli::oneOf({ "921.6K", "115.2K" }));
        else if (name == "client")
            option->check(cli::ipv4());
        else if (name == "mac-start" || name == "mac-end")
            option->check(macAddress());
        else if (std::string(field.value) == "PATH")
            option->check(pathOfAtMost(mfg::OptionPage::kPathLimit));
        else
            option->check(notEmpty());
    }
}

void declareItems(CLI::App& app, kellan_mp::ItemsArguments& arguments)
{
    app.footer("Exit status: 0 shown or saved, 1 item.dat could not be saved, 2 bad arguments.");
    app.description("\"Test Item Selection\": prints the items of item.dat with their check marks; --select ticks "
                    "the items given and saves item.dat.");
    app.add_flag("--json", arguments.json, "print the items as a JSON array");
    app.add_option("--select", arguments.select, "tick these items (bits 0-7), all or none, and save item.dat")
        ->type_name("all|none|BIT,BIT,...")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                if (text == "all" || text == "none")
                    return {};
                for (std::size_t i = 0; i < text.size(); ++i) {
                    const bool bit = i % 2 == 0 ? text[i] >= '0' && text[i] <= '7' : text[i] == ',';
                    if (!bit || text.back() == ',')
                        return "takes all, none or item bits 0-7 separated by commas";
                }
                return text.empty() ? "takes all, none or item bits 0-7 separated by commas" : "";
            },
            "", ""));
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app(kAbout, "kellan-mp");
    cli::setUp(app);
    app.footer(kNotes);
    std::string portIo;
    std::string records;
    std::string station;
    std::optional<std::string> screenshots;
    app.add_option(
           "--portio", portIo, "the window, with this port-I/O module for direct UART access (as run's --portio)")
        ->type_name("MODULE|none")
        ->check(notEmpty());
    app.add_option("--records", records, "the window, recording its runs in this store (as run's --records)")
        ->type_name("URL")
        ->check(notEmpty());
    app.add_option("--station", station, "the window, as this station (as run's --station)")
        ->type_name("NAME")
        ->check(notEmpty());
    app.add_option("--screenshots", screenshots,
           "open the window off screen and save pictures of the Test page, the Option page and the \"Test Item "
           "Selection\" dialog in DIR")
        ->type_name("DIR");
    app.require_subcommand(0, 1);

    kellan_mp::RunArguments run;
    declareRun(*cli::addCommand(app, "run", "take one board through the selected items"), run);
    kellan_mp::OptionsArguments options;
    declareOptions(
        *cli::addCommand(app, "options", "the Option page: show its fields, or change and apply them"), options);
    kellan_mp::CheckPortArguments checkPort;
    CLI::App* check
        = cli::addCommand(app, "check-port", "the Option page's port check on the port of com.dat (or COMn)");
    check->footer("Exit status: 0 the port opened, 1 it did not.");
    check->add_option("COMn", checkPort.port, "the port to check instead of the one of com.dat");
    check->add_option("--portio", checkPort.portIo, kPortIo)->type_name("MODULE|none")->check(notEmpty());
    kellan_mp::ItemsArguments items;
    declareItems(
        *cli::addCommand(app, "items", "\"Test Item Selection\": show or select the items of item.dat"), items);
    kellan_mp::ReportArguments report;
    kellan_mp::declareReport(
        *cli::addCommand(app, "report", "boards per day, first-pass yield, failures per item, MACs used and left"),
        report);
    kellan_mp::HistoryArguments history;
    kellan_mp::declareHistory(*cli::addCommand(app, "history", "every run of the board with that MAC"), history);
    kellan_mp::RecordsArguments recordsSchema;
    kellan_mp::declareRecords(
        *cli::addCommand(app, "records", "make (init) or upgrade the records schema"), recordsSchema);

    cli::setExitStatus(app,
        "without a command 0 when the window was closed, 2 for bad arguments or no window to show; with a "
        "command its own (see COMMAND --help).");
    cli::addExamples(app,
        {
            { "kellan-mp", "open the window on the settings of the working folder" },
            { "kellan-mp --records postgresql://line@db/production --station line-2",
                "the window, recording into the line's shared store as station line-2" },
            { "kellan-mp run --yes", "take one board through the selected items without operator prompts" },
            { "kellan-mp run --records sqlite:/srv/line/production.db --station bench-1",
                "record the run in a shared SQLite store" },
            { "kellan-mp options", "print the Option page's fields" },
            { "kellan-mp options --port COM3 --erase 8", "choose COM3 and an 8 s erase wait, and apply" },
            { "kellan-mp options --mac-start 0090E8000100 --mac-end 0090E80001FF --json",
                "set the MAC range; print the fields as JSON" },
            { "kellan-mp check-port", "check the port of com.dat" },
            { "kellan-mp check-port COM3 --portio none", "check COM3 without direct UART access" },
            { "kellan-mp items", "print the items with their check marks" },
            { "kellan-mp items --select 0,1,5", "tick items 0, 1 and 5 and save item.dat" },
            { "kellan-mp items --select all --json", "tick every item; print them as JSON" },
            { "kellan-mp report", "boards per day, yield, failures per item and MACs of the store" },
            { "kellan-mp report --since 2026-01-01 --html report.html", "this year's report, also as a web page" },
            { "kellan-mp history 0090E8000142", "every run of the board with that MAC" },
            { "kellan-mp history 0090E8000142 --json --records sqlite:production.db",
                "the same from another store, as JSON" },
        });
    if (const int status = cli::parse(app, argc, argv); status != cli::kContinue)
        return status;
    const auto chosen = app.get_subcommands();
    if (chosen.empty()) {
        if (screenshots && !kellan_mp::guiBuilt())
            return cli::refuse(app, "--screenshots needs the window, which this build does not have");
        if (screenshots)
            return kellan_mp::runGui(argc, argv, *screenshots, {});
        if (kellan_mp::guiBuilt() && kellan_mp::displayAvailable())
            return kellan_mp::runGui(argc, argv, {}, portIo, records, station);
        return cli::refuse(app,
            kellan_mp::guiBuilt() ? "no command given (and no display for the window)"
                                  : "the desktop window is not part of this build");
    }
    const std::string command = chosen.front()->get_name();
    if (screenshots)
        return cli::refuse(app, "--screenshots is for the window, not for " + command);
    // The window's options given before a command go to the command when it
    // takes them; where they cannot apply they are refused, never dropped.
    struct Given {
        const char* name;
        const std::string& value;
        std::string* target; // the command's own option; null: it has none
    };
    std::string* noTarget = nullptr;
    const Given given[] = {
        { "--portio", portIo,
            command == "run"              ? &run.portIo
                : command == "check-port" ? &checkPort.portIo
                                          : noTarget },
        { "--records", records,
            command == "run"           ? &run.records
                : command == "report"  ? &report.records
                : command == "history" ? &history.records
                : command == "records" ? &recordsSchema.records
                                       : noTarget },
        { "--station", station, command == "run" ? &run.station : noTarget },
    };
    for (const Given& option : given) {
        if (option.value.empty())
            continue;
        if (!option.target)
            return cli::refuse(app, std::string(option.name) + " does not apply to " + command);
        if (!option.target->empty() && *option.target != option.value)
            return cli::refuse(app,
                std::string(option.name) + " is given twice, before and after " + command + ", with different values");
        *option.target = option.value;
    }
    if (command == "run")
        return kellan_mp::runCommand(run);
    if (command == "options")
        return kellan_mp::optionsCommand(options);
    if (command == "check-port")
        return kellan_mp::checkPortCommand(checkPort);
    if (command == "report")
        return kellan_mp::reportCommand(report);
    if (command == "history")
        return kellan_mp::historyCommand(history);
    if (command == "records")
        return kellan_mp::recordsCommand(recordsSchema);
    return kellan_mp::itemsCommand(items);
}
