// The manager against a real vorpild: ports installed, named, renamed and
// removed through the daemon; connections to real sockets; the watch in
// virtual time with a real UDP peer answering its queries.
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/net.h"
#include "platform/serial_port.h"
#include "platform/tcp_socket.h"
#include "tests/support/scripted_prompter.h"
#include "tests/utility/vsp/daemon_fixture.h"
#include "utility/vsp/vsp_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include <poll.h>

using namespace utility::vsp;
using namespace std::chrono_literals;

namespace {

class Dialogs final : public VspDialogs {
public:
    std::optional<int> comPortConfiguration(const std::vector<std::string>& texts, int preselected) override
    {
        shownTexts = texts;
        shownPreselected = preselected;
        ++shown;
        if (answer)
            return answer;
        return preselected;
    }
    // The protocol choice, answered with `wireAnswer` when set.
    std::optional<ComPortChoice> comPortChoice(
        const std::vector<std::string>& texts, int preselected, WireProtocol wire) override
    {
        shownWire = wire;
        auto choice = VspDialogs::comPortChoice(texts, preselected, wire);
        if (choice && wireAnswer)
            choice->wireProtocol = *wireAnswer;
        return choice;
    }
    std::optional<int> answer;
    std::optional<WireProtocol> wireAnswer;
    std::optional<WireProtocol> shownWire;
    std::vector<std::string> shownTexts;
    int shownPreselected = -1;
    int shown = 0;
};

class Neighbours final : public VspNeighbours {
public:
    bool portItemContains(const std::string& text) override
    {
        return std::any_of(
            items.begin(), items.end(), [&](const auto& item) { return item.find(text) != std::string::npos; });
    }
    void setPortItemText(const std::string&, const std::string& text) override { items.push_back(text); }
    std::optional<bool> deviceUdpFlag(const std::string& address) override
    {
        if (address == udpDevice)
            return true;
        return std::nullopt;
    }
    void sendConnectNotice(const std::string& address, std::uint16_t localPort) override
    {
        notices.emplace_back(address, localPort);
    }
    std::vector<std::string> items;
    std::string udpDevice;
    std::vector<std::pair<std::string, std::uint16_t>> notices;
};

std::string stringValue(const std::vector<std::uint8_t>& data) { return fromRegString(data); }

bool readable(int fd, std::chrono::milliseconds limit)
{
    pollfd entry { fd, POLLIN, 0 };
    return ::poll(&entry, 1, static_cast<int>(limit.count())) == 1;
}

// The first `count` bytes the port sends over the connection it made to
// `listener` (fewer when the port goes quiet for two seconds). The connection
// stays open in `peer`: a dropped one would be made again.
std::vector<std::uint8_t> firstBytes(
    platform::TcpListener& listener, std::size_t count, std::optional<platform::TcpSocket>& peer)
{
    std::vector<std::uint8_t> got;
    if (!readable(listener.fd(), 5s))
        return got;
    platform::Endpoint from;
    auto accepted = listener.accept(from);
    if (!accepted.ok())
        return got;
    peer.emplace(std::move(*accepted));
    while (got.size() < count && readable(peer->fd(), 2s)) {
        std::uint8_t buffer[64];
        const auto read = peer->receive(std::span(buffer, std::min(sizeof buffer, count - got.size())));
        if (!read.ok() || *read == 0)
            break;
        got.insert(got.end(), buffer, buffer + *read);
    }
    return got;
}

class VspManagerTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(daemon.ok());
        work = std::make_unique<testing_support::ScopedWorkingDirectory>(daemon.dir());
    }

    // The port's "WireProtocol" value; nothing when it has none.
    std::optional<std::uint32_t> wireValue(const std::string& instance)
    {
        std::uint32_t type = 0;
        std::vector<std::uint8_t> data;
        if (!common::ntSuccess(daemon.client().regQueryValue(
                std::string(kPortsKey) + instance + "\\Device Parameters", "WireProtocol", type, data))
            || type != kRegDword || data.size() != 4)
            return std::nullopt;
        return data[0] | data[1] << 8 | data[2] << 16 | static_cast<std::uint32_t>(data[3]) << 24;
    }

    std::string registryText(const std::string& key, const std::string& name)
    {
        std::uint32_t type = 0;
        std::vector<std::uint8_t> data;
        if (!common::ntSuccess(daemon.client().regQueryValue(key, name, type, data)))
            return "(none)";
        return fromRegString(data);
    }

    void writeDat(const std::string& text)
    {
        std::ofstream out("vsp.dat", std::ios::binary);
        out << text;
    }

    std::unique_ptr<VspManager> manager(bool watch = false, std::optional<std::uint32_t> mtu = 1500)
    {
        VspOptions options;
        options.runtimeDir = daemon.runtime();
        options.infName = PACKAGING_DIR "/VORPIL.inf";
        options.devcon = testing_support::programPath("devcon");
        options.bindAddress = "127.0.0.1";
        options.watch = watch;
        options.mtu = mtu;
        auto made = std::make_unique<VspManager>(loop, prompter, dialogs, options);
        made->setNeighbours(&neighbours);
        made->start();
        loop.advance(1s);
        return made;
    }

    // A client port (row `row`) set to a TCP listener on loopback and connected.
    void connectToListener(VspManager& vsp, std::size_t row, const std::string& address)
    {
        auto listening = platform::TcpListener::listen(*platform::parseIpv4(address), 0);
        ASSERT_TRUE(listening.ok());
        listener = std::make_unique<platform::TcpListener>(std::move(*listening));
        vsp.selectRow(row);
        ASSERT_TRUE(vsp.clickSetting());
        vsp.chooseClient();
        vsp.controls().address = address;
        vsp.controls().remoteHostPort = std::to_string(listener->localEndpoint().port);
        ASSERT_TRUE(vsp.clickSetting());
        ASSERT_TRUE(vsp.clickConnect()) << testing::PrintToString(prompter.messages());
        ASSERT_EQ(vsp.rows()[row].status, "Connected");
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

    vsp_testing::Daemon daemon;
    std::unique_ptr<testing_support::ScopedWorkingDirectory> work;
    platform::FakeClock clock;
    platform::VirtualLoop loop { clock };
    testing_support::ScriptedPrompter prompter;
    Dialogs dialogs;
    Neighbours neighbours;
    std::unique_ptr<platform::TcpListener> listener;
};

TEST_F(VspManagerTest, UsedNumbersFromTheDatabaseAndTheDeviceMapAreMarked)
{
    bool forced = false;
    for (std::uint32_t number = 1; number <= 4; ++number)
        ASSERT_TRUE(common::ntSuccess(daemon.client().comDbClaim(number, false, forced)));
    ASSERT_TRUE(common::ntSuccess(
        daemon.client().regSetValue(std::string(kSerialCommKey), "\\Device\\Other0", kRegSz, regString("COM12"))));
    auto vsp = manager();
    dialogs.answer = std::nullopt; // take the preselection
    ASSERT_TRUE(vsp->clickAdd());
    ASSERT_EQ(dialogs.shownTexts.size(), 256u);
    EXPECT_EQ(dialogs.shownPreselected, 4); // COM5
    for (int index : { 0, 1, 2, 3, 11 })
        EXPECT_EQ(dialogs.shownTexts[index], "COM" + std::to_string(index + 1) + " (in used)");
    EXPECT_EQ(dialogs.shownTexts[4], "COM5");
    EXPECT_EQ(dialogs.shownTexts[255], "COM256");
    ASSERT_EQ(vsp->rows().size(), 1u);
    EXPECT_EQ(vsp->rows()[0].entry.portName, "COM5");
    EXPECT_EQ(vsp->statusLine(), "Added a virtual serial port successfully");

    // A used number chosen anyway installs nothing.
    dialogs.answer = 11;
    EXPECT_FALSE(vsp->clickAdd());
    EXPECT_EQ(prompter.messages().back(), "The selected port number is in used.");
    EXPECT_EQ(vsp->rows().size(), 1u);
}

TEST_F(VspManagerTest, AddWhileAPortIsHeldOpenInstallsNothing)
{
    ASSERT_TRUE(daemon.install("COM5"));
    std::unique_ptr<common::ControlClient> other;
    ASSERT_TRUE(common::ntSuccess(common::ControlClient::connect(daemon.runtime(), other)));
    std::uint32_t handle = 0;
    ASSERT_TRUE(common::ntSuccess(other->open("COM5", handle)));
    auto vsp = manager();
    EXPECT_TRUE(vsp->portHeldOpen());
    EXPECT_FALSE(vsp->clickAdd());
    EXPECT_EQ(prompter.messages().back(), "You need to close all opened VSP ports before adding a new one!");
    EXPECT_EQ(dialogs.shown, 0);
    std::vector<common::NodeInfo> nodes;
    ASSERT_TRUE(common::ntSuccess(daemon.client().listNodes(nodes)));
    EXPECT_EQ(nodes.size(), 1u);
}

TEST_F(VspManagerTest, RemovingRowZeroOfThreeKeepsIdsWithPositions)
{
    for (const char* name : { "COM5", "COM6", "COM7" })
        ASSERT_TRUE(daemon.install(name));
    auto vsp = manager();
    ASSERT_EQ(vsp->rows().size(), 3u);
    vsp->selectRow(0);
    ASSERT_TRUE(vsp->clickRemove());
    EXPECT_EQ(vsp->rows().size(), 3u); // the tool runs; the row goes after the wait
    loop.advance(3s);
    ASSERT_EQ(vsp->rows().size(), 2u);
    EXPECT_EQ(vsp->rows()[0].entry.portId, "0");
    EXPECT_EQ(vsp->rows()[1].entry.portId, "1");
    EXPECT_EQ(vsp->rows()[0].entry.portName, "COM6");
    EXPECT_EQ(vsp->rows()[1].entry.portName, "COM7");
    EXPECT_EQ(vsp->statusLine(), "VSP removed successfully");
    // The ids are the daemon's: the manager reaches COM7 as Port ID 1.
    vsp->selectRow(1);
    EXPECT_TRUE(vsp->buttons().connect) << testing::PrintToString(prompter.messages());
    std::vector<PortEntry> saved;
    ASSERT_TRUE(loadVspFile("vsp.dat", saved));
    EXPECT_EQ(saved.size(), 2u);
}

TEST_F(VspManagerTest, ARemovalThatFailsKeepsTheRow)
{
    ASSERT_TRUE(daemon.install("COM5"));
    VspOptions options;
    options.runtimeDir = daemon.runtime();
    options.devcon = "/bin/false";
    options.mtu = 1500;
    VspManager vsp(loop, prompter, dialogs, options);
    vsp.start();
    loop.advance(1s);
    vsp.selectRow(0);
    ASSERT_TRUE(vsp.clickRemove());
    loop.advance(3s);
    EXPECT_EQ(vsp.rows().size(), 1u);
    EXPECT_EQ(prompter.messages().back(), "Failed to remove the virtual serial port driver!");
}

TEST_F(VspManagerTest, ChangingComFiveToSevenMovesEveryName)
{
    ASSERT_TRUE(daemon.install("COM5"));
    auto vsp = manager();
    vsp->selectRow(0);
    ASSERT_TRUE(vsp->clickSetting());
    EXPECT_EQ(vsp->controls().comIndex, 4);
    EXPECT_EQ(vsp->controls().comTexts[4], "COM5 (in used)");
    vsp->controls().comIndex = 6;
    ASSERT_TRUE(vsp->clickSetting());
    EXPECT_EQ(vsp->rows()[0].entry.portName, "COM7");

    auto& client = daemon.client();
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    const std::string node = std::string(kPortsKey) + "0000";
    ASSERT_TRUE(common::ntSuccess(client.regQueryValue(node + "\\Device Parameters", "PortName", type, data)));
    EXPECT_EQ(stringValue(data), "COM7");
    ASSERT_TRUE(common::ntSuccess(client.regQueryValue(node, "FriendlyName", type, data)));
    EXPECT_EQ(stringValue(data), "ZORV Virtual Serial Port (COM7)");
    std::vector<std::uint8_t> usage;
    ASSERT_TRUE(common::ntSuccess(client.comDbUsage(256, usage)));
    EXPECT_EQ(usage[4], 0);
    EXPECT_NE(usage[6], 0);
    std::vector<std::string> values;
    ASSERT_TRUE(common::ntSuccess(client.regEnumValues(std::string(kSerialCommKey), values)));
    ASSERT_EQ(values.size(), 1u);
    ASSERT_TRUE(common::ntSuccess(client.regQueryValue(std::string(kSerialCommKey), values[0], type, data)));
    EXPECT_EQ(stringValue(data), "COM7");
    // The daemon's terminal front end follows the DOS link on its own thread.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline
        && (!std::filesystem::exists(daemon.runtime() + "/dev/COM7")
            || std::filesystem::exists(daemon.runtime() + "/dev/COM5")))
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(std::filesystem::exists(daemon.runtime() + "/dev/COM7"));
    EXPECT_FALSE(std::filesystem::exists(daemon.runtime() + "/dev/COM5"));
    std::uint32_t handle = 0;
    EXPECT_TRUE(common::ntSuccess(client.open("COM7", handle)));
}

TEST_F(VspManagerTest, SettingWithoutAConnectionTypeStaysInEditMode)
{
    ASSERT_TRUE(daemon.install("COM5"));
    auto vsp = manager();
    vsp->selectRow(0);
    ASSERT_TRUE(vsp->clickSetting());
    EXPECT_EQ(vsp->buttons().settingCaption, "OK");
    EXPECT_FALSE(vsp->buttons().list);
    vsp->controls().connType.reset();
    EXPECT_FALSE(vsp->clickSetting());
    EXPECT_EQ(prompter.messages().back(), "Not Select The Connection Type!");
    EXPECT_TRUE(vsp->editing());
}

TEST_F(VspManagerTest, TextMatchOfTheAddressWarnsAndDoesNotConnect)
{
    ASSERT_TRUE(daemon.install("COM5"));
    auto vsp = manager();
    neighbours.items = { "COM3 (192.168.0.10)" };
    vsp->selectRow(0);
    ASSERT_TRUE(vsp->clickSetting());
    vsp->chooseClient();
    vsp->controls().address = "192.168.0.1";
    vsp->controls().remoteHostPort = "4001";
    ASSERT_TRUE(vsp->clickSetting());
    EXPECT_FALSE(vsp->clickConnect());
    EXPECT_EQ(prompter.messages().back(),
        "Warning: This remote device has already established a connection with another virtual serial port!");
    EXPECT_EQ(vsp->rows()[0].status, "Idle");
}

TEST_F(VspManagerTest, ADeviceListedWithTheUdpFlagSwitchesATcpPortToUdp)
{
    ASSERT_TRUE(daemon.install("COM5"));
    auto peer = platform::UdpSocket::open();
    ASSERT_TRUE(peer.ok());
    ASSERT_TRUE(peer->bind("127.0.0.3", 0).ok());
    neighbours.udpDevice = "127.0.0.3";
    auto vsp = manager();
    vsp->selectRow(0);
    ASSERT_TRUE(vsp->clickSetting());
    vsp->chooseClient();
    vsp->controls().protocol = 0;
    vsp->controls().address = "127.0.0.3";
    vsp->controls().remoteHostPort = std::to_string(peer->localEndpoint().port);
    ASSERT_TRUE(vsp->clickSetting());
    EXPECT_TRUE(vsp->clickConnect()) << testing::PrintToString(prompter.messages());
    std::vector<common::NodeInfo> nodes;
    ASSERT_TRUE(common::ntSuccess(daemon.client().listNodes(nodes)));
    EXPECT_EQ(nodes.at(0).protocol, 1u);
}

TEST_F(VspManagerTest, SmallMtuLowersMaxPacketLenAtStartUp)
{
    ASSERT_TRUE(daemon.install("COM5"));
    ASSERT_EQ(daemon.devcon({ "set", "COM5", "--remote", "127.0.0.2:4001", "--udp", "--client", "--raw", "--max-packet",
                  "1460" }),
        0);
    auto vsp = manager(false, 1400);
    ASSERT_EQ(vsp->rows().size(), 1u);
    EXPECT_EQ(vsp->rows()[0].entry.maxPacketLen, 1372u);
    // The lowered value reached the port itself, not only the list.
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    ASSERT_TRUE(common::ntSuccess(
        daemon.client().regQueryValue(std::string(kPortsKey) + "0000\\Device Parameters", "MaxPacketLen", type, data)));
    ASSERT_GE(data.size(), 4u);
    EXPECT_EQ(data[0] | data[1] << 8 | data[2] << 16 | data[3] << 24, 1372);
    vsp->selectRow(0);
    EXPECT_EQ(vsp->controls().maxPacketLen, 1372u);
    // A TCP port under the same MTU is held to 1360.
    vsp->controls().protocol = 0;
    vsp->setMaxPacketLen(1460);
    EXPECT_EQ(vsp->controls().maxPacketLen, 1360u);
}

TEST_F(VspManagerTest, WatchOffSendsNothing)
{
    ASSERT_TRUE(daemon.install("COM5"));
    auto device = platform::UdpSocket::open();
    ASSERT_TRUE(device.ok());
    ASSERT_TRUE(device->bind("127.0.0.2", kQueryPort).ok());
    auto vsp = manager(false);
    connectToListener(*vsp, 0, "127.0.0.2");
    loop.advance(60s);
    std::uint8_t buffer[64];
    platform::Endpoint from;
    auto got = device->receiveFrom(buffer, from);
    EXPECT_FALSE(got.ok() && *got > 0);
    EXPECT_EQ(vsp->rows()[0].status, "Connected");
}

// A device server on loopback answering the watch's queries as told.
class WatchedDevice {
public:
    WatchedDevice(platform::EventLoop& loop, const std::string& address)
        : m_loop(loop)
    {
        auto socket = platform::UdpSocket::open();
        if (!socket.ok() || !socket->bind(address, kQueryPort).ok())
            return;
        m_socket = std::make_unique<platform::UdpSocket>(std::move(*socket));
        m_address = *platform::parseIpv4(address);
        loop.watchFd(m_socket->fd(), platform::kIoRead, [this](unsigned) { receive(); });
    }
    ~WatchedDevice()
    {
        if (m_socket)
            m_loop.unwatchFd(m_socket->fd());
    }
    bool ok() const { return m_socket != nullptr; }
    int queries = 0;
    // Unset: silent.
    std::optional<std::uint8_t> connectionState;
    // The data port the device's answers name (the port the row connected to).
    std::uint16_t dataPort = 0;

private:
    void receive()
    {
        std::uint8_t buffer[64];
        platform::Endpoint from;
        auto got = m_socket->receiveFrom(buffer, from);
        if (!got.ok() || *got != 9 || std::string(reinterpret_cast<char*>(buffer), 8) != "ZORVVROZ" || buffer[8] != 0)
            return;
        EXPECT_EQ(from.port, kWatchPort);
        ++queries;
        if (!connectionState)
            return;
        std::vector<std::uint8_t> reply(100, 0);
        std::copy_n("ZORVVROZ", 8, reply.begin());
        reply[8] = 1;
        reply[34] = static_cast<std::uint8_t>(m_address >> 24);
        reply[35] = static_cast<std::uint8_t>(m_address >> 16);
        reply[36] = static_cast<std::uint8_t>(m_address >> 8);
        reply[37] = static_cast<std::uint8_t>(m_address);
        reply[42] = static_cast<std::uint8_t>(dataPort >> 8);
        reply[43] = static_cast<std::uint8_t>(dataPort);
        reply[69] = *connectionState;
        (void)m_socket->sendTo(from, reply);
    }
    platform::EventLoop& m_loop;
    std::unique_ptr<platform::UdpSocket> m_socket;
    platform::Ipv4 m_address = 0;
};

// One watch round: the query 5 s after the previous evaluation (10 ms), the
// evaluation 5 s after the query.
constexpr auto kRound = 5010ms;

TEST_F(VspManagerTest, SixtyOneSilentEvaluationsCloseThePortAndAnAnswerResetsTheCount)
{
    ASSERT_TRUE(daemon.install("COM5"));
    WatchedDevice device(loop, "127.0.0.2");
    ASSERT_TRUE(device.ok());
    auto vsp = manager(true);
    connectToListener(*vsp, 0, "127.0.0.2");
    device.dataPort = listener->localEndpoint().port;
    std::vector<std::string> logs;
    vsp->setLogSink([&](const std::string& line) { logs.push_back(line); });

    // The first query goes 5 s after start; its evaluation finds the state the
    // connection set (answered) and marks "no answer since".
    loop.advance(9s);
    EXPECT_EQ(device.queries, 1);
    EXPECT_EQ(vsp->rows()[0].status, "Connected");
    // The second evaluation without an answer shows "Disconnecting".
    loop.advance(kRound);
    EXPECT_EQ(vsp->rows()[0].status, "Disconnecting");
    // 30 more silent rounds, then one answer: back to Connected, count reset.
    for (int i = 0; i < 30; ++i)
        loop.advance(kRound);
    device.connectionState = 1;
    loop.advance(kRound);
    EXPECT_EQ(vsp->rows()[0].status, "Connected");
    EXPECT_EQ(vsp->watchState(0), 3u);
    device.connectionState.reset();
    // 60 silent evaluations keep it "Disconnecting" and the port connected...
    for (int i = 0; i < 60; ++i)
        loop.advance(kRound);
    EXPECT_EQ(vsp->rows()[0].status, "Disconnecting");
    EXPECT_EQ(linkState("COM5"), 1u);
    // ...the 61st disconnects it.
    loop.advance(kRound);
    EXPECT_EQ(vsp->rows()[0].status, "Idle");
    EXPECT_EQ(linkState("COM5"), 0u);
    EXPECT_NE(std::find(logs.begin(), logs.end(), "COM5 Idle"), logs.end());
    // An idle row is not asked about any more.
    const int asked = device.queries;
    loop.advance(30s);
    EXPECT_EQ(device.queries, asked);
}

TEST_F(VspManagerTest, ADeviceReportingNoConnectionClosesThePort)
{
    ASSERT_TRUE(daemon.install("COM5"));
    WatchedDevice device(loop, "127.0.0.2");
    ASSERT_TRUE(device.ok());
    auto vsp = manager(true);
    connectToListener(*vsp, 0, "127.0.0.2");
    device.dataPort = listener->localEndpoint().port;
    device.connectionState = 0;
    loop.advance(9s);
    EXPECT_EQ(vsp->rows()[0].status, "Idle");
    EXPECT_EQ(linkState("COM5"), 0u);
    EXPECT_EQ(vsp->statusLine(), "Connection closed successfully");
    std::vector<PortEntry> saved;
    ASSERT_TRUE(loadVspFile("vsp.dat", saved));
    EXPECT_EQ(saved.at(0).status, "Idle");
    EXPECT_EQ(saved.at(0).remoteIpText, "#");
}

TEST_F(VspManagerTest, ServerPortIsSavedWithAnEmptyAddressField)
{
    ASSERT_TRUE(daemon.install("COM5"));
    auto vsp = manager();
    vsp->selectRow(0);
    ASSERT_TRUE(vsp->clickSetting());
    vsp->chooseServer();
    vsp->controls().listenPort = "0";
    vsp->controls().address = "127.0.0.1";
    ASSERT_TRUE(vsp->clickSetting());
    EXPECT_EQ(vsp->buttons().connectCaption, "Server");
    EXPECT_TRUE(vsp->clickConnect()) << testing::PrintToString(prompter.messages());
    EXPECT_EQ(vsp->rows()[0].status, "Server");
    EXPECT_EQ(neighbours.items.back(), "COM5 (Server)");
    const std::string bytes = [&] {
        std::ifstream in("vsp.dat", std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }();
    EXPECT_NE(bytes.find(" Server 0 "), std::string::npos) << bytes;
    EXPECT_NE(bytes.find(" COM5  0 \r\n"), std::string::npos) << bytes;
    std::vector<PortEntry> saved;
    ASSERT_TRUE(loadVspFile("vsp.dat", saved));
    EXPECT_EQ(saved.at(0).remoteIpText, "");
    EXPECT_EQ(encodeVspFile(saved), bytes);
}

} // namespace

namespace {

// A second client of the daemon holding a port open, as a terminal program does.
struct Holder {
    Holder(const std::string& runtime, const std::string& port)
    {
        ok = common::ntSuccess(common::ControlClient::connect(runtime, client))
            && common::ntSuccess(client->open(port, handle));
    }
    std::unique_ptr<common::ControlClient> client;
    std::uint32_t handle = 0;
    bool ok = false;
};

std::size_t count(const std::vector<std::string>& texts, const std::string& text)
{
    return static_cast<std::size_t>(std::count(texts.begin(), texts.end(), text));
}

} // namespace

// Each step of a COM number change fails in turn: every name stays where it
// was (registry PortName, the database, the DOS link, the device map, the
// FriendlyName, the list) and the message names the step.
TEST_F(VspManagerTest, AFailedComChangeUndoesEveryStepBeforeIt)
{
    ASSERT_TRUE(daemon.install("COM5"));
    auto vsp = manager();
    const std::string node = std::string(kPortsKey) + "0000";
    const std::string friendlyBefore = registryText(node, "FriendlyName");
    struct Case {
        const char* step;
        const char* message;
    };
    for (const Case& c : { Case { "claim", "Claim COM PORT Failed" }, Case { "PortName", "Write PortName Failed" },
             Case { "release", "Release COM PORT Failed" },
             Case { "SET_DOS_NAME", "Please stop terminal program first\n" },
             Case { "SERIALCOMM", "Write SERIALCOMM Failed" }, Case { "FriendlyName", "Write FriendlyName Failed" } }) {
        vsp->provisioner().setStepFailure([&](const std::string& step) { return step == c.step; });
        vsp->selectRow(0);
        ASSERT_TRUE(vsp->clickSetting()) << c.step;
        vsp->controls().comIndex = 6;
        vsp->clickSetting();
        EXPECT_EQ(prompter.messages().back(), c.message) << c.step;
        EXPECT_EQ(vsp->rows()[0].entry.portName, "COM5") << c.step;
        EXPECT_EQ(registryText(node + "\\Device Parameters", "PortName"), "COM5") << c.step;
        EXPECT_EQ(registryText(node, "FriendlyName"), friendlyBefore) << c.step;
        std::vector<std::uint8_t> usage;
        ASSERT_TRUE(common::ntSuccess(daemon.client().comDbUsage(256, usage)));
        EXPECT_NE(usage[4], 0) << c.step;
        EXPECT_EQ(usage[6], 0) << c.step;
        std::vector<std::string> values;
        ASSERT_TRUE(common::ntSuccess(daemon.client().regEnumValues(std::string(kSerialCommKey), values)));
        ASSERT_EQ(values.size(), 1u);
        EXPECT_EQ(registryText(std::string(kSerialCommKey), values[0]), "COM5") << c.step;
        std::uint32_t handle = 0;
        EXPECT_TRUE(common::ntSuccess(daemon.client().open("COM5", handle))) << c.step;
        (void)daemon.client().close(handle);
    }
    // With nothing failing the same change goes through.
    vsp->provisioner().setStepFailure(nullptr);
    vsp->selectRow(0);
    ASSERT_TRUE(vsp->clickSetting());
    vsp->controls().comIndex = 6;
    ASSERT_TRUE(vsp->clickSetting());
    EXPECT_EQ(vsp->rows()[0].entry.portName, "COM7");
    EXPECT_EQ(registryText(node + "\\Device Parameters", "PortName"), "COM7");
}

// The real refusal: COM6 exists, so COM5 cannot take its number.
TEST_F(VspManagerTest, ChangingToANumberInUseKeepsBothPortsNamed)
{
    ASSERT_TRUE(daemon.install("COM5"));
    ASSERT_TRUE(daemon.install("COM6"));
    auto vsp = manager();
    vsp->selectRow(0);
    ASSERT_TRUE(vsp->clickSetting());
    vsp->controls().comIndex = 5;
    vsp->clickSetting();
    EXPECT_EQ(prompter.messages().back(), "Claim COM PORT Failed");
    EXPECT_EQ(registryText(std::string(kPortsKey) + "0000\\Device Parameters", "PortName"), "COM5");
    EXPECT_EQ(registryText(std::string(kPortsKey) + "0001\\Device Parameters", "PortName"), "COM6");
}

// One port held by a program: every port is listed (names from the node
// list), the held one marked, the free one usable; the status is the
// daemon's even when "vsp.dat" remembers a connection with no address.
TEST_F(VspManagerTest, AHeldPortIsListedAndTheOthersStayUsable)
{
    ASSERT_TRUE(daemon.install("COM5"));
    ASSERT_TRUE(daemon.install("COM6"));
    Holder holder(daemon.runtime(), "COM5");
    ASSERT_TRUE(holder.ok);
    writeDat("2 \r\n0 COM5 2130706434l 5000 0 0 Connected 1 0 1024 COM5 # # \r\n"
             "1 COM6 0l 4001 0 0 Idle 1 0 1024 COM6 # # \r\n");
    std::vector<std::string> logs;
    VspOptions options;
    options.runtimeDir = daemon.runtime();
    options.bindAddress = "127.0.0.1";
    options.watch = true;
    options.mtu = 1500;
    VspManager vsp(loop, prompter, dialogs, options);
    vsp.setLogSink([&](const std::string& line) { logs.push_back(line); });
    vsp.start();
    loop.advance(1s);
    ASSERT_EQ(vsp.rows().size(), 2u) << testing::PrintToString(prompter.messages());
    EXPECT_EQ(vsp.rows()[0].entry.portName, "COM5");
    EXPECT_TRUE(vsp.rows()[0].held);
    EXPECT_EQ(vsp.rows()[0].status, "Idle");
    EXPECT_EQ(vsp.rows()[1].entry.portName, "COM6");
    EXPECT_FALSE(vsp.rows()[1].held);
    EXPECT_TRUE(prompter.messages().empty()) << testing::PrintToString(prompter.messages());
    vsp.selectRow(1);
    EXPECT_TRUE(vsp.buttons().connect);
    loop.advance(30s);
    EXPECT_EQ(std::find(logs.begin(), logs.end(), "COM5 Disconnecting"), logs.end()) << testing::PrintToString(logs);
    EXPECT_EQ(vsp.rows()[0].status, "Idle");
    // Removing the held port says so once.
    EXPECT_FALSE(vsp.removeByName("COM5"));
    EXPECT_EQ(count(prompter.messages(), "Please stop terminal program first\n"), 1u);
}

// A Port ID no number can hold ends nothing: the line is dropped and logged.
TEST_F(VspManagerTest, AnOutOfRangePortIdInTheFileIsDroppedWithALogLine)
{
    ASSERT_TRUE(daemon.install("COM5"));
    writeDat("2 \r\n99999999999999999999999 COM5 0l 5000 0 0 Connected 1 0 1024 COM5 127.0.0.2 5000 \r\n"
             "0 COM5 0l 4001 0 0 Idle 1 0 1024 COM5 # # \r\n");
    std::vector<std::string> logs;
    VspOptions options;
    options.runtimeDir = daemon.runtime();
    options.mtu = 1500;
    VspManager vsp(loop, prompter, dialogs, options);
    vsp.setLogSink([&](const std::string& line) { logs.push_back(line); });
    vsp.start(true);
    ASSERT_EQ(vsp.rows().size(), 1u);
    ASSERT_FALSE(logs.empty());
    EXPECT_NE(logs[0].find("vsp.dat line 2 dropped: Port ID"), std::string::npos) << logs[0];
}

// The watch cannot bind UDP 25126: said once, and silent rounds do not count
// as outages while it cannot listen.
TEST_F(VspManagerTest, AWatchThatCannotListenCountsNoOutages)
{
    ASSERT_TRUE(daemon.install("COM5"));
    auto squatter = platform::UdpSocket::open();
    ASSERT_TRUE(squatter.ok());
    ASSERT_TRUE(squatter->bind("127.0.0.1", kWatchPort).ok());
    auto vsp = manager(true);
    std::vector<std::string> errors;
    vsp->setErrorSink([&](const std::string& text) { errors.push_back(text); });
    connectToListener(*vsp, 0, "127.0.0.2");
    for (int i = 0; i < 70; ++i)
        loop.advance(kRound);
    EXPECT_EQ(vsp->rows()[0].status, "Connected");
    EXPECT_EQ(linkState("COM5"), 1u);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("25126"), std::string::npos);
}

// The device reports no connection while a program holds the port: the
// failing close is logged once, and no box is raised round after round.
TEST_F(VspManagerTest, AWatchCloseThatFailsIsLoggedOncePerSpell)
{
    ASSERT_TRUE(daemon.install("COM5"));
    WatchedDevice device(loop, "127.0.0.2");
    ASSERT_TRUE(device.ok());
    auto vsp = manager(true);
    connectToListener(*vsp, 0, "127.0.0.2");
    device.dataPort = listener->localEndpoint().port;
    std::vector<std::string> logs;
    vsp->setLogSink([&](const std::string& line) { logs.push_back(line); });
    const std::size_t messagesBefore = prompter.messages().size();
    Holder holder(daemon.runtime(), "COM5");
    ASSERT_TRUE(holder.ok);
    device.connectionState = 0;
    for (int i = 0; i < 5; ++i)
        loop.advance(kRound);
    EXPECT_EQ(prompter.messages().size(), messagesBefore) << testing::PrintToString(prompter.messages());
    EXPECT_EQ(std::count_if(logs.begin(), logs.end(),
                  [](const std::string& line) { return line.find("cannot be closed") != std::string::npos; }),
        1);
}

// Another row already connected to the same device and port: the warning,
// from the manager's own rows (no navigation panel here).
TEST_F(VspManagerTest, ASecondConnectionToTheSameDeviceAndPortIsWarnedAbout)
{
    ASSERT_TRUE(daemon.install("COM5"));
    ASSERT_TRUE(daemon.install("COM6"));
    auto vsp = manager();
    vsp->setNeighbours(nullptr);
    connectToListener(*vsp, 0, "127.0.0.2");
    const std::string port = std::to_string(listener->localEndpoint().port);
    vsp->selectRow(1);
    ASSERT_TRUE(vsp->clickSetting());
    vsp->chooseClient();
    vsp->controls().address = "127.0.0.2";
    vsp->controls().remoteHostPort = port;
    ASSERT_TRUE(vsp->clickSetting());
    EXPECT_FALSE(vsp->clickConnect());
    EXPECT_EQ(prompter.messages().back(),
        "Warning: This remote device has already established a connection with another virtual serial port!");
    EXPECT_EQ(linkState("COM6"), 0u);
}

TEST_F(VspManagerTest, ABadRemoteAddressIsRefusedAndNotStored)
{
    ASSERT_TRUE(daemon.install("COM5"));
    auto vsp = manager();
    vsp->selectRow(0);
    ASSERT_TRUE(vsp->clickSetting());
    vsp->chooseClient();
    vsp->controls().address = "300.1.2.3";
    vsp->controls().remoteHostPort = "4001";
    EXPECT_FALSE(vsp->clickSetting());
    EXPECT_EQ(prompter.messages().back(), "Invalid remote host IP address: 300.1.2.3");
    EXPECT_TRUE(vsp->editing());
    std::vector<common::NodeInfo> nodes;
    ASSERT_TRUE(common::ntSuccess(daemon.client().listNodes(nodes)));
    EXPECT_NE(nodes.at(0).remoteHostPort, common::networkPort(4001));
}

// A remembered connection that is down at start: ConnectNotice to the device
// with the port's local port, then timer 5 (two seconds) connects it.
TEST_F(VspManagerTest, ARememberedConnectionIsNoticedAndReconnectedByTimerFive)
{
    ASSERT_TRUE(daemon.install("COM5"));
    std::uint16_t port = 0;
    {
        auto probe = platform::TcpListener::listen(*platform::parseIpv4("127.0.0.2"), 0);
        ASSERT_TRUE(probe.ok());
        port = probe->localEndpoint().port;
    }
    ASSERT_EQ(daemon.devcon({ "set", "COM5", "--remote", "127.0.0.2:" + std::to_string(port), "--tcp", "--client",
                  "--raw", "--connect-at-start" }),
        0);
    writeDat("1 \r\n0 COM5 2130706434l " + std::to_string(port) + " 0 1 Connected 1 0 1024 COM5 127.0.0.2 "
        + std::to_string(port) + " \r\n");
    auto vsp = manager();
    ASSERT_TRUE(vsp->loaded());
    ASSERT_EQ(linkState("COM5"), 0u);
    vsp->checkConnectedPorts();
    ASSERT_EQ(neighbours.notices.size(), 1u);
    EXPECT_EQ(neighbours.notices[0].first, "127.0.0.2");
    auto listening = platform::TcpListener::listen(*platform::parseIpv4("127.0.0.2"), port);
    ASSERT_TRUE(listening.ok());
    loop.advance(1900ms);
    EXPECT_EQ(linkState("COM5"), 0u);
    loop.advance(200ms);
    EXPECT_EQ(linkState("COM5"), 1u);
    EXPECT_EQ(vsp->rows()[0].status, "Connected");
}

// Instance numbers past 0099 are ports of ours too: a daemon hosts up to 256.
TEST_F(VspManagerTest, PortsBeyondTheHundredthNodeAreListed)
{
    constexpr int kPorts = 102;
    for (int i = 0; i < kPorts; ++i) {
        std::string instance;
        ASSERT_TRUE(
            common::ntSuccess(daemon.client().installNode("ZORV\\Rure", "COM" + std::to_string(10 + i), instance)))
            << i;
    }
    auto vsp = manager();
    EXPECT_EQ(vsp->rows().size(), static_cast<std::size_t>(kPorts));
}

// The protocol chosen in Setting (and by name, as `vsp set --protocol` does)
// lands in the port's registry value, and the port's next open and connection
// speak it: Telnet negotiation first for RFC 2217, the application's bytes as
// they are for native framing.
TEST_F(VspManagerTest, TheChosenWireProtocolIsWrittenAndTheNextConnectionSpeaksIt)
{
    ASSERT_TRUE(daemon.install("COM5"));
    auto vsp = manager();
    // The test's panel keeps every text it was given, an earlier connection too.
    vsp->setNeighbours(nullptr);
    ASSERT_EQ(vsp->rows().size(), 1u);
    EXPECT_EQ(vsp->rows()[0].wireProtocol, WireProtocol::Native);
    EXPECT_EQ(wireValue("0000"), std::nullopt);
    auto listening = platform::TcpListener::listen(*platform::parseIpv4("127.0.0.1"), 0);
    ASSERT_TRUE(listening.ok());
    const std::string port = std::to_string(listening->localEndpoint().port);
    const std::vector<std::uint8_t> application { 'x', 0xFF };

    struct Case {
        WireProtocol wire;
        bool bySetting; // else by name
        std::vector<std::uint8_t> first; // what the server sees first
    };
    const Case cases[] = {
        { WireProtocol::Rfc2217, true, { 255, 251, 0 } }, // IAC WILL BINARY
        { WireProtocol::Native, false, application },
        { WireProtocol::Rfc2217, false, { 255, 251, 0 } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(wireProtocolName(c.wire)) + (c.bySetting ? " by Setting" : " by name"));
        vsp->selectRow(0);
        if (c.bySetting) {
            ASSERT_TRUE(vsp->clickSetting());
            vsp->chooseClient();
            vsp->controls().address = "127.0.0.1";
            vsp->controls().remoteHostPort = port;
            vsp->controls().cmdByte = false; // raw: native bytes go as they are
            vsp->controls().wireProtocol = c.wire;
            ASSERT_TRUE(vsp->clickSetting()) << testing::PrintToString(prompter.messages());
        } else {
            ASSERT_TRUE(vsp->setWireProtocol("COM5", c.wire));
        }
        EXPECT_EQ(wireValue("0000"), static_cast<std::uint32_t>(c.wire));
        EXPECT_EQ(vsp->rows()[0].wireProtocol, c.wire);
        EXPECT_EQ(vsp->controls().wireProtocol, c.wire);

        ASSERT_TRUE(vsp->clickConnect()) << testing::PrintToString(prompter.messages());
        auto app = platform::openSerialPort(daemon.runtime() + "/dev/COM5", platform::RealClock::instance());
        ASSERT_TRUE(app.ok());
        ASSERT_TRUE((*app)->write(application.data(), application.size()).ok());
        std::optional<platform::TcpSocket> peer;
        EXPECT_EQ(firstBytes(*listening, c.first.size(), peer), c.first);
        app->reset();
        ASSERT_TRUE(vsp->clickClose());
    }

    // A new manager shows what the host keeps.
    vsp.reset();
    vsp = manager();
    EXPECT_EQ(vsp->rows()[0].wireProtocol, WireProtocol::Rfc2217);
    EXPECT_FALSE(vsp->setWireProtocol("COM9", WireProtocol::Native));
    EXPECT_EQ(wireValue("0000"), 1u);
}

// Add writes the protocol chosen in the dialog to the new port; the dialog
// offers native framing, which a new port has.
TEST_F(VspManagerTest, AddGivesTheNewPortTheProtocolChosenInTheDialog)
{
    auto vsp = manager();
    dialogs.answer = 6;
    dialogs.wireAnswer = WireProtocol::Rfc2217;
    ASSERT_TRUE(vsp->clickAdd());
    EXPECT_EQ(dialogs.shownWire, WireProtocol::Native);
    ASSERT_EQ(vsp->rows().size(), 1u);
    EXPECT_EQ(vsp->rows()[0].entry.portName, "COM7");
    EXPECT_EQ(vsp->rows()[0].wireProtocol, WireProtocol::Rfc2217);
    EXPECT_EQ(wireValue("0000"), 1u);
    vsp->selectRow(0);
    EXPECT_EQ(vsp->controls().wireProtocol, WireProtocol::Rfc2217);

    // Left at native, nothing is written: the host's default stands.
    dialogs.answer = 7;
    dialogs.wireAnswer = WireProtocol::Native;
    ASSERT_TRUE(vsp->clickAdd());
    ASSERT_EQ(vsp->rows().size(), 2u);
    EXPECT_EQ(vsp->rows()[1].wireProtocol, WireProtocol::Native);
    EXPECT_EQ(wireValue("0001"), std::nullopt);
}
