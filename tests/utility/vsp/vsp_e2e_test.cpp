// The manager, qelta vsp and devcon on a real vorpild, with a devsim device
// server at the far end and pyserial on the port.
#include "platform/child_process.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/net.h"
#include "platform/serial_port.h"
#include "platform/tcp_socket.h"
#include "tests/support/scripted_prompter.h"
#include "tests/utility/vsp/daemon_fixture.h"
#include "utility/devmgmt/protocol.h"
#include "utility/vsp/device_link.h"
#include "utility/vsp/vsp_manager.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

using namespace utility::vsp;
using namespace std::chrono_literals;

namespace {

constexpr const char* kPython = "/usr/bin/python3";

constexpr const char* kApplication = R"(import sys, serial
with serial.Serial(sys.argv[1], 115200, timeout=15) as port:
    print("ready", flush=True)
    port.write(b"hello-from-app")
    port.flush()
    print("got", port.read(15).decode(), flush=True)
)";

class Dialogs final : public VspDialogs {
public:
    std::optional<int> comPortConfiguration(const std::vector<std::string>&, int preselected) override
    {
        return preselected;
    }
};

std::string field(const std::string& line, const std::string& key)
{
    std::istringstream words(line);
    std::string word;
    while (words >> word)
        if (word.rfind(key + "=", 0) == 0)
            return word.substr(key.size() + 1);
    return {};
}

// Runs the loop's posted work and ready sockets in real time until the
// condition holds (a real peer answers in real time).
bool settle(platform::VirtualLoop& loop, const std::function<bool()>& condition, std::chrono::milliseconds limit = 3s)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        loop.processPending();
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

} // namespace

TEST(VspEndToEnd, PortToDevsimCarriesDataAndTheWatchClosesItWhenTheDeviceDropsIt)
{
    auto device = platform::ChildProcess::start(
        { testing_support::programPath("devsim"), "--first-address", "127.0.0.10", "--reboot-time", "1" });
    ASSERT_TRUE(device.ok());
    auto listed = device->readLine(10s);
    ASSERT_TRUE(listed.ok());
    const std::string devicePty = field(*listed, "serial");
    const std::string data = field(*listed, "data"); // tcp-server:5000:framed
    ASSERT_EQ(data.rfind("tcp-server:", 0), 0u) << *listed;
    const std::string dataPort = data.substr(11, data.find(':', 11) - 11);
    std::istringstream words(*listed);
    std::string address, macText, name;
    words >> address >> macText >> name;

    vsp_testing::Daemon daemon;
    ASSERT_TRUE(daemon.ok());
    testing_support::ScopedWorkingDirectory work(daemon.dir());
    platform::FakeClock clock;
    platform::VirtualLoop loop(clock);
    testing_support::ScriptedPrompter prompter;
    Dialogs dialogs;
    VspOptions options;
    options.runtimeDir = daemon.runtime();
    options.infName = PACKAGING_DIR "/VORPIL.inf";
    options.devcon = testing_support::programPath("devcon");
    options.bindAddress = "127.0.0.1";
    options.watch = true;
    options.mtu = 1500;
    VspManager vsp(loop, prompter, dialogs, options);
    vsp.start();
    loop.advance(1s);

    // Two ports through Add; the first goes to the device.
    ASSERT_TRUE(vsp.clickAdd());
    ASSERT_TRUE(vsp.clickAdd());
    ASSERT_EQ(vsp.rows().size(), 2u);
    const std::string com = vsp.rows()[0].entry.portName;
    vsp.selectRow(0);
    ASSERT_TRUE(vsp.clickSetting());
    vsp.chooseClient();
    vsp.controls().address = "127.0.0.10";
    vsp.controls().remoteHostPort = dataPort;
    vsp.controls().protocol = 0;
    vsp.controls().cmdByte = true;
    vsp.setMaxPacketLen(1024);
    ASSERT_TRUE(vsp.clickSetting());
    ASSERT_TRUE(vsp.clickConnect()) << testing::PrintToString(prompter.messages());
    EXPECT_EQ(vsp.statusLine(), "Connected to remote host 127.0.0.10@" + dataPort + " successfully");

    // pyserial on the port, the device's serial peer on devsim's pty.
    auto deviceSide = platform::openSerialPort(devicePty, platform::RealClock::instance());
    ASSERT_TRUE(deviceSide.ok());
    testing_support::TempDir scripts;
    scripts.write("app.py", kApplication);
    auto application
        = platform::ChildProcess::start({ kPython, scripts.file("app.py"), daemon.runtime() + "/dev/" + com });
    ASSERT_TRUE(application.ok());
    auto ready = application->readLine(15s);
    ASSERT_TRUE(ready.ok() && *ready == "ready");
    std::string received;
    std::uint8_t buffer[64];
    const auto until = std::chrono::steady_clock::now() + 15s;
    while (received.size() < 14 && std::chrono::steady_clock::now() < until) {
        const auto got = (*deviceSide)->read(buffer, sizeof buffer, 100ms);
        received.append(reinterpret_cast<const char*>(buffer), got.count);
    }
    EXPECT_EQ(received, "hello-from-app");
    const std::string answer = "hello-from-dev!";
    (void)(*deviceSide)->write(reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size());
    auto got = application->readLine(20s);
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(*got, "got hello-from-dev!");
    EXPECT_EQ(application->wait(10s).value_or(-1), 0);

    // qelta vsp list --json and devcon status tell the same.
    {
        std::vector<std::string> status;
        ASSERT_EQ(daemon.devcon({ "status" }, &status), 0);
        std::filesystem::copy_file(PACKAGING_DIR "/VORPIL.inf", daemon.dir() + "/VORPIL.inf");
        auto qelta = platform::ChildProcess::start({ "/usr/bin/env", "VORPIL_RUNTIME_DIR=" + daemon.runtime(),
            testing_support::programPath("qelta"), "vsp", "list", "--json" });
        ASSERT_TRUE(qelta.ok());
        std::string text;
        for (auto line = qelta->readLine(20s); line.ok(); line = qelta->readLine(20s))
            text += *line + "\n";
        EXPECT_EQ(qelta->wait(20s).value_or(-1), 0);
        const auto ports = nlohmann::json::parse(text);
        ASSERT_EQ(ports.size(), 2u) << text;
        std::size_t nodeLines = 0;
        for (const auto& line : status) {
            if (line.rfind("ROOT\\PORTS\\", 0) != 0)
                continue;
            std::istringstream node(line);
            std::string instance, hardware, portName;
            node >> instance >> hardware >> portName;
            const auto& port = ports.at(nodeLines++);
            EXPECT_EQ(port["name"], portName);
            const bool linked = field(line, "link") == "1";
            EXPECT_EQ(port["status"] == "Connected", linked) << line;
            const std::string remote = field(line, "remote");
            EXPECT_EQ(remote,
                port["protocol"].get<std::string>() + ":" + port["remote_ip"].get<std::string>() + ":"
                    + std::to_string(port["remote_port"].get<int>()))
                << line;
            EXPECT_EQ(line.find(port["type"] == "client" ? " client " : " server ") != std::string::npos, true);
        }
        EXPECT_EQ(nodeLines, 2u);
    }

    // The watch: the first evaluation marks "no answer since", the next query
    // gets devsim's report of the connection.
    loop.advance(9s);
    EXPECT_EQ(vsp.watchState(0) & 2u, 2u);
    loop.advance(5s);
    EXPECT_TRUE(settle(loop, [&] { return vsp.watchState(0) == 1; }));
    EXPECT_EQ(vsp.rows()[0].status, "Connected");

    // The device restarts (its data channel closes); once it answers again it
    // reports no connection, and the watch closes the port.
    utility::devmgmt::MacAddress mac {};
    unsigned parts[6] = {};
    ASSERT_EQ(std::sscanf(macText.c_str(), "%x:%x:%x:%x:%x:%x", &parts[0], &parts[1], &parts[2], &parts[3], &parts[4],
                  &parts[5]),
        6);
    for (int i = 0; i < 6; ++i)
        mac[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(parts[i]);
    auto sender = platform::UdpSocket::open();
    ASSERT_TRUE(sender.ok());
    ASSERT_TRUE(sender->sendTo("127.0.0.10", 25124, utility::devmgmt::buildReboot(name, mac)).ok());
    std::this_thread::sleep_for(1500ms);
    loop.advance(5s); // evaluation: answered before, still fine
    loop.advance(10ms); // the next query
    EXPECT_TRUE(settle(loop, [&] { return vsp.watchState(0) == 0; })) << vsp.watchState(0);
    loop.advance(5s);
    EXPECT_EQ(vsp.rows()[0].status, "Idle") << testing::PrintToString(prompter.messages());
    std::vector<common::NodeInfo> nodes;
    ASSERT_TRUE(common::ntSuccess(daemon.client().listNodes(nodes)));
    EXPECT_EQ(nodes.at(0).linkState, 0u);
    // Closed explicitly: the port does not try the device again.
    std::this_thread::sleep_for(6s);
    ASSERT_TRUE(common::ntSuccess(daemon.client().listNodes(nodes)));
    EXPECT_EQ(nodes.at(0).linkState, 0u);
}

namespace {

class DeviceDialogs final : public utility::devmgmt::DeviceDialogs {
public:
    utility::devmgmt::DialogResult devicesSearching(utility::devmgmt::SearchSettings&) override
    {
        return utility::devmgmt::DialogResult::Cancelled;
    }
    utility::devmgmt::DialogResult ipSearching(std::string&) override
    {
        return utility::devmgmt::DialogResult::Accepted;
    }
    utility::devmgmt::DialogResult setting(utility::devmgmt::Periods&) override
    {
        return utility::devmgmt::DialogResult::Cancelled;
    }
};

// Runs the real loop until the condition holds or the limit passes.
bool runUntil(platform::EventLoop& loop, const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    bool held = false;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const auto timer = loop.startTimer(10ms, [&] {
        held = condition();
        if (held || std::chrono::steady_clock::now() > deadline)
            loop.quit();
    });
    loop.run();
    loop.killTimer(timer);
    return held;
}

} // namespace

TEST(VspEndToEnd, DroppingAFoundDeviceOnAPortConnectsIt)
{
    auto device = platform::ChildProcess::start(
        { testing_support::programPath("devsim"), "--first-address", "127.0.0.10", "--framing", "off" });
    ASSERT_TRUE(device.ok());
    auto listed = device->readLine(10s);
    ASSERT_TRUE(listed.ok());
    vsp_testing::Daemon daemon;
    ASSERT_TRUE(daemon.ok());
    ASSERT_TRUE(daemon.install("COM5"));
    testing_support::ScopedWorkingDirectory work(daemon.dir());

    auto loop = platform::makeEpollLoop();
    testing_support::ScriptedPrompter prompter;
    Dialogs dialogs;
    VspOptions options;
    options.runtimeDir = daemon.runtime();
    options.bindAddress = "127.0.0.1";
    options.mtu = 1500;
    VspManager vsp(*loop, prompter, dialogs, options);
    vsp.start(true);
    DeviceDialogs deviceDialogs;
    utility::devmgmt::DeviceView view(*loop, prompter, deviceDialogs);
    view.setLocalAddress("127.0.0.1", "255.0.0.0");
    utility::vsp::DeviceViewLink link(vsp, view);

    view.setIpSearchAddress("127.0.0.10");
    view.ipSearch(false);
    ASSERT_TRUE(runUntil(
        *loop, [&] { return view.rowCount() == 1 && !view.searching(); }, 10s));
    EXPECT_EQ(link.deviceUdpFlag("127.0.0.10"), false);
    ASSERT_EQ(view.dropOnPort(0, "COM5"), "COM5 (127.0.0.10)") << testing::PrintToString(prompter.messages());
    EXPECT_EQ(vsp.rows()[0].status, "Connected");
    EXPECT_EQ(vsp.rows()[0].remoteIp, "127.0.0.10");
    std::vector<common::NodeInfo> nodes;
    ASSERT_TRUE(common::ntSuccess(daemon.client().listNodes(nodes)));
    EXPECT_EQ(nodes.at(0).linkState, 1u);
    std::vector<PortEntry> saved;
    ASSERT_TRUE(loadVspFile("vsp.dat", saved));
    EXPECT_EQ(saved.at(0).status, "Connected");
}

// vorpild itself connects a port with ConnectAtWinStart when it is first
// opened; the watch must find it connected and keep the table so.
// Seventeen seconds hold two queries (at 5 s and 10 s) and their evaluations
// (10 s and 15 s): the first only marks "no answer since", the second would
// log "Disconnecting" had devsim's answer to the second query been lost.
TEST(VspEndToEnd, QeltaWatchEndsAfterItsDurationWithTheRememberedConnectionUp)
{
    auto device
        = platform::ChildProcess::start({ testing_support::programPath("devsim"), "--first-address", "127.0.0.10" });
    ASSERT_TRUE(device.ok());
    ASSERT_TRUE(device->readLine(10s).ok());
    vsp_testing::Daemon daemon;
    ASSERT_TRUE(daemon.ok());
    ASSERT_TRUE(daemon.install("COM5"));
    ASSERT_EQ(daemon.devcon({ "set", "COM5", "--remote", "127.0.0.10:5000", "--tcp", "--client", "--framed",
                  "--connect-at-start" }),
        0);
    std::filesystem::copy_file(PACKAGING_DIR "/VORPIL.inf", daemon.dir() + "/VORPIL.inf");
    // The table as the view saved it while COM5 was connected (127.0.0.10).
    const std::string remembered = "1 \r\n0 COM5 2130706442l 5000 0 1 Connected 1 1 1024 COM5 127.0.0.10 5000 \r\n";
    {
        std::ofstream out(daemon.dir() + "/vsp.dat", std::ios::binary);
        out << remembered;
    }
    testing_support::ScopedWorkingDirectory work(daemon.dir());
    auto qelta = platform::ChildProcess::start({ "/usr/bin/env", "VORPIL_RUNTIME_DIR=" + daemon.runtime(),
        testing_support::programPath("qelta"), "vsp", "watch", "--duration", "17" });
    ASSERT_TRUE(qelta.ok());
    std::vector<std::string> lines;
    for (auto line = qelta->readLine(20s); line.ok(); line = qelta->readLine(20s))
        lines.push_back(*line);
    EXPECT_EQ(qelta->wait(20s).value_or(-1), 0);
    EXPECT_EQ(std::find(lines.begin(), lines.end(), "COM5 Disconnecting"), lines.end())
        << testing::PrintToString(lines);
    std::vector<common::NodeInfo> nodes;
    ASSERT_TRUE(common::ntSuccess(daemon.client().listNodes(nodes)));
    EXPECT_EQ(nodes.at(0).linkState, 1u);
    std::vector<PortEntry> saved;
    ASSERT_TRUE(loadVspFile("vsp.dat", saved));
    EXPECT_EQ(saved.at(0).status, "Connected");
}
