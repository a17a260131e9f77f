// The device view against devices played by the test: what its tests share.
#pragma once

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

namespace device_view_testing {

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

} // namespace device_view_testing

using namespace device_view_testing;
