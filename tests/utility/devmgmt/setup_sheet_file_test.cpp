// The device setup sheet's setting files: line ends, what is no regular file,
// loaded values the controls cannot hold.
#include "tests/utility/devmgmt/setup_sheet_fixture.h"

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
