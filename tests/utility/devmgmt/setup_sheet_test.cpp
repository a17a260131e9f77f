#include "tests/support/scripted_prompter.h"
#include "tests/support/temp_dir.h"
#include "utility/devmgmt/setting_file.h"
#include "utility/devmgmt/setup_sheet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>

using namespace utility::devmgmt;
using testing_support::ScriptedPrompter;
using testing_support::TempDir;

namespace {

// The setting file of the device below, written out by hand.
const std::string kExpectedFile
    = "Lab-Gate_07              // ( 1) Device name\r\n"
      "00-60-E9-12-AB-CD        // ( 2) MAC address\r\n"
      "0                        // ( 3) Server/Client switch, 0: Server, 1: Client\r\n"
      "1                        // ( 4) DHCP function switch, 0: Disable, 1: Enable\r\n"
      "10.1.2.3                 // ( 5) Server dynamic listening IP\r\n"
      "192.168.0.50             // ( 6) Server static listening IP\r\n"
      "4001                     // ( 7) Server data listening Port\r\n"
      "25122                    // ( 8) Server broadcast listening Port\r\n"
      "25123                    // ( 9) Server mulitcast listening Port\r\n"
      "192.168.0.9              // (10) Reserved.\r\n"
      "6000                     // (11) Clinet destination Port\r\n"
      "1                        // (12) UDP Protocol, 0: Disable 1: Enable\r\n"
      "1                        // (13) Auto connect after reboot, 0: Disable 1: Enable\r\n"
      "0                        // (14) TCP Protocol, 0: Disable 1: Enable\r\n"
      "1                        // (15) Broadcast, 0: Disable 1: Enable\r\n"
      "0                        // (16) Multicast, 0: Disable 1: Enable\r\n"
      "255.255.0.0              // (17) Netmask\r\n"
      "10.1.0.1                 // (18) Gateway\r\n"
      "8.8.4.4                  // (19) DNS server\r\n"
      "12                       // (20) Connection timeout (min)\r\n"
      "250                      // (21) Transmission timer (ms)\r\n"
      "1                        // (22) Enable Accessible IP check function\r\n"
      "10.1.0.10                // (23) Accessible IP 1\r\n"
      "10.1.0.11                // (24) Accessible IP 2\r\n"
      "0.0.0.0                  // (25) Accessible IP 3\r\n"
      "172.16.5.4               // (26) Accessible IP 4\r\n"
      "mail.example.org         // (27) SMTP domain name\r\n"
      "gate@example.org         // (28) SMTP From Address\r\n"
      "ops@example.org          // (29) SMTP To Address 1\r\n"
      "night@example.org        // (30) SMTP To Address 2\r\n"
      "x@y.z                    // (31) SMTP To Address 3\r\n"
      "                         // (32) SMTP username\r\n"
      "                         // (33) SMTP password\r\n"
      "1500                     // (34) SMTP event enable bits\r\n"
      "collector.example.org    // (35) Destination host name / IP\r\n"
      "5                        // (36) Baud rate(bps), 0: 921600, 1: 115200, 2: 57600, 3: 38400, 4: 19200, 5: 9600, "
      "6: 4800, 7: 2400, 8: 1200\r\n"
      "3                        // (37) Data bits, 0: 5bits, 1: 6bits, 2: 7bits, 3: 8bits\r\n"
      "2                        // (38) Parity, 0: Odd, 1: Even, 2: None\r\n"
      "1                        // (39) Stop bits, 0: 1bit, 1: 1.5bits\r\n"
      "1                        // (40) Flow Control, 0: Xon/Xoff, 1: Hardware, 2: None\r\n"
      "2                        // (41) RS-485 mode, 0: Sleep, 1:Single-half, 2: Single-half or double-full-slave, 3: "
      "Double-full-master\r\n"
      "10.1.0.2                 // (42) Firmware Upgrade - TFTP server IP\r\n"
      "fw_v2.bin                // (43) Firmware Upgrade - Runtime code filename\r\n";

void put(DeviceEntry& entry, std::size_t at, std::initializer_list<std::uint8_t> bytes)
{
    std::copy(bytes.begin(), bytes.end(), entry.record.begin() + static_cast<std::ptrdiff_t>(at));
}

void putText(DeviceEntry& entry, std::size_t at, const std::string& text)
{
    std::memcpy(entry.record.data() + at, text.data(), text.size());
}

// A QueryReply with every item set, its bytes laid out by offset.
DeviceEntry fullDevice()
{
    DeviceEntry entry;
    entry.length = 438;
    putText(entry, 0, "ZORVVROZ");
    put(entry, 8, { 0x01, 0x02 }); // auto connect
    putText(entry, 10, "Lab-Gate_07");
    put(entry, 26, { 0x00, 0x60, 0xE9, 0x12, 0xAB, 0xCD });
    put(entry, 32, { 0x59, 12 }); // DHCP, accessible-IP check, UDP, broadcast; timeout
    put(entry, 34, { 10, 1, 2, 3, 192, 168, 0, 50, 0x0F, 0xA1, 0x62, 0x22, 0x62, 0x23 });
    put(entry, 48, { 192, 168, 0, 9, 0x17, 0x70, 255, 255, 0, 0, 10, 1, 0, 1, 8, 8, 4, 4 });
    put(entry, 66, { 0x2B, 0x45, 2, 1, 0x00, 0xFA }); // serial codes, state connected, timer 250
    put(entry, 72, { 10, 1, 0, 10, 10, 1, 0, 11, 0, 0, 0, 0, 172, 16, 5, 4 });
    putText(entry, 88, "mail.example.org");
    putText(entry, 124, "gate@example.org");
    putText(entry, 160, "ops@example.org");
    putText(entry, 196, "night@example.org");
    putText(entry, 232, "x@y.z");
    put(entry, 268, { 0x00, 0x15 }); // cold start, authentication fail, password change
    putText(entry, 270, "collector.example.org");
    put(entry, 306, { 10, 1, 0, 2 });
    putText(entry, 310, "fw_v2.bin");
    return entry;
}

// A device with nothing but its header, name, MAC and address.
DeviceEntry plainDevice(const std::string& name = "")
{
    DeviceEntry entry;
    entry.length = 438;
    putText(entry, 0, "ZORVVROZ");
    put(entry, 8, { 0x01 });
    putText(entry, 10, name);
    put(entry, 26, { 0x02, 0x44, 0x53, 0x00, 0x00, 0x07 });
    put(entry, 32, { 0x05 }); // TCP, broadcast
    put(entry, 34, { 127, 0, 0, 10 });
    put(entry, 42, { 0x13, 0x88 });
    put(entry, 52, { 0x13, 0x88 });
    return entry;
}

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

void writeAll(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

struct SheetTest : ::testing::Test {
    ScriptedPrompter prompter;
    SetupSheet sheet { prompter };
    TempDir dir;
    std::string path(const std::string& name) const { return dir.path() + "/" + name; }
    int count(const std::string& message) const
    {
        int n = 0;
        for (const auto& text : prompter.messages())
            n += text == message;
        return n;
    }
};

} // namespace

TEST_F(SheetTest, OpensWithTheRowNameRuleAndTheMacAsShown)
{
    sheet.open(plainDevice(), 4);
    EXPECT_EQ(sheet.value(Item::DeviceName), "ZIR5");
    EXPECT_EQ(sheet.value(Item::MacAddress), "02-44-53-00-00-07");
    sheet.open(fullDevice(), 0);
    EXPECT_EQ(sheet.value(Item::DeviceName), "Lab-Gate_07");
    EXPECT_EQ(sheet.value(Item::MacAddress), "00-60-E9-12-AB-CD");
    EXPECT_TRUE(sheet.controls().dynamicIpShown);
    EXPECT_TRUE(sheet.controls().autoConnectEnabled); // server with UDP
}

TEST_F(SheetTest, SavesAll43ItemsByteForByteAndLoadsThemBack)
{
    sheet.open(fullDevice(), 0);
    ASSERT_TRUE(sheet.saveTo(path("a.txt")));
    EXPECT_EQ(readAll(path("a.txt")), kExpectedFile);
    EXPECT_EQ(prompter.messages().back(), "File saved.");
    EXPECT_EQ(prompter.shown.back().title, "File Info");

    SetupSheet other(prompter);
    other.open(plainDevice("other"), 2);
    ASSERT_TRUE(other.loadFrom(path("a.txt")));
    EXPECT_EQ(count("Item is empty!!"), 0);
    for (int item = 1; item <= kItemCount; ++item) {
        const auto index = static_cast<std::size_t>(item - 1);
        if (item == 2)
            EXPECT_EQ(other.values().values[index], "02-44-53-00-00-07"); // never from the file
        else if (item == 5)
            EXPECT_EQ(other.values().values[index], "127.0.0.10"); // never applied
        else
            EXPECT_EQ(other.values().values[index], sheet.values().values[index]) << "item " << item;
    }
}

TEST_F(SheetTest, SavingOverALongerFileKeepsItsTailAndLoadingIgnoresIt)
{
    const std::string tail = "old line 44 that loading must never read\r\nZZZZ\r\n";
    writeAll(path("b.txt"), std::string(kExpectedFile.size(), 'x') + tail);
    sheet.open(fullDevice(), 0);
    ASSERT_TRUE(sheet.saveTo(path("b.txt")));
    EXPECT_EQ(readAll(path("b.txt")), kExpectedFile + tail);

    SetupSheet other(prompter);
    other.open(plainDevice("other"), 0);
    ASSERT_TRUE(other.loadFrom(path("b.txt")));
    EXPECT_EQ(other.value(Item::FirmwareFile), "fw_v2.bin");
    EXPECT_EQ(count("Item is empty!!"), 0);
}

TEST_F(SheetTest, AValueOf24CharactersIsFollowedDirectlyByTheCommentAndLoadsWhole)
{
    sheet.open(fullDevice(), 0);
    const std::string host = "abcdefghijklmnopqrstuvwx"; // 24
    sheet.edit(Item::DestinationHost, host);
    ASSERT_TRUE(sheet.saveTo(path("c.txt")));
    EXPECT_NE(readAll(path("c.txt")).find("\r\n" + host + " // (35)"), std::string::npos);
    SetupSheet other(prompter);
    other.open(plainDevice(), 0);
    other.loadFrom(path("c.txt"));
    EXPECT_EQ(other.value(Item::DestinationHost), host);
}

TEST_F(SheetTest, EventValue0100LoadsAsColdStartOnly)
{
    for (const auto& [text, bits] : std::vector<std::pair<std::string, unsigned>> {
             { "0100", 0x01 }, { "1F00", 0x1F }, { "0001", 0x00 }, { "00FF", 0x00 }, { "FFFF", 0x1F }, { "1", 0 } }) {
        SCOPED_TRACE(text);
        sheet.open(fullDevice(), 0);
        ASSERT_TRUE(sheet.setFileValue(34, text));
        ASSERT_TRUE(sheet.submit());
        // Bits 0..4 sit in the low byte of the big-endian field.
        EXPECT_EQ(sheet.setConfig().bytes[269], bits);
        EXPECT_EQ(sheet.setConfig().bytes[268], 0);
    }
}

TEST_F(SheetTest, TheFilesMacNeverReachesSetConfig)
{
    std::string file = kExpectedFile;
    file.replace(file.find("00-60-E9-12-AB-CD"), 17, "AA-BB-CC-DD-EE-FF");
    writeAll(path("d.txt"), file);
    sheet.open(plainDevice("target"), 0);
    ASSERT_TRUE(sheet.loadFrom(path("d.txt")));
    EXPECT_EQ(sheet.value(Item::MacAddress), "02-44-53-00-00-07");
    ASSERT_TRUE(sheet.submit());
    const std::uint8_t mac[] = { 0x02, 0x44, 0x53, 0x00, 0x00, 0x07 };
    EXPECT_TRUE(std::equal(mac, mac + 6, sheet.setConfig().bytes.begin() + 26));
}

TEST_F(SheetTest, EmptyItemsAreReportedOncePerAppliedItemAndLeftUnchanged)
{
    // No SMTP texts: items 27..31 are empty; 32 and 33 are always empty but
    // never applied.
    DeviceEntry device = fullDevice();
    std::fill(device.record.begin() + 88, device.record.begin() + 268, 0);
    sheet.open(device, 0);
    ASSERT_TRUE(sheet.saveTo(path("e.txt")));
    SetupSheet other(prompter);
    other.open(fullDevice(), 0);
    ASSERT_TRUE(other.loadFrom(path("e.txt")));
    EXPECT_EQ(count("Item is empty!!"), 5);
    EXPECT_EQ(other.value(Item::SmtpDomain), "mail.example.org");
}

TEST_F(SheetTest, FilesCutShortOrWithoutLineEndsNeverReadPastTheirEnd)
{
    // Every prefix of a valid file, each in a buffer of exactly its size so
    // that a read past the end shows under the address sanitizer.
    for (std::size_t size = 0; size <= kExpectedFile.size(); size += 7) {
        auto buffer = std::make_unique<char[]>(size);
        std::memcpy(buffer.get(), kExpectedFile.data(), size);
        const auto values = readSettingValues({ buffer.get(), size });
        const std::string firstLine = kExpectedFile.substr(0, std::min<std::size_t>(size, 11));
        EXPECT_EQ(values[0], firstLine.substr(0, firstLine.find(' ')));
    }
    // Cut in the middle of line 3: items 1 and 2 read, 3 is a part, the rest empty.
    const std::string cut = kExpectedFile.substr(0, kExpectedFile.find("// ( 3)") - 30);
    const auto values = readSettingValues(cut);
    EXPECT_EQ(values[0], "Lab-Gate_07");
    EXPECT_EQ(values[1], "00-60-E9-12-AB-CD");
    EXPECT_EQ(values[3], "");
    // A value without a CR after it ends the file.
    const auto single = readSettingValues("NoLineEnd");
    EXPECT_EQ(single[0], "NoLineEnd");
    EXPECT_EQ(single[1], "");
    // A hand-written line without comment does not swallow the next line.
    const auto bare = readSettingValues("name\r\nMAC\r\n1\r\n");
    EXPECT_EQ(bare[0], "name");
    EXPECT_EQ(bare[2], "1");

    writeAll(path("f.txt"), cut);
    sheet.open(fullDevice(), 0);
    ASSERT_TRUE(sheet.loadFrom(path("f.txt")));
    EXPECT_EQ(sheet.value(Item::Netmask), "255.255.0.0"); // not reached: unchanged
}

TEST_F(SheetTest, FileFailures)
{
    sheet.open(plainDevice(), 0);
    // A space in the name: nothing written, and a file the save created is removed.
    sheet.edit(Item::DeviceName, "two words");
    EXPECT_FALSE(sheet.saveTo(path("new.txt")));
    EXPECT_FALSE(std::ifstream(path("new.txt")).good());
    EXPECT_EQ(prompter.messages().back(), kNameRefused);
    writeAll(path("old.txt"), "keep me");
    EXPECT_FALSE(sheet.saveTo(path("old.txt")));
    EXPECT_EQ(readAll(path("old.txt")), "keep me");

    EXPECT_FALSE(sheet.saveTo(path("missing-dir/x.txt")));
    EXPECT_EQ(prompter.messages().back(), "Failed to open file" + path("missing-dir/x.txt"));
    EXPECT_EQ(prompter.count("beep"), 1);
    EXPECT_FALSE(sheet.loadFrom(path("nothing.txt")));
    EXPECT_EQ(prompter.messages().back(), "Failed to open file" + path("nothing.txt"));

    writeAll(path("big.txt"), std::string(50001, 'a'));
    EXPECT_FALSE(sheet.loadFrom(path("big.txt")));
    EXPECT_EQ(prompter.messages().back(), "File size is too large!!");
    writeAll(path("limit.txt"), kExpectedFile + std::string(50000 - kExpectedFile.size(), 'a'));
    EXPECT_TRUE(sheet.loadFrom(path("limit.txt")));

    // The dialogs propose their names; a cancelled dialog does nothing.
    prompter.fileAnswers = { "", "" };
    sheet.clickSave();
    sheet.clickLoad();
    const auto& save = prompter.shown[prompter.shown.size() - 2];
    EXPECT_EQ(save.kind, "save");
}

TEST_F(SheetTest, SubmitChecksTheNameAndBothPorts)
{
    struct Case {
        Item item;
        std::string value;
        const char* message; // nullptr: accepted
    };
    const Case cases[] = {
        { Item::DeviceName, "has space", kNameRefused },
        // The control cuts at 16 and a file's longer name is refused when
        // loaded, so Submit sends the 16 characters shown.
        { Item::DeviceName, "seventeen-chars-x", nullptr },
        { Item::DeviceName, "sixteen-chars-xx", nullptr },
        { Item::DataPort, "80", kPortRefused },
        { Item::DataPort, "1023", kPortRefused },
        { Item::DataPort, "1024", nullptr },
        { Item::DataPort, "65536", kPortRefused },
        { Item::ClientDestinationPort, "65535", nullptr },
        { Item::ClientDestinationPort, "0", kPortRefused },
        { Item::ClientDestinationPort, "abc", kPortRefused },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        sheet.open(fullDevice(), 0);
        const std::size_t before = prompter.shown.size();
        sheet.setFileValue(static_cast<int>(c.item), c.value);
        if (c.item == Item::DeviceName)
            sheet.edit(c.item, c.value); // the control itself cuts at 16
        EXPECT_EQ(sheet.submit(), c.message == nullptr);
        if (c.item == Item::DeviceName && c.message == nullptr) {
            EXPECT_EQ(parseItems(sheet.setConfig())[Item::DeviceName], c.value.substr(0, 16));
        }
        if (c.message) {
            ASSERT_EQ(prompter.shown.size(), before + 1);
            EXPECT_EQ(prompter.shown.back().text, c.message);
            EXPECT_EQ(prompter.shown.back().title, c.item == Item::DeviceName ? "Error Info" : "Searching Result");
        }
    }
}

TEST_F(SheetTest, SetConfigFixesItems8And9AndCarries42And43)
{
    sheet.open(fullDevice(), 0);
    ASSERT_TRUE(sheet.submit());
    const auto& bytes = sheet.setConfig().bytes;
    EXPECT_EQ(bytes[8], 0x02);
    EXPECT_EQ(bytes[9], 0x03); // bit 0 always, bit 1 auto connect
    EXPECT_EQ((bytes[44] << 8) | bytes[45], 25122);
    EXPECT_EQ((bytes[46] << 8) | bytes[47], 25123);
    EXPECT_EQ(std::vector<int>(bytes.begin() + 306, bytes.begin() + 310), (std::vector<int> { 10, 1, 0, 2 }));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data()) + 310), "fw_v2.bin");
    EXPECT_EQ(bytes[69], 0); // connection state never sent
}

TEST_F(SheetTest, NetworkPageRules)
{
    sheet.open(fullDevice(), 0); // server, UDP, auto connect on
    // Neither data packet type nor management packet type can be both off.
    sheet.clickUdp(false);
    EXPECT_EQ(sheet.value(Item::Tcp), "1");
    EXPECT_EQ(sheet.value(Item::AutoConnect), "0");
    EXPECT_FALSE(sheet.controls().autoConnectEnabled);
    sheet.clickTcp(false);
    EXPECT_EQ(sheet.value(Item::Udp), "1");
    EXPECT_TRUE(sheet.controls().autoConnectEnabled);
    sheet.clickTcp(true);
    EXPECT_EQ(sheet.value(Item::Udp), "0");
    sheet.clickBroadcast(false);
    EXPECT_EQ(sheet.value(Item::Multicast), "1");
    sheet.clickMulticast(false);
    EXPECT_EQ(sheet.value(Item::Broadcast), "1");
    // A file cannot switch both off either.
    sheet.setFileValue(12, "0");
    sheet.setFileValue(14, "0");
    EXPECT_NE(sheet.value(Item::Udp), sheet.value(Item::Tcp));
    sheet.setFileValue(15, "0");
    sheet.setFileValue(16, "0");
    EXPECT_TRUE(sheet.value(Item::Broadcast) == "1" || sheet.value(Item::Multicast) == "1");

    // One switch set alone acts as its click.
    sheet.setFileValue(12, "1");
    EXPECT_EQ(sheet.value(Item::Udp), "1");
    EXPECT_EQ(sheet.value(Item::Tcp), "0");
    sheet.setFileValue(14, "1");
    EXPECT_EQ(sheet.value(Item::Udp), "0");
    EXPECT_EQ(sheet.value(Item::Tcp), "1");

    // Client mode clears auto connect whatever UDP says.
    sheet.clickUdp(true);
    sheet.edit(Item::AutoConnect, "1");
    EXPECT_EQ(sheet.value(Item::AutoConnect), "1");
    sheet.chooseClient(true);
    EXPECT_EQ(sheet.value(Item::AutoConnect), "0");
    EXPECT_FALSE(sheet.controls().autoConnectEnabled);
    EXPECT_FALSE(sheet.controls().dataPortEnabled);
    EXPECT_TRUE(sheet.controls().destinationEnabled);
    sheet.edit(Item::AutoConnect, "1");
    EXPECT_EQ(sheet.value(Item::AutoConnect), "0");
    sheet.setFileValue(13, "1"); // from a file: the page rules clear it again
    EXPECT_EQ(sheet.value(Item::AutoConnect), "0");
    ASSERT_TRUE(sheet.submit());
    EXPECT_EQ(sheet.setConfig().bytes[9] & 0x02, 0);

    // DHCP swaps the two address fields.
    sheet.setDhcp(false);
    EXPECT_FALSE(sheet.controls().dynamicIpShown);
    sheet.setFileValue(4, "1");
    EXPECT_TRUE(sheet.controls().dynamicIpShown);
    sheet.setFileValue(4, "7"); // no such list entry: unchanged
    EXPECT_EQ(sheet.value(Item::Dhcp), "1");
}

namespace {

// kExpectedFile with the value of line `item` replaced.
std::string withValue(int item, const std::string& value)
{
    std::string file = kExpectedFile;
    std::size_t at = 0;
    for (int line = 1; line < item; ++line)
        at = file.find('\n', at) + 1;
    const std::size_t end = file.find(' ', at);
    file.replace(at, end - at, value);
    return file;
}

std::string lfOnly(std::string text)
{
    std::erase(text, '\r');
    return text;
}

} // namespace

TEST_F(SheetTest, LinesEndedByLfAloneLoadAsCrLfLinesDoAndSavingKeepsCrLf)
{
    writeAll(path("crlf.txt"), kExpectedFile);
    writeAll(path("lf.txt"), lfOnly(kExpectedFile));
    sheet.open(plainDevice("Other"), 0);
    ASSERT_TRUE(sheet.loadFrom(path("crlf.txt")));
    const DeviceItems fromCrLf = sheet.values();
    sheet.open(plainDevice("Other"), 0);
    ASSERT_TRUE(sheet.loadFrom(path("lf.txt")));
    EXPECT_EQ(sheet.values(), fromCrLf);
    EXPECT_EQ(sheet.value(Item::FirmwareFile), "fw_v2.bin");
    EXPECT_EQ(count("Item is empty!!"), 0);

    ASSERT_TRUE(sheet.saveTo(path("saved.txt")));
    const std::string saved = readAll(path("saved.txt"));
    EXPECT_EQ(lfOnly(saved).size() + 43, saved.size()) << "every line ends in CR LF";

    // A lone CR ends a line too, without eating the next value's first byte.
    std::string crOnly = kExpectedFile;
    std::erase(crOnly, '\n');
    EXPECT_EQ(readSettingValues(crOnly), readSettingValues(kExpectedFile));
}

TEST_F(SheetTest, WhatIsNoRegularFileCannotBeOpened)
{
    sheet.open(fullDevice(), 0);
    const DeviceItems before = sheet.values();
    for (const std::string& target : { dir.path(), std::string("/dev/null") }) {
        SCOPED_TRACE(target);
        const int beeps = prompter.count("beep");
        EXPECT_FALSE(sheet.loadFrom(target));
        EXPECT_EQ(prompter.messages().back(), "Failed to open file" + target);
        EXPECT_EQ(prompter.count("beep"), beeps + 1);
    }
    EXPECT_EQ(count("Item is empty!!"), 0);
    EXPECT_EQ(sheet.values(), before);
}

TEST_F(SheetTest, LoadedValuesTheControlsCannotHoldAreRefusedByName)
{
    struct Case {
        int item;
        std::string value;
        std::string message; // the start of the message naming the item
    };
    const Case cases[] = {
        { 17, "255.255.255.0.1.2.3.4", "Item 17 (Netmask): \"255.255.255.0.1.2.3.4\" is longer than 15 characters" },
        { 18, "10.1.0.300", "Item 18 (Gateway): \"10.1.0.300\" is not an IPv4 address" },
        { 1, "Twenty-characters-xx", "Item 1 (Device name): \"Twenty-characters-xx\" is longer than 16 characters" },
        { 27, std::string(37, 'd'), "Item 27 (SMTP domain name): \"" + std::string(37, 'd') + "\" is longer than 36" },
        { 36, "9", "Item 36 (Baud rate(bps)): \"9\" is not one of 0..8" },
        { 20, "21", "Item 20 (Connection timeout (min)): \"21\" is above 20" },
        { 42, "tftp.example", "Item 42 (Firmware Upgrade - TFTP server IP): \"tftp.example\" is not an IPv4" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.item);
        sheet.open(plainDevice("Before"), 0);
        const DeviceItems before = sheet.values();
        writeAll(path("f.txt"), withValue(c.item, c.value));
        ASSERT_TRUE(sheet.loadFrom(path("f.txt")));
        ASSERT_FALSE(prompter.messages().empty());
        EXPECT_EQ(prompter.messages().back().rfind(c.message, 0), 0u) << prompter.messages().back();
        // The item keeps what it showed; the others are loaded.
        EXPECT_EQ(sheet.values().values[static_cast<std::size_t>(c.item - 1)],
            before.values[static_cast<std::size_t>(c.item - 1)]);
        EXPECT_EQ(sheet.value(Item::SmtpTo3), "x@y.z");
        // What is shown is what is sent.
        ASSERT_TRUE(sheet.submit());
        EXPECT_EQ(parseItems(sheet.setConfig())[Item::Netmask], sheet.value(Item::Netmask));
        EXPECT_EQ(parseItems(sheet.setConfig())[Item::DeviceName], sheet.value(Item::DeviceName));
    }
    // Values at the limits load.
    sheet.open(plainDevice(), 0);
    writeAll(path("f.txt"), withValue(1, std::string(16, 'n')));
    ASSERT_TRUE(sheet.loadFrom(path("f.txt")));
    EXPECT_EQ(sheet.value(Item::DeviceName), std::string(16, 'n'));
    EXPECT_EQ(sheet.value(Item::Netmask), "255.255.0.0");
}

TEST(SettingValueProblem, TheCommandLineIsHeldToWhatTheSheetTakes)
{
    struct Case {
        int item;
        const char* value;
        bool fromFile; // refused when loaded from a file
        bool typed; // refused when given on the command line
    };
    const Case cases[] = {
        { 36, "8", false, false },
        { 36, "9", true, true },
        { 36, "1x", false, true },
        { 17, "foo", true, true },
        { 17, "255.255.255.0", false, false },
        { 12, "1", false, false },
        { 12, "2", false, true },
        { 7, "4001", false, false },
        { 7, "70000", false, true }, // Submit refuses it with its own message
        { 21, "70000", true, true },
        { 21, "65535", false, false },
        { 7, "40a", false, true },
        { 34, "1F00", false, false },
        { 34, "1F00F", false, true },
        { 35, "collector.example.org", false, false },
        { 43, "fw.bin", false, false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.item) + "=" + c.value);
        EXPECT_EQ(!settingValueProblem(c.item, c.value, false).empty(), c.fromFile);
        EXPECT_EQ(!settingValueProblem(c.item, c.value, true).empty(), c.typed);
    }
    EXPECT_EQ(settingItemName(36), "Baud rate(bps)");
    EXPECT_EQ(settingItemName(17), "Netmask");
}
