#include "sim/devsim/device.h"
#include "sim/devsim/device_config.h"
#include "tests/sim/devsim/peer.h"

#include <gtest/gtest.h>

#include <string>

using namespace sim::devsim;
using devsim_test::ip;

namespace {

DeviceConfig fullConfig()
{
    DeviceConfig c;
    c.name = "ABCDEFGHIJKLMNOP"; // 16 characters: no terminator
    c.mac = { 0x02, 0x44, 0x53, 0xA1, 0xB2, 0xC3 };
    c.autoConnect = true;
    c.clientMode = true;
    c.dhcp = false;
    c.accessCheck = true;
    c.udpData = true;
    c.tcpData = false;
    c.multicastManagement = false;
    c.broadcastManagement = true;
    c.connectionTimeout = 17;
    c.currentAddress = ip("127.0.0.10");
    c.staticAddress = ip("10.0.0.44");
    c.dataPort = 4001;
    c.destinationAddress = ip("192.168.7.8");
    c.destinationPort = 0xABCD;
    c.netmask = ip("255.255.255.0");
    c.gateway = ip("10.0.0.1");
    c.dns = ip("8.8.4.4");
    c.baudCode = 5; // 9600
    c.dataBitsCode = 2; // 7
    c.parityCode = 1; // even
    c.flowControlCode = 1; // hardware
    c.stopBitsCode = 2; // 2
    c.rs485Mode = 3;
    c.transmissionTimer = 0x1234;
    c.accessibleIps = { ip("1.2.3.4"), ip("5.6.7.8"), ip("9.10.11.12"), ip("13.14.15.16") };
    c.smtpDomain = "mail.example";
    c.smtpFrom = "from@example";
    c.smtpTo = { "a@example", "b@example", std::string(36, 'c') };
    c.smtpEvents = 0x001F;
    c.destinationHost = "host.example";
    c.upgradeServer = ip("127.0.0.1");
    c.upgradeFile = "fw.bin";
    return c;
}

} // namespace

TEST(DeviceConfigRecord, EncodesEveryFieldAtItsOffset)
{
    const auto r = encodeDeviceConfig(fullConfig(), opcode::kQueryReply, 1);
    ASSERT_EQ(r.size(), 438u);
    EXPECT_EQ(std::string(r.begin(), r.begin() + 8), "ZORVVROZ");
    EXPECT_EQ(r[8], 0x01);
    EXPECT_EQ(r[9], 0x02); // auto connect
    EXPECT_EQ(std::string(r.begin() + 10, r.begin() + 26), "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(r[26], 0x02);
    EXPECT_EQ(r[31], 0xC3);
    EXPECT_EQ(r[32], 0x80 | 0x10 | 0x08 | 0x01);
    EXPECT_EQ(r[33], 17);
    EXPECT_EQ((std::vector<int> { r[34], r[35], r[36], r[37] }), (std::vector<int> { 127, 0, 0, 10 }));
    EXPECT_EQ((std::vector<int> { r[38], r[39], r[40], r[41] }), (std::vector<int> { 10, 0, 0, 44 }));
    EXPECT_EQ(r[42], 0x0F); // 4001
    EXPECT_EQ(r[43], 0xA1);
    EXPECT_EQ(r[44], 0x62); // 25122
    EXPECT_EQ(r[45], 0x22);
    EXPECT_EQ(r[46], 0x62); // 25123
    EXPECT_EQ(r[47], 0x23);
    EXPECT_EQ(r[48], 192);
    EXPECT_EQ(r[52], 0xAB);
    EXPECT_EQ(r[53], 0xCD);
    EXPECT_EQ(r[57], 0);
    EXPECT_EQ(r[61], 1);
    EXPECT_EQ(r[62], 8);
    EXPECT_EQ(r[66], (5 << 3) | 2);
    EXPECT_EQ(r[67], (1 << 5) | (1 << 2) | 2);
    EXPECT_EQ(r[68], 3);
    EXPECT_EQ(r[69], 1); // connection state
    EXPECT_EQ(r[70], 0x12);
    EXPECT_EQ(r[71], 0x34);
    EXPECT_EQ(r[72], 1);
    EXPECT_EQ(r[87], 16);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r[88])), "mail.example");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r[124])), "from@example");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r[196])), "b@example");
    EXPECT_EQ(std::string(r.begin() + 232, r.begin() + 268), std::string(36, 'c')); // full field, no terminator
    EXPECT_EQ(r[268], 0x00); // event bits, big-endian
    EXPECT_EQ(r[269], 0x1F);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r[270])), "host.example");
    EXPECT_EQ(r[306], 127);
    EXPECT_EQ(r[309], 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r[310])), "fw.bin");
    EXPECT_EQ(r[437], 0);
}

TEST(DeviceConfigRecord, DecodesWhatItEncodes)
{
    const DeviceConfig original = fullConfig();
    auto decoded = decodeDeviceConfig(encodeDeviceConfig(original, opcode::kSetConfig, 0));
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(*decoded, original);
}

TEST(DeviceConfigRecord, ShortNamesAreZeroPaddedAndLongTextsCutAtTheField)
{
    DeviceConfig c;
    c.name = "Lab";
    c.upgradeFile = std::string(200, 'f');
    const auto r = encodeDeviceConfig(c, opcode::kQueryReply, 0);
    ASSERT_EQ(r.size(), 438u);
    EXPECT_EQ(r[12], 'b');
    for (std::size_t i = 13; i < 26; ++i)
        EXPECT_EQ(r[i], 0) << i;
    EXPECT_EQ(std::string(r.begin() + 310, r.end()), std::string(128, 'f'));
}

TEST(DeviceConfigRecord, RefusesRecordsShorterThan438Bytes)
{
    const auto r = encodeDeviceConfig(DeviceConfig {}, opcode::kSetConfig, 0);
    EXPECT_FALSE(decodeDeviceConfig(std::span(r).first(437)).ok());
}

TEST(FirmwareVersion, ComesFromTheMarkerOrTheFirstLine)
{
    struct Case {
        std::string image;
        std::string version;
    };
    const Case cases[] = {
        { "V2.1.0\nrest of the image", "V2.1.0" },
        { "  padded  \r\nx", "padded" },
        { "a-very-long-first-line-here\n", "a-very-long-" },
        { std::string("\x01\x02V3\x7F.0\0tail", 12), "V3.0" },
        { std::string("\0\0binary VERSION=4.5.6-beta more", 31), "4.5.6-beta" },
        { "first line\nVERSION=9.9 wins", "9.9" },
        { "VERSION=123456789012345", "123456789012" },
        { std::string("\0\0\0", 3), "unknown" },
        { "", "unknown" },
    };
    for (const auto& c : cases) {
        const std::vector<std::uint8_t> bytes(c.image.begin(), c.image.end());
        EXPECT_EQ(versionFromFirmware(bytes), c.version) << c.image;
    }
}
