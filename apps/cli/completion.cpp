// The bash completion script, made from a program's declarations: the
// subcommands, the option names, and after an option the values its value
// name stands for.
#include "apps/cli/command_line.h"
#include "apps/cli/help_format.h"
#include "platform/com_names.h"

#include <unistd.h>

#include <cctype>

namespace cli {
namespace {

using detail::commandsOf;
using detail::listed;

std::string functionName(const std::string& program)
{
    std::string name = "_";
    for (char c : program)
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

bool placeholder(const std::string& word)
{
    for (char c : word)
        if (std::islower(static_cast<unsigned char>(c)) || std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

// What bash offers as the value of an option whose value name is `name`:
// a shell command that fills COMPREPLY, or nothing.
std::string valueCompletion(const std::string& name, const std::string& function)
{
    if (name == "FILE" || name == "PATH" || name == "CSV")
        return "compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -f -- \"$cur\"))";
    if (name == "DIR")
        return "compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -d -- \"$cur\"))";
    if (name == "COMn")
        return "COMPREPLY=($(compgen -W \"$(" + function + "_ports)\" -- \"$cur\"))";
    if (name.find('|') == std::string::npos)
        return {};
    std::string choices;
    std::size_t start = 0;
    while (start <= name.size()) {
        const std::size_t end = std::min(name.find('|', start), name.size());
        const std::string word = name.substr(start, end - start);
        if (!word.empty() && !placeholder(word))
            choices += (choices.empty() ? "" : " ") + word;
        start = end + 1;
    }
    return choices.empty() ? std::string() : "COMPREPLY=($(compgen -W \"" + choices + "\" -- \"$cur\"))";
}

void collect(const CLI::App& app, const std::string& path, const std::string& function, std::string& paths,
    std::string& words, std::string& values)
{
    std::string list;
    bool ports = false;
    for (const CLI::Option* option : app.get_options(listed)) {
        if (option->get_positional()) {
            ports = ports || option->get_name() == "COMn" || option->get_name() == "PORT";
            continue;
        }
        std::string names;
        for (const auto& name : option->get_snames())
            names += (names.empty() ? "-" : " -") + name;
        for (const auto& name : option->get_lnames())
            names += (names.empty() ? "--" : " --") + name;
        list += (list.empty() ? "" : " ") + names;
        if (option->get_expected_min() == 0)
            continue;
        const std::string value = valueCompletion(detail::valueName(option), function);
        if (value.empty())
            continue;
        std::string patterns;
        for (const auto& name : option->get_snames())
            patterns += (patterns.empty() ? "" : "|") + ("\"" + path + " -" + name + "\"");
        for (const auto& name : option->get_lnames())
            patterns += (patterns.empty() ? "" : "|") + ("\"" + path + " --" + name + "\"");
        values += "        " + patterns + ") " + value + "; return ;;\n";
    }
    const auto subs = commandsOf(app);
    for (const CLI::App* sub : subs)
        list += (list.empty() ? "" : " ") + sub->get_name();
    words += "        \"" + path + "\") words=\"" + list + "\"";
    if (ports)
        words += "; [[ $cur != -* ]] && words=\"$words $(" + function + "_ports)\"";
    words += " ;;\n";
    for (const CLI::App* sub : subs) {
        const std::string subPath = path + " " + sub->get_name();
        paths += (paths.empty() ? "\"" : "|\"") + subPath + "\"";
        collect(*sub, subPath, function, paths, words, values);
    }
}

} // namespace

std::string bashCompletion(const CLI::App& app)
{
    std::string paths;
    std::string words;
    std::string values;
    const std::string function = functionName(app.get_name());
    collect(app, "", function, paths, words, values);
    std::string script = "# bash completion for " + app.get_name() + ", made by '" + app.get_name()
        + " --completion bash' from its own command line\n"
        // The COM names come from the program itself, as it resolves them.
        + function + "_ports()\n{\n    \"${COMP_WORDS[0]}\" --complete-ports 2>/dev/null\n}\n" + function + "()\n{\n"
        + "    local cur=\"${COMP_WORDS[COMP_CWORD]}\" prev=\"\" path=\"\" word words i\n"
          "    ((COMP_CWORD > 1)) && prev=\"${COMP_WORDS[COMP_CWORD - 1]}\"\n"
          "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
          "        word=\"${COMP_WORDS[i]}\"\n";
    if (!paths.empty())
        script += "        case \"$path $word\" in\n            " + paths + ") path=\"$path $word\" ;;\n        esac\n";
    script += "    done\n";
    if (!values.empty())
        script += "    case \"$path $prev\" in\n" + values + "    esac\n";
    script += "    case \"$path\" in\n" + words
        + "    esac\n"
          "    COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
          "}\n"
          "complete -o default -F "
        + function + " " + app.get_name() + "\n";
    return script;
}

std::vector<std::string> comNames()
{
    const auto resolver = platform::ComNameResolver::fromEnvironment();
    std::vector<std::string> names;
    for (int number = 1; number <= 256; ++number) {
        const std::string name = "COM" + std::to_string(number);
        const std::string device = resolver.resolve(name);
        if (!device.empty() && ::access(device.c_str(), F_OK) == 0)
            names.push_back(name);
    }
    return names;
}

} // namespace cli
