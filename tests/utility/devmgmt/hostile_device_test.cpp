// The device view, the setup and the sheet against a device that lies:
// answers from another address, short records, control characters, fields
// at their maximum, floods and one MAC from two addresses. Real sockets on
// this test's loopback, virtual time.
#include "tests/support/scripted_prompter.h"
#include "tests/support/temp_dir.h"
#include "tests/utility/devmgmt/hostile_device.h"
#include "utility/devmgmt/device_list_text.h"
#include "utility/devmgmt/device_setup.h"
#include "utility/devmgmt/monitor_history.h"
#include "utility/devmgmt/setup_sheet.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace std::chrono_literals;
using namespace utility::devmgmt;
using testing_support::deviceRecord;
using testing_support::HostileDevice;
using Reply = HostileDevice::Reply;

namespace {

class NoDialogs final : public DeviceDialogs {
public:
    SearchKind kind = SearchKind::Broadcast;
    DialogResult devicesSearching(SearchSettings& settings) override
    {
        settings.kind = kind;
        return DialogResult::Accepted;
    }
    DialogResult ipSearching(std::string&) override { return DialogResult::Accepted; }
    DialogResult setting(Periods&) override { return DialogResult::Cancelled; }
};

std::vector<std::uint8_t> header(std::uint8_t opcode) { return { 'Z', 'O', 'R', 'V', 'V', 'R', 'O', 'Z', opcode }; }

bool isQuery(std::span<const std::uint8_t> request) { return request.size() == 9 && request[8] == 0x00; }

struct HostileTest : ::testing::Test {
    platform::FakeClock clock;
    platform::VirtualLoop loop { clock };
    testing_support::ScriptedPrompter prompter;
    NoDialogs dialogs;
    std::unique_ptr<DeviceView> view;

    void SetUp() override
    {
        view = std::make_unique<DeviceView>(loop, prompter, dialogs);
        view->setLocalAddress("127.0.0.1", "255.0.0.0");
        view->setPeriods({ 5, 15, 15 });
    }

    void search(bool ip, const std::string& address = "127.0.0.2")
    {
        if (ip) {
            view->setIpSearchAddress(address);
            view->ipSearch(false);
        } else {
            view->clickSearch();
        }
        ASSERT_TRUE(loop.runUntil([&] { return !view->searching(); }, 30s));
    }

    int messagesWith(const std::string& part) const
    {
        int n = 0;
        for (const auto& text : prompter.messages())
            n += text.find(part) != std::string::npos ? 1 : 0;
        return n;
    }
};

} // namespace

TEST_F(HostileTest, AnAnswerFromAnotherAddressThanTheOneAskedIsIgnored)
{
    // The spoofer answers first, describing itself; the device asked
    // answers after it.
    bool realAnswers = false;
    HostileDevice device(loop, { "127.0.0.2", "127.0.0.3" }, [&](auto request, bool) {
        std::vector<Reply> replies;
        if (isQuery(request)) {
            replies.push_back({ "127.0.0.3", deviceRecord("SPOOFED", 3, "127.0.0.3") });
            if (realAnswers)
                replies.push_back({ "127.0.0.2", deviceRecord("REAL", 2, "127.0.0.2") });
        }
        return replies;
    });
    search(true);
    EXPECT_EQ(view->rowCount(), 0u);
    ASSERT_EQ(view->searchNotes().size(), 1u);
    EXPECT_EQ(view->searchNotes()[0], "1 reply from 127.0.0.3 was ignored: the request went to 127.0.0.2.");
    EXPECT_EQ(messagesWith("No devices found!"), 1);

    realAnswers = true;
    search(true);
    ASSERT_EQ(view->rowCount(), 1u);
    EXPECT_EQ(view->rows()[0].texts[kColumnName], "REAL");
    EXPECT_EQ(view->rows()[0].texts[kColumnIp], "127.0.0.2");
}

TEST_F(HostileTest, TheSetupNeverTakesAReplyFromAnotherAddress)
{
    // The device answers its search; afterwards only the spoofer answers,
    // with a SetConfigReply of a device it is not.
    bool searched = false;
    HostileDevice device(loop, { "127.0.0.2", "127.0.0.3" }, [&](auto request, bool) {
        std::vector<Reply> replies;
        if (isQuery(request) && !searched)
            replies.push_back({ "127.0.0.2", deviceRecord("REAL", 2, "127.0.0.2") });
        else if (isQuery(request))
            replies.push_back({ "127.0.0.3", deviceRecord("SPOOFED", 3, "127.0.0.3") });
        else if (request.size() > 8 && request[8] == 0x02)
            replies.push_back({ "127.0.0.3", deviceRecord("SPOOFED", 3, "127.0.0.3", 0x03) });
        return replies;
    });
    search(true);
    ASSERT_EQ(view->rowCount(), 1u);
    searched = true;
    SetupSheet sheet(prompter);
    DeviceSetup setup(loop, *view, sheet, prompter, [&] { return sheet.submit(); });
    std::optional<DeviceSetup::Outcome> outcome;
    setup.setFinishedCallback([&](DeviceSetup::Outcome ended) { outcome = ended; });
    view->setChecked(0, true);
    setup.start();
    ASSERT_TRUE(loop.runUntil([&] { return outcome.has_value(); }, 10s));
    EXPECT_EQ(*outcome, DeviceSetup::Outcome::Disconnected);
    EXPECT_EQ(messagesWith("Device NO.1 is disconnected."), 1);
    EXPECT_EQ(messagesWith("Device NO.1: 1 reply from 127.0.0.3 was ignored: the request went to 127.0.0.2."), 1);
    for (const auto& request : device.requests())
        EXPECT_NE(request.opcode, 0x02) << "no SetConfig may follow a forged answer";
    EXPECT_EQ(view->rows()[0].texts[kColumnName], "REAL");
}

TEST_F(HostileTest, ShortRepliesAreLeftOutOfTheTableAndSaidOnce)
{
    struct Case {
        bool ip;
        const char* note;
    };
    const Case cases[] = {
        { false, "2 replies left out: shorter than the 438 bytes of a device's settings." },
        { true,
            "2 replies from 127.0.0.2 were refused: 300 bytes, shorter than the 438 bytes of a device's settings." },
    };
    int broadcastQueries = 0; // the search sends its Query three times
    HostileDevice device(loop, { "127.0.0.2" }, [&](auto request, bool search) {
        std::vector<Reply> replies;
        if (isQuery(request) && (!search || broadcastQueries++ == 0)) {
            replies.push_back({ "127.0.0.2", header(0x01) });
            auto cut = deviceRecord("CUT", 2, "127.0.0.2");
            cut.resize(300);
            replies.push_back({ "127.0.0.2", cut });
        }
        return replies;
    });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ip ? "IP search" : "broadcast search");
        prompter.shown.clear();
        search(c.ip);
        EXPECT_EQ(view->rowCount(), 0u);
        ASSERT_EQ(view->searchNotes().size(), 1u);
        EXPECT_EQ(view->searchNotes()[0], c.note);
        EXPECT_EQ(messagesWith("shorter than the 438 bytes"), 1);
        EXPECT_EQ(messagesWith("No devices found!"), 1);
    }
}

TEST_F(HostileTest, AShortSetConfigReplyIsNoSuccessAndLeavesTheRowAsItWas)
{
    HostileDevice device(loop, { "127.0.0.2" }, [&](auto request, bool) {
        std::vector<Reply> replies;
        if (isQuery(request))
            replies.push_back({ "127.0.0.2", deviceRecord("REAL", 2, "127.0.0.2") });
        else if (request.size() > 8 && request[8] == 0x02) {
            auto reply = header(0x03);
            reply.resize(20, 0);
            replies.push_back({ "127.0.0.2", reply });
        }
        return replies;
    });
    search(true);
    SetupSheet sheet(prompter);
    DeviceSetup setup(loop, *view, sheet, prompter, [&] { return sheet.submit(); });
    std::optional<DeviceSetup::Outcome> outcome;
    setup.setFinishedCallback([&](DeviceSetup::Outcome ended) { outcome = ended; });
    view->setChecked(0, true);
    setup.start();
    ASSERT_TRUE(loop.runUntil([&] { return outcome.has_value(); }, 10s));
    EXPECT_EQ(*outcome, DeviceSetup::Outcome::Failed);
    EXPECT_EQ(messagesWith("Device NO.1 sets failed."), 1);
    EXPECT_EQ(messagesWith("1 reply from 127.0.0.2 was refused: 20 bytes"), 1);
    EXPECT_EQ(view->rows()[0].texts[kColumnMac], "02-48-4F-53-54-02");
    EXPECT_EQ(view->rows()[0].texts[kColumnIp], "127.0.0.2");
}

TEST_F(HostileTest, AFloodKeeps256RowsAndSaysHowManyWereLeftOut)
{
    // 3,000 devices answer, each with its own MAC, 20 a millisecond.
    HostileDevice device(loop, { "127.0.0.2" }, [&](auto request, bool search) {
        std::vector<Reply> replies;
        if (isQuery(request) && search && device.requests().size() == 1)
            for (int i = 0; i < 3000; ++i) {
                auto record = deviceRecord("F" + std::to_string(i), 0, "127.0.0.2");
                record[30] = static_cast<std::uint8_t>(i >> 8);
                record[31] = static_cast<std::uint8_t>(i);
                replies.push_back({ "127.0.0.2", record });
            }
        return replies;
    });
    device.pace(20);
    search(false);
    EXPECT_EQ(device.sent(), 3000u);
    EXPECT_EQ(view->rowCount(), 256u);
    EXPECT_EQ(view->rows()[0].texts[kColumnName], "F0");
    EXPECT_EQ(view->rows()[255].texts[kColumnName], "F255");
    ASSERT_EQ(view->searchNotes().size(), 1u);
    EXPECT_EQ(view->searchNotes()[0], "2744 replies left out: the device table holds 256 devices.");
    EXPECT_EQ(messagesWith("2744 replies left out"), 1);
}

TEST_F(HostileTest, OneMacFromTwoAddressesIsAnAddressClashTheUserIsTold)
{
    for (const SearchKind kind : { SearchKind::Broadcast, SearchKind::Multicast }) {
        SCOPED_TRACE(kind == SearchKind::Broadcast ? "broadcast" : "multicast");
        HostileDevice device(
            loop, { "127.0.0.2", "127.0.0.3" },
            [&](auto request, bool) {
                std::vector<Reply> replies;
                if (isQuery(request) && device.requests().size() == 1) {
                    replies.push_back({ "127.0.0.2", deviceRecord("FIRST", 7, "127.0.0.2") });
                    replies.push_back({ "127.0.0.3", deviceRecord("SECOND", 7, "127.0.0.3") });
                    replies.push_back({ "127.0.0.3", deviceRecord("SECOND", 7, "127.0.0.3") });
                }
                return replies;
            },
            25124, kind == SearchKind::Broadcast ? 25122 : 25123);
        dialogs.kind = kind;
        prompter.shown.clear();
        search(false);
        ASSERT_GE(view->rowCount(), 1u);
        EXPECT_EQ(view->rows()[0].texts[kColumnName], "FIRST");
        ASSERT_EQ(view->searchNotes().size(), 1u);
        EXPECT_EQ(
            view->searchNotes()[0], "Address clash: MAC 02-48-4F-53-54-07 answered from 127.0.0.2 and from 127.0.0.3.");
        EXPECT_EQ(messagesWith("Address clash"), 1);
    }
}

TEST_F(HostileTest, ControlCharactersInANameNeverReachTheTerminalOrTheSettingFile)
{
    HostileDevice device(loop, { "127.0.0.2" }, [&](auto request, bool) {
        std::vector<Reply> replies;
        if (isQuery(request))
            replies.push_back({ "127.0.0.2", deviceRecord("\x1b[2J\r\nX\a", 2, "127.0.0.2") });
        return replies;
    });
    search(true);
    ASSERT_EQ(view->rowCount(), 1u);
    const std::string table = formatDeviceTable(view->rows());
    EXPECT_EQ(table.find_first_of("\x1b\r\a"), std::string::npos) << table;
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 2) << table;
    EXPECT_NE(table.find("\\x1B[2J\\x0D\\x0AX\\x07"), std::string::npos) << table;

    // The sheet says so when it reads the record, and will not write a file
    // whose lines the name would shift.
    SetupSheet sheet(prompter);
    sheet.open(view->entry(0), 0);
    EXPECT_EQ(messagesWith("Item 1 (Device name): \"\\x1B[2J\\x0D\\x0AX\\x07\" is holding control characters"), 1);
    testing_support::TempDir dir;
    EXPECT_FALSE(sheet.saveTo(dir.file("name.txt")));
    EXPECT_EQ(messagesWith("File saved."), 0);
    EXPECT_FALSE(std::ifstream(dir.file("name.txt")).good());
}

TEST_F(HostileTest, FieldsAtTheirMaximumAreSaidWhenReadAndNeverSaved)
{
    auto record = deviceRecord("MAX", 2, "127.0.0.2");
    for (std::size_t at = 32; at < 438; ++at)
        if (at < 34 || at >= 66) // every byte but the addresses, ports and texts below
            record[at] = 0xFF;
    std::fill(record.begin() + 88, record.end(), 'a'); // the texts as long as their fields
    std::fill(record.begin() + 306, record.begin() + 310, 10);
    HostileDevice device(loop, { "127.0.0.2" }, [&](auto request, bool) {
        std::vector<Reply> replies;
        if (isQuery(request))
            replies.push_back({ "127.0.0.2", record });
        return replies;
    });
    search(true);
    ASSERT_EQ(view->rowCount(), 1u);
    SetupSheet sheet(prompter);
    sheet.open(view->entry(0), 0);
    ASSERT_EQ(prompter.shown.size(), 1u);
    const std::string said = prompter.shown[0].text;
    for (const char* named : { "Item 20 (Connection timeout (min)): \"31\" is above 20",
             "Item 36 (Baud rate(bps)): \"31\" is not one of 0..8", "Item 37 (Data bits): \"7\" is not one of 0..3",
             "Item 38 (Parity): \"7\" is not one of 0..2", "Item 41 (RS-485 mode): \"255\" is not one of 0..3" })
        EXPECT_NE(said.find(named), std::string::npos) << named << "\n" << said;

    testing_support::TempDir dir;
    EXPECT_FALSE(sheet.saveTo(dir.file("max.txt")));
    EXPECT_EQ(messagesWith("File saved."), 0);
    EXPECT_NE(prompter.messages().back().find("The file is not saved:"), std::string::npos);
    // What the device sent goes back to it unchanged.
    ASSERT_TRUE(sheet.submit());
    EXPECT_EQ(sheet.setConfig().bytes[33], 0xFF & 0x1F);
    EXPECT_EQ(sheet.setConfig().bytes[66], 0xFF);
    EXPECT_EQ(sheet.setConfig().bytes[68], 0xFF);
}

TEST(MonitorCsv, ANameAFormulaWouldStartStaysText)
{
    MonitorRow row;
    row.texts[kMonitorNumber] = "0";
    row.texts[kMonitorName] = "=HYPERLINK(\"x\")";
    row.texts[kMonitorIp] = "127.0.0.2";
    row.texts[kMonitorStatus] = "Success";
    row.texts[kMonitorTx] = "1";
    row.texts[kMonitorRx] = "2";
    EXPECT_EQ(monitorCsvLine("t", row), "t,0,\"'=HYPERLINK(\"\"x\"\")\",127.0.0.2,Success,1,2\r\n");
    for (const char* start : { "+", "-", "@", "\t" }) {
        row.texts[kMonitorName] = std::string(start) + "1";
        EXPECT_EQ(monitorCsvLine("t", row), "t,0,'" + std::string(start) + "1,127.0.0.2,Success,1,2\r\n") << start;
    }
}
