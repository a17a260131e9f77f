#include "tests/utility/devmgmt/device_view_fixture.h"

TEST_F(DeviceViewTest, SearchEnds101TicksAfterTheLastReplyTakingOneReplyPerTick)
{
    std::vector<std::unique_ptr<TestDevice>> devices;
    for (int i = 0; i < 3; ++i)
        devices.push_back(std::make_unique<TestDevice>(loop, "127.0.0." + std::to_string(10 + i), i + 1));
    EXPECT_EQ(buttons(), kIdleButtons);
    EXPECT_EQ(view->statusText(), "Idle");

    const auto start = clock.now();
    view->clickSearch();
    EXPECT_EQ(dialogs.devicesSearchingShown, 1);
    EXPECT_EQ(view->statusText(), " Searching ...");
    EXPECT_EQ(buttons(), kNoButtons);
    loop.processPending();
    for (const auto& device : devices)
        EXPECT_EQ(device->queries, 3); // sent three times, back to back

    // One row per 10 ms tick.
    loop.advance(10ms);
    EXPECT_EQ(view->rowCount(), 1u);
    EXPECT_EQ(view->progress(), 850);
    loop.advance(10ms);
    EXPECT_EQ(view->rowCount(), 2u);
    loop.advance(10ms);
    EXPECT_EQ(view->rowCount(), 3u);
    const auto lastReply = clock.now();

    runSearch();
    EXPECT_EQ(clock.now() - lastReply, 101 * 10ms);
    EXPECT_EQ(clock.now() - start, 104 * 10ms);
    EXPECT_EQ(view->statusText(), " Idle");
    EXPECT_EQ(view->progress(), 1000);
    EXPECT_EQ(buttons(), kAllButtons);
    EXPECT_FALSE(view->searching());
    EXPECT_TRUE(prompter.messages().empty());

    const auto& row = view->rows()[1];
    EXPECT_EQ(row.texts[kColumnNumber], "2");
    EXPECT_EQ(row.texts[kColumnName], "dev2");
    EXPECT_EQ(row.texts[kColumnMac], "00-60-E9-00-00-02");
    EXPECT_EQ(row.texts[kColumnDhcp], "Disable");
    EXPECT_EQ(row.texts[kColumnIp], "127.0.0.11");
    EXPECT_EQ(row.texts[kColumnPort], "4001");
    EXPECT_EQ(row.texts[kColumnMode], "Server");
    EXPECT_EQ(row.texts[kColumnStatus], "Idle");
    EXPECT_EQ(row.background, kSearchedRow);
}

TEST_F(DeviceViewTest, EmptySearchEndsAfterOnePeriodWithTheMessage)
{
    const auto start = clock.now();
    view->clickSearch();
    runSearch();
    EXPECT_EQ(clock.now() - start, 101 * 10ms);
    EXPECT_EQ(buttons(), kIdleButtons);
    ASSERT_EQ(prompter.shown.size(), 1u);
    EXPECT_EQ(prompter.shown[0].text, "No devices found!");
    EXPECT_EQ(prompter.shown[0].title, "Searching Result");
    EXPECT_EQ(prompter.shown[0].icon, platform::MessageIcon::Information);
}

TEST_F(DeviceViewTest, BroadcastKeepsOneRowPerDeviceMulticastKeepsEveryReply)
{
    TestDevice device(loop, "127.0.0.10", 1);
    device.answers = 3;
    view->clickSearch();
    runSearch();
    EXPECT_EQ(view->rowCount(), 1u);

    finished = 0;
    dialogs.editSearch = [](SearchSettings& settings) { settings.kind = SearchKind::Multicast; };
    view->clickSearch();
    runSearch();
    EXPECT_EQ(view->rowCount(), 3u);
    EXPECT_EQ(view->rows()[2].texts[kColumnNumber], "3");
}

TEST_F(DeviceViewTest, RowTextsFollowTheRecord)
{
    TestDevice device(loop, "127.0.0.10", 1);
    std::fill(device.record.begin() + 10, device.record.begin() + 26, 0); // empty name
    device.record[32] = 0x80 | 0x40 | 0x03; // client mode, DHCP
    device.record[52] = 0x01;
    device.record[53] = 0xF6; // client destination port 502
    device.record[69] = 1; // connected
    TestDevice other(loop, "127.0.0.11", 2);
    TestDevice third(loop, "127.0.0.12", 3);
    std::fill(third.record.begin() + 10, third.record.begin() + 26, 0xCC); // a name of 0xCC only reads empty
    third.record[69] = 7;
    view->clickSearch();
    runSearch();
    ASSERT_EQ(view->rowCount(), 3u);
    // Broadcast replies arrive in no fixed order: find each device's row.
    auto rowOf = [&](const std::string& ip) -> const ListRow& {
        for (const auto& row : view->rows())
            if (row.texts[kColumnIp] == ip)
                return row;
        ADD_FAILURE() << "no row for " << ip;
        return view->rows()[0];
    };
    const auto& first = rowOf("127.0.0.10");
    EXPECT_EQ(first.texts[kColumnName], "ZIR" + first.texts[kColumnNumber]);
    EXPECT_EQ(first.texts[kColumnDhcp], "Enable");
    EXPECT_EQ(first.texts[kColumnMode], "Client");
    EXPECT_EQ(first.texts[kColumnPort], "502");
    EXPECT_EQ(first.texts[kColumnStatus], "Connected");
    EXPECT_EQ(first.background, kConnectedRow);
    const auto& last = rowOf("127.0.0.12");
    EXPECT_EQ(last.texts[kColumnName], "ZIR" + last.texts[kColumnNumber]);
    EXPECT_EQ(last.texts[kColumnStatus], "Unknown");
    EXPECT_EQ(last.background, kSearchedRow);
    EXPECT_EQ(rowOf("127.0.0.11").texts[kColumnName], "dev2");
    // The low port is reported, and the row is still listed.
    EXPECT_EQ(prompter.messages(), (std::vector<std::string> { "Port number should greater than 1024." }));
}

TEST_F(DeviceViewTest, IpSearchOutsideTheSegmentAsksFirstAndNoLeavesEverythingUntouched)
{
    TestDevice device(loop, "127.0.0.10", 1);
    view->clickSearch();
    runSearch();
    ASSERT_EQ(view->rowCount(), 1u);
    const auto rowsBefore = view->rows();
    const auto& entryBefore = view->entry(0);
    const auto bytesBefore = entryBefore.record;

    TestDevice far(loop, "127.0.1.20", 2);
    dialogs.ipAnswer = "127.0.1.20";
    prompter.confirmAnswers = { false };
    finished = 0;
    view->clickIpSearch();
    ASSERT_EQ(prompter.count("confirm"), 1);
    const auto& asked = prompter.shown.back();
    EXPECT_EQ(asked.text,
        "The device's  ip network segment isn't same as host, Please confirm that the device can "
        "access through Router&Gateway.");
    EXPECT_EQ(asked.title, "Warning");
    EXPECT_FALSE(asked.defaultYes);
    loop.advance(2s);
    EXPECT_EQ(far.queries, 0);
    EXPECT_EQ(view->rows().size(), rowsBefore.size());
    EXPECT_EQ(view->rows()[0].texts, rowsBefore[0].texts);
    EXPECT_EQ(view->entry(0).record, bytesBefore);
    EXPECT_EQ(view->deviceCount(), 1u);

    // Answered Yes, the device is found by its address.
    prompter.confirmAnswers = { true };
    view->clickIpSearch();
    EXPECT_EQ(view->statusText(), " IP Searching ...");
    EXPECT_EQ(buttons(), kNoButtons);
    runSearch();
    EXPECT_EQ(far.queries, 1);
    ASSERT_EQ(view->rowCount(), 1u);
    EXPECT_EQ(view->rows()[0].texts[kColumnIp], "127.0.1.20");
    EXPECT_EQ(buttons(), kAllButtons);
    EXPECT_EQ(view->searchMode(), SearchMode::Ip);
}

TEST_F(DeviceViewTest, IpSearchWithoutAnswerEndsLikeANetworkSearch)
{
    dialogs.ipAnswer = "127.0.0.99"; // same segment, nobody there
    const auto start = clock.now();
    view->clickIpSearch();
    EXPECT_EQ(prompter.count("confirm"), 0);
    runSearch();
    EXPECT_EQ(clock.now() - start, 101 * 10ms);
    EXPECT_EQ(buttons(), kIdleButtons);
    EXPECT_EQ(prompter.messages(), (std::vector<std::string> { "No devices found!" }));
}

TEST_F(DeviceViewTest, UnparsableAddressCountsAsAllOnesInTheSegmentRule)
{
    prompter.confirmAnswers = { false, false };
    EXPECT_FALSE(view->confirmSegment("not an address"));
    view->setLocalAddress("bad", "255.255.255.0");
    EXPECT_TRUE(view->confirmSegment("255.255.255.7"));
    EXPECT_EQ(prompter.count("confirm"), 1);
}
