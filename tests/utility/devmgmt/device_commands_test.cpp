#include "platform/event_loop.h"
#include "platform/net.h"
#include "sim/devsim/setup.h"
#include "sim/devsim/simulator.h"
#include "tests/support/scripted_prompter.h"
#include "utility/devmgmt/command_steps.h"
#include "utility/devmgmt/device_commands.h"

#include <gtest/gtest.h>

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

class ScriptedUpgradeDialog final : public UpgradeDialog {
public:
    std::function<bool(UpgradeSettings&)> answer = [](UpgradeSettings& s) { return !validateUpgrade(s); };
    std::optional<UpgradeSettings> opened;
    bool show(UpgradeSettings& settings) override
    {
        opened = settings;
        return answer(settings);
    }
};

platform::Ipv4 ip(const char* text) { return *platform::parseIpv4(text); }

// The device view's restore, reboot and upgrade against devsim's devices on
// this test's own loopback, in virtual time.
struct DeviceCommandsTest : ::testing::Test {
    platform::FakeClock clock;
    platform::VirtualLoop loop { clock };
    ScriptedPrompter prompter;
    NoDialogs dialogs;
    ScriptedUpgradeDialog upgradeDialog;
    std::unique_ptr<sim::devsim::Simulator> simulator;
    std::unique_ptr<DeviceView> view;
    std::unique_ptr<DeviceRestore> restore;
    std::unique_ptr<DeviceReboot> reboot;
    std::unique_ptr<FirmwareUpgrade> upgrade;
    std::optional<CommandOutcome> outcome;
    int searchesEnded = 0;

    void startDevices(std::size_t count)
    {
        sim::devsim::SimulatorOptions options;
        options.httpPort = 0;
        options.rebootTime = 3s;
        simulator = std::make_unique<sim::devsim::Simulator>(loop, options);
        for (std::size_t i = 0; i < count; ++i)
            simulator->addDevice(sim::devsim::defaultDevice(i, ip("127.0.0.10") + static_cast<platform::Ipv4>(i)));
        auto started = simulator->start();
        ASSERT_TRUE(started.ok()) << started.error().message;
    }

    void SetUp() override
    {
        view = std::make_unique<DeviceView>(loop, prompter, dialogs);
        view->setLocalAddress("127.0.0.1", "255.0.0.0");
        view->setPeriods({ 5, 15, 15 });
        view->setSearchFinishedCallback([this] { ++searchesEnded; });
        restore = std::make_unique<DeviceRestore>(loop, *view, prompter);
        reboot = std::make_unique<DeviceReboot>(loop, *view, prompter);
        upgrade = std::make_unique<FirmwareUpgrade>(loop, *view, prompter, upgradeDialog);
        auto record = [this](CommandOutcome ended) { outcome = ended; };
        restore->setFinishedCallback(record);
        reboot->setFinishedCallback(record);
        upgrade->setFinishedCallback(record);
    }

    void TearDown() override
    {
        restore.reset();
        reboot.reset();
        upgrade.reset();
        view.reset();
        simulator.reset();
    }

    void search(std::size_t expected)
    {
        view->networkSearch(DeviceView::SearchOrigin::Command);
        ASSERT_TRUE(loop.runUntil([&] { return !view->searching(); }, 5s));
        ASSERT_EQ(view->rowCount(), expected);
        searchesEnded = 0;
    }

    void checkAll()
    {
        for (std::size_t i = 0; i < view->rowCount(); ++i)
            view->setChecked(i, true);
    }

    // The row of the device at `address`.
    std::size_t rowOf(const std::string& address)
    {
        for (std::size_t i = 0; i < view->rowCount(); ++i)
            if (view->rows()[i].texts[kColumnIp] == address)
                return i;
        ADD_FAILURE() << address << " not listed";
        return 0;
    }

    bool allButtons(bool enabled)
    {
        for (int i = 0; i < kButtonCount; ++i)
            if (view->buttonEnabled(static_cast<Button>(i)) != enabled)
                return false;
        return true;
    }
};

} // namespace

TEST_F(DeviceCommandsTest, NothingCheckedGivesTheSelectMessages)
{
    startDevices(2);
    search(2);
    restore->start();
    EXPECT_EQ(prompter.messages().back(), "Please select device(s) in the list !!");
    reboot->start();
    EXPECT_EQ(prompter.messages().back(), "Please select device(s) in the list !!");
    upgrade->start();
    EXPECT_EQ(prompter.messages().back(), "Please select a device server in the list !!");
    checkAll();
    upgrade->start();
    EXPECT_EQ(prompter.messages().back(), "Please set ONE device server each time !!");
    EXPECT_FALSE(upgradeDialog.opened);
    EXPECT_EQ(*outcome, CommandOutcome::NotStarted);
}

TEST_F(DeviceCommandsTest, RestoreSkipsASilentFirstDeviceAndSearchesAfterTheCountdown)
{
    startDevices(2);
    search(2);
    const std::size_t first = rowOf("127.0.0.10");
    const std::size_t second = rowOf("127.0.0.11");
    simulator->device(0).setFault(sim::devsim::FaultMode::Silent);
    checkAll();
    restore->start();
    EXPECT_EQ(prompter.shown.back().text, kRestoreQuestion);
    EXPECT_EQ(prompter.shown.back().title, "Reset");
    EXPECT_EQ(view->statusText(), " Resetting ...");
    EXPECT_TRUE(allButtons(false));
    ASSERT_TRUE(loop.runUntil([&] { return outcome.has_value(); }, 20s));
    ASSERT_EQ(*outcome, CommandOutcome::Restarting);
    EXPECT_EQ(prompter.count("message"), 0) << "no message for the silent first device";
    EXPECT_EQ(restore->answered(), std::vector<std::size_t> { second });
    EXPECT_EQ(simulator->device(1).restarts(), 1);
    EXPECT_EQ(simulator->device(0).restarts(), 0);
    EXPECT_EQ(view->rows()[second].textColour, kRestoreDoneText);
    EXPECT_EQ(view->rows()[first].textColour, std::nullopt);
    EXPECT_EQ(view->progress(), 200);
    EXPECT_TRUE(view->steps().countingDown());
    // Reboot period 15 and two checked devices: 17 ticks, the search on the 18th.
    loop.advance(17s + 500ms);
    EXPECT_FALSE(view->searching());
    simulator->device(0).setFault(sim::devsim::FaultMode::None);
    loop.advance(1s);
    EXPECT_TRUE(view->searching());
    ASSERT_TRUE(loop.runUntil([&] { return searchesEnded == 1; }, 5s));
    EXPECT_EQ(view->rowCount(), 2u);
    EXPECT_TRUE(view->buttonEnabled(Button::Restore));
}

TEST_F(DeviceCommandsTest, NoRestoreReplyEndsAsResetsFailedAfterTheRestorePeriod)
{
    startDevices(1);
    search(1);
    // Another MAC in the table: the device takes the Restore as meant for
    // another device and never answers it, but answers the Query.
    view->mutableEntry(0).record[26] ^= 0xFF;
    view->setChecked(0, true);
    restore->start();
    ASSERT_TRUE(loop.runUntil([&] { return view->steps().querying(); }, 1s));
    ASSERT_TRUE(loop.runUntil([&] { return !view->steps().querying(); }, 1s));
    const auto sent = clock.now();
    int highest = 0;
    view->setChangedCallback([&] { highest = std::max(highest, view->progress()); });
    ASSERT_TRUE(loop.runUntil([&] { return outcome.has_value(); }, 30s));
    ASSERT_EQ(*outcome, CommandOutcome::Failed);
    // Checked count 1 and restore period 15: 151 polls waited, the 152nd ends it.
    const auto waited = clock.now() - sent;
    EXPECT_GE(waited, 15100ms);
    EXPECT_LE(waited, 15300ms);
    EXPECT_EQ(prompter.messages().back(), "Device NO.1 resets failed.");
    EXPECT_EQ(prompter.shown.back().title, "Setting Result");
    EXPECT_TRUE(allButtons(true));
    EXPECT_EQ(view->statusText(), " Idle");
    EXPECT_EQ(view->progress(), 1000);
    // polls x (1 + 900 / 150) while waiting.
    EXPECT_EQ(highest, 151 * 7);
    loop.advance(20s);
    EXPECT_FALSE(view->searching()) << "nothing restored, no new search";
    EXPECT_EQ(simulator->device(0).restarts(), 0);
}

TEST_F(DeviceCommandsTest, RestoreBringsAChangedNameBackAndShowsAnEmptyOneAsZir)
{
    // Device 1 keeps its factory name "DS-0001" but is searched as
    // "Changed"; device 2 has no factory name at all.
    sim::devsim::SimulatorOptions options;
    options.httpPort = 0;
    options.rebootTime = 3s;
    simulator = std::make_unique<sim::devsim::Simulator>(loop, options);
    simulator->addDevice(sim::devsim::defaultDevice(0, ip("127.0.0.10")));
    auto nameless = sim::devsim::defaultDevice(1, ip("127.0.0.11"));
    nameless.settings.name.clear();
    simulator->addDevice(std::move(nameless));
    ASSERT_TRUE(simulator->start().ok());
    search(2);
    const std::size_t named = rowOf("127.0.0.10");
    const std::size_t unnamed = rowOf("127.0.0.11");
    DeviceEntry& entry = view->mutableEntry(named);
    std::fill_n(entry.record.begin() + offset::kName, kNameSize, 0);
    std::copy_n("Changed", 7, entry.record.begin() + offset::kName);
    view->refreshRow(named);
    ASSERT_EQ(view->rows()[named].texts[kColumnName], "Changed");

    checkAll();
    restore->start();
    ASSERT_TRUE(loop.runUntil([&] { return outcome.has_value(); }, 10s));
    ASSERT_EQ(*outcome, CommandOutcome::Restarting);
    // The countdown starts once the last Restore is out; its reply follows.
    ASSERT_TRUE(loop.runUntil([&] { return restore->answered().size() == 2; }, 2s));
    EXPECT_EQ(view->rows()[named].texts[kColumnName], "DS-0001");
    EXPECT_EQ(view->rows()[unnamed].texts[kColumnName], "ZIR" + std::to_string(unnamed + 1));
    for (const std::size_t row : { named, unnamed }) {
        EXPECT_EQ(view->rows()[row].background, kSearchedRow);
        EXPECT_FALSE(view->rows()[row].checked);
    }
}

TEST_F(DeviceCommandsTest, ANamelessDeviceIsRebootedUnderTheRowNameTheListShows)
{
    sim::devsim::SimulatorOptions options;
    options.httpPort = 0;
    options.rebootTime = 3s;
    simulator = std::make_unique<sim::devsim::Simulator>(loop, options);
    auto nameless = sim::devsim::defaultDevice(0, ip("127.0.0.10"));
    nameless.settings.name.clear();
    simulator->addDevice(std::move(nameless));
    ASSERT_TRUE(simulator->start().ok());
    search(1);
    ASSERT_EQ(view->rows()[0].texts[kColumnName], "ZIR1");
    view->setChecked(0, true);
    reboot->start();
    ASSERT_TRUE(loop.runUntil([&] { return simulator->device(0).restarts() > 0; }, 5s));
    EXPECT_EQ(reboot->answered(), std::vector<std::size_t> { 0 });
}

TEST_F(DeviceCommandsTest, RebootOfThreeSearchesAfterTheCountdownAndThePause)
{
    startDevices(3);
    search(3);
    checkAll();
    reboot->start();
    EXPECT_EQ(prompter.shown.back().text, "Do you really want to REBOOT device(s) ?");
    EXPECT_EQ(view->statusText(), " Rebooting ...");
    ASSERT_TRUE(loop.runUntil([&] { return reboot->countingDown(); }, 3s));
    const auto countdownStart = clock.now();
    ASSERT_TRUE(loop.runUntil([&] { return view->rowCount() == 0; }, 30s));
    const auto ranOut = clock.now();
    ASSERT_TRUE(loop.runUntil([&] { return view->searching(); }, 10s));
    const auto searched = clock.now();
    EXPECT_GE(searched - countdownStart, 15s);
    EXPECT_GE(searched - ranOut, 3600ms);
    EXPECT_LE(searched - ranOut, 3700ms);
    EXPECT_EQ(*outcome, CommandOutcome::Restarting);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(simulator->device(i).restarts(), 1) << i;
    ASSERT_TRUE(loop.runUntil([&] { return searchesEnded == 1; }, 5s));
    EXPECT_EQ(view->rowCount(), 3u);
    EXPECT_TRUE(allButtons(true));
}

TEST_F(DeviceCommandsTest, RebootMakesTheDeviceSilentForItsRebootTime)
{
    startDevices(1);
    search(1);
    view->setChecked(0, true);
    reboot->start();
    ASSERT_TRUE(loop.runUntil([&] { return simulator->device(0).restarts() == 1; }, 3s));
    // The simulator's reboot time is 3 s: an IP search meanwhile finds nothing.
    DeviceView probe(loop, prompter, dialogs, { 25130, 25131, 25132, 25122, 25123, 25124 });
    probe.setLocalAddress("127.0.0.1", "255.0.0.0");
    probe.setPeriods({ 5, 15, 15 });
    probe.setIpSearchAddress("127.0.0.10");
    probe.ipSearch(false);
    ASSERT_TRUE(loop.runUntil([&] { return !probe.searching(); }, 2s));
    EXPECT_EQ(probe.rowCount(), 0u);
    loop.advance(3s);
    probe.ipSearch(false);
    ASSERT_TRUE(loop.runUntil([&] { return !probe.searching(); }, 2s));
    EXPECT_EQ(probe.rowCount(), 1u);
}

TEST_F(DeviceCommandsTest, ARebootOfOnlySilentDevicesEndsWithTheDisconnectedMessage)
{
    startDevices(2);
    search(2);
    simulator->device(0).setFault(sim::devsim::FaultMode::Silent);
    simulator->device(1).setFault(sim::devsim::FaultMode::Silent);
    checkAll();
    reboot->start();
    ASSERT_TRUE(loop.runUntil([&] { return outcome.has_value(); }, 10s));
    EXPECT_EQ(*outcome, CommandOutcome::Disconnected);
    EXPECT_EQ(prompter.count("message"), 1);
    EXPECT_EQ(prompter.messages().back(), "Device NO.2 is disconnected.");
    EXPECT_FALSE(view->rows()[0].checked);
    EXPECT_FALSE(view->rows()[1].checked);
    EXPECT_TRUE(allButtons(true));
    EXPECT_FALSE(reboot->countingDown());
}

TEST_F(DeviceCommandsTest, UpgradeWithPeriod10SearchesOnThe21stTick)
{
    startDevices(1);
    search(1);
    view->setChecked(0, true);
    upgrade->setSettings({ 5, "127.0.0.99", "fw.bin" });
    std::optional<UpgradeSettings> storedSettings;
    upgrade->setStore([&](const UpgradeSettings& s) { storedSettings = s; });
    const auto requested = clock.now();
    upgrade->start();
    ASSERT_TRUE(upgradeDialog.opened);
    EXPECT_EQ(upgradeDialog.opened->period, 10) << "5 is corrected to 10";
    ASSERT_TRUE(storedSettings);
    EXPECT_EQ(storedSettings->period, 10);
    EXPECT_EQ(storedSettings->server, "127.0.0.99");
    EXPECT_EQ(prompter.shown.back().text, "Do you really want to upgrade firmware code?");
    EXPECT_EQ(prompter.shown.back().title, "Upgrade Info");
    EXPECT_EQ(view->statusText(), "Upgrading...");
    EXPECT_EQ(view->progressRange(), 60);
    EXPECT_TRUE(allButtons(false));
    loop.processPending();
    EXPECT_TRUE(simulator->device(0).upgrading()) << "the request goes out at once";
    for (int tick = 1; tick <= 20; ++tick) {
        loop.advance(1s);
        EXPECT_FALSE(view->searching()) << tick;
        EXPECT_EQ(view->progress(), tick);
    }
    loop.advance(1s);
    EXPECT_TRUE(view->searching());
    EXPECT_EQ(clock.now() - requested, 21s);
    EXPECT_EQ(*outcome, CommandOutcome::Restarting);
    ASSERT_TRUE(loop.runUntil([&] { return searchesEnded == 1; }, 5s));
    EXPECT_TRUE(allButtons(true));
}

TEST_F(DeviceCommandsTest, UpgradeDialogChecks)
{
    EXPECT_EQ(clampUpgradePeriod(5), 10);
    EXPECT_EQ(clampUpgradePeriod(1001), 1000);
    EXPECT_EQ(clampUpgradePeriod(500), 500);
    const std::vector<std::pair<UpgradeSettings, std::optional<std::string>>> cases = {
        { { 10, "192.168.0.1", "a.bin" }, std::nullopt },
        { { 10, "0.0.0.0", "a.bin" }, "Invalid TFTP Server IP address!" },
        { { 10, "255.255.255.255", "a.bin" }, "Invalid TFTP Server IP address!" },
        { { 10, "0.1.2.3", "a.bin" }, "Invalid TFTP Server IP address!" },
        { { 10, "not an address", "a.bin" }, "Invalid TFTP Server IP address!" },
        { { 10, "10.0.0.1", "" }, "File name is empty!" },
        { { 9, "10.0.0.1", "a.bin" }, "Please enter an integer between 10 and 1000." },
    };
    for (const auto& [settings, expected] : cases)
        EXPECT_EQ(validateUpgrade(settings), expected) << settings.server << " " << settings.fileName;

    EXPECT_EQ(browsedFileName("/srv/tftp/new.bin").name, "new.bin");
    EXPECT_EQ(browsedFileName("C:\\fw\\new.bin").name, "new.bin");
    EXPECT_EQ(browsedFileName("/x/" + std::string(127, 'a')).name, std::string(127, 'a'));
    const auto tooLong = browsedFileName("/x/" + std::string(128, 'a'));
    EXPECT_FALSE(tooLong.name);
    EXPECT_EQ(tooLong.error, "Please enter no more than 127 bytes!");
}

TEST_F(DeviceCommandsTest, UpgradeOutsideTheSegmentAnsweredNoUnchecksTheRow)
{
    startDevices(1);
    search(1);
    view->setLocalAddress("10.0.0.1", "255.255.255.0");
    view->setChecked(0, true);
    prompter.confirmAnswers = { false };
    upgrade->start();
    EXPECT_EQ(prompter.shown.back().text, kUpgradeSegmentWarning);
    EXPECT_EQ(prompter.shown.back().title, "Warning");
    EXPECT_FALSE(prompter.shown.back().defaultYes);
    EXPECT_FALSE(view->rows()[0].checked);
    EXPECT_FALSE(upgradeDialog.opened);
    EXPECT_EQ(*outcome, CommandOutcome::NotStarted);
}

// Every wait of a command is reported with what it waits for and how long is
// left, and the time left of the last wait is the time the new search
// starts: a progress line counts down to it, not past it nor short of it.
TEST_F(DeviceCommandsTest, EachWaitSaysWhatItWaitsForAndTheTimeLeftEndsAtTheNewSearch)
{
    enum class Command { Restore, Reboot, Upgrade };
    const struct {
        Command command;
        std::string lastWait;
        std::vector<std::string> steps; // in order of their first report
    } cases[] = {
        { Command::Reboot, kRestartStep,
            { "Asking 127.0.0.10 whether it answers", "Asking 127.0.0.11 whether it answers", kRestartStep } },
        { Command::Upgrade, "Waiting for 127.0.0.10 to fetch fw.bin from 127.0.0.99 and restart",
            { "Waiting for 127.0.0.10 to fetch fw.bin from 127.0.0.99 and restart" } },
        { Command::Restore, kRestartStep,
            { "Asking 127.0.0.10 whether it answers", "Waiting for 127.0.0.10 to answer Restore",
                "Asking 127.0.0.11 whether it answers", "Waiting for 127.0.0.11 to answer Restore", kRestartStep } },
    };
    startDevices(2);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lastWait + " " + std::to_string(static_cast<int>(c.command)));
        search(2);
        struct Report {
            platform::TimePoint at;
            StepProgress progress;
        };
        std::vector<Report> reports;
        view->steps().setProgressCallback([&](const StepProgress& progress) {
            reports.push_back({ clock.now(), progress });
        });
        outcome.reset();
        if (c.command == Command::Upgrade) {
            view->setChecked(rowOf("127.0.0.10"), true);
            upgrade->setSettings({ 10, "127.0.0.99", "fw.bin" });
            upgrade->start();
        } else {
            checkAll();
            if (c.command == Command::Restore)
                restore->start();
            else
                reboot->start();
        }
        ASSERT_TRUE(loop.runUntil([&] { return view->searching(); }, 60s));
        const auto searchStarted = clock.now();
        ASSERT_TRUE(loop.runUntil([&] { return searchesEnded == 1; }, 5s));
        view->steps().setProgressCallback({});

        std::vector<std::string> steps;
        int lastWaits = 0;
        for (const auto& report : reports) {
            if (report.at >= searchStarted)
                continue;
            if (steps.empty() || steps.back() != report.progress.step)
                steps.push_back(report.progress.step);
            EXPECT_GT(report.progress.left, 0s) << report.progress.step;
            if (report.progress.step == c.lastWait) {
                ++lastWaits;
                EXPECT_EQ(report.at + report.progress.left, searchStarted)
                    << report.progress.step << " reported "
                    << std::chrono::duration_cast<std::chrono::milliseconds>(report.at - searchStarted).count()
                    << " ms before the search";
            }
        }
        EXPECT_EQ(steps, c.steps);
        EXPECT_GE(lastWaits, 10) << "the last wait counts down every second";
        // The new search reports its own step, with the devices found so far.
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.back().progress.step, "Searching for devices");
        EXPECT_NE(reports.back().progress.detail.find(" found"), std::string::npos);
        // Both devices answer again before the next command.
        loop.advance(5s);
    }
}
