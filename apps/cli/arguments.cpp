#include "apps/cli/arguments.h"

#include "apps/cli/help_format.h"

#include <cctype>

namespace cli::detail {
namespace {

// A word that names an option rather than a value: "-x", "--name", not "-"
// and not a negative number.
bool looksLikeOption(const std::string& word)
{
    if (word.size() < 2 || word[0] != '-')
        return false;
    return !(std::isdigit(static_cast<unsigned char>(word[1])) || word[1] == '.');
}

CLI::Option* findOption(CLI::App& app, const std::string& word)
{
    for (CLI::App* current = &app; current != nullptr; current = current->get_parent()) {
        for (CLI::Option* option : current->get_options()) {
            if (option->check_name(word))
                return option;
        }
    }
    return nullptr;
}

bool takesValue(const CLI::Option* option) { return option->get_expected_min() > 0; }

// Positionals of `command` that the words before `--` have not filled get
// the words after it, in order.
std::string fillPositionals(CLI::App& command, std::size_t given, const std::vector<std::string>& after)
{
    std::size_t next = 0;
    for (CLI::Option* option : command.get_options([](const CLI::Option* o) { return o->get_positional(); })) {
        const int most = option->get_expected_max();
        std::size_t room = most < 0 || most > 1000 ? after.size() : static_cast<std::size_t>(most);
        // Slots taken by the words before `--`.
        const std::size_t taken = std::min(given, room);
        given -= taken;
        room -= taken;
        for (; room > 0 && next < after.size(); --room)
            option->add_result(after[next++]);
    }
    if (next < after.size())
        return "The following argument was not expected: " + after[next];
    return {};
}

} // namespace

Scan scan(CLI::App& app, int argc, char** argv)
{
    Scan result;
    result.command = &app;
    std::size_t positionals = 0;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--") {
            ++i;
            break;
        }
        result.words.push_back(word);
        if (looksLikeOption(word)) {
            const bool joined = word.find('=') != std::string::npos;
            const std::string name = word.substr(0, word.find('='));
            const CLI::Option* option = findOption(*result.command, name);
            if (option == nullptr || joined || !takesValue(option) || i + 1 >= argc)
                continue;
            const std::string value = argv[i + 1];
            if (looksLikeOption(value)) {
                result.refusal = name + " needs a value; '" + value + "' is an option (write " + name + "=" + value
                    + " if it is the value)";
                return result;
            }
            result.words.push_back(value);
            ++i;
            continue;
        }
        CLI::App* sub = nullptr;
        for (CLI::App* candidate : result.command->get_subcommands({}))
            if (candidate->check_name(word))
                sub = candidate;
        if (sub != nullptr) {
            result.command = sub;
            positionals = 0;
            continue;
        }
        ++positionals;
    }
    std::vector<std::string> after(argv + i, argv + argc);
    if (!after.empty())
        result.refusal = fillPositionals(*result.command, positionals, after);
    return result;
}

} // namespace cli::detail
