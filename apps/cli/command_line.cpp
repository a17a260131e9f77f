#include "apps/cli/command_line.h"

#include "platform/net.h"

#include <charconv>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

namespace cli {
namespace {

constexpr std::size_t kWidth = 80;
constexpr std::size_t kDescriptionColumn = 22;

// The help of every program in one layout: the usage, the description, the
// arguments, options and commands, then the footer's notes.
class Formatter final : public CLI::FormatterBase {
public:
    std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const override;

    std::string head;
    std::map<const CLI::App*, std::string> usages;
    std::map<const CLI::App*, std::string> summaries;
};

std::shared_ptr<Formatter> formatterOf(const CLI::App& app)
{
    return std::dynamic_pointer_cast<Formatter>(app.get_formatter());
}

// Fills words into lines of kWidth, every line but the first starting at
// `indent`; the text's own line breaks are kept.
std::string wrap(const std::string& text, std::size_t firstColumn, std::size_t indent)
{
    std::string out;
    std::size_t column = firstColumn;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string line = text.substr(start, end - start);
        std::size_t position = 0;
        bool first = true;
        while (position < line.size()) {
            std::size_t next = line.find(' ', position);
            if (next == std::string::npos)
                next = line.size();
            const std::string word = line.substr(position, next - position);
            position = next + 1;
            if (word.empty())
                continue;
            if (!first && column + 1 + word.size() > kWidth) {
                out += "\n" + std::string(indent, ' ');
                column = indent;
                first = true;
            }
            if (!first) {
                out += ' ';
                ++column;
            }
            out += word;
            column += word.size();
            first = false;
        }
        if (end >= text.size())
            break;
        out += "\n" + std::string(indent, ' ');
        column = indent;
        start = end + 1;
    }
    return out;
}

bool listed(const CLI::Option* option) { return !option->get_group().empty(); }

std::string valueName(const CLI::Option* option)
{
    const std::string text = option->get_option_text();
    return text.empty() ? option->get_type_name() : text;
}

bool repeatable(const CLI::Option* option)
{
    return option->get_multi_option_policy() == CLI::MultiOptionPolicy::TakeAll;
}

// "--ip ADDR", "-h, --help", "--multicast[=GROUP]", or a positional's name.
std::string optionText(const CLI::Option* option)
{
    if (option->get_positional())
        return option->get_name();
    std::string names;
    for (const auto& name : option->get_snames())
        names += (names.empty() ? "-" : ", -") + name;
    for (const auto& name : option->get_lnames())
        names += (names.empty() ? "--" : ", --") + name;
    if (option->get_expected_max() == 0)
        return names;
    if (option->get_expected_min() == 0)
        return names + "[=" + valueName(option) + "]";
    return names + " " + valueName(option);
}

// "prog sub subsub": how the user named the (sub)command.
std::string commandPath(const CLI::App& app)
{
    const CLI::App* parent = app.get_parent();
    return parent == nullptr ? app.get_name() : commandPath(*parent) + " " + app.get_name();
}

std::string itemLine(const std::string& left, const std::string& description)
{
    std::string line = "  " + left;
    if (line.size() + 2 > kDescriptionColumn)
        line += "  ";
    else
        line.resize(kDescriptionColumn, ' ');
    return line + wrap(description, line.size(), kDescriptionColumn) + "\n";
}

std::string Formatter::make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const
{
    std::string out = "usage: " + usage(*app) + "\n";
    auto withBreak = [](std::string text) {
        if (!text.empty() && text.back() != '\n')
            text += '\n';
        return text;
    };
    if (!app->get_description().empty())
        out += "\n" + withBreak(app->get_description());

    std::string arguments;
    std::string options;
    for (const CLI::Option* option : app->get_options(listed)) {
        std::string& list = option->get_positional() ? arguments : options;
        list += itemLine(optionText(option), option->get_description());
    }
    if (!arguments.empty())
        out += "\narguments:\n" + arguments;
    if (!options.empty())
        out += "\noptions:\n" + options;
    std::string commands;
    for (const CLI::App* command :
        app->get_subcommands([](const CLI::App* sub) { return !sub->get_group().empty(); })) {
        const auto summary = summaries.find(command);
        commands += itemLine(command->get_name(),
            summary != summaries.end() ? summary->second
                                       : command->get_description().substr(0, command->get_description().find('\n')));
    }
    if (!commands.empty())
        out += "\ncommands:\n" + commands;
    if (!app->get_footer().empty())
        out += "\n" + withBreak(app->get_footer());
    return out;
}

std::string functionName(const std::string& program)
{
    std::string name = "_";
    for (char c : program)
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

void collectCompletion(const CLI::App& app, const std::string& path, std::string& paths, std::string& words)
{
    std::string list;
    for (const CLI::Option* option : app.get_options(listed)) {
        for (const auto& name : option->get_snames())
            list += (list.empty() ? "-" : " -") + name;
        for (const auto& name : option->get_lnames())
            list += (list.empty() ? "--" : " --") + name;
    }
    const auto subs = app.get_subcommands([](const CLI::App* sub) { return !sub->get_group().empty(); });
    for (const CLI::App* sub : subs)
        list += (list.empty() ? "" : " ") + sub->get_name();
    words += "        \"" + path + "\") words=\"" + list + "\" ;;\n";
    for (const CLI::App* sub : subs) {
        const std::string subPath = path + " " + sub->get_name();
        paths += (paths.empty() ? "\"" : "|\"") + subPath + "\"";
        collectCompletion(*sub, subPath, paths, words);
    }
}

} // namespace

void setUp(CLI::App& app, const std::string& usageHead)
{
    auto formatter = std::make_shared<Formatter>();
    formatter->head = usageHead.empty() ? app.get_name() : usageHead;
    app.formatter(formatter);
    app.set_help_flag("-h,--help", "show this text and exit");
    app.set_version_flag("--version", app.get_name() + " " + SUITE_VERSION, "show the version and exit");
    // A value given twice: the last one counts, as the programs always took it.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

CLI::App* addCommand(CLI::App& parent, const std::string& name, const std::string& summary)
{
    CLI::App* command = parent.add_subcommand(name, summary);
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
    for (const CLI::Option* option : app.get_options(listed)) {
        if (option == app.get_help_ptr() || option->get_lnames() == std::vector<std::string> { "version" })
            continue;
        const std::string text = optionText(option);
        if (option->get_positional())
            line += option->get_required() ? " " + text : " [" + text + "]";
        else if (option->get_required())
            line += " " + text + (repeatable(option) ? " [" + text + "]..." : "");
        else
            optional = true;
    }
    if (optional)
        line += " [OPTIONS]";
    if (app.get_subcommands([](const CLI::App* sub) { return !sub->get_group().empty(); }).size() > 0)
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

namespace {

// The program's help followed by every command's, for the manual page.
void collectHelp(const CLI::App& app, std::string& out)
{
    out += app.help();
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App* s) { return !s->get_group().empty(); })) {
        out += "\n";
        collectHelp(*sub, out);
    }
}

} // namespace

std::string helpForManual(const CLI::App& app)
{
    std::string text;
    collectHelp(app, text);
    // help2man takes a leading "Usage:" as the synopsis.
    if (text.rfind("usage:", 0) == 0)
        text[0] = 'U';
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
    // CLI11 reports what it does not take by throwing; here, and only here,
    // that becomes the refusal and its status.
    try {
        app.parse(argc, argv);
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

std::string bashCompletion(const CLI::App& app)
{
    std::string paths;
    std::string words;
    collectCompletion(app, "", paths, words);
    const std::string function = functionName(app.get_name());
    std::string script = "# bash completion for " + app.get_name() + ", made by '" + app.get_name()
        + " --completion bash' from its own command line\n" + function + "()\n{\n"
        + "    local cur=\"${COMP_WORDS[COMP_CWORD]}\" path=\"\" word words i\n"
          "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
          "        word=\"${COMP_WORDS[i]}\"\n";
    if (!paths.empty())
        script += "        case \"$path $word\" in\n            " + paths + ") path=\"$path $word\" ;;\n        esac\n";
    script += "    done\n"
              "    case \"$path\" in\n"
        + words
        + "    esac\n"
          "    COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
          "}\n"
          "complete -o default -F "
        + function + " " + app.get_name() + "\n";
    return script;
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

CLI::Validator wholeNumber(long low, long high)
{
    return CLI::Validator(
        [low, high](std::string& text) -> std::string {
            long value = 0;
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (error == std::errc() && end == text.data() + text.size() && value >= low && value <= high)
                return {};
            return "'" + text + "' is not a whole number from " + std::to_string(low) + " to " + std::to_string(high);
        },
        "", "number");
}

} // namespace cli
