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
        "usage: kellan-mp <command> [options]\n"
        "\n"
        "commands:\n"
        "  run [--yes]   take one board through the selected items with the settings of\n"
        "                the working directory (Option.dat, com.dat, item.dat); prints each\n"
        "                item's result, then PASS or FAIL and the error message.\n"
        "                --yes answers the operator prompts at once (simulators, scripts).\n"
        "                Exit status: 0 PASS, 1 FAIL, 2 bad arguments or unreadable files.\n"
        "  --help        this text\n"
        "\n"
        "Without a command kellan-mp opens its desktop window (not part of this build).\n");
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.empty()) {
        std::fprintf(stderr, "kellan-mp: the desktop window is not part of this build; try kellan-mp --help\n");
        return 2;
    }
    const std::string command = arguments.front();
    arguments.erase(arguments.begin());
    if (command == "--help" || command == "-h" || command == "help") {
        usage(stdout);
        return 0;
    }
    if (command == "run")
        return kellan_mp::runCommand(arguments);
    std::fprintf(stderr, "kellan-mp: unknown command %s\n", command.c_str());
    usage(stderr);
    return 2;
}
