// The boardsim program's command line.
#include "sim/boardsim/board.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

struct ProgramRun {
    int status = -1;
    std::string out, err;
};

ProgramRun boardsim(const std::string& arguments)
{
    testing_support::TempDir dir;
    const std::string command = "'" + testing_support::programPath("boardsim") + "' " + arguments + " >'"
        + dir.file("out") + "' 2>'" + dir.file("err") + "'; echo $? >'" + dir.file("status") + "'";
    ProgramRun run;
    if (std::system(command.c_str()) != 0)
        return run;
    run.status = std::atoi(dir.read("status").c_str());
    run.out = dir.read("out");
    run.err = dir.read("err");
    return run;
}

} // namespace

TEST(BoardsimProgram, HelpListsEveryKeyTheOptionsTake)
{
    const ProgramRun run = boardsim("--help");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("key=value"), std::string::npos);
    // Every key the parser takes, with a value it accepts.
    for (const char* item : { "flash-size=4096", "erase-ms=5", "erase-ms=never", "no-sync", "sync-bytes=2",
             "sync-value=0x06", "bus-bytes=2", "bad-readback=16", "line-error-frame=3", "slow-frame=2", "slow-ms=50",
             "delay-ms=1", "wire-time", "any-line", "base=0x2F8" }) {
        sim::boardsim::BoardOptions options;
        EXPECT_TRUE(sim::boardsim::BoardOptions::parse(item, options)) << item;
        const std::string key = std::string(item).substr(0, std::string(item).find('='));
        EXPECT_NE(run.out.find("  " + key), std::string::npos) << key;
    }
}

TEST(BoardsimProgram, BadArgumentsGiveTheUsageOnStderr)
{
    for (const char* arguments : { "--frobnicate", "--options", "--options slow-ms=x" }) {
        const ProgramRun run = boardsim(arguments);
        EXPECT_EQ(run.status, 2) << arguments;
        EXPECT_EQ(run.out, "") << arguments;
        EXPECT_NE(run.err.find("boardsim"), std::string::npos) << arguments;
    }
}
