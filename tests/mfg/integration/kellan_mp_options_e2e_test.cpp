// `kellan-mp options`, `items` and `check-port`: the Option page and "Test
// Item Selection" without a window, with the boardsim program as COM2.

#include "platform/child_process.h"
#include "tests/support/temp_dir.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

struct Finished {
    std::string output; // stdout and stderr
    int code = -1;
};

class KellanMpOptions : public testing::Test {
protected:
    void SetUp() override
    {
        option = "loader.bin\ntest.bin\nprod.bin\neeprom.ini\nfail.log\n127.0.0.2\n00A0B0C0D0E0\n00A0B0C0D0FF\n0\n";
        dir.write("Option.dat", option);
        dir.write("com.dat", "COM2\n921.6K");
        dir.write("com-ports", "COM2 " + dir.file("board") + "\n");
        auto started
            = platform::ChildProcess::start({ testing_support::programPath("boardsim"), "--link", dir.file("board") });
        ASSERT_TRUE(started) << started.error().message;
        board = std::move(started.value());
        ASSERT_TRUE(board.readLine(10s));
    }

    Finished run(const std::string& arguments)
    {
        const std::string command = "cd '" + dir.path() + "' && SUITE_COM_MAP=com-ports PORTIO_MODULE=none exec '"
            + testing_support::programPath("kellan-mp") + "' " + arguments + " 2>&1";
        auto started = platform::ChildProcess::start({ "sh", "-c", command });
        Finished finished;
        EXPECT_TRUE(started);
        if (!started)
            return finished;
        while (auto line = started.value().readLine(10s))
            finished.output += line.value() + "\n";
        finished.code = started.value().wait(5s).value_or(-1);
        return finished;
    }

    testing_support::TempDir dir;
    platform::ChildProcess board;
    std::string option;
};

TEST_F(KellanMpOptions, ApplyRefusesAMacFieldAndSavesNothing)
{
    struct Case {
        const char* arguments;
        const char* box;
    };
    for (const Case& c : { Case { "--mac-start 00A0B0C0D0E --erase 6", "MAC start address must be 12 hexs !!" },
             Case { "--mac-start 00A0B0C0D0EG", "MAC start address invalid !!" },
             Case { "--mac-end 00A0B0C0D0F", "MAC end address must be 12 hexs !!" } }) {
        const Finished finished = run(std::string("options ") + c.arguments);
        EXPECT_EQ(finished.code, 1) << c.arguments;
        EXPECT_NE(finished.output.find(std::string("MAC ERROR: ") + c.box), std::string::npos) << finished.output;
        EXPECT_EQ(dir.read("Option.dat"), option);
        EXPECT_EQ(dir.read("com.dat"), "COM2\n921.6K");
    }
}

TEST_F(KellanMpOptions, ApplySavesTheFieldsAndShowsThemAsJson)
{
    const Finished finished
        = run("options --json --mac-start 00a0b0c0d0f0 --erase 10 --speed 115.2K --port COM2 --client 10.0.0.9");
    ASSERT_EQ(finished.code, 0) << finished.output;
    const auto shown = nlohmann::json::parse(finished.output);
    EXPECT_EQ(shown["MAC start"], "00A0B0C0D0F0");
    EXPECT_EQ(shown["Erase waiting time"], "10");
    EXPECT_EQ(shown["COM Port"], "COM2");
    EXPECT_NE(std::find(shown["ports"].begin(), shown["ports"].end(), "COM2"), shown["ports"].end());
    EXPECT_EQ(dir.read("Option.dat"),
        "loader.bin\ntest.bin\nprod.bin\neeprom.ini\nfail.log\n10.0.0.9\n00A0B0C0D0F0\n00A0B0C0D0FF\n4\n");
    EXPECT_EQ(dir.read("com.dat"), "COM2\n115.2K");
}

TEST_F(KellanMpOptions, ItemsSelectsInAnyOrderAndSavesTheMask)
{
    Finished finished = run("items --select 7,1");
    ASSERT_EQ(finished.code, 0) << finished.output;
    // It was missing: created under the name Item.dat, found under either.
    EXPECT_NE(finished.output.find("Can not find item.dat !!"), std::string::npos);
    EXPECT_EQ(dir.read("Item.dat"), "130\n");
    finished = run("items --json");
    const auto rows = nlohmann::json::parse(finished.output);
    ASSERT_EQ(rows.size(), 8u);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(rows[i]["checked"], i == 1 || i == 7) << i;
    EXPECT_EQ(run("items --select 8").code, 2);
    EXPECT_EQ(dir.read("Item.dat"), "130\n");
}

TEST_F(KellanMpOptions, CheckPortOpensTheBoardsPort)
{
    const Finished finished = run("check-port COM2");
    EXPECT_EQ(finished.code, 0) << finished.output;
    EXPECT_NE(finished.output.find("Success: The selected COM port successful !!"), std::string::npos);
}

TEST_F(KellanMpOptions, PortIoModuleAndUsedUpRangeAreShownAndKept)
{
    dir.write("Option.dat",
        "loader.bin\ntest.bin\nprod.bin\neeprom.ini\nfail.log\n127.0.0.2\n1000000000000\nFFFFFFFFFFFF\n0\n");
    Finished finished = run("options --json --portio portio.so --erase 7");
    ASSERT_EQ(finished.code, 0) << finished.output;
    auto shown = nlohmann::json::parse(finished.output);
    EXPECT_EQ(shown["Port-I/O module"], "portio.so");
    EXPECT_EQ(shown["MAC start"], "FFFFFFFFFFFF");
    EXPECT_EQ(shown["MAC range"], "range used up");
    EXPECT_EQ(shown["MAC range used up"], true);
    EXPECT_EQ(dir.read("portio.dat"), "portio.so\n");
    // The range stays used up through that Apply.
    EXPECT_EQ(dir.read("Option.dat"),
        "loader.bin\ntest.bin\nprod.bin\neeprom.ini\nfail.log\n127.0.0.2\n1000000000000\nFFFFFFFFFFFF\n1\n");
    finished = run("options --json --portio none");
    ASSERT_EQ(finished.code, 0) << finished.output;
    shown = nlohmann::json::parse(finished.output);
    EXPECT_EQ(shown["Port-I/O module"], "none");
    EXPECT_EQ(dir.read("portio.dat"), "\n");
}

} // namespace
