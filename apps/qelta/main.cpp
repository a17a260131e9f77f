#include "apps/qelta/command.h"
#include "platform/net.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

// The console answers the interface dialog as a user picking from the list
// would: the address given by --local, else the one chosen last time (item 38)
// while the host still has it, else the preselected entry.
class CommandLinePrompter final : public platform::Prompter {
public:
    explicit CommandLinePrompter(std::optional<std::string> local)
        : m_local(std::move(local))
    {
    }
    // The settings whose item 38 holds the last choice, once they are loaded.
    void rememberFrom(const utility::shell::AppSettings& settings) { m_settings = &settings; }

    void message(const std::string& text, const std::string& title, platform::MessageIcon icon) override
    {
        m_console.message(text, title, icon);
    }
    bool confirm(
        const std::string& text, const std::string& title, platform::MessageIcon icon, bool defaultYes) override
    {
        return m_console.confirm(text, title, icon, defaultYes);
    }
    int choose(const std::string& title, const std::string& text, const std::string& label,
        const std::vector<std::string>& options, int preselected) override
    {
        const std::string* const candidates[]
            = { m_local ? &*m_local : nullptr, m_settings ? &m_settings->localHostAddress : nullptr };
        for (const std::string* wanted : candidates) {
            if (!wanted)
                continue;
            // As numbers: "010.0.0.1" typed into Qelta.dat is 10.0.0.1.
            const auto number = platform::parseIpv4(*wanted);
            const auto found = std::find_if(options.begin(), options.end(), [&](const std::string& option) {
                return option == *wanted || (number && platform::parseIpv4(option) == number);
            });
            if (found != options.end())
                return static_cast<int>(found - options.begin());
        }
        return m_console.choose(title, text, label, options, preselected);
    }
    std::string openFile(const std::string& title, const std::string& filter, const std::string& proposedName) override
    {
        return m_console.openFile(title, filter, proposedName);
    }
    std::string saveFile(const std::string& title, const std::string& filter, const std::string& proposedName) override
    {
        return m_console.saveFile(title, filter, proposedName);
    }
    std::string chooseFolder(const std::string& title, const std::string& start) override
    {
        return m_console.chooseFolder(title, start);
    }
    void beep(int frequencyHz, int durationMs) override { m_console.beep(frequencyHz, durationMs); }

private:
    platform::ConsolePrompter m_console;
    std::optional<std::string> m_local;
    const utility::shell::AppSettings* m_settings = nullptr;
};

// --local only chooses among the host's addresses; one that is none of them
// is ignored, and the user is told which address is used instead.
void warnAboutIgnoredLocal(const std::string& local, const utility::shell::Shell& shell)
{
    const std::string& used = shell.selection().effectiveAddress;
    if (platform::parseIpv4(used) == platform::parseIpv4(local))
        return;
    std::string list;
    for (const auto& address : platform::hostAddresses())
        list += (list.empty() ? "" : ", ") + address;
    std::fprintf(stderr, "qelta: --local %s is not one of this host's addresses (%s); using %s\n", local.c_str(),
        list.c_str(), used.empty() ? "none" : used.c_str());
}

void printUsage(std::FILE* out)
{
    std::fprintf(out,
        "usage: qelta [--local ADDR] COMMAND [ARGS...]\n"
        "       qelta [--screenshots DIR]   (the window)\n"
        "       qelta --help\n"
        "\n"
        "Every command runs the utility's start-up in the working directory (driver\n"
        "INF check, Qelta.dat, network interface) and saves Qelta.dat at exit.\n"
        "\n"
        "Exit status: the command's own result decides (see COMMAND --help); 1 when\n"
        "the start-up fails, 2 for bad arguments, 3 when a network port the command\n"
        "needs is taken. A failed exit save of Qelta.dat is reported on stderr and\n"
        "does not change the status.\n"
        "\n"
        "Without a command qelta opens its window when a display is available.\n"
        "\n"
        "options:\n"
        "  --screenshots DIR  open the window off screen, search, save pictures of the\n"
        "                     window and its dialogs into DIR and exit\n"
        "  --monitor-cycles N  with --screenshots: monitor cycles (1..9, 3 s each when\n"
        "                     more than one) before the monitor's picture (default 1)\n"
        "  --local ADDR  use the local interface with this address when the host has several;\n"
        "                remembered in Qelta.dat for later runs\n"
        "  --help        show this text\n"
        "\n"
        "commands:\n");
    for (const auto& command : qelta::commands()) {
        const std::string head
            = std::string(command.name) + (command.usage.empty() ? "" : " ") + std::string(command.usage);
        std::fprintf(
            out, "  %-12s  %.*s\n", head.c_str(), static_cast<int>(command.summary.size()), command.summary.data());
    }
}

int badArguments(const std::string& what)
{
    std::fprintf(stderr, "qelta: %s\n", what.c_str());
    printUsage(stderr);
    return qelta::kExitBadArguments;
}

// A command's own usage: what the user got wrong is in its options, not in
// the list of commands.
int badCommandArguments(const qelta::Command& command, const std::string& what)
{
    const std::string name(command.name);
    std::fprintf(stderr, "qelta: %s: %s\n", name.c_str(), what.c_str());
    std::fprintf(stderr, "usage: qelta [--local ADDR] %s%s%.*s\n", name.c_str(), command.usage.empty() ? "" : " ",
        static_cast<int>(command.usage.size()), command.usage.data());
    if (!command.help.empty())
        std::fprintf(stderr, "'qelta %s --help' tells more.\n", name.c_str());
    return qelta::kExitBadArguments;
}

} // namespace

int main(int argc, char** argv)
{
    std::optional<std::string> local;
    std::optional<std::string> screenshots;
    unsigned monitorCycles = 1;
    std::vector<std::string> rest;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            // After a command name, the command's own help.
            if (!rest.empty()) {
                for (const auto& command : qelta::commands()) {
                    if (command.name != rest.front())
                        continue;
                    if (!command.help.empty()) {
                        std::fwrite(command.help.data(), 1, command.help.size(), stdout);
                    } else {
                        // A command without options: its line and what it does.
                        std::printf("usage: qelta [--local ADDR] %.*s\n\n%.*s\n", static_cast<int>(command.name.size()),
                            command.name.data(), static_cast<int>(command.summary.size()), command.summary.data());
                    }
                    return qelta::kExitOk;
                }
            }
            printUsage(stdout);
            return qelta::kExitOk;
        }
        if (argument == "--screenshots") {
            if (i + 1 >= argc)
                return badArguments("--screenshots needs a folder");
            screenshots = argv[++i];
            continue;
        }
        if (argument == "--monitor-cycles") {
            const std::string value = i + 1 < argc ? argv[++i] : "";
            if (value.size() != 1 || value[0] < '1' || value[0] > '9')
                return badArguments("--monitor-cycles needs a number 1..9");
            monitorCycles = static_cast<unsigned>(value[0] - '0');
            continue;
        }
        if (argument == "--local") {
            if (i + 1 >= argc)
                return badArguments("--local needs an address");
            local = argv[++i];
            if (!platform::parseIpv4(*local))
                return badArguments("'" + *local + "' is not an IPv4 address");
            continue;
        }
        rest.push_back(argument);
    }
    if (rest.empty()) {
        // Without a command: the window, where one can be shown.
        if (qelta::guiBuilt() && (screenshots || qelta::displayAvailable()))
            return qelta::runGui(argc, argv, screenshots.value_or(std::string()), monitorCycles);
        if (screenshots)
            return badArguments("--screenshots needs the window, which this build does not have");
        return badArguments(
            qelta::guiBuilt() ? "no command given (and no display for the window)" : "no command given");
    }
    const auto table = qelta::commands();
    const auto command = std::find_if(
        table.begin(), table.end(), [&](const qelta::Command& item) { return item.name == rest.front(); });
    if (command == table.end())
        return badArguments("unknown command '" + rest.front() + "'");
    rest.erase(rest.begin());
    if (const std::string problem = command->checkArguments(rest); !problem.empty())
        return badCommandArguments(*command, problem);

    CommandLinePrompter prompter(local);
    utility::shell::Shell shell(prompter);
    prompter.rememberFrom(shell.settings());
    if (!shell.startUp())
        return qelta::kExitFailure;
    if (local)
        warnAboutIgnoredLocal(*local, shell);
    qelta::Context context { shell, prompter, std::move(rest) };
    const int status = command->run(context);
    std::fflush(stdout);
    // The save's failure is on stderr already; the status stays the
    // command's, so a script learns what the command itself found.
    (void)shell.shutDown();
    return status;
}
