#include "platform/child_process.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <string>

using namespace std::chrono_literals;
using testing_support::programPath;
using testing_support::TempDir;

namespace {

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

// qelta setup against devsim's devices in this test's network namespace.
class QeltaSetup : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(std::system(("cp '" + programPath("VORPIL.inf") + "' '" + dir.path() + "/'").c_str()), 0);
        auto started = platform::ChildProcess::start(
            { programPath("devsim"), "--devices", "3", "--first-address", "127.0.0.10", "--reboot-time", "1" });
        ASSERT_TRUE(started.ok());
        devsim = std::move(started.value());
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(devsim.readLine(10s).ok()) << "devsim did not start";
    }

    void TearDown() override
    {
        devsim.terminate();
        devsim.wait(5s);
    }

    ProgramRun qelta(const std::string& arguments, const std::string& input = "")
    {
        dir.write("in.txt", input);
        const std::string command = "cd '" + dir.path() + "' && '" + programPath("qelta") + "' " + arguments
            + " <in.txt >out.txt 2>err.txt; echo $? >status.txt";
        ProgramRun run;
        if (std::system(command.c_str()) != 0)
            return run;
        run.status = std::atoi(dir.read("status.txt").c_str());
        run.out = dir.read("out.txt");
        run.err = dir.read("err.txt");
        return run;
    }

    // The device's row in a broadcast search. A device that reboots is
    // silent for a while, so a few searches are tried.
    nlohmann::json searchRow(const std::string& address)
    {
        for (int attempt = 0; attempt < 5; ++attempt) {
            const ProgramRun run = qelta("search --period 5 --json");
            for (const auto& row : nlohmann::json::parse(run.out.empty() ? "[]" : run.out))
                if (row["ip"] == address)
                    return row;
        }
        return {};
    }

    // Item values of the device's setting file, saved without submitting.
    std::vector<std::string> savedItems(const std::string& address)
    {
        const ProgramRun run = qelta("setup --ip " + address + " --save saved.txt --no-submit");
        EXPECT_EQ(run.status, 0) << run.err;
        std::vector<std::string> items;
        std::ifstream in(dir.path() + "/saved.txt", std::ios::binary);
        std::string line;
        while (std::getline(in, line))
            items.push_back(line.substr(0, line.find(' ')));
        return items;
    }

    TempDir dir;
    platform::ChildProcess devsim;
};

} // namespace

TEST_F(QeltaSetup, ChangesNameDataPortAndSerialSettingsAndTheNextSearchShowsThem)
{
    const ProgramRun run
        = qelta("setup --ip 127.0.0.11 --set 1=Renamed-2 --set 7=4100 --set 36=5 --set 38=1 --set 41=2 --yes --json");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(
        run.err.find("This operation will cause the device to reboot.\r\nDo you want to proceed ?"), std::string::npos);
    const auto rows = nlohmann::json::parse(run.out);
    ASSERT_EQ(rows.size(), 1u) << run.out;
    EXPECT_EQ(rows[0]["name"], "Renamed-2");
    EXPECT_EQ(rows[0]["port"], 4100);
    EXPECT_EQ(rows[0]["ip"], "127.0.0.11");
    EXPECT_EQ(rows[0]["no"], 1);
    for (const char* key : { "mac", "dhcp", "mode", "status" })
        EXPECT_TRUE(rows[0].contains(key)) << key;

    // The device is silent while it reboots, then answers with the new settings.
    const auto row = searchRow("127.0.0.11");
    EXPECT_EQ(row["name"], "Renamed-2");
    EXPECT_EQ(row["port"], 4100);
    EXPECT_EQ(row["mac"], rows[0]["mac"]);
    const auto items = savedItems("127.0.0.11");
    ASSERT_EQ(items.size(), 43u);
    EXPECT_EQ(items[35], "5"); // 9600
    EXPECT_EQ(items[37], "1"); // even parity
    EXPECT_EQ(items[40], "2");
    EXPECT_EQ(searchRow("127.0.0.10")["name"], "DS-0001"); // the others untouched
}

TEST_F(QeltaSetup, ASettingFileMovesSettingsToAnotherDeviceButNotItsMac)
{
    ASSERT_EQ(qelta("setup --ip 127.0.0.10 --set 1=Template --set 11=6000 --save t.txt --no-submit").status, 0);
    const std::string file = dir.read("t.txt");
    ASSERT_EQ(file.rfind("Template                 // ( 1) Device name\r\n02-44-53-00-00-01", 0), 0u) << file;

    const ProgramRun run = qelta("setup --ip 127.0.0.12 --load t.txt --yes --json");
    ASSERT_EQ(run.status, 0) << run.err;
    const auto rows = nlohmann::json::parse(run.out);
    EXPECT_EQ(rows[0]["name"], "Template");
    EXPECT_EQ(rows[0]["mac"], "02-44-53-00-00-03");
    EXPECT_EQ(rows[0]["ip"], "127.0.0.12"); // item 5 is never applied
}

TEST_F(QeltaSetup, RefusedValuesSilentDevicesAndAnswers)
{
    // Refused at Submit: the message, exit 2, and the device never reboots.
    ProgramRun run = qelta("setup --ip 127.0.0.10 --set '1=two words' --yes");
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(
        run.err.find("1. Device name must LESS THAN 16 LETTERS\n2. NO SPACES between the letters."), std::string::npos);
    run = qelta("setup --ip 127.0.0.10 --set 7=80 --yes");
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("Port number(s) should greater than 1024 or smaller than 65535."), std::string::npos);
    EXPECT_EQ(qelta("setup --ip 127.0.0.10 --set 11=65535 --set 7=1024 --yes").status, 0);
    EXPECT_EQ(searchRow("127.0.0.10")["port"], 1024);

    // Asked on the terminal: "n" sends nothing, "y" sends.
    run = qelta("setup --ip 127.0.0.11 --set 1=Asked", "n\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("[y/N]"), std::string::npos);
    run = qelta("setup --ip 127.0.0.11 --set 1=Asked", "y\n");
    EXPECT_EQ(run.status, 0) << run.err;

    // Nobody at the address.
    run = qelta("setup --ip 127.0.0.99 --yes");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("No devices found!"), std::string::npos);

    for (const char* bad : { "setup", "setup --ip 1.2.3", "setup --ip 127.0.0.10 --set 2=00-11-22-33-44-55",
             "setup --ip 127.0.0.10 --set 44=x", "setup --ip 127.0.0.10 --set x", "setup --ip 127.0.0.10 --frob" })
        EXPECT_EQ(qelta(bad).status, 2) << bad;
    run = qelta("setup --help");
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("--set ITEM=VALUE"), std::string::npos);
}
