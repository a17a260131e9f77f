// The manager against a real vorpild: ports installed, named, renamed and
// removed through the daemon; connections to real sockets; the watch in
// virtual time with a real UDP peer answering its queries.
#include "tests/utility/vsp/vsp_manager_fixture.h"

namespace {

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
