// `kellan-mp run` interrupted with Ctrl+C (SIGINT) during the loader's erase
// and at the operator's prompt; direct UART access only when asked for, with
// the simulator's port-I/O module standing in for the machine's; the
// production benchmarks' --help. kellan-mp and the board on one time that
// passes only while both sleep, ten times faster than real time, in the
// test's own network namespace.

#include "platform/child_process.h"
#include "platform/text_file.h"
#include "tests/mfg/station_files.h"
#include "tests/support/eventually.h"
#include "tests/support/shared_idle_clock.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// How long the test waits for a program's next sign of life before it calls
// it hung. The waits that count run on the shared clock, which a busy machine
// slows down: this only has to end a test whose program hangs.
constexpr auto kHung = std::chrono::seconds(240);

struct Started {
    platform::ChildProcess process;
    bool ok = false;
};

class KellanMpInterrupt : public testing::Test {
protected:
    void SetUp() override
    {
        testing_support::writeStationFiles(dir);
        // Erase waiting time 10 s: one real second at ten times the speed.
        option = "loader.bin\ntest.bin\nprod.bin\neeprom.ini\nfail.log\n127.0.0.2\n00A0B0C0D0E0\n00A0B0C0D0FF\n4\n";
        dir.write("Option.dat", option);
        dir.write("com.dat", "COM2\n921.6K");
        dir.write("com-ports", "COM2 " + dir.file("board") + "\n");
        auto started = platform::ChildProcess::start({ testing_support::programPath("boardsim"), "--clock-file",
            clock.path(), "--link", dir.file("board"), "--options", "erase-ms=300" });
        ASSERT_TRUE(started) << started.error().message;
        board = std::move(started.value());
        clock.watch(board.pid());
        ASSERT_TRUE(board.readLine(10s));
    }

    // kellan-mp in the folder, stdout read here, stderr (boxes, the prompt)
    // into err.txt.
    platform::ChildProcess start(const std::string& arguments, const std::string& environment = "PORTIO_MODULE=none",
        const std::string& program = testing_support::programPath("kellan-mp"))
    {
        const std::string command = "cd '" + dir.path() + "' && " + environment
            + " SUITE_COM_MAP=com-ports KELLAN_MP_CLOCK_FILE='" + clock.path() + "' exec '" + program + "' " + arguments
            + " 2>err.txt";
        auto started = platform::ChildProcess::start({ "sh", "-c", command });
        EXPECT_TRUE(started);
        if (!started)
            return platform::ChildProcess();
        clock.watch(started.value().pid());
        return std::move(started.value());
    }

    std::vector<std::string> restOf(platform::ChildProcess& process)
    {
        std::vector<std::string> lines;
        while (auto line = process.readLine(kHung))
            lines.push_back(line.value());
        return lines;
    }

    // Stops the time once kellan-mp has said `text` on stderr: it goes no
    // further than its next wait until the clock goes on.
    bool stopOnceSaid(const std::string& text)
    {
        clock.stopWhen([this, text] { return said(text); });
        return testing_support::eventually([&] { return clock.stopped(); }, kHung);
    }
    bool said(const std::string& text) const { return dir.read("err.txt").find(text) != std::string::npos; }

    testing_support::TempDir dir;
    testing_support::TempDir clockDir;
    testing_support::SharedIdleClock clock { clockDir.file("clock"), 10 };
    platform::ChildProcess board;
    std::string option;
};

TEST_F(KellanMpInterrupt, CtrlCDuringTheEraseEndsTheRunOnceTheLoaderIsWritten)
{
    // The download's trace line comes right before it: sync, erase, program.
    // The time stands still there until the Ctrl+C has been seen.
    auto run = start("run --yes", "PORTIO_MODULE=none KELLAN_MP_TRACE=stderr");
    ASSERT_TRUE(stopOnceSaid("com_port_speed:")) << dir.read("err.txt");
    ASSERT_TRUE(run.interrupt());
    ASSERT_TRUE(testing_support::eventually([&] { return said("stopping after the current step"); }, kHung))
        << dir.read("err.txt");
    clock.go();
    const auto lines = restOf(run);
    EXPECT_EQ(run.wait(kHung).value_or(-1), 130) << dir.read("err.txt");
    EXPECT_NE(dir.read("err.txt").find("kellan-mp: stopping after the current step"), std::string::npos)
        << dir.read("err.txt");
    // The step ran to its end: the flash holds the whole loader.
    EXPECT_EQ(lines,
        std::vector<std::string>({ "Download Boot Loader         passed", "interrupted; the MAC was not consumed" }));
    EXPECT_EQ(dir.read("Option.dat"), option);
    EXPECT_FALSE(platform::fileExists(dir.file("fail.log")));
}

TEST_F(KellanMpInterrupt, CtrlCTwiceDuringTheEraseEndsTheProgramAtOnce)
{
    // The time stands still at the download, so both come during the erase.
    auto run = start("run --yes", "PORTIO_MODULE=none KELLAN_MP_TRACE=stderr");
    ASSERT_TRUE(stopOnceSaid("com_port_speed:")) << dir.read("err.txt");
    ASSERT_TRUE(run.interrupt());
    // Signals of one kind do not queue: the second after the first was seen.
    ASSERT_TRUE(testing_support::eventually([&] { return said("stopping after the current step"); }))
        << dir.read("err.txt");
    ASSERT_TRUE(run.interrupt());
    (void)restOf(run);
    clock.go();
    EXPECT_EQ(run.wait(kHung).value_or(-1), 130) << dir.read("err.txt");
    EXPECT_NE(dir.read("err.txt").find("kellan-mp: stopped at once; a board whose EEPROM was being written may hold "
                                       "the address the next board will get: test it again\n"),
        std::string::npos)
        << dir.read("err.txt");
    EXPECT_EQ(dir.read("Option.dat"), option);
}

TEST_F(KellanMpInterrupt, CtrlCAtThePromptEndsTheRun)
{
    // Standard input: a pipe that stays open and says nothing.
    const std::string fifo = dir.file("operator");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int keepOpen = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(keepOpen, 0);
    auto run = start("run < operator");
    auto first = run.readLine(kHung);
    ASSERT_TRUE(first) << dir.read("err.txt");
    EXPECT_EQ(first.value(), "Download Boot Loader         passed");
    ASSERT_TRUE(testing_support::eventually([&] { return said("Press Enter when done."); }, kHung))
        << dir.read("err.txt");
    ASSERT_TRUE(run.interrupt());
    const auto lines = restOf(run);
    EXPECT_EQ(run.wait(kHung).value_or(-1), 130);
    EXPECT_EQ(lines, std::vector<std::string>({ "interrupted; the MAC was not consumed" }));
    EXPECT_EQ(dir.read("Option.dat"), option);
    ::close(keepOpen);
}

TEST_F(KellanMpInterrupt, TheModuleBesideTheProgramIsNotLoadedUnasked)
{
    // A copy of the program with the simulator's module beside it as
    // portio.so, where the machine's own would be; the simulated UART sits
    // at COM2's legacy base and would answer a sync frame.
    const std::string bin = dir.file("bin");
    ASSERT_EQ(::mkdir(bin.c_str(), 0700), 0);
    const auto program = platform::readFileBytes(testing_support::programPath("kellan-mp"), 1 << 30);
    const auto module = platform::readFileBytes(testing_support::programPath("portio_boardsim.so"), 1 << 30);
    ASSERT_TRUE(program && module);
    ASSERT_TRUE(platform::writeFileBytes(bin + "/kellan-mp", program.value()));
    ASSERT_TRUE(platform::writeFileBytes(bin + "/portio.so", module.value()));
    ASSERT_EQ(::chmod((bin + "/kellan-mp").c_str(), 0700), 0);
    dir.write("item.dat", "1\n");
    auto run = start("run --yes", "unset PORTIO_MODULE; BOARDSIM_OPTIONS=base=0x2F8", bin + "/kellan-mp");
    const auto lines = restOf(run);
    EXPECT_EQ(run.wait(kHung).value_or(-1), 0) << dir.read("err.txt");
    const std::string err = dir.read("err.txt");
    EXPECT_NE(err.find("Direct UART access: off (serial driver only)"), std::string::npos) << err;
    // Programmed through the serial driver; a pseudo-terminal is no slow USB adapter.
    EXPECT_EQ(err.find("You are using USB COM port."), std::string::npos) << err;

    // Asked for with --portio: the same module, now used.
    auto asked = start(
        "check-port COM2 --portio portio.so", "unset PORTIO_MODULE; BOARDSIM_OPTIONS=base=0x2F8", bin + "/kellan-mp");
    EXPECT_EQ(restOf(asked), std::vector<std::string>({ "COM2: direct UART access" })) << dir.read("err.txt");
    EXPECT_EQ(asked.wait(kHung).value_or(-1), 0);
}

TEST_F(KellanMpInterrupt, PortCheckUsesTheModuleTheRunWould)
{
    const std::string module = "PORTIO_MODULE='" + testing_support::programPath("portio_boardsim.so") + "'";
    struct Case {
        std::string arguments;
        std::string environment;
        std::string said; // on stderr
        bool direct;
    };
    // (Whether the serial driver then opens the pty with even parity is not
    // judged here: a pseudo-terminal drops parity and the open may fail.)
    for (const Case& c : { Case { "check-port COM2 --portio portio.so", module + " BOARDSIM_OPTIONS=base=0x2F8",
                               "Direct UART access: on (", true },
             // No UART answers at COM2's base: the serial driver.
             Case { "check-port COM2 --portio portio.so", module + " BOARDSIM_OPTIONS=base=0x3F8",
                 "Direct UART access: on (", false },
             // Not asked for: PORTIO_MODULE alone loads nothing.
             Case { "check-port COM2", module + " BOARDSIM_OPTIONS=base=0x2F8",
                 "Direct UART access: off (serial driver only)", false },
             Case { "check-port COM2 --portio portio.so", "PORTIO_MODULE=none BOARDSIM_OPTIONS=base=0x2F8",
                 "Direct UART access: off (PORTIO_MODULE=none)", false } }) {
        auto check = start(c.arguments, c.environment);
        const auto lines = restOf(check);
        const int code = check.wait(kHung).value_or(-1);
        const std::string err = dir.read("err.txt");
        EXPECT_EQ(err.rfind(c.said, 0), 0u) << c.arguments << " " << c.environment << ": " << err;
        if (c.direct) {
            EXPECT_EQ(lines, std::vector<std::string>({ "COM2: direct UART access" })) << err;
            EXPECT_EQ(code, 0);
        } else {
            EXPECT_EQ(std::find(lines.begin(), lines.end(), "COM2: direct UART access"), lines.end())
                << c.arguments << " " << c.environment;
        }
    }
}

TEST(ProductionBenchmarks, AnswerHelpAndRefuseUnknownArguments)
{
    for (const char* name : { "bench_mfg_production", "bench_mfg_isp" }) {
        const std::string path = testing_support::programPath(name);
        if (!platform::fileExists(path))
            GTEST_SKIP() << "benchmarks not built";
        auto help = platform::ChildProcess::start({ path, "--help" });
        ASSERT_TRUE(help);
        auto first = help.value().readLine(5s);
        ASSERT_TRUE(first) << name << " did not answer --help at once";
        EXPECT_EQ(first.value(), std::string("usage: ") + name);
        EXPECT_EQ(help.value().wait(kHung).value_or(-1), 0) << name;
        auto bogus = platform::ChildProcess::start({ path, "--bogus" });
        ASSERT_TRUE(bogus);
        EXPECT_EQ(bogus.value().wait(kHung).value_or(-1), 2) << name;
    }
}

} // namespace
