#include "sim/devsim/setup.h"
#include "tests/sim/devsim/peer.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

using namespace sim::devsim;
using devsim_test::ip;

TEST(DevsimCommandLine, GeneratesDistinctDevicesOnConsecutiveAddresses)
{
    auto setup = parseCommandLine({ "--devices", "3", "--first-address", "127.0.0.254", "--fault", "2=twice" });
    ASSERT_TRUE(setup.ok()) << setup.error().message;
    ASSERT_EQ(setup->devices.size(), 3u);
    const char* addresses[] = { "127.0.0.254", "127.0.0.255", "127.0.1.0" };
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(setup->devices[i].settings.currentAddress, ip(addresses[i]));
        EXPECT_EQ(setup->devices[i].settings.name, "DS-000" + std::to_string(i + 1));
        EXPECT_EQ(formatMac(setup->devices[i].settings.mac), "02:44:53:00:00:0" + std::to_string(i + 1));
    }
    EXPECT_EQ(setup->devices[0].fault, FaultMode::None);
    EXPECT_EQ(setup->devices[1].fault, FaultMode::Twice);
    EXPECT_EQ(setup->options.unicastPort, 25124);
    EXPECT_EQ(setup->options.rebootTime, std::chrono::seconds(3));
}

TEST(DevsimCommandLine, ReadsOptions)
{
    auto setup = parseCommandLine({ "--reboot-time", "0.5", "--reboot-reply", "--tftp-port", "6969", "--group",
        "239.1.1.1", "--fault", "silent", "-v", "--firmware", "V9" });
    ASSERT_TRUE(setup.ok()) << setup.error().message;
    EXPECT_EQ(setup->devices.size(), 1u);
    EXPECT_EQ(setup->options.rebootTime, std::chrono::milliseconds(500));
    EXPECT_TRUE(setup->options.rebootReply);
    EXPECT_EQ(setup->options.tftpPort, 6969);
    EXPECT_EQ(setup->options.multicastGroup, ip("239.1.1.1"));
    EXPECT_TRUE(setup->options.verbose);
    EXPECT_EQ(setup->devices[0].fault, FaultMode::Silent);
    EXPECT_EQ(setup->devices[0].status.firmwareVersion, "V9");
}

TEST(DevsimCommandLine, RefusesBadArguments)
{
    const std::vector<std::vector<std::string>> bad = {
        { "--devices" },
        { "--devices", "x" },
        { "--devices", "0" }, // nothing to run
        { "--first-address", "127.0.0" },
        { "--first-address", "255.255.255.255", "--devices", "2" },
        { "--tftp-port", "0" },
        { "--group", "127.0.0.1" },
        { "--fault", "loud" },
        { "--fault", "3=silent" }, // only one device
        { "--reboot-time", "-1" },
        { "--firmware", "thirteen-char" },
        { "--nonsense" },
        { "--config", "/nonexistent/devsim.conf" },
    };
    for (const auto& args : bad)
        EXPECT_FALSE(parseCommandLine(args).ok()) << args.front() << (args.size() > 1 ? " " + args[1] : "");
}

TEST(DevsimConfigFile, SectionsOverrideTheDefaultsOfTheirPosition)
{
    testing_support::TempDir dir;
    dir.write("devsim.conf",
        "# two devices\n"
        "[device]\n"
        "name = Lab-1\n"
        "mac = 02:44:53:10:00:01\n"
        "address = 127.0.0.20\n"
        "baud = 9600\n"
        "data-bits = 7\n"
        "parity = even\n"
        "stop-bits = 1.5\n"
        "flow-control = hardware\n"
        "multicast-management = off\n"
        "smtp-events = 1F\n"
        "connection-state = 1\n"
        "tx-count = 0x10\n"
        "fault = short\n"
        "\n"
        "[device]\n"
        "  firmware = V7.1  \r\n");
    auto setup = parseCommandLine({ "--config", dir.file("devsim.conf"), "--devices", "1" });
    ASSERT_TRUE(setup.ok()) << setup.error().message;
    ASSERT_EQ(setup->devices.size(), 3u);
    const auto& first = setup->devices[0];
    EXPECT_EQ(first.settings.name, "Lab-1");
    EXPECT_EQ(formatMac(first.settings.mac), "02:44:53:10:00:01");
    EXPECT_EQ(first.settings.currentAddress, ip("127.0.0.20"));
    EXPECT_EQ(first.settings.baudCode, 5);
    EXPECT_EQ(first.settings.dataBitsCode, 2);
    EXPECT_EQ(first.settings.parityCode, 1);
    EXPECT_EQ(first.settings.stopBitsCode, 1);
    EXPECT_EQ(first.settings.flowControlCode, 1);
    EXPECT_FALSE(first.settings.multicastManagement);
    EXPECT_TRUE(first.settings.broadcastManagement);
    EXPECT_EQ(first.settings.smtpEvents, 0x1F);
    EXPECT_EQ(first.status.connectionState, 1);
    EXPECT_EQ(first.status.serialTxCount, 16u);
    EXPECT_EQ(first.fault, FaultMode::ShortReply);
    // The second keeps the defaults of device 2, the generated one those of device 3.
    EXPECT_EQ(setup->devices[1].settings.currentAddress, ip("127.0.0.11"));
    EXPECT_EQ(setup->devices[1].settings.name, "DS-0002");
    EXPECT_EQ(setup->devices[1].status.firmwareVersion, "V7.1");
    EXPECT_EQ(setup->devices[2].settings.currentAddress, ip("127.0.0.12"));
}

TEST(DevsimConfigFile, ReportsTheLineOfAnError)
{
    struct Case {
        std::string text;
        std::string message;
    };
    const Case cases[] = {
        { "[device]\nname = seventeen-chars-x\n", "line 2: name: longer than 16" },
        { "[device]\nbaud = 1000\n", "line 2: baud" },
        { "[device]\ncolour = blue\n", "line 2: unknown key" },
        { "name = x\n", "line 1: a setting before" },
        { "[devices]\n", "line 1: unknown section" },
        { "[device]\njust text\n", "line 2: expected key = value" },
        { "[device]\nmac = 02:44:53:10:00\n", "line 2: mac" },
        { "[device]\naddress = 127.0.0.300\n", "line 2: address" },
        { "[device]\nconnection-timeout = 21\n", "line 2: connection-timeout" },
    };
    for (const auto& c : cases) {
        auto parsed = parseConfigText(c.text, 0, ip("127.0.0.10"));
        ASSERT_FALSE(parsed.ok()) << c.text;
        EXPECT_NE(parsed.error().message.find(c.message), std::string::npos) << parsed.error().message;
    }
}

TEST(DevsimConfigFile, RefusesTwoDevicesOnOneAddressOrMac)
{
    testing_support::TempDir dir;
    dir.write("address.conf", "[device]\naddress = 127.0.0.11\n");
    auto sameAddress = parseCommandLine({ "--config", dir.file("address.conf"), "--devices", "1" });
    ASSERT_FALSE(sameAddress.ok());
    EXPECT_NE(sameAddress.error().message.find("share the address 127.0.0.11"), std::string::npos);
    // With a data port of its own it is the device server's second serial port.
    dir.write("ports.conf", "[device]\naddress = 127.0.0.11\ndata-port = 5001\n");
    EXPECT_TRUE(parseCommandLine({ "--config", dir.file("ports.conf"), "--devices", "1" }).ok());
    dir.write("mac.conf", "[device]\nmac = 02:44:53:00:00:02\n");
    auto sameMac = parseCommandLine({ "--config", dir.file("mac.conf"), "--devices", "1" });
    ASSERT_FALSE(sameMac.ok());
    EXPECT_NE(sameMac.error().message.find("share the MAC"), std::string::npos);
}

TEST(DevsimCommandLine, DataChannelOptionsForAllDevicesAndForOne)
{
    auto setup = parseCommandLine(
        { "--devices", "3", "--framing", "off", "--framing", "2=on", "--serial", "3=echo", "--reconnect-time", "0.5" });
    ASSERT_TRUE(setup.ok()) << setup.error().message;
    const bool framing[] = { false, true, false };
    const SerialMode serial[] = { SerialMode::Pty, SerialMode::Pty, SerialMode::Echo };
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(setup->devices[i].data.framing, framing[i]) << i;
        EXPECT_EQ(setup->devices[i].data.serial, serial[i]) << i;
    }
    EXPECT_EQ(setup->options.reconnectTime, std::chrono::milliseconds(500));

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>> {
             { "--framing", "maybe" }, { "--serial", "tty" }, { "--serial", "4=echo" }, { "--framing", "0=on" } }) {
        EXPECT_FALSE(parseCommandLine(bad).ok()) << bad[0] << " " << bad[1];
    }
}

TEST(DevsimConfigFile, FramingAndSerialKeys)
{
    auto devices = parseConfigText("[device]\nframing = off\nserial = echo\n[device]\n", 0, ip("127.0.0.10"));
    ASSERT_TRUE(devices.ok()) << devices.error().message;
    EXPECT_FALSE((*devices)[0].data.framing);
    EXPECT_EQ((*devices)[0].data.serial, SerialMode::Echo);
    EXPECT_TRUE((*devices)[1].data.framing) << "framed by default, as the port is";
    EXPECT_EQ((*devices)[1].data.serial, SerialMode::Pty);
    EXPECT_FALSE(parseConfigText("[device]\nserial = modem\n", 0, ip("127.0.0.10")).ok());
}
