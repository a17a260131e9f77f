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
        "usage: kellan-mp [--portio MODULE] | <command> [options]\n"
        "\n"
        "commands:\n"
        "  run [--yes] [--portio MODULE]\n"
        "                take one board through the selected items with the settings of\n"
        "                the working directory (Option.dat, com.dat, item.dat); prints each\n"
        "                item's result, then PASS or FAIL and the error message.\n"
        "                --yes answers the operator prompts at once (simulators, scripts).\n"
        "                Ctrl+C ends the run between two steps and says whether its MAC\n"
        "                address was consumed.\n"
        "                Exit status: 0 PASS, 1 FAIL, 2 bad arguments or unreadable files,\n"
        "                130 interrupted.\n"
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
        "display is available and the build has the window.\n");
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string portIo;
    if (arguments.size() == 2 && arguments[0] == "--portio") {
        portIo = arguments[1];
        arguments.clear();
    }
    if (arguments.empty()) {
        if (kellan_mp::guiBuilt() && kellan_mp::displayAvailable())
            return kellan_mp::runGui(argc, argv, {}, portIo);
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
    std::fprintf(stderr, "kellan-mp: unknown command %s\n", command.c_str());
    usage(stderr);
    return 2;
}
