// The device view: clicks, dialogs, the start-up search, odd replies, drags
// and a search port that is taken.
#include "tests/utility/devmgmt/device_view_fixture.h"

TEST_F(DeviceViewTest, ClickingACellChecksTheRowAndSetsTheIpSearchDefault)
{
    EXPECT_EQ(view->ipSearchAddress(), "127.0.0.1");
    TestDevice device(loop, "127.0.0.10", 1);
    view->clickSearch();
    runSearch();
    view->clickCell(0, kColumnIp);
    EXPECT_TRUE(view->rows()[0].checked);
    EXPECT_EQ(view->ipSearchAddress(), "127.0.0.10");
    view->clickCell(0, kColumnName);
    EXPECT_FALSE(view->rows()[0].checked);
    view->clickCell(0, kColumnCheck); // the box itself is the list's business
    EXPECT_FALSE(view->rows()[0].checked);
    int doubleClicked = -1;
    view->setDoubleClickHandler([&](std::size_t row) { doubleClicked = static_cast<int>(row); });
    view->doubleClickRow(0);
    EXPECT_TRUE(view->rows()[0].checked);
    EXPECT_EQ(doubleClicked, 0);
}

TEST_F(DeviceViewTest, DialogsRefuseOutOfRangeValuesAndCancelKeepsEditedSettings)
{
    EXPECT_EQ(validateSearchSettings({ SearchKind::Multicast, "", "", 129, true }),
        "Please enter an integer between 1 and 128.");
    EXPECT_FALSE(validateSearchSettings({ SearchKind::Multicast, "", "", 128, true }));
    EXPECT_EQ(validatePeriods({ 4, 10, 10 }), "Please enter an integer between 5 and 1000.");
    EXPECT_EQ(validatePeriods({ 5, 9, 10 }), "Please enter an integer between 10 and 1000.");

    dialogs.devicesSearchingResult = DialogResult::Cancelled;
    dialogs.editSearch = [](SearchSettings& settings) {
        settings.kind = SearchKind::Multicast;
        settings.multicastGroup = "225.1.2.3.extra.long.text";
        settings.ttl = 5;
    };
    view->clickSearch();
    EXPECT_FALSE(view->searching());
    EXPECT_EQ(view->searchSettings().kind, SearchKind::Multicast);
    EXPECT_EQ(view->searchSettings().ttl, 5);
    EXPECT_EQ(view->searchSettings().multicastGroup, "225.1.2.3.extra");

    // Setting dialog: OK stores into the settings, Cancel only into the view.
    Periods stored;
    view->setPeriodsSink([&](const Periods& periods) { stored = periods; });
    dialogs.editPeriods = [](Periods& periods) { periods = { 20, 30, 40 }; };
    view->clickSystemSetting();
    EXPECT_EQ(stored.search, 20);
    EXPECT_EQ(view->periods().reboot, 40);
    dialogs.settingResult = DialogResult::Cancelled;
    dialogs.editPeriods = [](Periods& periods) { periods = { 50, 60, 70 }; };
    view->clickSystemSetting();
    EXPECT_EQ(stored.search, 20);
    EXPECT_EQ(view->periods().search, 50);
}

TEST_F(DeviceViewTest, StartupSearchRunsWithoutTheDialogAndLaterSearchesSkipItToo)
{
    struct Link final : VirtualPortLink {
        int checks = 0;
        void checkConnectedPorts() override { ++checks; }
        bool connectPort(const std::string&, const std::string&, std::uint16_t, bool) override { return false; }
    } link;
    view->setVirtualPortLink(&link);
    view->setOptions(false, true);
    TestDevice device(loop, "127.0.0.10", 1);
    view->firstShown(true);
    loop.advance(999ms);
    EXPECT_EQ(link.checks, 0);
    EXPECT_FALSE(view->searching());
    loop.advance(1ms);
    EXPECT_EQ(link.checks, 1);
    EXPECT_TRUE(view->searching());
    runSearch();
    EXPECT_EQ(dialogs.devicesSearchingShown, 0);
    EXPECT_EQ(view->rowCount(), 1u);
    view->clickSearch();
    EXPECT_EQ(dialogs.devicesSearchingShown, 0);
    EXPECT_TRUE(view->searching());
    loop.advance(5s);
    EXPECT_EQ(link.checks, 1); // the start-up timer fires once

    // Settings that failed to load never start a search.
    DeviceView other(loop, prompter, dialogs);
    other.setOptions(false, true);
    other.firstShown(false);
    loop.advance(2s);
    EXPECT_FALSE(other.searching());
}

TEST_F(DeviceViewTest, ReplyOfAnotherTypeIsSkippedSoTheSearchGoesOn)
{
    TestDevice device(loop, "127.0.0.10", 1);
    auto other = device.record;
    other[8] = 0x03;
    device.extraFirst.push_back(other);
    dialogs.editSearch = [](SearchSettings& settings) { settings.kind = SearchKind::Multicast; };
    view->clickSearch();
    runSearch();
    ASSERT_EQ(view->rowCount(), 1u);
    EXPECT_EQ(view->rows()[0].texts[kColumnName], "dev1");
}

TEST_F(DeviceViewTest, MoreThan256RepliesNeverWrapOntoTheFirstRow)
{
    TestDevice device(loop, "127.0.0.10", 1);
    device.answers = 300;
    device.answersPerMillisecond = 20;
    dialogs.editSearch = [](SearchSettings& settings) { settings.kind = SearchKind::Multicast; };
    view->clickSearch();
    runSearch();
    EXPECT_EQ(view->rowCount(), 256u);
    EXPECT_EQ(view->deviceCount(), 256u);
    EXPECT_EQ(view->rows()[0].texts[kColumnNumber], "1");
    EXPECT_EQ(view->rows()[255].texts[kColumnNumber], "256");
}

TEST_F(DeviceViewTest, DragOnlyIdleUnlistedDevicesAndRenameTheTreeItemOnSuccess)
{
    struct Link final : VirtualPortLink {
        std::string port, address;
        std::uint16_t dataPort = 0;
        bool udp = false;
        bool answer = true;
        void checkConnectedPorts() override { }
        bool connectPort(const std::string& com, const std::string& ip, std::uint16_t p, bool u) override
        {
            port = com;
            address = ip;
            dataPort = p;
            udp = u;
            return answer;
        }
    } link;
    view->setVirtualPortLink(&link);
    TestDevice device(loop, "127.0.0.10", 1);
    device.record[32] |= 0x08; // UDP data
    view->clickSearch();
    runSearch();
    EXPECT_TRUE(view->canDrag(0, { "Virtual COM Ports", "COM5" }));
    EXPECT_FALSE(view->canDrag(0, { "COM5 (127.0.0.10)" }));
    EXPECT_EQ(view->dropOnPort(0, "COM5"), "COM5 (127.0.0.10)");
    EXPECT_EQ(link.port, "COM5");
    EXPECT_EQ(link.dataPort, 4001);
    EXPECT_TRUE(link.udp);
    EXPECT_FALSE(view->dropOnPort(0, "COM6 (1.2.3.4)"));
    link.answer = false;
    EXPECT_FALSE(view->dropOnPort(0, "COM7"));
}

TEST_F(DeviceViewTest, SearchRepeatedByACommandLeavesTheSearchDialogToTheButton)
{
    TestDevice device(loop, "127.0.0.10", 1);
    view->clickSearch();
    runSearch();
    EXPECT_EQ(dialogs.devicesSearchingShown, 1);

    // Setup, restore, reboot and upgrade search again when they are done.
    finished = 0;
    view->searchAgain();
    EXPECT_EQ(dialogs.devicesSearchingShown, 1);
    runSearch();
    EXPECT_EQ(view->rowCount(), 1u);

    finished = 0;
    view->clickSearch();
    EXPECT_EQ(dialogs.devicesSearchingShown, 2);
    runSearch();
}

TEST_F(DeviceViewTest, TakenSearchPortEndsTheSearchNamingAddressPortAndReason)
{
    struct Case {
        std::uint16_t port;
        std::function<void()> start;
    };
    const Case cases[] = {
        { kBroadcastSearchPort, [&] { view->clickSearch(); } },
        { kMulticastSearchPort,
            [&] {
                dialogs.editSearch = [](SearchSettings& settings) { settings.kind = SearchKind::Multicast; };
                view->clickSearch();
            } },
        { kCommandPort,
            [&] {
                dialogs.ipAnswer = "127.0.0.10";
                view->clickIpSearch();
            } },
    };
    for (const auto& item : cases) {
        // Another program holds the port, without sharing it.
        auto holder = platform::UdpSocket::open();
        ASSERT_TRUE(holder.ok());
        ASSERT_TRUE(holder.value().bind("127.0.0.1", item.port).ok());
        prompter.shown.clear();
        finished = 0;
        item.start();
        EXPECT_FALSE(view->searching()) << item.port;
        EXPECT_EQ(finished, 1);
        EXPECT_EQ(buttons(), kIdleButtons);
        EXPECT_EQ(view->statusText(), " Idle");
        const std::string expected = "Failed to open the search socket on 127.0.0.1 port " + std::to_string(item.port)
            + ": Address already in use";
        EXPECT_EQ(view->socketError(), expected);
        ASSERT_EQ(prompter.shown.size(), 1u) << item.port; // and no "No devices found!"
        EXPECT_EQ(prompter.shown[0].text, expected);
        EXPECT_EQ(prompter.shown[0].icon, platform::MessageIcon::Error);
    }
    // Once the port is free the next search runs and clears the error.
    dialogs.editSearch = nullptr;
    dialogs.devicesSearchingResult = DialogResult::Accepted;
    view->searchSettings().kind = SearchKind::Broadcast;
    finished = 0;
    view->clickSearch();
    EXPECT_TRUE(view->searching());
    EXPECT_TRUE(view->socketError().empty());
    runSearch();
}
