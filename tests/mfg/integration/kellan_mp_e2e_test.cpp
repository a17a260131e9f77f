// `kellan-mp run` against the boardsim program, both on one time that passes
// only while both sleep, ten times faster than real time, in the test's own
// network namespace (the boot loader broadcasts on lo).

#include "platform/child_process.h"
#include "platform/pty_master.h"
#include "tests/mfg/station_files.h"
#include "tests/support/shared_idle_clock.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include <cstdio>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// How long the test waits for a program's next sign of life before it calls
// it hung. The waits that count run on the shared clock, which a busy machine
// slows down: this only has to end a test whose program hangs.
constexpr auto kHung = std::chrono::seconds(240);

struct Finished {
    std::vector<std::string> lines;
    int code = -1;
};

class KellanMpRun : public testing::Test {
protected:
    void SetUp() override
    {
        testing_support::writeStationFiles(dir);
        dir.write("Option.dat",
            "loader.bin\ntest.bin\nprod.bin\neeprom.ini\nfail.log\n127.0.0.2\n00A0B0C0D0E0\n00A0B0C0D0FF\n0\n");
        dir.write("com.dat", "COM2\n921.6K");
        dir.write("com-ports", "COM2 " + dir.file("board") + "\n");
    }

    void startBoard(const std::string& options)
    {
        auto started = platform::ChildProcess::start({ testing_support::programPath("boardsim"), "--clock-file",
            clock.path(), "--link", dir.file("board"), "--options", "erase-ms=300," + options });
        ASSERT_TRUE(started) << started.error().message;
        board = std::move(started.value());
        clock.watch(board.pid());
        ASSERT_TRUE(board.readLine(10s));
    }

    // `stderrTo`: where the program's stderr goes (a file, a terminal).
    Finished run(const std::string& arguments, const std::string& stderrTo = {})
    {
        // Never the machine's own port-I/O module: the board is behind a pty.
        const std::string command = "cd '" + dir.path() + "' && SUITE_COM_MAP=com-ports PORTIO_MODULE=/nonexistent "
            + "KELLAN_MP_CLOCK_FILE='" + clock.path() + "' exec '" + testing_support::programPath("kellan-mp") + "' "
            + arguments + (stderrTo.empty() ? std::string() : " 2>'" + stderrTo + "'");
        auto started = platform::ChildProcess::start({ "sh", "-c", command });
        Finished finished;
        EXPECT_TRUE(started);
        if (!started)
            return finished;
        clock.watch(started.value().pid());
        for (;;) {
            auto line = started.value().readLine(kHung);
            if (!line)
                break;
            finished.lines.push_back(line.value());
        }
        finished.code = started.value().wait(kHung).value_or(-1);
        return finished;
    }

    testing_support::TempDir dir;
    testing_support::TempDir clockDir;
    testing_support::SharedIdleClock clock { clockDir.file("clock"), 10 };
    platform::ChildProcess board;
};

TEST_F(KellanMpRun, PassingBoardPrintsEveryItemAndPass)
{
    startBoard("");
    // stderr on a terminal: the downloads' bytes on a line rewritten in place.
    auto terminal = platform::PtyMaster::open();
    ASSERT_TRUE(terminal) << terminal.error().message;
    std::string err;
    std::atomic<bool> finishedRun { false };
    std::thread drain([&] {
        for (bool last = false; !last;) {
            last = finishedRun.load();
            pollfd ready { terminal.value()->fd(), POLLIN, 0 };
            ::poll(&ready, 1, 50);
            std::uint8_t buffer[4096];
            for (auto got = terminal.value()->read(buffer); got && got.value() > 0;
                 got = terminal.value()->read(buffer))
                err.append(reinterpret_cast<const char*>(buffer), got.value());
        }
    });
    const Finished finished = run("run --yes", terminal.value()->slavePath());
    finishedRun = true;
    drain.join();
    for (const char* shown : { "\rWaiting for the board's BOOTP request for test.bin\x1b[K\n",
             "\rSending test.bin to the board: 0 of 700 bytes (0 %)\x1b[K",
             "\rSending test.bin to the board: 700 of 700 bytes (100 %)\x1b[K\n",
             "\rSending prod.bin to the board: 0 of 1600 bytes (0 %)\x1b[K",
             "\rSending prod.bin to the board: 1600 of 1600 bytes (100 %)\x1b[K\n" })
        EXPECT_NE(err.find(shown), std::string::npos) << shown << " in " << err;
    EXPECT_EQ(finished.code, 0);
    EXPECT_EQ(finished.lines,
        std::vector<std::string>({ "Download Boot Loader         passed", "Update Test Firmware         passed",
            "RAM Test                     passed", "CPU Test                     passed",
            "EEPROM Test                  passed", "HSUART Test                  passed",
            "Write Data Into EEPROM       passed", "Update Production Firmware   passed", "PASS" }));
    EXPECT_NE(dir.read("Option.dat").find("\n00A0B0C0D0E1\n"), std::string::npos);
}

TEST_F(KellanMpRun, FailingBoardPrintsFailAndTheReason)
{
    startBoard("fail-et");
    dir.write("item.dat", "31\n"); // up to the EEPROM test
    const Finished finished = run("run --yes", dir.file("err.txt"));
    EXPECT_EQ(finished.code, 1);
    // stderr in a file: one line for each step of the download, no rewrites.
    const std::string err = dir.read("err.txt");
    EXPECT_NE(err.find("\nWaiting for the board's BOOTP request for test.bin\n"
                       "Sending test.bin to the board: 0 of 700 bytes (0 %)\n"),
        std::string::npos)
        << err;
    EXPECT_EQ(err.find('\r'), std::string::npos) << err;
    EXPECT_EQ(finished.lines,
        std::vector<std::string>({ "Download Boot Loader         passed", "Update Test Firmware         passed",
            "RAM Test                     passed", "CPU Test                     passed",
            "EEPROM Test                  failed", "FAIL", "EEPROM test failed." }));
    EXPECT_EQ(dir.read("fail.log"), "[00A0B0C0D0E0]\nEEPROM test failed.\n\n\n");
}

TEST_F(KellanMpRun, BadArgumentsAndMissingSettingsGiveTwo)
{
    EXPECT_EQ(run("run --bogus").code, 2);
    EXPECT_EQ(run("frobnicate").code, 2);
    const Finished help = run("--help");
    EXPECT_EQ(help.code, 0);
    auto listed = [](const Finished& text, const std::string& start) {
        return std::any_of(
            text.lines.begin(), text.lines.end(), [&](const std::string& line) { return line.rfind(start, 0) == 0; });
    };
    EXPECT_TRUE(listed(help, "  run "));
    const Finished runHelp = run("run --help");
    EXPECT_EQ(runHelp.code, 0);
    EXPECT_TRUE(listed(runHelp, "  -y, --yes "));
    ::unlink(dir.file("Option.dat").c_str());
    EXPECT_EQ(run("run --yes").code, 2);
    // Something under the name that is no file is missing settings too, not
    // a failed board in the day's records (nor a board touched).
    ASSERT_EQ(::mkfifo(dir.file("Option.dat").c_str(), 0600), 0);
    EXPECT_EQ(run("run --yes").code, 2);
    ::unlink(dir.file("Option.dat").c_str());
    ASSERT_EQ(::mkdir(dir.file("Option.dat").c_str(), 0700), 0);
    EXPECT_EQ(run("run --yes").code, 2);
    EXPECT_FALSE(std::filesystem::exists(dir.file("production.db"))) << "a run was recorded";
}

} // namespace
