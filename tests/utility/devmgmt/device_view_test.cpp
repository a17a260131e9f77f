#include "utility/devmgmt/device_view.h"

#include "platform/event_loop.h"
#include "platform/net.h"
#include "tests/support/scripted_prompter.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>

using namespace std::chrono_literals;
using namespace utility::devmgmt;

namespace {

// A device server played by the test: real sockets on a loopback address,
// answering Query with a record whose bytes are laid out here by hand.
class TestDevice {
public:
    TestDevice(platform::EventLoop& loop, std::string address, int index)
        : m_loop(loop)
        , m_address(std::move(address))
    {
        record.fill(0);
        const char signature[] = "ZORVVROZ";
        std::copy(signature, signature + 8, record.begin());
        record[8] = 0x01;
        const std::string name = "dev" + std::to_string(index);
        std::copy(name.begin(), name.end(), record.begin() + 10);
        const std::uint8_t mac[] = { 0x00, 0x60, 0xE9, 0x00, 0x00, static_cast<std::uint8_t>(index) };
        std::copy(mac, mac + 6, record.begin() + 26);
        record[32] = 0x07; // server, TCP, multicast and broadcast management
        const auto ip = *platform::parseIpv4(m_address);
        for (int i = 0; i < 4; ++i)
            record[34 + i] = static_cast<std::uint8_t>(ip >> (24 - 8 * i));
        setDataPort(4001);

        unicast = open(m_address, kDeviceCommandPort, false);
        broadcast = open("0.0.0.0", kDeviceBroadcastPort, true);
        multicast = open("0.0.0.0", kDeviceMulticastPort, true);
        (void)multicast.joinMulticast(*platform::parseIpv4("225.1.2.3"), *platform::parseIpv4("127.0.0.1"));
        watch(unicast);
        watch(broadcast);
        watch(multicast);
    }

    ~TestDevice()
    {
        m_loop.killTimer(spreadTimer);
        m_loop.unwatchFd(unicast.fd());
        m_loop.unwatchFd(broadcast.fd());
        m_loop.unwatchFd(multicast.fd());
    }

    void setDataPort(std::uint16_t port)
    {
        record[42] = static_cast<std::uint8_t>(port >> 8);
        record[43] = static_cast<std::uint8_t>(port);
    }

    std::array<std::uint8_t, 438> record {};
    int answers = 1; // replies per Query
    // Replies sent per millisecond when answering many times; a burst of
    // hundreds would overflow the receiver's socket buffer.
    int answersPerMillisecond = 0;
    platform::TimerId spreadTimer = 0;
    std::deque<std::array<std::uint8_t, 438>> extraFirst; // sent before the reply
    int queries = 0;
    platform::UdpSocket unicast;
    platform::UdpSocket broadcast;
    platform::UdpSocket multicast;

private:
    static platform::UdpSocket open(const std::string& address, std::uint16_t port, bool reuse)
    {
        auto socket = platform::UdpSocket::open();
        EXPECT_TRUE(socket.ok());
        if (reuse)
            (void)socket->setReuseAddress(true);
        auto bound = socket->bind(address, port);
        EXPECT_TRUE(bound.ok()) << address << ":" << port << " " << (bound.ok() ? "" : bound.error().message);
        return std::move(socket.value());
    }

    void watch(platform::UdpSocket& socket)
    {
        m_loop.watchFd(socket.fd(), platform::kIoRead, [this, &socket](unsigned) {
            std::uint8_t buffer[2000];
            platform::Endpoint from;
            while (true) {
                auto n = socket.receiveFrom(buffer, from);
                if (!n.ok())
                    return;
                if (*n != 9 || buffer[8] != 0x00)
                    continue;
                ++queries;
                for (const auto& extra : extraFirst)
                    (void)unicast.sendTo(from, extra);
                if (answersPerMillisecond == 0) {
                    for (int i = 0; i < answers; ++i)
                        (void)unicast.sendTo(from, record);
                    continue;
                }
                auto left = std::make_shared<int>(answers);
                spreadTimer = m_loop.startTimer(std::chrono::milliseconds(1), [this, from, left] {
                    for (int i = 0; i<answersPerMillisecond&& * left> 0; ++i, --*left)
                        (void)unicast.sendTo(from, record);
                    if (*left == 0)
                        m_loop.killTimer(spreadTimer);
                });
            }
        });
    }

    platform::EventLoop& m_loop;
    std::string m_address;
};

class ScriptedDialogs final : public DeviceDialogs {
public:
    DialogResult devicesSearchingResult = DialogResult::Accepted;
    std::function<void(SearchSettings&)> editSearch;
    DialogResult ipResult = DialogResult::Accepted;
    std::string ipAnswer;
    DialogResult settingResult = DialogResult::Accepted;
    std::function<void(Periods&)> editPeriods;
    int devicesSearchingShown = 0;
    int ipShown = 0;

    DialogResult devicesSearching(SearchSettings& settings) override
    {
        ++devicesSearchingShown;
        if (editSearch)
            editSearch(settings);
        return devicesSearchingResult;
    }
    DialogResult ipSearching(std::string& address) override
    {
        ++ipShown;
        if (!ipAnswer.empty())
            address = ipAnswer;
        return ipResult;
    }
    DialogResult setting(Periods& periods) override
    {
        if (editPeriods)
            editPeriods(periods);
        return settingResult;
    }
};

struct DeviceViewTest : ::testing::Test {
    platform::FakeClock clock;
    platform::VirtualLoop loop { clock };
    testing_support::ScriptedPrompter prompter;
    ScriptedDialogs dialogs;
    std::unique_ptr<DeviceView> view;
    int finished = 0;

    void SetUp() override
    {
        view = std::make_unique<DeviceView>(loop, prompter, dialogs);
        view->setLocalAddress("127.0.0.1", "255.255.255.0");
        view->setSearchFinishedCallback([this] { ++finished; });
    }

    std::vector<bool> buttons() const
    {
        std::vector<bool> result;
        for (int i = 0; i < kButtonCount; ++i)
            result.push_back(view->buttonEnabled(static_cast<Button>(i)));
        return result;
    }

    void runSearch()
    {
        ASSERT_TRUE(loop.runUntil([&] { return finished > 0; }, 30s));
    }
};

const std::vector<bool> kIdleButtons = { true, true, true, false, false, false, false, true };
const std::vector<bool> kAllButtons(8, true);
const std::vector<bool> kNoButtons(8, false);

} // namespace

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
