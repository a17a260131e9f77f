#include "platform/event_loop.h"
#include "platform/net.h"
#include "sim/devsim/setup.h"
#include "sim/devsim/simulator.h"
#include "tests/support/scripted_prompter.h"
#include "utility/devmgmt/command_steps.h"
#include "utility/devmgmt/device_commands.h"
#include "utility/devmgmt/device_setup.h"
#include "utility/devmgmt/setup_sheet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>

using namespace std::chrono_literals;
using namespace utility::devmgmt;
using testing_support::ScriptedPrompter;

namespace {

class NoDialogs final : public DeviceDialogs {
public:
    DialogResult devicesSearching(SearchSettings&) override { return DialogResult::Accepted; }
    DialogResult ipSearching(std::string&) override { return DialogResult::Accepted; }
    DialogResult setting(Periods&) override { return DialogResult::Cancelled; }
};

platform::Ipv4 ip(const char* text) { return *platform::parseIpv4(text); }

// The device view with its setup, against devsim's devices on this test's
// own loopback, in virtual time.
struct DeviceSetupTest : ::testing::Test {
    platform::FakeClock clock;
    platform::VirtualLoop loop { clock };
    ScriptedPrompter prompter;
    NoDialogs dialogs;
    std::unique_ptr<sim::devsim::Simulator> simulator;
    std::unique_ptr<DeviceView> view;
    std::unique_ptr<SetupSheet> sheet;
    std::unique_ptr<DeviceSetup> setup;
    std::function<bool()> fillSheet = [this] { return sheet->submit(); };
    std::optional<DeviceSetup::Outcome> outcome;

    void startDevices(std::size_t count, const std::function<void(sim::devsim::DeviceDefinition&)>& adjust = {})
    {
        sim::devsim::SimulatorOptions options;
        options.httpPort = 0;
        options.rebootTime = 3s;
        simulator = std::make_unique<sim::devsim::Simulator>(loop, options);
        for (std::size_t i = 0; i < count; ++i) {
            auto definition = sim::devsim::defaultDevice(i, ip("127.0.0.10") + static_cast<platform::Ipv4>(i));
            if (adjust)
                adjust(definition);
            simulator->addDevice(std::move(definition));
        }
        auto started = simulator->start();
        ASSERT_TRUE(started.ok()) << started.error().message;
    }

    void SetUp() override
    {
        view = std::make_unique<DeviceView>(loop, prompter, dialogs);
        view->setLocalAddress("127.0.0.1", "255.0.0.0");
        view->setPeriods({ 5, 15, 15 });
        sheet = std::make_unique<SetupSheet>(prompter);
        setup = std::make_unique<DeviceSetup>(loop, *view, *sheet, prompter, [this] { return fillSheet(); });
        setup->setFinishedCallback([this](DeviceSetup::Outcome ended) { outcome = ended; });
    }

    void TearDown() override
    {
        setup.reset();
        view.reset();
        simulator.reset();
    }

    void searchAddress(const std::string& address)
    {
        view->setIpSearchAddress(address);
        view->ipSearch(false);
        ASSERT_TRUE(loop.runUntil([&] { return !view->searching(); }, 5s));
        ASSERT_EQ(view->rowCount(), 1u);
    }

    void runSetup()
    {
        outcome.reset();
        view->setChecked(0, true);
        setup->start();
        ASSERT_TRUE(loop.runUntil([&] { return outcome.has_value(); }, 10s));
    }

    sim::devsim::Device& device(std::size_t i) { return simulator->device(i); }
};

} // namespace

TEST_F(DeviceSetupTest, SetupSendsTheSheetAndSearchesAgainOnThe17thCountdownTick)
{
    startDevices(1);
    searchAddress("127.0.0.10");
    fillSheet = [this] {
        sheet->edit(Item::DeviceName, "Renamed");
        sheet->edit(Item::DataPort, "4100");
        sheet->edit(Item::BaudRate, "5");
        return sheet->submit();
    };
    runSetup();
    ASSERT_EQ(*outcome, DeviceSetup::Outcome::Done);
    EXPECT_EQ(prompter.shown.front().text, kRebootQuestion);
    EXPECT_EQ(prompter.shown.front().title, "Device Setup");
    EXPECT_EQ(device(0).settings().name, "Renamed");
    EXPECT_EQ(device(0).settings().dataPort, 4100);
    EXPECT_EQ(device(0).settings().baudCode, 5);
    EXPECT_EQ(device(0).restarts(), 1);

    const ListRow& row = view->rows()[0];
    EXPECT_EQ(row.texts[kColumnName], "Renamed");
    EXPECT_EQ(row.texts[kColumnPort], "4100");
    EXPECT_EQ(row.textColour, kSetupDoneText);
    EXPECT_EQ(row.background, kSearchedRow);
    EXPECT_FALSE(row.checked);
    EXPECT_EQ(view->progress(), 200);
    for (int i = 0; i < kButtonCount; ++i)
        EXPECT_FALSE(view->buttonEnabled(static_cast<Button>(i)));

    // Reboot period 15 and one checked device: 16 ticks of progress, the
    // new search on the 17th.
    for (int tick = 1; tick <= 16; ++tick) {
        loop.advance(1s);
        EXPECT_FALSE(view->searching()) << tick;
        EXPECT_EQ(view->progress(), 200 + (tick - 1) * (650 / 16)) << tick;
        EXPECT_EQ(view->rowCount(), 1u);
    }
    loop.advance(1s);
    EXPECT_TRUE(view->searching());
    EXPECT_EQ(view->rowCount(), 0u);
    EXPECT_FALSE(view->steps().countingDown());
    ASSERT_TRUE(loop.runUntil([&] { return !view->searching(); }, 5s));
    ASSERT_EQ(view->rowCount(), 1u);
    EXPECT_EQ(view->rows()[0].texts[kColumnName], "Renamed");
}

TEST_F(DeviceSetupTest, AConnectedDeviceStillGetsTheSetConfig)
{
    startDevices(1, [](sim::devsim::DeviceDefinition& d) { d.status.connectionState = 1; });
    searchAddress("127.0.0.10");
    bool sawConnected = false;
    fillSheet = [this] {
        sheet->edit(Item::DeviceName, "StillSet");
        return sheet->submit();
    };
    view->setChangedCallback([&] {
        if (!view->rows().empty() && view->rows()[0].texts[kColumnStatus] == "Connected"
            && view->rows()[0].background == kConnectedRow && view->steps().querying() == false)
            sawConnected = true;
    });
    runSetup();
    EXPECT_TRUE(sawConnected);
    ASSERT_EQ(*outcome, DeviceSetup::Outcome::Done);
    EXPECT_EQ(device(0).settings().name, "StillSet");
}

TEST_F(DeviceSetupTest, ARefusedSheetSendsNothing)
{
    startDevices(1);
    searchAddress("127.0.0.10");
    for (const auto& [item, value] :
        std::vector<std::pair<Item, std::string>> { { Item::DeviceName, "two words" }, { Item::DataPort, "80" } }) {
        fillSheet = [this, item, value] {
            sheet->edit(item, value);
            EXPECT_FALSE(sheet->submit()); // the sheet stays open ...
            return false; // ... until the user leaves it
        };
        runSetup();
        EXPECT_EQ(*outcome, DeviceSetup::Outcome::NotStarted);
        EXPECT_FALSE(view->rows()[0].checked);
        EXPECT_EQ(view->statusText(), " Idle");
        EXPECT_EQ(view->progress(), 0);
    }
    loop.advance(2s);
    EXPECT_EQ(device(0).restarts(), 0);
    EXPECT_EQ(device(0).settings().name, "DS-0001");
    EXPECT_EQ(prompter.count("confirm"), 0);
}

TEST_F(DeviceSetupTest, ASilentDeviceIsMarkedDisconnectedAfterTheSearchPeriod)
{
    startDevices(1);
    searchAddress("127.0.0.10");
    device(0).setFault(sim::devsim::FaultMode::Silent);
    const auto start = clock.now();
    runSetup();
    ASSERT_EQ(*outcome, DeviceSetup::Outcome::Disconnected);
    const auto waited = clock.now() - start;
    EXPECT_GE(waited, 500ms);
    EXPECT_LE(waited, 700ms);
    EXPECT_EQ(prompter.messages().back(), "Device NO.1 is disconnected.");
    EXPECT_EQ(prompter.shown.back().title, "Warning !!");
    const ListRow& row = view->rows()[0];
    EXPECT_EQ(row.texts[kColumnMode], "Disconnected");
    EXPECT_EQ(row.background, kLostRow);
    EXPECT_EQ(row.textColour, kBlack);
    EXPECT_FALSE(row.checked);
    EXPECT_EQ(view->progress(), 1000);
    EXPECT_EQ(view->statusText(), " Idle");
}

TEST_F(DeviceSetupTest, NoSetConfigReplyEndsAsSetsFailed)
{
    // A device that answers Query but never SetConfig.
    auto socket = platform::UdpSocket::open();
    ASSERT_TRUE(socket.ok());
    ASSERT_TRUE(socket->bind(ip("127.0.0.30"), kDeviceCommandPort).ok());
    int setConfigs = 0;
    loop.watchFd(socket->fd(), platform::kIoRead, [&](unsigned) {
        std::uint8_t buffer[2000];
        platform::Endpoint from;
        while (true) {
            auto n = socket->receiveFrom(buffer, from);
            if (!n.ok())
                return;
            if (*n >= 9 && buffer[8] == opcode::kSetConfig)
                ++setConfigs;
            if (*n != 9)
                continue;
            std::array<std::uint8_t, 438> reply {};
            std::memcpy(reply.data(), "ZORVVROZ\x01", 9);
            const std::uint8_t address[] = { 127, 0, 0, 30 };
            std::memcpy(reply.data() + 34, address, 4);
            reply[42] = 0x13;
            reply[43] = 0x88;
            reply[52] = 0x13;
            reply[53] = 0x88;
            (void)socket->sendTo(from, reply);
        }
    });
    searchAddress("127.0.0.30");
    runSetup();
    loop.unwatchFd(socket->fd());
    ASSERT_EQ(*outcome, DeviceSetup::Outcome::Failed);
    EXPECT_EQ(setConfigs, 1);
    EXPECT_EQ(prompter.messages().back(), "Device NO.1 sets failed.");
    EXPECT_EQ(prompter.shown.back().title, "Setting Result");
    for (int i = 0; i < kButtonCount; ++i)
        EXPECT_TRUE(view->buttonEnabled(static_cast<Button>(i)));
    EXPECT_EQ(view->statusText(), " Idle");
    EXPECT_EQ(view->progress(), 1000);
}

TEST_F(DeviceSetupTest, SetupAndWebBrowserNeedExactlyOneCheckedRow)
{
    startDevices(2);
    view->networkSearch(true);
    ASSERT_TRUE(loop.runUntil([&] { return !view->searching(); }, 5s));
    ASSERT_EQ(view->rowCount(), 2u);

    std::vector<std::string> external;
    std::vector<std::string> embedded;
    std::vector<std::string> log;
    bool embeddedWorks = true;
    WebAccess web(*view, prompter,
        { [&](const std::string& url) {
             external.push_back(url);
             return true;
         },
            [&](const std::string& url, std::string& why) {
                if (!embeddedWorks) {
                    why = "no GPU";
                    return false;
                }
                embedded.push_back(url);
                return true;
            },
            [&](const std::string& line) { log.push_back(line); } });

    setup->start();
    EXPECT_EQ(prompter.messages().back(), kSelectOneDevice);
    EXPECT_FALSE(web.click());
    EXPECT_EQ(prompter.messages().back(), kSelectOneDevice);
    view->setChecked(0, true);
    view->setChecked(1, true);
    setup->start();
    EXPECT_EQ(prompter.messages().back(), kOneDeviceEachTime);
    EXPECT_FALSE(web.click());
    EXPECT_EQ(prompter.messages().back(), kOneDeviceEachTime);
    EXPECT_EQ(prompter.count("confirm"), 0);

    view->setChecked(0, false);
    const std::string url = "http://" + view->rows()[1].texts[kColumnIp];
    EXPECT_EQ(web.click(), url);
    EXPECT_EQ(embedded, std::vector<std::string> { url });
    view->setUseExternalBrowser(true);
    EXPECT_EQ(web.click(), url);
    EXPECT_EQ(external, std::vector<std::string> { url });
    view->setUseExternalBrowser(false);
    embeddedWorks = false;
    EXPECT_EQ(web.click(), url);
    EXPECT_EQ(external.size(), 2u);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("no GPU"), std::string::npos);
}

TEST_F(DeviceSetupTest, RefreshShowsAnEmptyNameAsTheCommandAsks)
{
    startDevices(1);
    searchAddress("127.0.0.10");
    std::array<std::uint8_t, 438> reply = {};
    std::memcpy(reply.data(), "ZORVVROZ\x03", 9);
    const std::uint8_t address[] = { 127, 0, 0, 10 };
    std::memcpy(reply.data() + 34, address, 4);
    reply[43] = 80; // a port below 1024 is pointed out
    view->setChecked(0, true);
    view->steps().refreshRow(0, reply, kSetupDoneText, CommandSteps::EmptyName::Empty);
    EXPECT_EQ(view->rows()[0].texts[kColumnName], "");
    EXPECT_EQ(view->rows()[0].texts[kColumnPort], "80");
    EXPECT_FALSE(view->rows()[0].checked);
    EXPECT_EQ(view->entry(0).length, 438);
    EXPECT_EQ(prompter.messages().back(), "Port number should greater than 1024.");
    view->steps().refreshRow(0, reply, kRestoreDoneText, CommandSteps::EmptyName::RowName);
    EXPECT_EQ(view->rows()[0].texts[kColumnName], "ZIR1");
    EXPECT_EQ(view->rows()[0].textColour, kRestoreDoneText);
    EXPECT_EQ(view->rows()[0].background, kSearchedRow);
}

TEST_F(DeviceSetupTest, AShortQueryReplyIsNoDeviceAndAShortEntryNeverOpensTheSheet)
{
    // A reply of 64 bytes would fill the sheet with zeros: 921600 baud,
    // 5 data bits, odd parity, Xon/Xoff. The search lists no such device.
    startDevices(
        1, [](sim::devsim::DeviceDefinition& definition) { definition.fault = sim::devsim::FaultMode::ShortReply; });
    view->setIpSearchAddress("127.0.0.10");
    view->ipSearch(false);
    ASSERT_TRUE(loop.runUntil([&] { return !view->searching(); }, 5s));
    EXPECT_EQ(view->rowCount(), 0u);
    ASSERT_EQ(view->searchNotes().size(), 1u);
    EXPECT_NE(view->searchNotes()[0].find("64 bytes, shorter than the 438 bytes"), std::string::npos);

    // A row holding a short record all the same gets no sheet.
    device(0).setFault(sim::devsim::FaultMode::None);
    searchAddress("127.0.0.10");
    view->mutableEntry(0).length = 64;
    prompter.shown.clear();
    const auto before = device(0).settings();
    int sheetsShown = 0;
    fillSheet = [&] {
        ++sheetsShown;
        sheet->edit(Item::DeviceName, "Renamed");
        return sheet->submit();
    };
    runSetup();
    EXPECT_EQ(*outcome, DeviceSetup::Outcome::ShortRecord);
    EXPECT_EQ(sheetsShown, 0);
    EXPECT_FALSE(sheet->submitted());
    ASSERT_FALSE(prompter.messages().empty());
    EXPECT_EQ(prompter.messages().back(), shortRecordMessage(0, 64));
    EXPECT_NE(prompter.messages().back().find("short"), std::string::npos);
    EXPECT_EQ(prompter.count("confirm"), 0) << "not even the reboot question";
    loop.advance(3s);
    EXPECT_EQ(device(0).settings(), before);
    EXPECT_EQ(device(0).restarts(), 0);
    EXPECT_FALSE(view->rows()[0].checked);
    EXPECT_FALSE(setup->running());
}

TEST_F(DeviceSetupTest, ADoubleClickWhileAnotherCommandRunsIsRefused)
{
    startDevices(1);
    searchAddress("127.0.0.10");
    DeviceRestore restore(loop, *view, prompter);
    std::optional<CommandOutcome> restored;
    restore.setFinishedCallback([&](CommandOutcome how) { restored = how; });
    int sheetsShown = 0;
    fillSheet = [&] {
        ++sheetsShown;
        return false; // left without Submit
    };
    view->setDoubleClickHandler([this](std::size_t) { setup->start(); });

    view->setChecked(0, true);
    restore.start();
    ASSERT_TRUE(restore.running());
    // During the restore's query, its wait for the RestoreReply and the
    // re-search countdown that follows, a double-click opens nothing.
    bool polledForReply = false;
    bool countdownSeen = false;
    for (int tick = 0; tick < 300 && (restore.running() || view->exchangeRunning()); ++tick) {
        polledForReply = polledForReply || (restore.running() && !view->steps().querying());
        countdownSeen = countdownSeen || view->steps().countingDown();
        view->doubleClickRow(0);
        EXPECT_FALSE(setup->running());
        loop.advance(100ms);
    }
    EXPECT_TRUE(polledForReply);
    EXPECT_TRUE(countdownSeen);
    EXPECT_EQ(sheetsShown, 0);
    ASSERT_TRUE(restored.has_value());
    EXPECT_EQ(*restored, CommandOutcome::Restarting);
    EXPECT_FALSE(restore.running());
    EXPECT_EQ(device(0).restarts(), 1);

    // Once the new search is over the double-click works again.
    ASSERT_TRUE(loop.runUntil([&] { return !view->searching() && view->rowCount() == 1; }, 10s));
    view->doubleClickRow(0);
    EXPECT_EQ(sheetsShown, 1);
}
