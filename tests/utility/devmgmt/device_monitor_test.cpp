#include "platform/event_loop.h"
#include "platform/net.h"
#include "sim/devsim/setup.h"
#include "sim/devsim/simulator.h"
#include "tests/support/scripted_prompter.h"
#include "utility/devmgmt/device_monitor.h"

#include <gtest/gtest.h>

#include <memory>

using namespace std::chrono_literals;
using namespace utility::devmgmt;
using testing_support::ScriptedPrompter;

namespace {

platform::Ipv4 ip(const char* text) { return *platform::parseIpv4(text); }

// A device made of one socket: the test decides when and what it answers.
struct ScriptedDevice {
    platform::UdpSocket socket;
    std::string address;

    ScriptedDevice(const std::string& at, std::uint16_t port)
        : address(at)
    {
        auto opened = platform::UdpSocket::open();
        EXPECT_TRUE(opened.ok());
        socket = std::move(opened.value());
        EXPECT_TRUE(socket.bind(at, port).ok()) << at << ":" << port;
    }
    std::uint16_t port() const { return socket.localEndpoint().port; }
    // The last StatusQuery's sender, if one waits.
    std::optional<platform::Endpoint> takeQuery()
    {
        std::array<std::uint8_t, 64> buffer {};
        platform::Endpoint from;
        std::optional<platform::Endpoint> last;
        while (true) {
            auto got = socket.receiveFrom(buffer, from);
            if (!got.ok())
                return last;
            if (got.value() == kHeaderSize && buffer[8] == opcode::kStatusQuery)
                last = from;
        }
    }
    void reply(const platform::Endpoint& to, std::uint8_t modem, const std::string& version, std::uint32_t tx,
        std::uint32_t rx, std::size_t size = kStatusReplyMinSize, std::uint8_t code = opcode::kStatusReply)
    {
        std::vector<std::uint8_t> datagram(size, 0);
        std::copy(kSignature.begin(), kSignature.end(), datagram.begin());
        datagram[8] = code;
        datagram[9] = modem;
        std::copy_n(version.begin(), std::min<std::size_t>(version.size(), 12), datagram.begin() + 10);
        for (int i = 0; i < 4; ++i) {
            datagram[22 + i] = static_cast<std::uint8_t>(tx >> (24 - 8 * i));
            datagram[26 + i] = static_cast<std::uint8_t>(rx >> (24 - 8 * i));
        }
        ASSERT_TRUE(socket.sendTo(to, datagram).ok());
    }
};

struct DeviceMonitorTest : ::testing::Test {
    platform::FakeClock clock;
    platform::VirtualLoop loop { clock };
    ScriptedPrompter prompter;
    std::vector<std::string> log;
    std::vector<unsigned> stored;
    std::unique_ptr<DeviceMonitor> monitor;

    void make(std::uint16_t devicePort)
    {
        monitor = std::make_unique<DeviceMonitor>(loop, prompter, devicePort);
        monitor->setLogSink([this](const std::string& line) { log.push_back(line); });
        monitor->setIntervalSink([this](unsigned seconds) { stored.push_back(seconds); });
        ASSERT_TRUE(monitor->create("127.0.0.1"));
    }
    const std::string& text(std::size_t row, int column) const
    {
        return monitor->rows()[row].texts[static_cast<std::size_t>(column)];
    }
};

} // namespace

TEST_F(DeviceMonitorTest, TheListTakesTheCheckedRowsWithTheirTableIndexOnlyWhileStopped)
{
    make(kDeviceCommandPort);
    monitor->rebuild(std::vector<MonitorTarget> {});
    EXPECT_FALSE(monitor->startEnabled());
    monitor->clickStart();
    EXPECT_FALSE(monitor->running());

    monitor->rebuild({ { 3, "DS-4", "127.0.0.13" } });
    ASSERT_EQ(monitor->rows().size(), 1u);
    EXPECT_EQ(text(0, kMonitorNumber), "3");
    EXPECT_EQ(text(0, kMonitorStatus), "Idle");
    EXPECT_EQ(monitor->rows()[0].background, kMonitorAnsweredRow);
    EXPECT_TRUE(monitor->startEnabled());
    monitor->clickStart();
    EXPECT_STREQ(monitor->startLabel(), "Stop");
    monitor->rebuild({ { 0, "other", "127.0.0.14" }, { 1, "more", "127.0.0.15" } });
    EXPECT_EQ(monitor->rows().size(), 1u) << "rebuilt while running";
    monitor->clickStart();
    EXPECT_STREQ(monitor->startLabel(), "Start");
    EXPECT_EQ(log, (std::vector<std::string> { "Monitor function starts", "Monitor function stoped." }));
}

TEST_F(DeviceMonitorTest, TheIntervalFieldIsClampedAndStored)
{
    make(kDeviceCommandPort);
    const std::vector<std::pair<std::string, unsigned>> cases = {
        { "5000", 3600 },
        { "2", 3 },
        { "0", 3 },
        { "", 3 },
        { "abc", 3 },
        { "-7", 3 },
        { "99999999999999999999", 3600 },
        { "60", 60 },
        { "3600", 3600 },
    };
    for (const auto& [typed, expected] : cases) {
        EXPECT_EQ(monitor->editInterval(typed), expected) << typed;
        EXPECT_EQ(monitor->interval(), expected) << typed;
        EXPECT_EQ(stored.back(), expected) << typed;
    }
}

TEST_F(DeviceMonitorTest, TwoSilentDevicesFailAndEachCycleTakesTheInterval)
{
    ScriptedDevice first("127.0.0.40", 0);
    ScriptedDevice second("127.0.0.41", first.port());
    make(first.port());
    monitor->setInterval(3);
    monitor->rebuild({ { 0, "A", first.address }, { 1, "B", second.address } });
    monitor->clickStart();
    std::vector<platform::TimePoint> firstQueries;
    for (int step = 0; step < 8900; ++step) {
        loop.advance(1ms);
        if (first.takeQuery())
            firstQueries.push_back(clock.now());
        (void)second.takeQuery();
    }
    // Cycles at 0, 3 and 6 s; each row failed after its second.
    ASSERT_EQ(firstQueries.size(), 3u);
    for (std::size_t i = 1; i < firstQueries.size(); ++i) {
        const auto gap = firstQueries[i] - firstQueries[i - 1];
        EXPECT_GE(gap, 2990ms);
        EXPECT_LE(gap, 3010ms);
    }
    for (std::size_t row = 0; row < 2; ++row) {
        EXPECT_EQ(text(row, kMonitorStatus), "Fail");
        EXPECT_EQ(monitor->rows()[row].background, kMonitorSilentRow);
        for (int column : { kMonitorModem, kMonitorFirmware, kMonitorTx, kMonitorRx })
            EXPECT_EQ(text(row, column), "---");
    }
}

TEST_F(DeviceMonitorTest, ALateReplyFromThePreviousDeviceIsIgnored)
{
    ScriptedDevice first("127.0.0.40", 0);
    ScriptedDevice second("127.0.0.41", first.port());
    make(first.port());
    monitor->rebuild({ { 0, "A", first.address }, { 1, "B", second.address } });
    monitor->clickStart();
    loop.processPending();
    const auto query = first.takeQuery();
    ASSERT_TRUE(query);
    loop.advance(1001ms); // the first row timed out; the second is queried
    EXPECT_EQ(text(0, kMonitorStatus), "Fail");
    EXPECT_EQ(text(1, kMonitorStatus), "Querying");
    first.reply(*query, 0x55, "LATE", 1, 2);
    loop.advance(100ms);
    EXPECT_EQ(text(0, kMonitorStatus), "Fail");
    EXPECT_EQ(text(1, kMonitorStatus), "Querying");
    EXPECT_EQ(text(1, kMonitorModem), "");

    // The second device's own answer, with a wrong opcode first and a reply
    // longer than 128 bytes then, is taken on its terms.
    const auto second_query = second.takeQuery();
    ASSERT_TRUE(second_query);
    second.reply(*second_query, 0x0A, "X", 0, 0, kStatusReplyMinSize, 0x01);
    loop.advance(10ms);
    EXPECT_EQ(text(1, kMonitorStatus), "Querying");
    second.reply(*second_query, 0x0A, "V1.2.3-abcdef", 0xDEADBEEF, 7, 400);
    loop.advance(10ms);
    EXPECT_EQ(text(1, kMonitorStatus), "Success");
    EXPECT_EQ(text(1, kMonitorModem), "0A");
    EXPECT_EQ(text(1, kMonitorFirmware), "V1.2.3-abcde");
    EXPECT_EQ(text(1, kMonitorTx), "3735928559");
    EXPECT_EQ(text(1, kMonitorRx), "7");
    EXPECT_EQ(monitor->rows()[1].background, kMonitorAnsweredRow);
}

TEST_F(DeviceMonitorTest, ACycleTimerFiringWhileTheLastRowWaitsLetsThatRowFinish)
{
    // The first device answers after half a second, the others are silent:
    // the last row is queried at 2.5 s, so the cycle timer fires at 3 s while
    // its reply is still awaited. Starting over then would leave it "Querying".
    std::vector<std::unique_ptr<ScriptedDevice>> devices;
    devices.push_back(std::make_unique<ScriptedDevice>("127.0.0.40", 0));
    std::vector<MonitorTarget> targets { { 0, "A", "127.0.0.40" } };
    for (int i = 1; i < 4; ++i) {
        const std::string address = "127.0.0." + std::to_string(40 + i);
        devices.push_back(std::make_unique<ScriptedDevice>(address, devices[0]->port()));
        targets.push_back({ static_cast<std::size_t>(i), "D", address });
    }
    make(devices[0]->port());
    monitor->rebuild(targets);
    monitor->clickStart();
    loop.processPending();
    const auto query = devices[0]->takeQuery();
    ASSERT_TRUE(query);
    loop.advance(500ms);
    devices[0]->reply(*query, 0, "V1", 1, 1);
    loop.advance(2700ms); // 3.2 s
    EXPECT_EQ(text(0, kMonitorStatus), "Success");
    EXPECT_EQ(text(3, kMonitorStatus), "Querying");
    loop.advance(400ms); // 3.6 s: the last row failed, the next cycle began
    EXPECT_EQ(text(3, kMonitorStatus), "Fail");
    EXPECT_EQ(text(0, kMonitorStatus), "Querying");
}

TEST_F(DeviceMonitorTest, DevsimCountersAndVersionAppear)
{
    sim::devsim::SimulatorOptions options;
    options.httpPort = 0;
    sim::devsim::Simulator simulator(loop, options);
    auto definition = sim::devsim::defaultDevice(0, ip("127.0.0.10"));
    definition.status.modemStatus = 0xB0;
    definition.status.firmwareVersion = "V2.0";
    definition.status.serialTxCount = 4000000000u;
    definition.status.serialRxCount = 12;
    simulator.addDevice(std::move(definition));
    ASSERT_TRUE(simulator.start().ok());
    make(kDeviceCommandPort);
    monitor->rebuild({ { 0, "DS-0001", "127.0.0.10" } });
    monitor->clickStart();
    ASSERT_TRUE(loop.runUntil([&] { return text(0, kMonitorStatus) == "Success"; }, 1s));
    EXPECT_EQ(text(0, kMonitorModem), "B0");
    EXPECT_EQ(text(0, kMonitorFirmware), "V2.0");
    EXPECT_EQ(text(0, kMonitorTx), "4000000000");
    EXPECT_EQ(text(0, kMonitorRx), "12");
    simulator.device(0).status().serialRxCount = 13;
    loop.advance(3s);
    ASSERT_TRUE(loop.runUntil([&] { return text(0, kMonitorRx) == "13"; }, 1s));
    // The chart's history: one byte received over the three-second cycle.
    const auto* history = monitor->history().device("0", "127.0.0.10");
    ASSERT_NE(history, nullptr);
    ASSERT_EQ(history->rates.size(), 1u);
    EXPECT_NEAR(history->rates.back().rxPerSecond, 1.0 / 3.0, 0.01);
    EXPECT_EQ(history->rates.back().txPerSecond, 0.0);
}

TEST_F(DeviceMonitorTest, AMonitorWithoutItsSocketCannotStart)
{
    monitor = std::make_unique<DeviceMonitor>(loop, prompter);
    EXPECT_FALSE(monitor->create("192.0.2.1")); // no such local address
    EXPECT_EQ(prompter.messages().back(), "Failed to create Monitor socket!");
    monitor->rebuild({ { 0, "A", "127.0.0.10" } });
    EXPECT_FALSE(monitor->startEnabled());
}

namespace {

MonitorRow statusRow(const char* number, const char* status, const char* tx, const char* rx)
{
    MonitorRow row;
    row.texts[kMonitorNumber] = number;
    row.texts[kMonitorStatus] = status;
    row.texts[kMonitorName] = "DS-" + std::string(number);
    row.texts[kMonitorIp] = "127.0.0.1" + std::string(number);
    row.texts[kMonitorTx] = tx;
    row.texts[kMonitorRx] = rx;
    return row;
}

} // namespace

TEST(MonitorHistory, RatesPairEachAnswerWithTheDevicesPreviousAnswer)
{
    const platform::TimePoint start {};
    MonitorHistory history(3);
    struct Step {
        double at; // seconds
        const char* number;
        const char* status;
        const char* tx;
        const char* rx;
    };
    const Step steps[] = {
        { 0, "2", "Success", "1000", "0" }, { 0.5, "5", "Success", "7", "7" },
        { 3, "2", "Success", "4000", "300" }, // 1000 and 100 bytes a second
        { 6, "2", "Fail", "---", "---" }, // a gap
        { 9, "2", "Success", "10000", "300" }, // paired with t=3: 1000 and 0
        { 12, "2", "Success", "600", "600" }, // restarted: counted from zero
        { 15, "2", "Success", "3600", "600" }, // the fourth point: the first goes
    };
    for (const auto& step : steps)
        history.record(statusRow(step.number, step.status, step.tx, step.rx),
            start + std::chrono::duration_cast<platform::Duration>(std::chrono::duration<double>(step.at)));

    ASSERT_EQ(history.devices().size(), 2u);
    const auto* second = history.device("5", "127.0.0.15");
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(second->rates.empty()) << "one answer makes no rate";
    const auto* device = history.device("2", "127.0.0.12");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->name, "DS-2");
    struct Expected {
        double seconds;
        double tx;
        double rx;
    };
    const Expected expected[] = { { 9, 1000, 0 }, { 12, 200, 100 }, { 15, 1000, 0 } };
    ASSERT_EQ(device->rates.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        EXPECT_DOUBLE_EQ(device->rates[i].seconds, expected[i].seconds);
        EXPECT_DOUBLE_EQ(device->rates[i].txPerSecond, expected[i].tx);
        EXPECT_DOUBLE_EQ(device->rates[i].rxPerSecond, expected[i].rx);
    }
    history.clear();
    EXPECT_TRUE(history.devices().empty());
}

TEST(MonitorHistory, CsvLinesQuoteWhatASpreadsheetWouldSplit)
{
    EXPECT_EQ(monitorCsvHeader(), "time,index,name,ip,status,tx,rx\r\n");
    MonitorRow row = statusRow("3", "Success", "12", "34");
    EXPECT_EQ(monitorCsvLine("2026-01-02 03:04:05", row), "2026-01-02 03:04:05,3,DS-3,127.0.0.13,Success,12,34\r\n");
    row.texts[kMonitorName] = "Lab \"A\", east";
    EXPECT_EQ(monitorCsvLine("t", row), "t,3,\"Lab \"\"A\"\", east\",127.0.0.13,Success,12,34\r\n");
}
