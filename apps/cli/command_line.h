#pragma once

// The command line of every program of the suite, on CLI11. Each program
// declares its options and subcommands once; from those declarations come
// the help (on stdout, exit 0), the refusal of a bad or unknown argument (on
// stderr, naming it, with the usage of the subcommand it was given to, exit
// 2), `--version`, the manual page's text and the bash completion script.

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

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
// (its description, for its own help, may say more). The subcommand has its
// own --help and --version and none of the parent's notes.
CLI::App* addCommand(CLI::App& parent, const std::string& name, const std::string& summary);

// The one line a parent's list of commands shows for this subcommand (else
// the first line of its description).
void setSummary(CLI::App& app, const std::string& summary);

// Replaces the usage line(s) made from the declarations (after "usage: ").
void setUsage(CLI::App& app, const std::string& usage);

// An example the help ends with: the command line as typed and what it does.
// Each goes to the help of the (sub)command its words name ("qelta vsp set
// COM5 ..." to vsp set's).
struct Example {
    std::string command;
    std::string what;
};
void addExamples(CLI::App& app, const std::vector<Example>& examples);

// The exit statuses, the help's last section; a paragraph of the notes that
// starts "Exit status:" is taken as well. A subcommand without its own shows
// its program's.
void setExitStatus(CLI::App& app, const std::string& text);

// Parses the command line. Returns kContinue when the program is to do its
// work; otherwise the exit status, after the help, the version, the bash
// completion script (`--completion bash`, not shown in the help) or the
// refusal has been printed. `--` ends the options: what follows it are the
// command's arguments, whatever they look like. An option's value that looks
// like an option is refused unless written `--name=VALUE`.
int parse(CLI::App& app, int argc, char** argv);

// Refuses the command line as parse() refuses an argument it does not take,
// for checks that need more than one option; `app` is the (sub)command whose
// usage is shown. Returns kExitBadArguments.
int refuse(const CLI::App& app, const std::string& what);

// Options that contradict each other: a command line giving two of them is
// refused ("--tcp excludes --udp").
void exclusive(CLI::App& app, std::initializer_list<const char*> names);

// The usage line(s) of a (sub)command, without "usage: ".
std::string usage(const CLI::App& app);

// The program's help and every command's after it, then every example
// (`PROGRAM --help-all`, a hidden option the manual pages are made from).
std::string helpForManual(const CLI::App& app);

// The bash completion script of the program: its subcommands, for each its
// option names, and after an option its values, from the option's value
// name: FILE, PATH or LIST of files; DIR a folder; COMn the COM names this
// host has; words in lower case ("on|off", "6|7|8") the choices.
std::string bashCompletion(const CLI::App& app);

// The COM names this host has (`PROGRAM --complete-ports`, for completion).
std::vector<std::string> comNames();

// The deepest subcommand the command line named (the app itself when none).
const CLI::App& selected(const CLI::App& app);

// Values, refused in one wording: "--baud: 'abc' is not a whole number from
// 50 to 4000000". A dotted IPv4 address, a whole number within [low, high]
// (decimal; no sign, no leading zero that could read as octal), a number
// within [low, high], one of a list of words.
CLI::Validator ipv4();
CLI::Validator wholeNumber(long long low, long long high);
CLI::Validator number(double low, double high);
CLI::Validator oneOf(std::vector<std::string> words);

} // namespace cli
