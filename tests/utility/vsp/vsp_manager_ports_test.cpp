// The manager against a real vorpild: COM number changes, held ports, the
// port file and the watch's failures.
#include "tests/utility/vsp/vsp_manager_fixture.h"

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
