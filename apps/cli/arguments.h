#pragma once

// The words of a command line as the suite reads them before CLI11 does:
// `--` ends the options, and an option's value that looks like an option
// is refused unless joined with `=`.

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace cli::detail {

struct Scan {
    CLI::App* command = nullptr; // the deepest (sub)command named
    std::vector<std::string> words; // what CLI11 parses: the words before `--`
    std::string refusal; // empty: the words may be parsed
};

// The words after `--` become the named command's arguments (given to its
// positionals here, so that nothing after `--` is read as an option).
Scan scan(CLI::App& app, int argc, char** argv);

} // namespace cli::detail
