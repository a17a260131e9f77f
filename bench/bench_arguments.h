#pragma once

// A benchmark's command line: optional positional counts, each a whole number
// from 1 to 100000000, on the suite's command-line conventions (--help on
// stdout, --version, a bad or extra argument refused with exit status 2).

#include "apps/cli/command_line.h"

#include <initializer_list>
#include <string>
#include <vector>

namespace bench {

struct Count {
    const char* name; // as the usage shows it, e.g. "DEVICES"
    int* value; // keeps its default when the count is not given
    const char* description;
};

// Returns cli::kContinue when the benchmark is to run, else its exit status.
inline int parseArguments(int argc, char** argv, const std::string& program, const std::string& about,
    std::initializer_list<Count> counts = {})
{
    CLI::App app(about, program);
    cli::setUp(app);
    for (const Count& count : counts)
        app.add_option(
               count.name, *count.value, count.description + (" (default " + std::to_string(*count.value) + ")"))
            ->check(cli::wholeNumber(1, 100000000));
    cli::setExitStatus(app, "0 measured, 1 the measurement failed, 2 bad arguments.");
    std::string given;
    std::string doubled;
    for (const Count& count : counts) {
        given += " " + std::to_string(*count.value);
        doubled += " " + std::to_string(*count.value * 2);
    }
    std::vector<cli::Example> examples { { program, "measure with the default counts" } };
    if (!given.empty())
        examples.push_back({ program + doubled, "measure with twice the counts" });
    examples.push_back({ "scripts/in-netns.sh " + program + given, "measure in a network namespace of its own" });
    cli::addExamples(app, examples);
    return cli::parse(app, argc, argv);
}

} // namespace bench
