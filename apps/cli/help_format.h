#pragma once

// The help layout the suite's programs share, and what the help, the manual
// text and the completion script read from the declarations.

#include "apps/cli/command_line.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace cli::detail {

inline constexpr std::size_t kWidth = 80;

// The help of every program in one layout: the usage, the description, the
// arguments, options and commands, the notes, the examples and the exit
// statuses.
class Formatter final : public CLI::FormatterBase {
public:
    std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const override;

    std::string head;
    std::map<const CLI::App*, std::string> usages;
    std::map<const CLI::App*, std::string> summaries;
    std::map<const CLI::App*, std::string> exitStatuses;
    std::map<const CLI::App*, std::vector<Example>> examples;
    bool manual = false; // the examples are collected at the manual's end
};

std::shared_ptr<Formatter> formatterOf(const CLI::App& app);

// Lines longer than kWidth broken at blanks, each continuation indented as
// its line was (or at `indent` when given); shorter lines as they are.
std::string fit(const std::string& text, std::size_t indent = std::string::npos);

// The examples of a (sub)command as the help shows them.
std::string examplesText(const CLI::App& app);

bool listed(const CLI::Option* option);
std::vector<const CLI::App*> commandsOf(const CLI::App& app);
std::string optionText(const CLI::Option* option);
std::string valueName(const CLI::Option* option);
// "prog sub subsub": how the user named the (sub)command.
std::string commandPath(const CLI::App& app);

} // namespace cli::detail
