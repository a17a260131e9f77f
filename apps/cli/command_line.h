#pragma once

// The command line of every program of the suite, on CLI11. Each program
// declares its options and subcommands once; from those declarations come
// the help (on stdout, exit 0), the refusal of a bad or unknown argument (on
// stderr, naming it, with the usage of the subcommand it was given to, exit
// 2), `--version`, and the bash completion script.

#include <CLI/CLI.hpp>

#include <string>

namespace cli {

inline constexpr int kContinue = -1; // parse(): go on and do the work
inline constexpr int kExitOk = 0;
inline constexpr int kExitBadArguments = 2;

// Makes `app` one of the suite's programs: its help layout, `-h/--help` and
// `--version`. Call it before adding options and subcommands (they inherit
// the help flag and layout). `usageHead` stands for the program in the
// usage lines of its subcommands, e.g. "qelta [--local ADDR]".
void setUp(CLI::App& app, const std::string& usageHead = {});

// Adds a subcommand whose line in the parent's list of commands is `summary`
// (its description, for its own help, may say more).
CLI::App* addCommand(CLI::App& parent, const std::string& name, const std::string& summary);

// The one line a parent's list of commands shows for this subcommand (else
// the first line of its description).
void setSummary(CLI::App& app, const std::string& summary);

// Replaces the usage line(s) made from the declarations (after "usage: ").
void setUsage(CLI::App& app, const std::string& usage);

// Parses the command line. Returns kContinue when the program is to do its
// work; otherwise the exit status, after the help, the version, the bash
// completion script (`--completion bash`, not shown in the help) or the
// refusal has been printed.
int parse(CLI::App& app, int argc, char** argv);

// Refuses the command line as parse() refuses an argument it does not take,
// for checks that need more than one option; `app` is the (sub)command whose
// usage is shown. Returns kExitBadArguments.
int refuse(const CLI::App& app, const std::string& what);

// The usage line(s) of a (sub)command, without "usage: ".
std::string usage(const CLI::App& app);

// The bash completion script of the program: its subcommands and, for each,
// its option names.
// The program's help and every command's after it (`PROGRAM --help-all`, a
// hidden option the manual pages are made from).
std::string helpForManual(const CLI::App& app);
std::string bashCompletion(const CLI::App& app);

// The deepest subcommand the command line named (the app itself when none).
const CLI::App& selected(const CLI::App& app);

// Values: a dotted IPv4 address ("'1.2.3' is not an IPv4 address"), and a
// whole number within [low, high].
CLI::Validator ipv4();
CLI::Validator wholeNumber(long low, long high);

} // namespace cli
