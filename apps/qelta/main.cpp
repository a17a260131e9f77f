#include "apps/qelta/command.h"
#include "platform/net.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

// The console answers the interface dialog with the address given by
// --local, as a user picking it from the list would; without one (or when
// it is not in the list) the preselected entry stands.
class CommandLinePrompter final : public platform::Prompter {
public:
    explicit CommandLinePrompter(std::optional<std::string> local)
        : m_local(std::move(local))
    {
    }
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
        if (!m_local)
            return m_console.choose(title, text, label, options, preselected);
        const auto found = std::find(options.begin(), options.end(), *m_local);
        if (found != options.end())
            return static_cast<int>(found - options.begin());
        std::fprintf(stderr, "qelta: %s is not one of this host's addresses\n", m_local->c_str());
        return preselected;
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
};

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
        "Without a command qelta opens its window when a display is available.\n"
        "\n"
        "options:\n"
        "  --screenshots DIR  open the window off screen, search, save pictures of the\n"
        "                     window and its dialogs into DIR and exit\n"
        "  --local ADDR  use the local interface with this address when the host has several\n"
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

} // namespace

int main(int argc, char** argv)
{
    std::optional<std::string> local;
    std::optional<std::string> screenshots;
    std::vector<std::string> rest;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            // After a command name, the command's own help.
            if (!rest.empty()) {
                for (const auto& command : qelta::commands()) {
                    if (command.name == rest.front() && !command.help.empty()) {
                        std::fwrite(command.help.data(), 1, command.help.size(), stdout);
                        return qelta::kExitOk;
                    }
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
            return qelta::runGui(argc, argv, screenshots.value_or(std::string()));
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
        return badArguments(std::string(command->name) + ": " + problem);

    CommandLinePrompter prompter(local);
    utility::shell::Shell shell(prompter);
    if (!shell.startUp())
        return qelta::kExitFailure;
    qelta::Context context { shell, prompter, std::move(rest) };
    const int status = command->run(context);
    std::fflush(stdout);
    if (!shell.shutDown())
        return qelta::kExitFailure;
    return status;
}
