// Every program and subcommand answers --help on stdout without doing any
// work, and refuses an unknown option or a missing value with status 2,
// naming it and showing its own usage.
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using testing_support::programPath;
using testing_support::TempDir;

namespace {

struct Row {
    const char* program;
    const char* command; // the words after the program, may be empty
    const char* missingValue; // an option (or nothing) whose value is left out; empty: none to leave out
    const char* missingName; // what the refusal names for it
};

// Every program and every subcommand, with another row for an option whose
// value is worth leaving out as well. A row's last option is given without
// its value for the missing-value case.
const Row kRows[] = {
    { "qelta", "", "--local", "--local" },
    { "qelta", "startup", "", "" },
    { "qelta", "settings", "", "" },
    { "qelta", "search", "--period", "--period" },
    { "qelta", "setup", "--ip", "--ip" },
    { "qelta", "monitor", "--ip", "--ip" },
    { "qelta", "restore", "--ip", "--ip" },
    { "qelta", "reboot", "--ip", "--ip" },
    { "qelta", "upgrade", "--ip", "--ip" },
    { "qelta", "dhcp", "--start", "--start" },
    { "qelta", "tftp", "--dir", "--dir" },
    { "qelta", "term", "COM5 --baud", "--baud" },
    { "qelta", "vsp", "", "" },
    { "qelta", "vsp list", "", "" },
    { "qelta", "vsp add", "--com", "--com" },
    { "qelta", "vsp remove", " ", "COMn" },
    { "qelta", "vsp set", "COM5 --remote", "--remote" },
    { "qelta", "vsp set", "COM5 --protocol", "--protocol" },
    { "qelta", "vsp connect", " ", "COMn" },
    { "qelta", "vsp close", " ", "COMn" },
    { "qelta", "vsp watch", "--duration", "--duration" },
    { "vorpild", "", "--runtime-dir", "--runtime-dir" },
    { "vorpild", "", "--frontend", "--frontend" },
    { "devcon", "", "", "" },
    { "devcon", "install", "x.inf", "HARDWARE_ID" },
    { "devcon", "remove", " ", "INSTANCE_ID" },
    { "devcon", "status", "", "" },
    { "devcon", "set", "COM5 --reconnect", "--reconnect" },
    { "devcon", "set", "COM5 --protocol", "--protocol" },
    { "devcon", "serial", "COM5 --baud", "--baud" },
    { "devcon", "connect", " ", "COMn" },
    { "devcon", "server", " ", "COMn" },
    { "devcon", "disconnect", " ", "COMn" },
    { "kellan-mp", "", "--portio", "--portio" },
    { "kellan-mp", "run", "--portio", "--portio" },
    { "kellan-mp", "run", "--yes --records", "--records" },
    { "kellan-mp", "options", "--loader", "--loader" },
    { "kellan-mp", "check-port", "--portio", "--portio" },
    { "kellan-mp", "items", "--select", "--select" },
    { "kellan-mp", "report", "--since", "--since" },
    { "kellan-mp", "history", " ", "MAC" },
    { "devsim", "", "--devices", "--devices" },
    { "boardsim", "", "--options", "--options" },
    { "bench_devmgmt_search", "", "", "" },
    { "bench_driver_loopback", "", "", "" },
    { "bench_mfg_isp", "", "", "" },
    { "bench_mfg_production", "", "", "" },
    { "bench_mfg_mac_allocation", "", "", "" },
};

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
    std::string sockets; // the socket() and bind() calls strace saw
    std::vector<std::string> files; // what the folder holds afterwards
};

std::string read(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs the program in an empty folder under strace; the folder's listing,
// the output and the traced calls come back.
ProgramRun run(const std::string& program, const std::string& arguments)
{
    TempDir dir;
    TempDir side; // the run's own files, outside the folder it runs in
    const std::string command = "cd '" + dir.path() + "' && strace -f -qq -e trace=socket,bind -o '"
        + side.file("trace") + "' '" + programPath(program) + "' " + arguments + " </dev/null >'" + side.file("out")
        + "' 2>'" + side.file("err") + "'; echo $? >'" + side.file("status") + "'";
    ProgramRun result;
    if (std::system(command.c_str()) != 0)
        return result;
    result.status = std::atoi(read(side.file("status")).c_str());
    result.out = read(side.file("out"));
    result.err = read(side.file("err"));
    // The trace: the program's own calls, not the loader's or strace's.
    std::istringstream trace(read(side.file("trace")));
    for (std::string line; std::getline(trace, line);)
        if (line.find("socket(") != std::string::npos || line.find("bind(") != std::string::npos)
            result.sockets += line + "\n";
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        result.files.push_back(entry.path().filename().string());
    return result;
}

bool built(const std::string& program) { return ::access(programPath(program).c_str(), X_OK) == 0; }

std::string name(const Row& row) { return std::string(row.program) + (*row.command ? " " : "") + row.command; }

} // namespace

TEST(CommandLine, HelpPrintsTheUsageOnStdoutAndDoesNoWork)
{
    for (const Row& row : kRows) {
        if (!built(row.program))
            continue; // a build without the benchmarks
        SCOPED_TRACE(name(row));
        const ProgramRun help = run(row.program, std::string(row.command) + " --help");
        EXPECT_EQ(help.status, 0) << help.err;
        EXPECT_EQ(help.out.rfind("usage: " + std::string(row.program), 0), 0u) << help.out;
        EXPECT_EQ(help.err, "");
        EXPECT_EQ(help.sockets, "") << "no socket opened";
        EXPECT_TRUE(help.files.empty()) << "no file written: " << help.files.front();
        // Every help ends with examples and the exit statuses, fits in 80
        // columns, and lists commands with sentences.
        EXPECT_NE(help.out.find("\nExamples:\n  $ "), std::string::npos) << help.out;
        EXPECT_NE(help.out.find("\nExit status:\n  "), std::string::npos) << help.out;
        std::istringstream lines(help.out);
        bool commands = false;
        for (std::string line; std::getline(lines, line);) {
            EXPECT_LE(line.size(), 80u) << line;
            if (commands && line.size() > 22 && line[2] != ' ') {
                EXPECT_TRUE(std::isupper(static_cast<unsigned char>(line[22])) || line[22] == '"') << line;
            }
            commands = line == "commands:" || (commands && !line.empty());
        }
    }
}

TEST(CommandLine, ACommandShowsItsOwnNotesNotItsProgramsNotes)
{
    const ProgramRun items = run("kellan-mp", "items --help");
    EXPECT_EQ(items.status, 0);
    EXPECT_EQ(items.out.find("Direct UART access"), std::string::npos) << items.out;
}

TEST(CommandLine, TwoDashesEndTheOptions)
{
    const struct {
        const char* arguments;
        const char* refusal; // on stderr, with status 2
    } cases[] = {
        { "setup -- --help", "qelta: setup: The following argument was not expected: --help\n" },
        { "-- --help", "qelta: The following argument was not expected: --help\n" },
        { "vsp remove -- --help", "qelta: vsp remove: COMn: '--help' is not a port name (COMn)\n" },
        { "vsp remove COM5 -- COM6", "qelta: vsp remove: The following argument was not expected: COM6\n" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const ProgramRun refused = run("qelta", c.arguments);
        EXPECT_EQ(refused.status, 2);
        EXPECT_EQ(refused.out, "");
        EXPECT_EQ(refused.err.rfind(c.refusal, 0), 0u) << refused.err;
    }
}

TEST(CommandLine, AnOptionsValueThatLooksLikeAnOptionIsRefusedUnlessJoined)
{
    const ProgramRun refused = run("kellan-mp", "run --station --help");
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.out, "") << "no help, no run";
    EXPECT_NE(
        refused.err.find("--station needs a value; '--help' is an option (write --station=--help"), std::string::npos)
        << refused.err;
    EXPECT_TRUE(refused.files.empty());
}

TEST(CommandLine, AnUnknownOptionIsNamedWithTheUsageAndStatusTwo)
{
    for (const Row& row : kRows) {
        if (!built(row.program))
            continue;
        SCOPED_TRACE(name(row));
        const ProgramRun bad = run(row.program, std::string(row.command) + " --no-such-option");
        EXPECT_EQ(bad.status, 2);
        EXPECT_NE(bad.err.find("--no-such-option"), std::string::npos) << bad.err;
        // The usage of the subcommand it was given to, not the program's.
        const auto usage = bad.err.find("usage: " + std::string(row.program));
        ASSERT_NE(usage, std::string::npos) << bad.err;
        const std::string usageLine = bad.err.substr(usage, bad.err.find('\n', usage) - usage) + " ";
        if (*row.command) {
            EXPECT_NE(usageLine.find(" " + std::string(row.command) + " "), std::string::npos) << usageLine;
        }
        EXPECT_EQ(bad.out, "");
        EXPECT_EQ(bad.sockets, "") << "refused before any work";
        EXPECT_TRUE(bad.files.empty());
    }
}

TEST(CommandLine, AMissingValueIsNamedWithStatusTwo)
{
    for (const Row& row : kRows) {
        if (!built(row.program) || !*row.missingValue)
            continue;
        SCOPED_TRACE(name(row));
        const ProgramRun bad = run(row.program, std::string(row.command) + " " + row.missingValue);
        EXPECT_EQ(bad.status, 2);
        EXPECT_NE(bad.err.find(row.missingName), std::string::npos) << bad.err;
        EXPECT_EQ(bad.out, "");
        EXPECT_TRUE(bad.files.empty());
    }
}

TEST(CommandLine, EveryProgramAndCommandTellsItsVersion)
{
    for (const Row& row : kRows) {
        if (!built(row.program))
            continue;
        SCOPED_TRACE(name(row));
        const ProgramRun version = run(row.program, std::string(row.command) + " --version");
        EXPECT_EQ(version.status, 0) << version.err;
        EXPECT_EQ(version.out.rfind(std::string(row.program) + " ", 0), 0u) << version.out;
    }
}

TEST(CommandLine, TheManualPagesTextHoldsEveryCommandsHelp)
{
    // help2man reads `--help-all`: the synopsis first, then each command's
    // own usage and options.
    const ProgramRun all = run("devcon", "--help-all");
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(all.out.rfind("Usage: devcon", 0), 0u) << all.out;
    for (const char* command : { "install", "remove", "status", "set", "serial", "connect", "server", "disconnect" })
        EXPECT_NE(all.out.find(std::string("usage: devcon ") + command), std::string::npos) << command;
    EXPECT_NE(all.out.find("--protocol"), std::string::npos) << "set's options are there";
    EXPECT_TRUE(all.files.empty());
    EXPECT_TRUE(all.sockets.empty());
}

TEST(CommandLine, TheCompletionScriptOffersTheSubcommandsAndTheirOptions)
{
    const ProgramRun script = run("qelta", "--completion bash");
    ASSERT_EQ(script.status, 0);
    TempDir dir;
    dir.write("qelta.bash", script.out);
    dir.write("offer.sh",
        ". \"$(dirname \"$0\")/qelta.bash\"\n"
        "COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _qelta; printf '%s\\n' \"${COMPREPLY[@]}\"\n");
    // What bash offers after the words typed so far; `current` is the word
    // being completed.
    auto offered = [&](const std::string& words, const std::string& current) {
        const std::string command
            = "bash '" + dir.file("offer.sh") + "' qelta " + words + " '" + current + "' >'" + dir.file("reply") + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
        return dir.read("reply");
    };
    EXPECT_NE(offered("", "se").find("setup\n"), std::string::npos);
    EXPECT_NE(offered("", "se").find("search\n"), std::string::npos);
    EXPECT_NE(offered("setup", "--s").find("--set\n"), std::string::npos);
    EXPECT_EQ(offered("setup", "--s").find("--screenshots"), std::string::npos) << "qelta's own, not setup's";
    EXPECT_NE(offered("vsp set", "--re").find("--remote\n"), std::string::npos);
    EXPECT_NE(offered("monitor --ip 127.0.0.1", "--cy").find("--cycles\n"), std::string::npos);
}
