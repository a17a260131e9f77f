// Values every program refuses in one wording (status 2, naming the option
// and what it takes), the benchmark scripts' numbers, the completion of
// values and the manual pages' examples.
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

using testing_support::programPath;
using testing_support::TempDir;

namespace {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a shell command line in an empty folder; PROGRAM in it stands for
// the build's folder of programs, SOURCE for the source tree.
Result shell(std::string line)
{
    const std::string bin = programPath("qelta").substr(0, programPath("qelta").rfind('/'));
    const char* source = std::getenv("SUITE_SOURCE_DIR");
    for (std::size_t at; (at = line.find("PROGRAM/")) != std::string::npos;)
        line.replace(at, 7, bin);
    for (std::size_t at; (at = line.find("SOURCE/")) != std::string::npos;)
        line.replace(at, 6, source ? source : ".");
    TempDir dir;
    TempDir side;
    side.write("line.sh", line + "\n");
    const std::string command = "cd '" + dir.path() + "' && bash '" + side.file("line.sh") + "' </dev/null >'"
        + side.file("out") + "' 2>'" + side.file("err") + "'; echo $? >'" + side.file("status") + "'";
    Result result;
    if (std::system(command.c_str()) != 0)
        return result;
    result.status = std::atoi(side.read("status").c_str());
    result.out = side.read("out");
    result.err = side.read("err");
    return result;
}

} // namespace

TEST(CommandLineValues, ARefusedValueExitsTwoNamingTheOptionAndWhatItTakes)
{
    const std::string longPath(200, 'p');
    const struct {
        std::string line;
        std::string refusal;
    } cases[] = {
        { "devcon set COM5 --max-packet 0", "--max-packet: '0' is not a whole number from 1 to 65535" },
        { "devcon set COM5 --max-packet 4294967295",
            "--max-packet: '4294967295' is not a whole number from 1 to 65535" },
        { "devcon set COM5 --remote 10.0.0.1:4001 --tcp --udp --client --raw", "excludes" },
        { "devcon set COM5 --remote 10.0.0.1:4001 --tcp --client --server --raw", "excludes" },
        { "devcon set COM5 --remote 10.0.0.1:4001 --tcp --client --framed --raw", "excludes" },
        { "devcon set COM5 --protocol rfc2217 --remote 10.0.0.1:2000 --tcp --client --framed",
            "--framed does not apply to --protocol rfc2217" },
        { "devcon set COM5 --remote 10.0.0.1 --tcp --client --raw",
            "--remote: '10.0.0.1' is not ADDR:PORT (an IPv4 address, a port from 0 to 65535)" },
        { "devcon serial COM5 --baud abc", "--baud: 'abc' is not a whole number from 50 to 4000000" },
        { "devcon set COM5 --pacing maybe", "--pacing: 'maybe' is not on or off" },
        { "qelta vsp set COM5 --flow-packets --no-flow-packets", "excludes" },
        { "qelta vsp set COM5 --tcp --udp", "excludes" },
        { "qelta vsp set COM5 --remote 10.0.0.1", "--remote: '10.0.0.1' is not ADDR:PORT" },
        { "kellan-mp options --client 999.1.1.1", "--client: '999.1.1.1' is not an IPv4 address" },
        { "kellan-mp options --client abc", "--client: 'abc' is not an IPv4 address" },
        { "kellan-mp options --mac-start 0090E800010011",
            "--mac-start: '0090E800010011' is not a MAC address of 12 hexadecimal digits" },
        { "kellan-mp options --loader " + longPath,
            "--loader: '" + longPath + "' is not a path of 1 to 128 characters" },
        { "kellan-mp options --erase 5", "--erase: '5' is not 6, 7, 8, 9 or 10" },
        { "boardsim --options flash-size=99999999999999999999",
            "flash-size: '99999999999999999999' is not a whole number from 1 to 67108864" },
        { "boardsim --options bare-er", "unknown command in bare-er" },
        { "boardsim --time-scale nan", "--time-scale: 'nan' is not a number from 0.001 to 1000" },
        { "boardsim --time-scale 1e-300", "--time-scale: '1e-300' is not a number from 0.001 to 1000" },
        { "boardsim --time-scale abc", "--time-scale: 'abc' is not a number from 0.001 to 1000\n" },
        { "vorpild --frontend tty", "--frontend: 'tty' is not pty, cuse or auto" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const Result refused = shell("PROGRAM/" + c.line);
        EXPECT_EQ(refused.status, 2);
        EXPECT_EQ(refused.out, "");
        EXPECT_NE(refused.err.find(c.refusal), std::string::npos) << refused.err;
        EXPECT_LT(refused.err.size(), 600u) << "a short refusal";
    }
}

TEST(CommandLineValues, RfcTwoTwoOneSevenNeedsNoFraming)
{
    // Past the arguments: no driver host to take the request here.
    const Result set = shell("VORPIL_RUNTIME_DIR=$PWD/none PROGRAM/devcon set COM5 --protocol rfc2217 --remote "
                             "10.0.0.1:2000 --tcp --client");
    EXPECT_EQ(set.status, 3) << set.err;
    EXPECT_EQ(set.err.find("--framed"), std::string::npos) << set.err;
}

TEST(CommandLineValues, TheBenchmarkScriptsTakeDecimalNumbersInRange)
{
    const struct {
        const char* line;
        int status;
        const char* out;
        const char* err;
    } cases[] = {
        { ". SOURCE/bench/whole_number.sh; whole_number N 010 1 256", 0, "10\n", "" },
        { ". SOURCE/bench/whole_number.sh; whole_number N 256 1 256", 0, "256\n", "" },
        { ". SOURCE/bench/whole_number.sh; whole_number N 257 1 256", 2, "",
            "N: '257' is not a whole number from 1 to 256" },
        { ". SOURCE/bench/whole_number.sh; whole_number N 99999999999999999999 1 256", 2, "",
            "N: '99999999999999999999' is not a whole number from 1 to 256" },
        { ". SOURCE/bench/whole_number.sh; whole_number N 0x10 1 256", 2, "", "'0x10' is not a whole number" },
        { "bash SOURCE/bench/daemon/soak.sh 99999999999999999999 60", 2, "",
            "soak.sh: PORTS: '99999999999999999999' is not a whole number from 1 to 200" },
        { "bash SOURCE/bench/daemon/soak.sh 4 60 . 99999999999999999999", 2, "",
            "soak.sh: STALL: '99999999999999999999' is not a whole number from 0 to 86400" },
        { "bash SOURCE/bench/mfg/chaos.sh 4 99999999999999999999", 2, "",
            "chaos.sh: BOARDS: '99999999999999999999' is not a whole number from 1 to 10000" },
        { "bash SOURCE/bench/daemon/latency_bench.sh . 99999999999999999999", 2, "",
            "latency_bench.sh: ROUNDS: '99999999999999999999' is not a whole number from 1 to 100000000" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const Result result = shell(c.line);
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_EQ(result.out, c.out);
        EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find("syntax error"), std::string::npos) << "no bash error: " << result.err;
    }
}

TEST(CommandLineValues, CompletionOffersFilesChoicesAndComNames)
{
    // What bash offers after the words typed so far (the last one is being
    // completed), from the program's own completion script.
    auto offered = [](const std::string& program, const std::string& words) {
        const std::string script = "PROGRAM/" + program + " --completion bash";
        return shell("touch loader.bin; mkdir firmware; echo 'COM7 /dev/null' >com-ports; export SUITE_COM_MAP=$PWD/"
                     "com-ports; source <("
            + script + "); COMP_WORDS=(PROGRAM/" + program + " " + words + "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _"
            + (program == "kellan-mp" ? "kellan_mp" : program) + "; printf '%s\\n' \"${COMPREPLY[@]}\"")
            .out;
    };
    const struct {
        const char* program;
        const char* words;
        const char* offer; // one line of what is offered
    } cases[] = {
        { "kellan-mp", "options --loader lo", "loader.bin\n" },
        { "qelta", "tftp --dir fi", "firmware\n" },
        { "qelta", "setup --load ''", "loader.bin\n" },
        { "qelta", "monitor --ip 10.0.0.1 --csv ''", "loader.bin\n" },
        { "devcon", "set COM5 --pacing ''", "off\n" },
        { "devcon", "set COM5 --protocol r", "rfc2217\n" },
        { "qelta", "vsp set COM5 --protocol n", "native\n" },
        { "vorpild", "--frontend c", "cuse\n" },
        { "kellan-mp", "options --erase 1", "10\n" },
        { "kellan-mp", "options --port CO", "COM7\n" },
        { "devcon", "connect CO", "COM7\n" },
        { "qelta", "term CO", "COM7\n" },
        { "qelta", "vsp set ''", "COM7\n" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.program) + " " + c.words);
        const std::string offer = offered(c.program, c.words);
        EXPECT_NE(("\n" + offer).find("\n" + std::string(c.offer)), std::string::npos) << offer;
    }
}

TEST(CommandLineValues, TheManualPagesCarryTheExamples)
{
    for (const char* program : { "devcon", "qelta", "kellan-mp", "vorpild", "devsim", "boardsim" }) {
        SCOPED_TRACE(program);
        const Result page = shell(std::string("help2man --no-info --no-discard-stderr --help-option=--help-all "
                                              "--version-string=1 PROGRAM/")
            + program);
        ASSERT_EQ(page.status, 0) << page.err;
        const auto examples = page.out.find(".SH EXAMPLES");
        ASSERT_NE(examples, std::string::npos) << page.out;
        EXPECT_NE(page.out.find(std::string("$ ") + program, examples), std::string::npos) << page.out;
    }
    const Result devcon = shell("help2man --no-info --help-option=--help-all --version-string=1 PROGRAM/devcon");
    EXPECT_NE(devcon.out.find("devcon set COM5 --remote"), std::string::npos) << "a command's own examples";
}

// What a command prints on stdout is its result: when it cannot all be
// written (a full disk, here /dev/full) the command has not succeeded.
TEST(CommandLineValues, AResultThatCannotBeWrittenIsAFailure)
{
    const char* const lines[] = {
        "PROGRAM/qelta --help",
        "PROGRAM/vorpild --version",
        "PROGRAM/devcon --help",
        "PROGRAM/devsim --help",
        "PROGRAM/boardsim --version",
        "PROGRAM/kellan-mp --help",
        "PROGRAM/kellan-mp items --json",
        "PROGRAM/qelta term --help",
    };
    for (const char* line : lines) {
        SCOPED_TRACE(line);
        const Result written = shell(line);
        ASSERT_EQ(written.status, 0) << written.err;
        const Result full = shell(std::string(line) + " >/dev/full");
        EXPECT_EQ(full.status, 1) << "the result went nowhere";
        EXPECT_NE(full.err.find("cannot write standard output"), std::string::npos) << full.err;
    }
}
