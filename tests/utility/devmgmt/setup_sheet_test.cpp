#include "tests/utility/devmgmt/setup_sheet_fixture.h"

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
