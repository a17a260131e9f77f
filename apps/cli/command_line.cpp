#include "apps/cli/command_line.h"

#include "apps/cli/arguments.h"
#include "apps/cli/help_format.h"
#include "platform/net.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <stdio_ext.h>
#include <unistd.h>

namespace cli {

namespace {

std::string g_programName;

// At exit: stdout's bytes are the program's result, so a result that could
// not be written whole (a full disk, a pipe's reader gone) makes the exit
// status 1. A stdout closed before a program that printed nothing is no
// failure.
void closeStandardOutput()
{
    const bool failedBefore = std::ferror(stdout) != 0;
    const bool pending = __fpending(stdout) != 0;
    const bool closeFailed = std::fclose(stdout) != 0;
    const int code = errno;
    if (!failedBefore && !(closeFailed && (pending || code != EBADF)))
        return;
    const std::string why = closeFailed ? std::strerror(code) : "write error";
    std::fprintf(stderr, "%s: cannot write standard output: %s\n", g_programName.c_str(), why.c_str());
    ::_exit(1);
}

} // namespace

using detail::commandPath;
using detail::formatterOf;

void setUp(CLI::App& app, const std::string& usageHead)
{
    auto formatter = std::make_shared<detail::Formatter>();
    formatter->head = usageHead.empty() ? app.get_name() : usageHead;
    app.formatter(formatter);
    app.set_help_flag("-h,--help", "show this text and exit");
    app.set_version_flag("--version", app.get_name() + " " + SUITE_VERSION, "show the version and exit");
    // A value given twice: the last one counts, as the programs always took it.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    // Every program of the suite: its exit status says whether its result
    // (on stdout) was written.
    if (g_programName.empty()) {
        g_programName = app.get_name();
        std::atexit(closeStandardOutput);
    }
}

CLI::App* addCommand(CLI::App& parent, const std::string& name, const std::string& summary)
{
    CLI::App* command = parent.add_subcommand(name, summary);
    // The parent's notes are about the parent.
    command->footer("");
    const CLI::App* root = &parent;
    while (root->get_parent() != nullptr)
        root = root->get_parent();
    command->set_version_flag("--version", root->get_name() + " " + SUITE_VERSION, "show the version and exit");
    setSummary(*command, summary);
    return command;
}

void setSummary(CLI::App& app, const std::string& text)
{
    if (auto formatter = formatterOf(app))
        formatter->summaries[&app] = text;
}

void setUsage(CLI::App& app, const std::string& text)
{
    if (auto formatter = formatterOf(app))
        formatter->usages[&app] = text;
}

void addExamples(CLI::App& app, const std::vector<Example>& examples)
{
    auto formatter = formatterOf(app);
    if (!formatter)
        return;
    for (const Example& example : examples) {
        CLI::App* target = &app;
        std::size_t start = example.command.find(' ');
        while (start != std::string::npos) {
            const std::size_t end = example.command.find(' ', start + 1);
            const std::string word = example.command.substr(start + 1, end - start - 1);
            for (CLI::App* sub : target->get_subcommands({}))
                if (sub->check_name(word))
                    target = sub;
            start = end;
        }
        formatter->examples[target].push_back(example);
    }
}

void setExitStatus(CLI::App& app, const std::string& text)
{
    if (auto formatter = formatterOf(app))
        formatter->exitStatuses[&app] = text;
}

std::string usage(const CLI::App& app)
{
    const auto formatter = formatterOf(app);
    if (formatter) {
        if (const auto found = formatter->usages.find(&app); found != formatter->usages.end())
            return found->second;
    }
    std::string line;
    if (app.get_parent() == nullptr) {
        line = formatter ? formatter->head : app.get_name();
    } else {
        // The program's head, then the subcommands' names below it.
        const std::string path = commandPath(app);
        const std::string root = path.substr(0, path.find(' '));
        line = (formatter ? formatter->head : root) + path.substr(root.size());
    }
    bool optional = false;
    for (const CLI::Option* option : app.get_options(detail::listed)) {
        if (option == app.get_help_ptr() || option->get_lnames() == std::vector<std::string> { "version" })
            continue;
        const std::string text = detail::optionText(option);
        if (option->get_positional())
            line += option->get_required() ? " " + text : " [" + text + "]";
        else if (option->get_required())
            line += " " + text
                + (option->get_multi_option_policy() == CLI::MultiOptionPolicy::TakeAll ? " [" + text + "]..." : "");
        else
            optional = true;
    }
    if (optional)
        line += " [OPTIONS]";
    if (!detail::commandsOf(app).empty())
        line += app.get_require_subcommand_min() > 0 ? " COMMAND [ARGS...]" : " [COMMAND [ARGS...]]";
    return line;
}

const CLI::App& selected(const CLI::App& app)
{
    const CLI::App* current = &app;
    for (auto subs = current->get_subcommands(); !subs.empty(); subs = current->get_subcommands())
        current = subs.back();
    return *current;
}

int refuse(const CLI::App& app, const std::string& what)
{
    const std::string path = commandPath(app);
    std::fprintf(stderr, "%s: %s\nusage: %s\n'%s --help' tells more.\n",
        (path.find(' ') == std::string::npos ? path
                                             : path.substr(0, path.find(' ')) + ":" + path.substr(path.find(' ')))
            .c_str(),
        what.c_str(), usage(app).c_str(), path.c_str());
    return kExitBadArguments;
}

void exclusive(CLI::App& app, std::initializer_list<const char*> names)
{
    for (const char* first : names)
        for (const char* second : names)
            if (std::string_view(first) != second)
                app.get_option(first)->excludes(app.get_option(second));
}

namespace {

// The program's help followed by every command's, for the manual page.
void collectHelp(const CLI::App& app, std::string& out, std::string& examples)
{
    out += app.help();
    examples += detail::examplesText(app);
    for (const CLI::App* sub : detail::commandsOf(app)) {
        out += "\n";
        collectHelp(*sub, out, examples);
    }
}

} // namespace

std::string helpForManual(const CLI::App& app)
{
    std::string text;
    std::string examples;
    const auto formatter = formatterOf(app);
    if (formatter)
        formatter->manual = true;
    collectHelp(app, text, examples);
    if (formatter)
        formatter->manual = false;
    // help2man takes a leading "Usage:" as the synopsis and "Examples:" as
    // the EXAMPLES section, which comes last.
    if (text.rfind("usage:", 0) == 0)
        text[0] = 'U';
    if (!examples.empty())
        text += "\nExamples:\n" + examples;
    return text;
}

int parse(CLI::App& app, int argc, char** argv)
{
    if (argc == 2 && std::string_view(argv[1]) == "--help-all") {
        std::fputs(helpForManual(app).c_str(), stdout);
        return kExitOk;
    }
    if (argc >= 2 && std::string_view(argv[1]) == "--completion") {
        if (argc != 3 || std::string_view(argv[2]) != "bash")
            return refuse(app, "--completion takes the shell's name: bash");
        std::fputs(bashCompletion(app).c_str(), stdout);
        return kExitOk;
    }
    if (argc == 2 && std::string_view(argv[1]) == "--complete-ports") {
        for (const std::string& name : comNames())
            std::printf("%s\n", name.c_str());
        return kExitOk;
    }
    const detail::Scan scanned = detail::scan(app, argc, argv);
    if (!scanned.refusal.empty())
        return refuse(*scanned.command, scanned.refusal);
    // CLI11 reports what it does not take by throwing; here, and only here,
    // that becomes the refusal and its status.
    try {
        app.parse(std::vector<std::string>(scanned.words.rbegin(), scanned.words.rend()));
    } catch (const CLI::CallForVersion& version) {
        std::printf("%s\n", version.what());
        return kExitOk;
    } catch (const CLI::Success&) {
        // --help (also after a subcommand: that subcommand's help).
        const CLI::App& shown = selected(app);
        std::fputs(shown.help().c_str(), stdout);
        return kExitOk;
    } catch (const CLI::ParseError& error) {
        // An argument nobody takes is named first: what is missing may be
        // what it was meant to give.
        if (const auto unknown = app.remaining(true);
            !unknown.empty() && !dynamic_cast<const CLI::ExtrasError*>(&error))
            return refuse(selected(app), "The following argument was not expected: " + unknown.front());
        return refuse(selected(app), error.what());
    }
    return kContinue;
}

CLI::Validator ipv4()
{
    return CLI::Validator(
        [](std::string& text) -> std::string {
            if (text.size() <= 15 && platform::parseIpv4(text))
                return {};
            return "'" + text + "' is not an IPv4 address";
        },
        "", "IPv4");
}

CLI::Validator wholeNumber(long long low, long long high)
{
    return CLI::Validator(
        [low, high](std::string& text) -> std::string {
            long long value = 0;
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (!text.empty() && text[0] != '-' && error == std::errc() && end == text.data() + text.size()
                && value >= low && value <= high)
                return {};
            return "'" + text + "' is not a whole number from " + std::to_string(low) + " to " + std::to_string(high);
        },
        "", "number");
}

namespace {

std::string shortNumber(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

} // namespace

CLI::Validator number(double low, double high)
{
    return CLI::Validator(
        [low, high](std::string& text) -> std::string {
            double value = 0;
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (error == std::errc() && end == text.data() + text.size() && std::isfinite(value) && value >= low
                && value <= high)
                return {};
            return "'" + text + "' is not a number from " + shortNumber(low) + " to " + shortNumber(high);
        },
        "", "number");
}

CLI::Validator oneOf(std::vector<std::string> words)
{
    std::string list;
    for (std::size_t i = 0; i < words.size(); ++i)
        list += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
    return CLI::Validator(
        [words, list](std::string& text) -> std::string {
            for (const auto& word : words)
                if (text == word)
                    return {};
            return "'" + text + "' is not " + list;
        },
        "", "");
}

} // namespace cli
