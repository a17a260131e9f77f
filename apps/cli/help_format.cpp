#include "apps/cli/help_format.h"

#include <cctype>

namespace cli::detail {
namespace {

constexpr std::size_t kDescriptionColumn = 22;

// Fills words into lines of kWidth, the first starting at `firstColumn`,
// every other at `indent`; the text's own line breaks are kept.
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

// Descriptions and notes are sentences: they start with a capital.
std::string capitalized(std::string text)
{
    if (!text.empty() && std::islower(static_cast<unsigned char>(text[0])))
        text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    return text;
}

std::string itemLine(const std::string& left, const std::string& description)
{
    std::string line = "  " + left;
    if (line.size() + 2 > kDescriptionColumn) {
        // A long option text gets its description on the next line.
        line += "\n" + std::string(kDescriptionColumn, ' ');
        return line + wrap(description, kDescriptionColumn, kDescriptionColumn) + "\n";
    }
    line.resize(kDescriptionColumn, ' ');
    return line + wrap(description, line.size(), kDescriptionColumn) + "\n";
}

std::string withBreak(std::string text)
{
    if (!text.empty() && text.back() != '\n')
        text += '\n';
    return text;
}

// A paragraph of the notes that starts "Exit status:" is the exit-status
// section: {the notes without it, its text after the colon}.
std::pair<std::string, std::string> splitExitStatus(const std::string& notes)
{
    const std::string mark = "Exit status:";
    std::size_t start = notes.rfind(mark, 0) == 0 ? 0 : notes.find("\n" + mark);
    if (start == std::string::npos)
        return { notes, {} };
    if (start != 0)
        ++start;
    std::size_t end = notes.find("\n\n", start);
    end = end == std::string::npos ? notes.size() : end;
    std::string status = notes.substr(start + mark.size(), end - start - mark.size());
    status.erase(0, status.find_first_not_of(" \n"));
    // One text: the note's own line breaks were for its old place.
    for (char& c : status)
        c = c == '\n' ? ' ' : c;
    std::string rest = notes.substr(0, start) + (end < notes.size() ? notes.substr(end + 2) : "");
    while (!rest.empty() && rest.back() == '\n')
        rest.pop_back();
    return { rest, status };
}

std::string exitStatusOf(const CLI::App& app, const Formatter& formatter)
{
    for (const CLI::App* current = &app; current != nullptr; current = current->get_parent()) {
        if (const auto found = formatter.exitStatuses.find(current); found != formatter.exitStatuses.end())
            return found->second;
        if (std::string status = splitExitStatus(current->get_footer()).second; !status.empty())
            return status;
    }
    return {};
}

} // namespace

std::shared_ptr<Formatter> formatterOf(const CLI::App& app)
{
    return std::dynamic_pointer_cast<Formatter>(app.get_formatter());
}

std::string fit(const std::string& text, std::size_t indent)
{
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string line = text.substr(start, end - start);
        if (line.size() <= kWidth) {
            out += line;
        } else {
            const std::size_t own = line.find_first_not_of(' ');
            const std::size_t lead = own == std::string::npos ? 0 : own;
            out += std::string(lead, ' ') + wrap(line.substr(lead), lead, indent == std::string::npos ? lead : indent);
        }
        if (end < text.size())
            out += '\n';
        start = end + 1;
    }
    return out;
}

bool listed(const CLI::Option* option) { return !option->get_group().empty(); }

std::vector<const CLI::App*> commandsOf(const CLI::App& app)
{
    return app.get_subcommands([](const CLI::App* sub) { return !sub->get_group().empty(); });
}

std::string valueName(const CLI::Option* option)
{
    const std::string text = option->get_option_text();
    return text.empty() ? option->get_type_name() : text;
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

std::string commandPath(const CLI::App& app)
{
    const CLI::App* parent = app.get_parent();
    return parent == nullptr ? app.get_name() : commandPath(*parent) + " " + app.get_name();
}

std::string examplesText(const CLI::App& app)
{
    const auto formatter = formatterOf(app);
    std::string out;
    if (!formatter)
        return out;
    std::vector<Example> examples;
    if (const auto found = formatter->examples.find(&app); found != formatter->examples.end())
        examples = found->second;
    // A program's help shows its commands' first examples after its own
    // (the manual has every command's anyway).
    for (const CLI::App* command : formatter->manual ? std::vector<const CLI::App*>() : commandsOf(app)) {
        const auto first = formatter->examples.find(command);
        if (examples.size() < 3 && first != formatter->examples.end() && !first->second.empty())
            examples.push_back(first->second.front());
    }
    for (const Example& example : examples)
        out += fit("  $ " + example.command, 6) + "\n      " + wrap(capitalized(example.what), 6, 6) + "\n";
    return out;
}

std::string Formatter::make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const
{
    std::string out = fit("usage: " + usage(*app), 7) + "\n";
    if (!app->get_description().empty())
        out += "\n" + withBreak(fit(capitalized(app->get_description())));

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
    for (const CLI::App* command : commandsOf(*app)) {
        const auto summary = summaries.find(command);
        commands += itemLine(command->get_name(),
            capitalized(summary != summaries.end()
                    ? summary->second
                    : command->get_description().substr(0, command->get_description().find('\n'))));
    }
    if (!commands.empty())
        out += "\ncommands:\n" + commands;
    if (const std::string notes = splitExitStatus(app->get_footer()).first; !notes.empty())
        out += "\n" + withBreak(fit(notes));
    if (const std::string examples = examplesText(*app); !examples.empty() && !manual)
        out += "\nExamples:\n" + examples;
    if (const std::string status = exitStatusOf(*app, *this); !status.empty()) {
        std::string indented = "  ";
        for (char c : status)
            indented += c == '\n' ? std::string("\n  ") : std::string(1, c);
        out += "\nExit status:\n" + withBreak(fit(indented, 2));
    }
    return out;
}

} // namespace cli::detail
