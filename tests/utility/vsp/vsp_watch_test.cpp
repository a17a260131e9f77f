// The connection watch and the guarded buttons against a real vorpild, in
// virtual time: answers matched by address and data port, an answer older
// than the port's link across a driver host restart, Setting and Close where
// the window would have disabled them.
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/net.h"
#include "platform/tcp_socket.h"
#include "tests/support/scripted_prompter.h"
#include "tests/utility/vsp/daemon_fixture.h"
#include "utility/vsp/vsp_manager.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>

using namespace utility::vsp;
using namespace std::chrono_literals;

namespace {

class Dialogs final : public VspDialogs {
public:
    std::optional<int> comPortConfiguration(const std::vector<std::string>&, int preselected) override
    {
        return preselected;
    }
};

// A device server on loopback that answers a Query once for each of its
// serial ports, as a multi-port device server does: every reply carries the
// port's data port (offset 42) and its connection state (offset 69).
class MultiPortDevice {
public:
    MultiPortDevice(platform::EventLoop& loop, const std::string& address)
        : m_loop(loop)
    {
        auto socket = platform::UdpSocket::open();
        if (!socket.ok() || !socket->bind(address, kQueryPort).ok())
            return;
        m_socket = std::make_unique<platform::UdpSocket>(std::move(*socket));
        m_address = *platform::parseIpv4(address);
        loop.watchFd(m_socket->fd(), platform::kIoRead, [this](unsigned) { receive(); });
    }
    ~MultiPortDevice()
    {
        if (m_socket)
            m_loop.unwatchFd(m_socket->fd());
    }
    bool ok() const { return m_socket != nullptr; }
    int queries = 0;
    std::map<std::uint16_t, std::uint8_t> connectionState; // by data port

private:
    void receive()
    {
        std::uint8_t buffer[64];
        platform::Endpoint from;
        auto got = m_socket->receiveFrom(buffer, from);
        if (!got.ok() || *got != 9 || buffer[8] != 0)
            return;
        ++queries;
        for (const auto& [dataPort, state] : connectionState) {
            std::vector<std::uint8_t> reply(438, 0);
            std::copy_n("ZORVVROZ", 8, reply.begin());
            reply[8] = 1;
            for (int i = 0; i < 4; ++i)
                reply[34 + i] = static_cast<std::uint8_t>(m_address >> (24 - 8 * i));
            reply[42] = static_cast<std::uint8_t>(dataPort >> 8);
            reply[43] = static_cast<std::uint8_t>(dataPort);
            reply[69] = state;
            (void)m_socket->sendTo(from, reply);
        }
    }
    platform::EventLoop& m_loop;
    std::unique_ptr<platform::UdpSocket> m_socket;
    platform::Ipv4 m_address = 0;
};

// One watch round: the query 10 ms after the previous evaluation, the
// evaluation 5 s after the query.
constexpr auto kRound = 5010ms;

class VspWatchTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(daemon.ok());
        work = std::make_unique<testing_support::ScopedWorkingDirectory>(daemon.dir());
    }

    std::unique_ptr<VspManager> manager()
    {
        VspOptions options;
        options.runtimeDir = daemon.runtime();
        options.infName = PACKAGING_DIR "/VORPIL.inf";
        options.bindAddress = "127.0.0.1";
        options.watch = true;
        options.mtu = 1500;
        auto made = std::make_unique<VspManager>(loop, prompter, dialogs, options);
        made->start();
        loop.advance(1s);
        return made;
    }

    // Connects row `row` as a client of a fresh TCP listener on `address`,
    // set to connect at start; the listener's port.
    std::uint16_t connect(VspManager& vsp, std::size_t row, const std::string& address)
    {
        auto listening = platform::TcpListener::listen(*platform::parseIpv4(address), 0);
        EXPECT_TRUE(listening.ok());
        listeners.push_back(std::make_unique<platform::TcpListener>(std::move(*listening)));
        const std::uint16_t port = listeners.back()->localEndpoint().port;
        vsp.selectRow(row);
        EXPECT_TRUE(vsp.clickSetting());
        vsp.chooseClient();
        vsp.controls().address = address;
        vsp.controls().remoteHostPort = std::to_string(port);
        vsp.controls().connectAtWinStart = true;
        EXPECT_TRUE(vsp.clickSetting());
        EXPECT_TRUE(vsp.clickConnect()) << testing::PrintToString(prompter.messages());
        return port;
    }

    std::uint32_t linkState(const std::string& comName)
    {
        std::vector<common::NodeInfo> nodes;
        EXPECT_TRUE(common::ntSuccess(daemon.client().listNodes(nodes)));
        for (const auto& node : nodes)
            if (node.portName == comName)
                return node.linkState;
        return 99;
    }

    // Runs the loop's ready sockets (real time) until the condition holds.
    bool settle(const std::function<bool()>& condition)
    {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            loop.processPending();
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    std::string savedStatus(const std::string& comName)
    {
        std::vector<PortEntry> saved;
        (void)loadVspFile("vsp.dat", saved);
        for (const auto& entry : saved)
            if (entry.portName == comName)
                return entry.status;
        return "(none)";
    }

    vsp_testing::Daemon daemon;
    std::unique_ptr<testing_support::ScopedWorkingDirectory> work;
    platform::FakeClock clock;
    platform::VirtualLoop loop { clock };
    testing_support::ScriptedPrompter prompter;
    Dialogs dialogs;
    std::vector<std::unique_ptr<platform::TcpListener>> listeners;
};

} // namespace

// Two ports of one device server (one address, two data ports): each row
// takes the answer for its own port, so both stay connected round after
// round, and a "no connection" for one port closes that port alone.
TEST_F(VspWatchTest, EachPortOfATwoPortDeviceTakesItsOwnAnswer)
{
    ASSERT_TRUE(daemon.install("COM5"));
    ASSERT_TRUE(daemon.install("COM6"));
    MultiPortDevice device(loop, "127.0.0.2");
    ASSERT_TRUE(device.ok());
    auto vsp = manager();
    ASSERT_EQ(vsp->rows().size(), 2u);
    const std::uint16_t first = connect(*vsp, 0, "127.0.0.2");
    const std::uint16_t second = connect(*vsp, 1, "127.0.0.2");
    device.connectionState = { { first, 1 }, { second, 1 } };
    for (int round = 0; round < 70; ++round) {
        loop.advance(kRound);
        ASSERT_TRUE(settle([&] { return vsp->watchState(0) == 1 && vsp->watchState(1) == 1; })) << round;
    }
    EXPECT_EQ(vsp->rows()[0].status, "Connected");
    EXPECT_EQ(vsp->rows()[1].status, "Connected");
    EXPECT_EQ(linkState("COM6"), 1u);

    device.connectionState[second] = 0;
    loop.advance(kRound);
    ASSERT_TRUE(settle([&] { return vsp->watchState(1) == 0; }));
    loop.advance(kRound);
    EXPECT_EQ(vsp->rows()[1].status, "Idle");
    EXPECT_EQ(linkState("COM6"), 0u);
    EXPECT_EQ(vsp->rows()[0].status, "Connected");
    EXPECT_EQ(linkState("COM5"), 1u);
}

// The driver host restarts between a query and its evaluation and restores
// the ports' connections; the devices' "no connection" describes the gap,
// not the restored links, which stay up and remembered. (Two ports: the
// first request after the restart meets the old control connection.)
TEST_F(VspWatchTest, ANoConnectionAnswerFromBeforeARestartClosesNothing)
{
    ASSERT_TRUE(daemon.install("COM5"));
    ASSERT_TRUE(daemon.install("COM6"));
    MultiPortDevice first(loop, "127.0.0.2");
    MultiPortDevice second(loop, "127.0.0.3");
    ASSERT_TRUE(first.ok() && second.ok());
    auto vsp = manager();
    const std::uint16_t port5 = connect(*vsp, 0, "127.0.0.2");
    const std::uint16_t port6 = connect(*vsp, 1, "127.0.0.3");
    std::vector<std::string> logs;
    vsp->setLogSink([&](const std::string& line) { logs.push_back(line); });
    first.connectionState = { { port5, 1 } };
    second.connectionState = { { port6, 1 } };
    // Started at 0 s (time stands still while the ports connect), first
    // query at 5 s, its evaluation at 10 s: all well.
    loop.advance(9005ms);
    ASSERT_EQ(vsp->rows()[0].status, "Connected");
    // The next query (10.01 s) finds the devices without their connections...
    first.connectionState = { { port5, 0 } };
    second.connectionState = { { port6, 0 } };
    loop.advance(600ms);
    ASSERT_TRUE(settle([&] { return vsp->watchState(0) == 0 && vsp->watchState(1) == 0; }));
    // ...because the driver host is restarting; it restores the links.
    ASSERT_TRUE(daemon.restart());
    ASSERT_TRUE(settle([&] { return linkState("COM5") == 1 && linkState("COM6") == 1; }));
    loop.advance(kRound);
    for (const std::string com : { "COM5", "COM6" }) {
        EXPECT_EQ(linkState(com), 1u) << com;
        EXPECT_EQ(savedStatus(com), "Connected") << com;
    }
    EXPECT_NE(vsp->rows()[0].status, "Idle");
    EXPECT_NE(vsp->rows()[1].status, "Idle");
    EXPECT_TRUE(std::any_of(logs.begin(), logs.end(), [](const std::string& line) {
        return line.find("asking again") != std::string::npos;
    })) << testing::PrintToString(logs);

    // Asked again about the restored link, the answer counts.
    loop.advance(kRound);
    EXPECT_EQ(linkState("COM5"), 0u);
    EXPECT_EQ(savedStatus("COM5"), "Idle");
}

// Setting on a connected port is refused as the window's disabled button
// refuses it, and the live connection is left as it was; Close on an idle
// port says so instead of showing the driver's error code.
TEST_F(VspWatchTest, SettingAConnectedPortAndClosingAnIdleOneAreRefused)
{
    ASSERT_TRUE(daemon.install("COM5"));
    auto vsp = manager();
    const std::uint16_t port = connect(*vsp, 0, "127.0.0.2");
    vsp->selectRow(0);
    const std::size_t before = prompter.messages().size();
    EXPECT_FALSE(vsp->clickSetting());
    EXPECT_FALSE(vsp->editing());
    ASSERT_EQ(prompter.messages().size(), before + 1);
    EXPECT_EQ(prompter.messages().back(), "COM5 is Connected: close its connection before changing its settings");
    EXPECT_EQ(linkState("COM5"), 1u);
    EXPECT_EQ(vsp->rows()[0].remotePort, std::to_string(port));

    ASSERT_TRUE(vsp->closeByName("COM5"));
    EXPECT_FALSE(vsp->closeByName("COM5"));
    EXPECT_EQ(prompter.messages().back(), "COM5 is not connected: nothing to close");
    for (const auto& message : prompter.messages())
        EXPECT_EQ(message.find("IOCTL_DISCONNECTION failed"), std::string::npos) << message;
}
