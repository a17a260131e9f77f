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

const char* const kAbout = R"(Every command runs the utility's start-up in the working directory (driver
INF check, Qelta.dat, network interface) and saves Qelta.dat at exit.

Without a command qelta opens its window when a display is available.)";

const char* const kNotes = R"(Exit status: the command's own result decides (see COMMAND --help); 1 when
the start-up fails, 2 for bad arguments, 3 when a network port the command
needs is taken. A failed exit save of Qelta.dat is reported on stderr and
does not change the status.)";

} // namespace

int main(int argc, char** argv)
{
    CLI::App app(kAbout, "qelta");
    cli::setUp(app, "qelta [--local ADDR]");
    cli::setUsage(app,
        "qelta [--local ADDR] COMMAND [ARGS...]\n"
        "       qelta [--screenshots DIR [--monitor-cycles N]]   (the window)\n"
        "       qelta --help | --version");
    app.footer(kNotes);
    std::optional<std::string> local;
    std::optional<std::string> screenshots;
    unsigned monitorCycles = 1;
    app.add_option("--screenshots", screenshots,
           "open the window off screen, search, save pictures of the window and its dialogs into DIR and exit")
        ->type_name("DIR");
    app.add_option("--monitor-cycles", monitorCycles,
           "with --screenshots: monitor cycles (1..9, 3 s each when more than one) before the monitor's picture "
           "(default 1)")
        ->type_name("N")
        ->check(cli::wholeNumber(1, 9));
    app.add_option("--local", local,
           "use the local interface with this address when the host has several; remembered in Qelta.dat for "
           "later runs; also taken after the command")
        ->type_name("ADDR")
        ->check(cli::ipv4());
    // One command at most; its options may be followed by qelta's own.
    app.require_subcommand(0, 1);
    app.fallthrough();
    const auto table = qelta::commands();
    std::vector<qelta::Runner> runners;
    for (const auto& command : table) {
        runners.push_back(
            command.declare(*cli::addCommand(app, std::string(command.name), std::string(command.summary))));
    }
    qelta::addExamples(app);
    if (const int status = cli::parse(app, argc, argv); status != cli::kContinue)
        return status;

    const auto chosen = app.get_subcommands();
    if (chosen.empty()) {
        // Without a command: the window, where one can be shown.
        if (qelta::guiBuilt() && (screenshots || qelta::displayAvailable()))
            return qelta::runGui(argc, argv, screenshots.value_or(std::string()), monitorCycles);
        if (screenshots)
            return cli::refuse(app, "--screenshots needs the window, which this build does not have");
        return cli::refuse(
            app, qelta::guiBuilt() ? "no command given (and no display for the window)" : "no command given");
    }
    const auto command = std::find_if(table.begin(), table.end(),
        [&](const qelta::Command& item) { return item.name == chosen.front()->get_name(); });
    const qelta::Runner& run = runners[static_cast<std::size_t>(command - table.begin())];

    CommandLinePrompter prompter(local);
    utility::shell::Shell shell(prompter);
    prompter.rememberFrom(shell.settings());
    if (!shell.startUp())
        return qelta::kExitFailure;
    if (local)
        warnAboutIgnoredLocal(*local, shell);
    qelta::Context context { shell, prompter };
    const int status = run(context);
    std::fflush(stdout);
    // The save's failure is on stderr already; the status stays the
    // command's, so a script learns what the command itself found.
    (void)shell.shutDown();
    return status;
}
