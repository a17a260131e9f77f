// kellan-mp: the production-line program. Subcommands run the same
// controllers as the desktop pages, headless.

#include "apps/kellan-mp/command.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

void usage(std::FILE* out)
{
    std::fprintf(out,
        "usage: kellan-mp [--portio MODULE] [--records URL] [--station NAME] | <command> [options]\n"
        "\n"
        "commands:\n"
        "  run [--yes] [--portio MODULE] [--records URL] [--station NAME]\n"
        "                take one board through the selected items with the settings of\n"
        "                the working directory (Option.dat, com.dat, item.dat); prints each\n"
        "                item's result, then PASS or FAIL and the error message.\n"
        "                --yes answers the operator prompts at once (simulators, scripts).\n"
        "                Ctrl+C ends the run between two steps and says whether its MAC\n"
        "                address was consumed.\n"
        "                Exit status: 0 PASS, 1 FAIL, 2 bad arguments or unreadable files,\n"
        "                130 interrupted.\n"
        "                Every run is recorded (station, operator, times, MAC, items, the\n"
        "                firmware files' SHA-256): in production.db of the working directory,\n"
        "                or in the store --records URL (or records.dat) names:\n"
        "                postgresql://... or sqlite:PATH. Such a shared store also hands out\n"
        "                the MAC addresses from one range for a line of stations (taken from\n"
        "                Option.dat the first time); Option.dat's MAC lines then show it.\n"
        "                --station names the station (default: the host name).\n"
        "  report [--since YYYY-MM-DD] [--records URL] [--html FILE] [--json]\n"
        "                boards per day, first-pass yield, failures per item (Pareto), MACs\n"
        "                used and left; --html also writes one self-contained page with charts.\n"
        "                Exit status: 0 shown, 1 the records could not be read, 2 bad arguments.\n"
        "  history MAC [--records URL] [--json]\n"
        "                every run of the board with that MAC: items, times, files, station.\n"
        "                Exit status: 0 found, 1 nothing known (or unreadable), 2 bad arguments.\n"
        "  options [--json] [--loader PATH] [--test-fw PATH] [--production-fw PATH]\n"
        "          [--eeprom PATH] [--log PATH] [--client ADDRESS] [--mac-start MAC]\n"
        "          [--mac-end MAC] [--erase 6|7|8|9|10] [--port COMn] [--speed 921.6K|115.2K]\n"
        "          [--portio MODULE|none]\n"
        "                the Option page: prints its fields (Option.dat, com.dat, the usable\n"
        "                COM ports, the port-I/O module of portio.dat); with changes, applies\n"
        "                them as its Apply button does.\n"
        "                Exit status: 0 shown or saved, 1 a field refused, 2 bad arguments.\n"
        "  check-port [COMn] [--portio MODULE]\n"
        "                the Option page's port check on the port of com.dat (or COMn).\n"
        "                Exit status: 0 the port opened, 1 it did not.\n"
        "  items [--json] [--select all|none|BIT,BIT,...]\n"
        "                \"Test Item Selection\": prints the items of item.dat with their\n"
        "                check marks; --select ticks the items given and saves item.dat.\n"
        "  --screenshots DIR\n"
        "                open the window off screen and save pictures of the Test page, the\n"
        "                Option page and the \"Test Item Selection\" dialog in DIR.\n"
        "  --help        this text\n"
        "\n"
        "Direct UART access (the legacy UART of the COM number, register by register)\n"
        "is used only when asked for: --portio MODULE, or the port-I/O module set on the\n"
        "Option page (portio.dat). A bare file name is looked for beside the program,\n"
        "then in the installed module folder; --portio none turns it off. PORTIO_MODULE=none refuses every request,\n"
        "PORTIO_MODULE=PATH serves a request with PATH.\n"
        "\n"
        "Without a command kellan-mp opens its window (the Test and Option pages) when a\n"
        "display is available and the build has the window; --records and --station there\n"
        "are those of run, and the Test page shows the station's boards and yield of the day.\n");
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string portIo, records, station;
    // The window's own options, only when nothing else follows them.
    std::vector<std::string> windowOptions = arguments;
    while (windowOptions.size() >= 2
        && (windowOptions[0] == "--portio" || windowOptions[0] == "--records" || windowOptions[0] == "--station")) {
        (windowOptions[0] == "--portio"           ? portIo
                : windowOptions[0] == "--records" ? records
                                                  : station)
            = windowOptions[1];
        windowOptions.erase(windowOptions.begin(), windowOptions.begin() + 2);
    }
    if (windowOptions.empty())
        arguments.clear();
    if (arguments.empty()) {
        if (kellan_mp::guiBuilt() && kellan_mp::displayAvailable())
            return kellan_mp::runGui(argc, argv, {}, portIo, records, station);
        std::fprintf(stderr, "kellan-mp: %s; try kellan-mp --help\n",
            kellan_mp::guiBuilt() ? "no command given (and no display for the window)"
                                  : "the desktop window is not part of this build");
        return 2;
    }
    const std::string command = arguments.front();
    arguments.erase(arguments.begin());
    if (command == "--help" || command == "-h" || command == "help") {
        usage(stdout);
        return 0;
    }
    if (command == "--screenshots") {
        if (arguments.size() != 1) {
            std::fprintf(stderr, "kellan-mp: --screenshots needs a folder\n");
            return 2;
        }
        if (!kellan_mp::guiBuilt()) {
            std::fprintf(stderr, "kellan-mp: --screenshots needs the window, which this build does not have\n");
            return 2;
        }
        return kellan_mp::runGui(argc, argv, arguments.front(), {});
    }
    if (command == "run")
        return kellan_mp::runCommand(arguments);
    if (command == "options")
        return kellan_mp::optionsCommand(arguments);
    if (command == "check-port")
        return kellan_mp::checkPortCommand(arguments);
    if (command == "items")
        return kellan_mp::itemsCommand(arguments);
    if (command == "report")
        return kellan_mp::reportCommand(arguments);
    if (command == "history")
        return kellan_mp::historyCommand(arguments);
    std::fprintf(stderr, "kellan-mp: unknown command %s\n", command.c_str());
    usage(stderr);
    return 2;
}
