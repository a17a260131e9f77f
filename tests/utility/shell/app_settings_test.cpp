#include "utility/shell/app_settings.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

using utility::shell::AppSettings;
using utility::shell::formatSettingsFile;
using utility::shell::parseSettingsFile;
using utility::shell::ParseStatus;

namespace {

// The default file, written out by hand from the file format rules.
const std::string kDefaultFile
    = "ZORV:1.6        // (0) Setting File Format Version\r\n"
      "QELTA_Logo      // (1) QELTA Logo File Name\r\n"
      "QELTA_Title     // (2) QELTA Title File Name\r\n"
      "10              // (3) (DM) Search Timer (100ms)\r\n"
      "15              // (4) (DM) Reset Timer (100ms)\r\n"
      "15              // (5) (DM) Reboot Timer (sec/unit)\r\n"
      "0               // (6) (DM) Use External Browser 0:disable 1:enable\r\n"
      "0               // (7) (DM) Search After Application Start 0:disable 1:enable\r\n"
      "10              // (8) (DM) Upgrade Timer 0:disable 1:enable\r\n"
      "C0A80001        // (9) (DM) Upgrade - TFTP Server IP\r\n"
      "zv.bin          // (10) (DM) Upgrade - TFTP File Name\r\n"
      "0               // (11) (VSP) Maximum Network TX Packet Size Setting 0:disable 1:enable\r\n"
      "3               // (12) (MON) Monitor Timer (sec)\r\n"
      "C0A80064        // (13) (DHCP) Start IP (Hex) \r\n"
      "C0A800C8        // (14) (DHCP) Maximal IP (Hex)\r\n"
      "C0A80001        // (15) (DHCP) Gateway IP (Hex)\r\n"
      "FFFFFF00        // (16) (DHCP) Netmask (Hex)\r\n"
      "08080808        // (17) (DHCP) DNS IP (Hex)\r\n"
      "C0A80002        // (18) (DHCP) Server IP (Hex)\r\n"
      "zv.bin          // (19) (DHCP) Boot File\r\n"
      "C:\\$            // (20) (TFTP) File Path\r\n"
      "0               // (21) (TERM1) Baud Rate 0 - 9: 1200|2400|4800|9600|14400|19200|38400|57600|115200|921600\r\n"
      "0               // (22) (TERM1) Data Bits 0 - 3: 8|7|6|5\r\n"
      "2               // (23) (TERM1) Parity Check 0: None\r\n"
      "0               // (24) (TERM1) Stop Bits 0: 1\r\n"
      "0               // (25) (TERM1) Flow Control 0 - 2: None|Xon-Xoff|Hardware\r\n"
      "0               // (26) (TERM1) Echo Test 0:disable 1:enable\r\n"
      "1000            // (27) (TERM1) Test Interval (ms)\r\n"
      "10              // (28) (TERM1) Test Data Length\r\n"
      "0               // (29) (TERM2) Baud Rate 0 - 9: 1200|2400|4800|9600|14400|19200|38400|57600|115200|921600\r\n"
      "0               // (30) (TERM2) Data Bits 0 - 3: 8|7|6|5\r\n"
      "2               // (31) (TERM2) Parity Check 0: None\r\n"
      "0               // (32) (TERM2) Stop Bits 0: 1\r\n"
      "0               // (33) (TERM2) Flow Control 0 - 2: None|Xon-Xoff|Hardware\r\n"
      "0               // (34) (TERM2) Echo Test 0:disable 1:enable\r\n"
      "1000            // (35) (TERM2) Test Interval (ms)\r\n"
      "10              // (36) (TERM2) Test Data Length\r\n"
      "0               // (37) VSP Connection Status Check Function 0:disable 1:enable\r\n"
      "0.0.0.0         // (38) Current selection of local host IP address\r\n";

// Settings that differ from the defaults in every item.
AppSettings everyItemChanged()
{
    AppSettings s;
    s.logoFileName = "My_Logo-2";
    s.titleFileName = "Title.v2";
    s.searchPeriod = 11;
    s.restorePeriod = 12;
    s.rebootPeriod = 13;
    s.useExternalBrowser = true;
    s.searchAtStart = true;
    s.upgradePeriod = 14;
    s.upgradeTftpServer = 0x0A000001;
    s.upgradeFileName = "fw.bin";
    s.maxTxPacketSizeSwitch = 1;
    s.monitorInterval = 5;
    s.dhcpStart = 0x0A000064;
    s.dhcpEnd = 0x0A0000C8;
    s.dhcpGateway = 0x0A0000FE;
    s.dhcpNetmask = 0xFFFF0000;
    s.dhcpDns = 0x01010101;
    s.dhcpServer = 0x0A000002;
    s.dhcpBootFile = "boot.img";
    s.tftpFilePath = "D:\\My Files\\fw";
    s.terminal[0] = { 1, 2, 3, 1, 2, true, 250, 64 };
    s.terminal[1] = { 9, 3, 4, 2, 1, true, 500, 128 };
    s.connectionCheckSwitch = 1;
    s.localHostAddress = "10.0.0.7";
    return s;
}

// The default file with line `item` replaced by `line` (without its "\r\n").
std::string withLine(int item, const std::string& line)
{
    std::string file;
    std::size_t start = 0;
    for (int i = 0; i < AppSettings::kItemCount; ++i) {
        const std::size_t end = kDefaultFile.find("\r\n", start) + 2;
        file += i == item ? line + "\r\n" : kDefaultFile.substr(start, end - start);
        start = end;
    }
    return file;
}

AppSettings parsedLine(int item, const std::string& line)
{
    AppSettings settings;
    EXPECT_EQ(parseSettingsFile(withLine(item, line), settings), ParseStatus::Ok) << line;
    return settings;
}

} // namespace

TEST(SettingsFile, DefaultsAreWrittenByteForByte)
{
    EXPECT_EQ(formatSettingsFile(AppSettings {}), kDefaultFile);
    AppSettings changed = everyItemChanged();
    changed.setDefaults();
    EXPECT_EQ(formatSettingsFile(changed), kDefaultFile);
}

TEST(SettingsFile, DefaultFileReadsBackToExactlyTheDefaults)
{
    AppSettings settings = everyItemChanged();
    ASSERT_EQ(parseSettingsFile(kDefaultFile, settings), ParseStatus::Ok);
    EXPECT_EQ(settings, AppSettings {});
}

TEST(SettingsFile, EveryItemSurvivesAWriteAndARead)
{
    const AppSettings original = everyItemChanged();
    const std::string file = formatSettingsFile(original);
    AppSettings settings;
    ASSERT_EQ(parseSettingsFile(file, settings), ParseStatus::Ok);
    EXPECT_EQ(settings, original);
    EXPECT_NE(file.find("\r\nD:\\My Files\\fw$ // (20) (TFTP) File Path\r\n"), std::string::npos);
    EXPECT_NE(file.find("\r\n0A0000C8        // (14)"), std::string::npos);
}

TEST(SettingsFile, AnyOtherVersionIsAMismatchAndLeavesTheSettingsAlone)
{
    for (const char* version : { "ZORV:1.5", "zorv:1.6", "ZORV:1.60", "ZORV:1.7", "XZORV:1.6" }) {
        AppSettings settings = everyItemChanged();
        EXPECT_EQ(parseSettingsFile(withLine(0, version), settings), ParseStatus::VersionMismatch) << version;
        EXPECT_EQ(settings, everyItemChanged()) << version;
    }
    AppSettings settings;
    EXPECT_EQ(parseSettingsFile(withLine(0, " ZORV:1.6"), settings), ParseStatus::VersionMismatch);
}

TEST(SettingsFile, ValueTextRules)
{
    // Text items stop at the first space and keep only letters, digits and . - \ : _
    EXPECT_EQ(parsedLine(1, "My Logo        // (1)").logoFileName, "My");
    EXPECT_EQ(parsedLine(1, "Logo(2)        // (1)").logoFileName, "Logo2");
    EXPECT_EQ(parsedLine(1, "a.b-c\\d:e_f!g#").logoFileName, "a.b-c\\d:e_fg");
    EXPECT_EQ(parsedLine(1, "   // (1)").logoFileName, "");
    EXPECT_EQ(parsedLine(38, "192.168.1.7    // (38)").localHostAddress, "192.168.1.7");
    // Decimal items take the leading number.
    EXPECT_EQ(parsedLine(3, "25abc").searchPeriod, 25);
    EXPECT_EQ(parsedLine(3, "abc25").searchPeriod, 0);
    EXPECT_EQ(parsedLine(3, "-7 // x").searchPeriod, -7);
    EXPECT_EQ(parsedLine(3, "99999999999999").searchPeriod, INT_MAX);
    EXPECT_EQ(parsedLine(3, "-99999999999999").searchPeriod, INT_MIN);
    EXPECT_EQ(parsedLine(35, "75").terminal[1].testIntervalMs, 75);
    // Boolean items: any non-zero number is set.
    EXPECT_TRUE(parsedLine(6, "2").useExternalBrowser);
    EXPECT_FALSE(parsedLine(6, "0").useExternalBrowser);
    EXPECT_FALSE(parsedLine(34, "yes").terminal[1].echo);
    EXPECT_TRUE(parsedLine(34, "1").terminal[1].echo);
}

TEST(SettingsFile, HexadecimalItems)
{
    struct Case {
        const char* text;
        std::uint32_t expected;
    };
    const Case cases[] = {
        { "a8c0", 0x0000A8C0 },
        { "c0a8FF01", 0xC0A8FF01 },
        { "C0A800019", 0xC0A80001 }, // nine digits: the first eight
        { "1", 0x00000001 },
        { "", 0x00000000 },
        { "C0A8G001", 0xC0A80064 }, // not hexadecimal: the item keeps its default
        { "192.168.", 0xC0A80064 },
    };
    for (const auto& c : cases)
        EXPECT_EQ(parsedLine(13, std::string(c.text) + "  // (13)").dhcpStart, c.expected) << c.text;
}

TEST(SettingsFile, TftpPathRunsToTheDollarAndMayHoldSpaces)
{
    EXPECT_EQ(parsedLine(20, "D:\\My Files\\fw$ // (20)").tftpFilePath, "D:\\My Files\\fw");
    EXPECT_EQ(parsedLine(20, "$").tftpFilePath, "");
    EXPECT_EQ(parsedLine(20, "/srv/tftp\r$  x").tftpFilePath, "/srv/tftp");
    AppSettings settings;
    EXPECT_EQ(parseSettingsFile(withLine(20, "C:\\ no dollar"), settings), ParseStatus::EndedEarly);
}

TEST(SettingsFile, LongValuesAreFollowedDirectlyByTheComment)
{
    AppSettings settings;
    settings.logoFileName = "ABCDEFGHIJKLMNO"; // 15 characters
    settings.titleFileName = "ABCDEFGHIJKLMNOP"; // 16 characters
    settings.tftpFilePath = "C:\\fourteen\\ch"; // 14, then "$"
    const std::string file = formatSettingsFile(settings);
    EXPECT_NE(file.find("\r\nABCDEFGHIJKLMNO // (1) QELTA"), std::string::npos);
    EXPECT_NE(file.find("\r\nABCDEFGHIJKLMNOP // (2) QELTA"), std::string::npos);
    EXPECT_NE(file.find("\r\nC:\\fourteen\\ch$ // (20)"), std::string::npos);
    AppSettings back;
    ASSERT_EQ(parseSettingsFile(file, back), ParseStatus::Ok);
    EXPECT_EQ(back, settings);
}

TEST(SettingsFile, EveryPrefixOfAFileEndsEarlyWithoutTouchingTheSettings)
{
    for (const std::string& file : { kDefaultFile, formatSettingsFile(everyItemChanged()) }) {
        for (std::size_t length = 0; length < file.size(); ++length) {
            // A copy of exactly that length, so a read past it is a heap error
            // under the address sanitizer.
            const std::string prefix = file.substr(0, length);
            AppSettings settings = everyItemChanged();
            settings.searchPeriod = 77;
            const ParseStatus status = parseSettingsFile(prefix, settings);
            ASSERT_NE(status, ParseStatus::Ok) << "length " << length;
            ASSERT_EQ(settings.searchPeriod, 77) << "length " << length;
        }
        AppSettings settings;
        EXPECT_EQ(parseSettingsFile(file, settings), ParseStatus::Ok);
    }
}
