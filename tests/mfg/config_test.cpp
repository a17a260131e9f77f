#include "mfg/config_files.h"
#include "mfg/eeprom_mac.h"
#include "mfg/option_page.h"
#include "platform/text_file.h"
#include "tests/support/scripted_prompter.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using testing_support::ScriptedPrompter;
using testing_support::TempDir;

const char* const kOption = "/fw/loader.bin\n/fw/test.bin\n/fw/prod.bin\n/fw/eeprom.ini\n/log/fail.txt\n"
                            "192.168.0.55\n00A0B0C0D0E0\n00A0B0C0D0FF\n2\n";

struct SpeedCase {
    const char* com;
    int index;
    std::uint16_t base;
    int speed;
    int optionEntry; // the Option page's speed entry: 0 "921.6K", 1 "115.2K"
};

class ComFile : public testing::TestWithParam<SpeedCase> { };

TEST_P(ComFile, TestPageTakesPortAndSpeed)
{
    TempDir dir;
    dir.write("com.dat", GetParam().com);
    mfg::MfgSettings settings;
    ScriptedPrompter prompter;
    mfg::readItemAndComFiles(dir.path(), settings, prompter);
    EXPECT_EQ(settings.comIndex, GetParam().index);
    EXPECT_EQ(settings.LegacyBase, GetParam().base);
    EXPECT_EQ(settings.com_port_speed, GetParam().speed);
    EXPECT_TRUE(prompter.messages().empty());

    // The Option page shows the speed the run uses, and Apply keeps it.
    mfg::OptionPage page(dir.path(), settings, prompter, [](int n) { return n <= 5; });
    page.setUp();
    EXPECT_EQ(page.speedSelection, GetParam().optionEntry);
    page.typeMacStart("00A0B0C0D0E0");
    page.typeMacEnd("00A0B0C0D0FF");
    ASSERT_TRUE(page.apply());
    mfg::readItemAndComFiles(dir.path(), settings, prompter);
    EXPECT_EQ(settings.com_port_speed, GetParam().speed) << dir.read("com.dat");
}

INSTANTIATE_TEST_SUITE_P(Lines, ComFile,
    testing::Values(SpeedCase { "COM2\n921.6K", 1, 0x2F8, 1, 0 }, SpeedCase { "COM4\n115.2K", 3, 0x2E8, 0, 1 },
        SpeedCase { "COM5\n", 4, 0x3F8, 0, 1 }, SpeedCase { "COM3", 2, 0x3E8, 0, 1 },
        SpeedCase { "COM3\r\n921.6K", 2, 0x3E8, 1, 0 }, SpeedCase { "COM1\n9", 0, 0x3F8, 1, 0 }));

TEST(ComFile, MissingWarnsAndChoosesCom1)
{
    TempDir dir;
    mfg::MfgSettings settings;
    settings.comName = "COM7";
    settings.comIndex = 6;
    settings.com_port_speed = 1;
    ScriptedPrompter prompter;
    mfg::readItemAndComFiles(dir.path(), settings, prompter);
    EXPECT_EQ(settings.comName, "COM1");
    EXPECT_EQ(settings.comIndex, 0);
    EXPECT_EQ(settings.com_port_speed, 1); // keeps its value
    ASSERT_EQ(prompter.shown.size(), 1u);
    EXPECT_EQ(prompter.shown[0].text, "Can not find com.dat !!\nProgram will choose COM1 by default...");
    EXPECT_EQ(prompter.shown[0].title, "WARNING");
}

struct EraseCase {
    const char* line9;
    int testPageSeconds;
    int optionEntry;
};

class EraseChoice : public testing::TestWithParam<EraseCase> { };

TEST_P(EraseChoice, LineNineMapsToSeconds)
{
    TempDir dir;
    std::string text = kOption;
    text.replace(text.rfind("2\n"), 2, GetParam().line9);
    dir.write("Option.dat", text);
    mfg::MfgSettings settings;
    std::string result;
    ASSERT_TRUE(mfg::readOptionFileForTestPage(dir.path(), settings, result));
    EXPECT_EQ(settings.erase_wait_time, GetParam().testPageSeconds);
    ScriptedPrompter prompter;
    mfg::OptionPage page(dir.path(), settings, prompter, [](int) { return false; });
    page.setUp();
    EXPECT_EQ(page.eraseSelection, GetParam().optionEntry);
}

INSTANTIATE_TEST_SUITE_P(Lines, EraseChoice,
    testing::Values(EraseCase { "2\n", 8, 2 }, EraseCase { "7\n", 9, 3 }, EraseCase { "0", 6, 0 },
        EraseCase { "4\n", 10, 4 }, EraseCase { "", 9, 3 }));

TEST(OptionFile, TestPageReadsLinesAndReportsMissingFile)
{
    TempDir dir;
    mfg::MfgSettings settings;
    std::string result;
    EXPECT_FALSE(mfg::readOptionFileForTestPage(dir.path(), settings, result));
    EXPECT_EQ(result, "Option.dat can not be found ...\nPlease config parameters first in Optoin page !!\n");
    EXPECT_EQ(settings.erase_wait_time, 9);
    dir.write("Option.dat", kOption);
    ASSERT_TRUE(mfg::readOptionFileForTestPage(dir.path(), settings, result));
    EXPECT_EQ(settings.loaderPath, "/fw/loader.bin");
    EXPECT_EQ(settings.logPath, "/log/fail.txt");
    EXPECT_EQ(settings.clientAddress, "192.168.0.55");
    EXPECT_EQ(settings.endMac, "00A0B0C0D0FF");
}

TEST(OptionFile, OverlongAndTruncatedFilesStayInTheirLines)
{
    TempDir dir;
    dir.write("Option.dat", std::string(300, 'x') + "\n/b\n/c\n/d\n/e\n1.2.3.4\n" + std::string(40, 'A'));
    mfg::MfgSettings settings;
    std::string result;
    ASSERT_TRUE(mfg::readOptionFileForTestPage(dir.path(), settings, result));
    EXPECT_EQ(settings.loaderPath, std::string(128, 'x'));
    EXPECT_EQ(settings.testFirmwarePath, "/b");
    EXPECT_EQ(settings.clientAddress, "1.2.3.4");
    EXPECT_EQ(settings.currentMac, std::string(15, 'A'));
    EXPECT_EQ(settings.endMac, "");
    EXPECT_EQ(settings.erase_wait_time, 9);
}

TEST(ItemFile, FiveSelectsLoaderAndRamTest)
{
    TempDir dir;
    dir.write("item.dat", "5\n");
    dir.write("com.dat", "COM1\n115.2K");
    mfg::MfgSettings settings;
    ScriptedPrompter prompter;
    mfg::readItemAndComFiles(dir.path(), settings, prompter);
    EXPECT_EQ(settings.ItemMask, 5);
    const auto rows = mfg::selectedItems(settings.ItemMask);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_STREQ(mfg::kItemNames[rows[0]], "Download Boot Loader");
    EXPECT_STREQ(mfg::kItemNames[rows[1]], "RAM Test");
}

TEST(ItemSelection, MissingFileIsCreatedAsItemDatAndFoundAgain)
{
    TempDir dir;
    ScriptedPrompter prompter;
    mfg::ItemSelection dialog(dir.path(), prompter);
    dialog.open();
    EXPECT_EQ(prompter.messages(),
        std::vector<std::string>({ "Can not find item.dat !!\nThis program will select all items\nPlease click "
                                   "'OK' to create item.dat" }));
    EXPECT_EQ(dir.read("Item.dat"), "255");
    dialog.unselectAll();
    dialog.checked[0] = dialog.checked[2] = true;
    EXPECT_EQ(dialog.apply(), 5);
    EXPECT_EQ(dir.read("Item.dat"), "5\n");
    mfg::MfgSettings settings;
    mfg::readItemAndComFiles(dir.path(), settings, prompter);
    EXPECT_EQ(settings.ItemMask, 5);
}

struct MacCase {
    const char* start;
    const char* end;
    const char* message;
};

class ApplyMac : public testing::TestWithParam<MacCase> { };

TEST_P(ApplyMac, BadMacIsRefusedAndNothingSaved)
{
    TempDir dir;
    mfg::MfgSettings settings;
    ScriptedPrompter prompter;
    mfg::OptionPage page(dir.path(), settings, prompter, [](int n) { return n == 3; });
    page.setUp();
    prompter.shown.clear();
    page.typeMacStart(GetParam().start);
    page.typeMacEnd(GetParam().end);
    EXPECT_FALSE(page.apply());
    ASSERT_EQ(prompter.shown.size(), 1u);
    EXPECT_EQ(prompter.shown[0].text, GetParam().message);
    EXPECT_EQ(prompter.shown[0].title, "MAC ERROR");
    EXPECT_FALSE(platform::fileExists(dir.file("Option.dat")));
    EXPECT_FALSE(platform::fileExists(dir.file("com.dat")));
}

INSTANTIATE_TEST_SUITE_P(Fields, ApplyMac,
    testing::Values(MacCase { "00A0B0C0D0E", "00A0B0C0D0FF", "MAC start address must be 12 hexs !!" },
        MacCase { "00A0B0C0D0EG", "00A0B0C0D0FF", "MAC start address invalid !!" },
        MacCase { "00A0B0C0D0E0", "00A0B0C0D0F", "MAC end address must be 12 hexs !!" },
        MacCase { "00A0B0C0D0E0", "00A0B0C0D0F.", "MAC end address invalid !!" },
        // Such a range would be used up at once: every board would fail at
        // its EEPROM, after its whole flash.
        MacCase { "00A0B0C0D0F0", "00A0B0C0D0E0", "MAC start address is above the end address !!" }));

TEST(OptionPage, PathsStayAsWrittenAndApplySavesBothFiles)
{
    TempDir dir;
    dir.write("Option.dat", kOption);
    dir.write("com.dat", "COM3\n921.6K");
    mfg::MfgSettings settings;
    ScriptedPrompter prompter;
    mfg::OptionPage page(dir.path(), settings, prompter, [](int n) { return n == 1 || n == 3; });
    page.setUp();
    EXPECT_TRUE(prompter.messages().empty());
    EXPECT_EQ(page.loaderPath, "/fw/loader.bin");
    ASSERT_EQ(page.ports().size(), 2u);
    EXPECT_EQ(page.portSelection, 1);
    EXPECT_EQ(page.speedSelection, 0);
    page.typeMacStart("00a0b0c0d0e1");
    page.eraseSelection = 4;
    ASSERT_TRUE(page.apply());
    EXPECT_EQ(dir.read("Option.dat"),
        "/fw/loader.bin\n/fw/test.bin\n/fw/prod.bin\n/fw/eeprom.ini\n/log/fail.txt\n192.168.0.55\n"
        "00A0B0C0D0E1\n00A0B0C0D0FF\n4\n");
    EXPECT_EQ(settings.loaderPath, "/fw/loader.bin");
    EXPECT_EQ(dir.read("com.dat"), "COM3\n921.6K");
    EXPECT_EQ(settings.erase_wait_time, 10);
    EXPECT_EQ(settings.currentMac, "00A0B0C0D0E1");
    // The next run reads the new erase time.
    mfg::MfgSettings next;
    std::string result;
    ASSERT_TRUE(mfg::readOptionFileForTestPage(dir.path(), next, result));
    EXPECT_EQ(next.erase_wait_time, 10);
}

TEST(OptionPage, MissingFilesAndPortsWarnButGoOn)
{
    TempDir dir;
    mfg::MfgSettings settings;
    ScriptedPrompter prompter;
    mfg::OptionPage page(dir.path(), settings, prompter, [](int) { return false; });
    page.setUp();
    EXPECT_EQ(prompter.messages(),
        std::vector<std::string>(
            { "Option.dat can not be found ...\nPlease config parameters here !!", "Could not find any usable COM port",
                "Can not find com.dat !!\nProgram will select COM1 automatically..." }));
    EXPECT_EQ(page.eraseSelection, 3);
    EXPECT_EQ(page.speedSelection, 1); // the run's 115200 until com.dat says otherwise
}

TEST(OptionFile, BackslashPathsOfOlderFilesStillFindTheirFiles)
{
    TempDir dir;
    dir.write("loader.bin", "L");
    dir.write("odd\\name.bin", "O");
    std::string windowsStyle = dir.file("loader.bin");
    std::replace(windowsStyle.begin(), windowsStyle.end(), '/', '\\');
    dir.write("Option.dat",
        windowsStyle + "\n" + dir.file("odd\\name.bin") + "\n/fw/prod.bin\nC:\\fw\\eeprom.ini\n\n1.2.3.4\n\n\n3\n");
    mfg::MfgSettings settings;
    std::string result;
    ASSERT_TRUE(mfg::readOptionFileForTestPage(dir.path(), settings, result));
    EXPECT_EQ(settings.loaderPath, dir.file("loader.bin"));
    EXPECT_TRUE(platform::fileExists(settings.loaderPath));
    EXPECT_EQ(settings.testFirmwarePath, dir.file("odd\\name.bin")); // exists as written
    EXPECT_EQ(settings.productionFirmwarePath, "/fw/prod.bin");
    EXPECT_EQ(settings.eepromPath, "C:/fw/eeprom.ini");

    // The Option page shows them as the file holds them.
    ScriptedPrompter prompter;
    mfg::OptionPage page(dir.path(), settings, prompter, [](int) { return false; });
    page.setUp();
    EXPECT_EQ(page.loaderPath, windowsStyle);
}

TEST(OptionPage, PortCheckReportsSuccessAndFailure)
{
    TempDir dir;
    mfg::MfgSettings settings;
    ScriptedPrompter prompter;
    platform::FakeClock clock;
    mfg::DebugOutput trace;
    mfg::IspSession isp(clock, prompter, trace);
    mfg::OptionPage page(dir.path(), settings, prompter, [](int n) { return n == 2; });
    page.setUp();
    prompter.shown.clear();
    mfg::SerialLink failing(
        [](const std::string&) -> platform::Result<std::unique_ptr<platform::SerialPort>> {
            return platform::Error { "absent", 2 };
        },
        prompter);
    EXPECT_FALSE(page.checkPort(failing, isp));
    EXPECT_EQ(prompter.messages(),
        std::vector<std::string>({ "usb: hCOM == INVALID_HANDLE_VALUE", "Can not open the selected COM port" }));
    EXPECT_EQ(prompter.shown.back().icon, platform::MessageIcon::Error);
}

TEST(AppendLog, EntriesAreSeparatedByAnEmptyLine)
{
    TempDir dir;
    std::string first = "RAM test failed.\n";
    std::string second = "CPU test failed.\n";
    ASSERT_TRUE(mfg::AppendLog(dir.file("fail.txt"), "00A0B0C0D0E0", first));
    ASSERT_TRUE(mfg::AppendLog(dir.file("fail.txt"), "00A0B0C0D0E1", second));
    EXPECT_EQ(dir.read("fail.txt"), "[00A0B0C0D0E0]\nRAM test failed.\n\n\n[00A0B0C0D0E1]\nCPU test failed.\n\n\n");
    std::string result = "x\n";
    EXPECT_FALSE(mfg::AppendLog(dir.file("missing/dir/fail.txt"), "00A0B0C0D0E0", result));
    EXPECT_EQ(result, "x\nCan not open log file ...\nPlease check file directory of setting !!\n");
}

// The log's name comes from Option.dat, in a folder others may write to:
// what lies there under that name is never written through, never waited
// on, and a log that took nothing says so.
TEST(AppendLog, OnlyARegularFileTakesTheEntry)
{
    TempDir dir;
    dir.write("target", "kept\n");
    ASSERT_EQ(::symlink(dir.file("target").c_str(), dir.file("link.log").c_str()), 0);
    ASSERT_EQ(::mkfifo(dir.file("fifo.log").c_str(), 0600), 0);
    // A reader on the FIFO: a program that opened it would not block, and
    // would hand the entry to whoever reads.
    const int reader = ::open(dir.file("fifo.log").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    for (const std::string& path : { dir.file("link.log"), dir.file("fifo.log"), std::string("/dev/full") }) {
        SCOPED_TRACE(path);
        std::string result = "RAM test failed.\n";
        EXPECT_FALSE(mfg::AppendLog(path, "00A0B0C0D0E0", result));
        EXPECT_EQ(result, "RAM test failed.\nCan not open log file ...\nPlease check file directory of setting !!\n");
    }
    EXPECT_EQ(dir.read("target"), "kept\n");
    char byte = 0;
    EXPECT_LE(::read(reader, &byte, 1), 0) << "the FIFO got the entry";
    ::close(reader);
}

} // namespace

namespace {

struct ItemText {
    const char* text;
    int mask;
    bool warned;
};

class UnreadableItemFile : public testing::TestWithParam<ItemText> { };

TEST_P(UnreadableItemFile, SelectsEveryItemAfterAWarning)
{
    const ItemText& c = GetParam();
    TempDir dir;
    dir.write("item.dat", c.text);
    dir.write("com.dat", "COM1\n115.2K");
    const std::vector<std::string> warning = c.warned
        ? std::vector<std::string> { "item.dat unreadable: all items selected" }
        : std::vector<std::string> {};
    ScriptedPrompter prompter;
    mfg::MfgSettings settings;
    mfg::readItemAndComFiles(dir.path(), settings, prompter);
    EXPECT_EQ(settings.ItemMask, c.mask);
    EXPECT_EQ(prompter.messages(), warning);
    // "Test Item Selection" reads it the same way and leaves it until Apply.
    ScriptedPrompter dialogPrompter;
    mfg::ItemSelection dialog(dir.path(), dialogPrompter);
    dialog.open();
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(dialog.checked[i], ((c.mask >> i) & 1) != 0) << i;
    EXPECT_EQ(dialogPrompter.messages(), warning);
    EXPECT_EQ(dir.read("item.dat"), c.text);
}

INSTANTIATE_TEST_SUITE_P(Texts, UnreadableItemFile,
    testing::Values(ItemText { "abc", 255, true }, ItemText { "", 255, true }, ItemText { "300\n", 255, true },
        ItemText { "-1\n", 255, true }, ItemText { " 7\n", 7, false }, ItemText { "5x", 5, false },
        ItemText { "0\n", 0, false }));

TEST(OptionPage, ApplyWithoutAPortIsRefusedAndWritesNothing)
{
    // No port opens and com.dat names none (a com.dat naming an absent one
    // keeps it listed and selected).
    TempDir dir;
    dir.write("Option.dat", kOption);
    mfg::MfgSettings settings;
    ScriptedPrompter prompter;
    mfg::OptionPage page(dir.path(), settings, prompter, [](int) { return false; });
    page.setUp();
    prompter.shown.clear();
    page.typeMacStart("00A0B0C0D0E5");
    EXPECT_FALSE(page.apply());
    EXPECT_EQ(prompter.messages(), std::vector<std::string>({ "No COM port selected !!" }));
    EXPECT_EQ(page.focus(), mfg::OptionPage::Field::Port);
    EXPECT_FALSE(platform::fileExists(dir.file("com.dat")));
    EXPECT_EQ(dir.read("Option.dat"), kOption);
    EXPECT_EQ(settings.currentMac, "");
}

TEST(OptionPage, ThePortThisProgramHoldsIsListedAndStaysSelected)
{
    TempDir dir;
    dir.write("Option.dat", kOption);
    dir.write("com.dat", "COM3\n921.6K");
    mfg::MfgSettings settings;
    ScriptedPrompter prompter;
    // COM3 does not open: the sequence has it.
    mfg::OptionPage page(dir.path(), settings, prompter, [](int n) { return n == 1; });
    page.setPortInUse("COM3");
    page.setUp();
    ASSERT_EQ(page.ports().size(), 2u);
    EXPECT_EQ(page.ports()[page.portSelection].text, "COM3");
    // While the run goes on nothing is saved, and the port is not touched.
    page.setRunning(true);
    EXPECT_FALSE(page.apply());
    mfg::SerialLink link(
        [](const std::string&) -> platform::Result<std::unique_ptr<platform::SerialPort>> {
            ADD_FAILURE() << "the port check opened a port during a run";
            return platform::Error { "busy", 0 };
        },
        prompter);
    mfg::DebugOutput trace;
    mfg::IspSession isp(platform::RealClock::instance(), prompter, trace);
    EXPECT_FALSE(page.checkPort(link, isp));
    EXPECT_EQ(dir.read("Option.dat"), kOption);
    EXPECT_TRUE(prompter.messages().empty());
    page.setRunning(false);
    ASSERT_TRUE(page.apply());
    EXPECT_EQ(dir.read("com.dat"), "COM3\n921.6K");
}

TEST(ItemSelection, ApplyDuringARunWritesNothing)
{
    TempDir dir;
    dir.write("item.dat", "5\n");
    ScriptedPrompter prompter;
    mfg::ItemSelection dialog(dir.path(), prompter);
    dialog.open();
    dialog.setRunning(true);
    dialog.selectAll();
    EXPECT_EQ(dialog.apply(), -1);
    EXPECT_EQ(dir.read("item.dat"), "5\n");
}

} // namespace

// A file that cannot be saved (here a link in its place, which is never
// written through) leaves Apply unsuccessful: the operator was told, and
// the command line must not say 0 while the old values stay.
TEST(ApplySave, ASettingsFileThatCannotBeWrittenMakesApplyFail)
{
    for (const char* file : { "Option.dat", "com.dat" }) {
        SCOPED_TRACE(file);
        TempDir dir;
        dir.write("Option.dat", kOption);
        dir.write("com.dat", "COM3\n921.6K");
        dir.write("elsewhere", dir.read(file));
        ASSERT_EQ(::rename(dir.file(file).c_str(), dir.file("kept").c_str()), 0);
        ASSERT_EQ(::symlink(dir.file("elsewhere").c_str(), dir.file(file).c_str()), 0);
        mfg::MfgSettings settings;
        ScriptedPrompter prompter;
        mfg::OptionPage page(dir.path(), settings, prompter, [](int n) { return n == 3; });
        page.setUp();
        prompter.shown.clear();
        page.eraseSelection = 4;
        page.speedSelection = 1;
        EXPECT_FALSE(page.apply());
        ASSERT_FALSE(prompter.shown.empty());
        EXPECT_EQ(prompter.shown[0].title, "ERROR");
        EXPECT_EQ(dir.read("elsewhere"), dir.read("kept"));
    }

    TempDir dir;
    dir.write("elsewhere", "255");
    ASSERT_EQ(::symlink(dir.file("elsewhere").c_str(), dir.file("Item.dat").c_str()), 0);
    ScriptedPrompter prompter;
    mfg::ItemSelection dialog(dir.path(), prompter);
    dialog.open();
    prompter.shown.clear();
    dialog.unselectAll();
    EXPECT_LT(dialog.apply(), 0);
    EXPECT_EQ(prompter.shown.size(), 1u);
    EXPECT_EQ(dir.read("elsewhere"), "255");
}
