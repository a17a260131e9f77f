// The qelta program against a scripted device that lies, on this test's own
// loopback: what it got through before is refused and said.
#include "tests/support/temp_dir.h"
#include "tests/utility/devmgmt/hostile_device.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>

using testing_support::deviceRecord;
using testing_support::HostileDevice;
using testing_support::HostileDeviceThread;
using testing_support::programPath;
using testing_support::TempDir;
using Reply = HostileDevice::Reply;

namespace {

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

bool isQuery(std::span<const std::uint8_t> request) { return request.size() == 9 && request[8] == 0x00; }

class QeltaHostile : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(std::system(("cp '" + programPath("VORPIL.inf") + "' '" + dir.path() + "/'").c_str()), 0);
    }

    ProgramRun qelta(const std::string& arguments)
    {
        const std::string command = "cd '" + dir.path() + "' && '" + programPath("qelta") + "' " + arguments
            + " </dev/null >out.txt 2>err.txt; echo $? >status.txt";
        ProgramRun run;
        if (std::system(command.c_str()) != 0)
            return run;
        run.status = std::atoi(dir.read("status.txt").c_str());
        run.out = dir.read("out.txt");
        run.err = dir.read("err.txt");
        return run;
    }

    static bool sentTo(const HostileDevice& device, const std::string& address)
    {
        for (const auto& request : device.requests())
            if (request.to.rfind(address + ":", 0) == 0)
                return true;
        return false;
    }

    static bool received(const HostileDevice& device, int opcode)
    {
        for (const auto& request : device.requests())
            if (request.opcode == opcode)
                return true;
        return false;
    }

    TempDir dir;
};

// Answers every Query (search or unicast) with `record` from `from`, and a
// StatusQuery with `status`.
HostileDevice::Script answering(const std::string& from, std::vector<std::uint8_t> record,
    std::vector<std::uint8_t> status = {}, int* searchQueries = nullptr)
{
    return [=](std::span<const std::uint8_t> request, bool search) {
        std::vector<Reply> replies;
        if (isQuery(request) && (!search || searchQueries == nullptr || (*searchQueries)++ == 0))
            replies.push_back({ from, record });
        if (request.size() == 9 && request[8] == 0x10 && !status.empty())
            replies.push_back({ from, status });
        return replies;
    };
}

} // namespace

TEST_F(QeltaHostile, AnAnswerFromAnotherAddressListsNothingAndTheSetupSendsNothingThere)
{
    HostileDeviceThread device(
        { "127.0.0.2", "127.0.0.3" }, answering("127.0.0.3", deviceRecord("SPOOFED", 3, "127.0.0.3")));
    ProgramRun run = qelta("search --ip 127.0.0.2 --period 5 --json");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(nlohmann::json::parse(run.out), nlohmann::json::array()) << run.out;
    EXPECT_NE(run.err.find("1 reply from 127.0.0.3 was ignored: the request went to 127.0.0.2."), std::string::npos)
        << run.err;

    run = qelta("setup --ip 127.0.0.2 --set 1=Renamed --yes");
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(sentTo(device.device(), "127.0.0.3"));
    EXPECT_FALSE(received(device.device(), 0x02));
}

TEST_F(QeltaHostile, AReplyOfOnlyTheHeaderIsNoDevice)
{
    const std::vector<std::uint8_t> header { 'Z', 'O', 'R', 'V', 'V', 'R', 'O', 'Z', 0x01 };
    int searchQueries = 0;
    HostileDeviceThread device({ "127.0.0.2" }, answering("127.0.0.2", header, {}, &searchQueries));
    for (const char* arguments : { "search --period 5 --json", "search --ip 127.0.0.2 --period 5 --json" }) {
        SCOPED_TRACE(arguments);
        const ProgramRun run = qelta(arguments);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(nlohmann::json::parse(run.out), nlohmann::json::array()) << run.out;
        EXPECT_NE(run.err.find("shorter than the 438 bytes of a device's settings."), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("00-00-00-00-00-00"), std::string::npos) << run.err;
    }
}

TEST_F(QeltaHostile, ControlCharactersInANameAndAFirmwareVersionAreShownEscaped)
{
    std::vector<std::uint8_t> status(30, 0);
    const std::string head = "ZORVVROZ\x11";
    std::copy(head.begin(), head.end(), status.begin());
    const std::string firmware = "1.0\x1b[2J";
    std::copy(firmware.begin(), firmware.end(), status.begin() + 10);
    HostileDeviceThread device(
        { "127.0.0.2" }, answering("127.0.0.2", deviceRecord("\x1b[2J\r\nX\a", 2, "127.0.0.2"), status));

    ProgramRun run = qelta("search --ip 127.0.0.2 --period 5");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.find_first_of("\x1b\r\a"), std::string::npos) << run.out;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 2) << run.out;
    EXPECT_NE(run.out.find("\\x1B[2J\\x0D\\x0AX\\x07"), std::string::npos) << run.out;

    run = qelta("monitor --ip 127.0.0.2 --cycles 1");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("1.0\\x1B[2J"), std::string::npos) << run.out;

    // The setting file would shift every line after the name's CR LF.
    run = qelta("setup --ip 127.0.0.2 --save name.txt --no-submit");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.find("File saved."), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Item 1 (Device name): \"\\x1B[2J\\x0D\\x0AX\\x07\" is holding control characters"),
        std::string::npos)
        << run.err;
    EXPECT_FALSE(std::ifstream(dir.file("name.txt")).good());
}

TEST_F(QeltaHostile, FieldsAtTheirMaximumAreNamedNeverSavedAndARefusedLoadSendsNothing)
{
    auto record = deviceRecord("MAX", 2, "127.0.0.2");
    record[33] = 0xFF;
    record[66] = 0xFF;
    record[67] = 0xFF;
    record[68] = 0xFF;
    HostileDeviceThread device({ "127.0.0.2" }, answering("127.0.0.2", record));
    ProgramRun run = qelta("setup --ip 127.0.0.2 --save max.txt --no-submit");
    EXPECT_EQ(run.status, 1);
    for (const char* named : { "Item 20 (Connection timeout (min)): \"31\" is above 20",
             "Item 36 (Baud rate(bps)): \"31\" is not one of 0..8",
             "Item 41 (RS-485 mode): \"255\" is not one of 0..3" })
        EXPECT_NE(run.err.find(named), std::string::npos) << named << "\n" << run.err;
    EXPECT_EQ(run.err.find("File saved."), std::string::npos) << run.err;

    // A file with such values, as an older save wrote it: nothing is sent.
    ASSERT_EQ(qelta("setup --ip 127.0.0.2 --set 20=5 --set 36=5 --set 37=3 --set 38=2 --set 39=0 --set 40=2 "
                    "--set 41=0 --save ok.txt --no-submit")
                  .status,
        0);
    std::string file = dir.read("ok.txt");
    const auto timeoutLine = file.rfind("\r\n", file.find(" // (20)")) + 2;
    file.replace(timeoutLine, file.find(' ', timeoutLine) - timeoutLine, "31");
    dir.write("bad.txt", file);
    run = qelta("setup --ip 127.0.0.2 --load bad.txt --yes");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("is above 20"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("was not loaded whole: nothing is sent to the device."), std::string::npos) << run.err;
    EXPECT_FALSE(received(device.device(), 0x02));
}

TEST_F(QeltaHostile, AFloodSaysHowManyRepliesWereLeftOut)
{
    int searchQueries = 0;
    HostileDeviceThread device(
        { "127.0.0.2" },
        [&](std::span<const std::uint8_t> request, bool search) {
            std::vector<Reply> replies;
            if (isQuery(request) && search && searchQueries++ == 0)
                for (int i = 0; i < 3000; ++i) {
                    auto record = deviceRecord("F" + std::to_string(i), 0, "127.0.0.2");
                    record[30] = static_cast<std::uint8_t>(i >> 8);
                    record[31] = static_cast<std::uint8_t>(i);
                    replies.push_back({ "127.0.0.2", record });
                }
            return replies;
        },
        1);
    const ProgramRun run = qelta("search --period 5 --json");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(nlohmann::json::parse(run.out).size(), 256u);
    // How many reach the program depends on the kernel's socket buffer;
    // every one past the table is counted and said.
    std::smatch match;
    ASSERT_TRUE(std::regex_search(run.err, match, std::regex("(\\d+) replies left out: the device table holds 256")))
        << run.err;
    const int leftOut = std::stoi(match[1]);
    EXPECT_GE(leftOut, 1);
    EXPECT_LE(leftOut, 2744);
}

TEST_F(QeltaHostile, OneMacFromTwoAddressesIsSaidAsAnAddressClash)
{
    int searchQueries = 0;
    HostileDeviceThread device({ "127.0.0.2", "127.0.0.3" }, [&](std::span<const std::uint8_t> request, bool search) {
        std::vector<Reply> replies;
        if (isQuery(request) && search && searchQueries++ == 0) {
            replies.push_back({ "127.0.0.2", deviceRecord("FIRST", 7, "127.0.0.2") });
            replies.push_back({ "127.0.0.3", deviceRecord("SECOND", 7, "127.0.0.3") });
        }
        return replies;
    });
    const ProgramRun run = qelta("search --period 5 --json");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(nlohmann::json::parse(run.out).size(), 1u);
    EXPECT_NE(run.err.find("Address clash: MAC 02-48-4F-53-54-07 answered from 127.0.0.2 and from 127.0.0.3."),
        std::string::npos)
        << run.err;
}

TEST_F(QeltaHostile, TheMonitorCsvKeepsANameAFormulaWouldStartAsText)
{
    std::vector<std::uint8_t> status(30, 0);
    const std::string head = "ZORVVROZ\x11";
    std::copy(head.begin(), head.end(), status.begin());
    status[10] = '1';
    HostileDeviceThread device({ "127.0.0.2" }, answering("127.0.0.2", deviceRecord("=1+2", 2, "127.0.0.2"), status));
    const ProgramRun run = qelta("monitor --ip 127.0.0.2 --cycles 1 --csv m.csv");
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string csv = dir.read("m.csv");
    EXPECT_NE(csv.find(",0,'=1+2,127.0.0.2,Success,"), std::string::npos) << csv;
}
