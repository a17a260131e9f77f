#include "platform/child_process.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
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

    // Item 6 of the file is the first device's static address: the second
    // keeps its own.
    const ProgramRun run = qelta("setup --ip 127.0.0.12 --load t.txt --set 6=127.0.0.12 --yes --json");
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

TEST_F(QeltaSetup, AShortReplyIsNoDeviceAndNothingIsSent)
{
    devsim.terminate();
    devsim.wait(5s);
    auto started = platform::ChildProcess::start({ programPath("devsim"), "--devices", "3", "--first-address",
        "127.0.0.10", "--reboot-time", "1", "--fault", "2=short" });
    ASSERT_TRUE(started.ok());
    devsim = std::move(started.value());
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(devsim.readLine(10s).ok()) << "devsim did not start";

    for (const char* arguments :
        { "setup --ip 127.0.0.11 --set 1=Renamed --yes", "setup --ip 127.0.0.11 --save short.txt --no-submit" }) {
        SCOPED_TRACE(arguments);
        const ProgramRun run = qelta(arguments);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("1 reply from 127.0.0.11 was refused: 64 bytes, shorter than the 438 bytes"),
            std::string::npos)
            << run.err;
        EXPECT_NE(run.err.find("No devices found!"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("Do you want to proceed ?"), std::string::npos) << run.err;
    }
    EXPECT_FALSE(std::ifstream(dir.path() + "/short.txt").good());
    // A network search leaves it out too, and says so.
    const ProgramRun search = qelta("search --period 5 --json");
    EXPECT_EQ(nlohmann::json::parse(search.out).size(), 2u) << search.out;
    EXPECT_NE(search.err.find("replies left out: shorter than the 438 bytes"), std::string::npos) << search.err;
}

TEST_F(QeltaSetup, SettingFilesWithLfLinesLoadAndWhatIsNoFileIsRefused)
{
    // A directory and a device are files that cannot be opened: no item is
    // reported empty and the command fails.
    for (const std::string& target : { dir.path(), std::string("/dev/null") }) {
        SCOPED_TRACE(target);
        const ProgramRun run = qelta("setup --ip 127.0.0.10 --load " + target + " --yes");
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("Failed to open file" + target), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("Item is empty!!"), std::string::npos) << run.err;
    }

    // A file as a Linux editor leaves it: LF line ends.
    ASSERT_EQ(qelta("setup --ip 127.0.0.10 --set 1=From-Lf --set 36=3 --set 40=1 --save t.txt --no-submit").status, 0);
    std::string file = dir.read("t.txt");
    std::erase(file, '\r');
    dir.write("lf.txt", file);
    auto emptyItems = [](const std::string& text) {
        int n = 0;
        for (auto at = text.find("Item is empty!!"); at != std::string::npos; at = text.find("Item is empty!!", at + 1))
            ++n;
        return n;
    };
    // The device has no SMTP settings: those items are empty either way.
    const int emptyInCrLf = emptyItems(qelta("setup --ip 127.0.0.12 --load t.txt --no-submit").err);
    EXPECT_LE(emptyInCrLf, 10);
    ProgramRun run = qelta("setup --ip 127.0.0.12 --load lf.txt --set 6=127.0.0.12 --yes --json");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(emptyItems(run.err), emptyInCrLf) << run.err;
    EXPECT_EQ(nlohmann::json::parse(run.out)[0]["name"], "From-Lf");
    ASSERT_FALSE(searchRow("127.0.0.12").is_null());
    const auto items = savedItems("127.0.0.12");
    ASSERT_EQ(items.size(), 43u);
    EXPECT_EQ(items[35], "3");
    EXPECT_EQ(items[39], "1");
    const std::string saved = dir.read("saved.txt");
    EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), 43) << saved;
    EXPECT_EQ(std::count(saved.begin(), saved.end(), '\r'), 43) << "saving keeps CR LF";

    // A value its control cannot hold is refused by name; the rest loads.
    std::string wide = dir.read("t.txt");
    wide.replace(wide.find("255.0.0.0"), 9, "255.255.255.0.1.2.3.4");
    dir.write("wide.txt", wide);
    run = qelta("setup --ip 127.0.0.12 --load wide.txt --save after.txt --no-submit");
    EXPECT_EQ(run.status, 1) << run.err; // the file was not loaded whole
    EXPECT_NE(
        run.err.find("Item 17 (Netmask): \"255.255.255.0.1.2.3.4\" is longer than 15 characters"), std::string::npos)
        << run.err;
    EXPECT_NE(dir.read("after.txt").find("\r\n255.0.0.0 "), std::string::npos);
}

TEST_F(QeltaSetup, SetValuesTheSheetWouldRefuseEndWithTheirNameAndTheSetupUsage)
{
    struct Case {
        const char* set;
        const char* named;
    };
    const Case cases[] = {
        { "36=9", "Item 36 (Baud rate(bps)): \"9\" is not one of 0..8" },
        { "17=foo", "Item 17 (Netmask): \"foo\" is not an IPv4 address" },
        { "1=Twenty-characters-xx", "Item 1 (Device name): \"Twenty-characters-xx\" is longer than 16 characters" },
        { "12=2", "Item 12 (UDP Protocol): \"2\" is not 0 or 1" },
        { "7=40a", "Item 7 (Server data listening Port): \"40a\" is not a number" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.set);
        const ProgramRun run = qelta(std::string("setup --ip 127.0.0.10 --yes --set ") + c.set);
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find(c.named), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("usage: qelta [--local ADDR] setup --ip ADDR"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("COMMAND"), std::string::npos) << run.err;
    }
    // Nothing reached the device: it still has its settings.
    const auto items = savedItems("127.0.0.10");
    ASSERT_EQ(items.size(), 43u);
    EXPECT_EQ(items[0], "DS-0001");
    EXPECT_EQ(items[35], "1");
    EXPECT_EQ(items[16], "255.0.0.0");
}

TEST_F(QeltaSetup, ALoadThatSetNothingOrRefusedAnItemSendsNothing)
{
    ASSERT_EQ(qelta("setup --ip 127.0.0.10 --set 1=Loaded --save t.txt --no-submit").status, 0);
    const std::string full = dir.read("t.txt");
    dir.write("empty.txt", "");
    dir.write("one-line.txt", full.substr(0, full.find("\r\n") + 2));
    std::string refused = full;
    const auto baudLine = refused.rfind("\r\n", refused.find(" // (36)")) + 2;
    refused.replace(baudLine, refused.find(' ', baudLine) - baudLine, "9"); // item 36: a baud code past the list
    dir.write("refused.txt", refused);
    struct Case {
        const char* file;
        const char* said;
    };
    for (const Case& c : { Case { "empty.txt", "The setting file empty.txt set nothing: nothing is sent" },
             Case { "one-line.txt", "The file ends after line 1 of 43" },
             Case { "refused.txt", "Item 36 (Baud rate(bps)): \"9\" is not one of 0..8" } }) {
        SCOPED_TRACE(c.file);
        const ProgramRun run
            = qelta(std::string("setup --ip 127.0.0.11 --load ") + c.file + " --set 6=127.0.0.11 --yes");
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("nothing is sent to the device."), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("Do you want to proceed ?"), std::string::npos) << run.err;
    }
    EXPECT_EQ(searchRow("127.0.0.11")["name"], "DS-0002");
}

TEST_F(QeltaSetup, AStaticAddressOfAnotherDeviceIsSaidAndSentOnlyWhenAskedFor)
{
    // The file of the first device, DHCP off: its item 6 is 127.0.0.10.
    ASSERT_EQ(qelta("setup --ip 127.0.0.10 --set 4=0 --save first.txt --no-submit").status, 0);
    ProgramRun run = qelta("setup --ip 127.0.0.12 --load first.txt --yes");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Item 6 (Server static listening IP) 127.0.0.10 is the address of device "
                           "02-44-53-00-00-01 (DS-0001): nothing is sent."),
        std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("Do you want to proceed ?"), std::string::npos) << run.err;
    EXPECT_EQ(searchRow("127.0.0.12")["name"], "DS-0003");

    // Asked for: sent as the file says.
    run = qelta("setup --ip 127.0.0.12 --load first.txt --take-address --yes --json");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(nlohmann::json::parse(run.out)[0]["name"], "DS-0001");
}
