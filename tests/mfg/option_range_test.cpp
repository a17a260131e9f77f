// The Option page's MAC range and COM port through Apply: a used-up range
// stays used up, a start above the end is refused, and a configured port
// that does not open now stays selected.

#include "mfg/eeprom_mac.h"
#include "mfg/option_page.h"
#include "platform/text_file.h"
#include "tests/support/scripted_prompter.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using testing_support::ScriptedPrompter;
using testing_support::TempDir;

struct RangeCase {
    const char* name;
    const char* stored; // Option.dat line 7
    const char* end;
    const char* shown; // the start field
    bool usedUp;
    const char* typed; // typed into the start field before Apply; null: nothing
    const char* saved; // line 7 after Apply
};

class UsedUpRange : public testing::TestWithParam<RangeCase> { };

TEST_P(UsedUpRange, StaysUsedUpThroughAnApplyOfTheSameTexts)
{
    const RangeCase& c = GetParam();
    TempDir dir;
    dir.write("Option.dat", std::string("a\nb\nc\nd\ne\n10.0.0.2\n") + c.stored + "\n" + c.end + "\n3\n");
    dir.write("com.dat", "COM1\n115.2K");
    mfg::MfgSettings settings;
    ScriptedPrompter prompter;
    mfg::OptionPage page(dir.path(), settings, prompter, [](int n) { return n == 1; });
    page.setUp();
    EXPECT_EQ(page.macStart(), c.shown);
    EXPECT_EQ(page.rangeUsedUp(), c.usedUp);
    if (c.typed)
        page.typeMacStart(c.typed);
    ASSERT_TRUE(page.apply());
    EXPECT_NE(dir.read("Option.dat").find(std::string("\n") + c.saved + "\n" + c.end + "\n"), std::string::npos)
        << dir.read("Option.dat");
    EXPECT_EQ(settings.currentMac, c.saved);
    std::string result;
    EXPECT_EQ(mfg::ValidateMacRange(settings, result), !c.usedUp || c.typed);
    // A run that used the range up leaves the mark in memory; the page shows
    // it again when it comes to the front.
    settings.currentMac = c.stored;
    page.activate();
    EXPECT_EQ(page.macStart(), c.shown);
    EXPECT_EQ(page.rangeUsedUp(), c.usedUp);
}

TEST(OptionPage, AnAbsentConfiguredPortStaysSelectedThroughApply)
{
    TempDir dir;
    dir.write("Option.dat", "a\nb\nc\nd\ne\n10.0.0.2\n00A0B0C0D0E0\n00A0B0C0D0FF\n3\n");
    dir.write("com.dat", "COM7\n921.6K");
    mfg::MfgSettings settings;
    ScriptedPrompter prompter;
    // COM1 (the console) and COM9 open; the station's COM7 is unplugged.
    mfg::OptionPage page(dir.path(), settings, prompter, [](int n) { return n == 1 || n == 9; });
    page.setUp();
    ASSERT_EQ(page.ports().size(), 3u);
    EXPECT_EQ(page.ports()[1].text, "COM7");
    EXPECT_FALSE(page.ports()[1].present);
    EXPECT_TRUE(page.ports()[0].present && page.ports()[2].present);
    EXPECT_EQ(page.portSelection, 1);
    page.loaderPath = "other.bin";
    ASSERT_TRUE(page.apply());
    EXPECT_EQ(dir.read("com.dat"), "COM7\n921.6K");
    // Without com.dat the first entry is the choice, as always.
    dir.write("com.dat", "");
    ::unlink(dir.file("com.dat").c_str());
    mfg::OptionPage fresh(dir.path(), settings, prompter, [](int n) { return n == 1 || n == 9; });
    fresh.setUp();
    EXPECT_EQ(fresh.portSelection, 0);
    EXPECT_EQ(fresh.ports().size(), 2u);
}

TEST(OptionPage, AUsedUpRangeIsNotReopenedByChangingTheEndAndBack)
{
    TempDir dir;
    dir.write("Option.dat", "a\nb\nc\nd\ne\n10.0.0.2\n1000000000000\nFFFFFFFFFFFF\n3\n");
    dir.write("com.dat", "COM1\n115.2K");
    mfg::MfgSettings settings;
    ScriptedPrompter prompter;
    mfg::OptionPage page(dir.path(), settings, prompter, [](int n) { return n == 1; });
    page.setUp();
    page.typeMacEnd("FFFFFFFFFFFE");
    EXPECT_FALSE(page.apply()) << "the start shown, FFFFFFFFFFFF, lies above the new end";
    page.typeMacEnd("FFFFFFFFFFFF");
    ASSERT_TRUE(page.apply());
    EXPECT_NE(dir.read("Option.dat").find("\n1000000000000\nFFFFFFFFFFFF\n"), std::string::npos)
        << dir.read("Option.dat");
    std::string result;
    EXPECT_FALSE(mfg::ValidateMacRange(settings, result));
}

INSTANTIATE_TEST_SUITE_P(Ranges, UsedUpRange,
    testing::Values(
        RangeCase { "AtTheTop", "1000000000000", "FFFFFFFFFFFF", "FFFFFFFFFFFF", true, nullptr, "1000000000000" },
        RangeCase { "BelowTheTop", "00A0B0C0D0E2", "00A0B0C0D0E1", "00A0B0C0D0E2", true, nullptr, "00A0B0C0D0E2" },
        RangeCase { "Open", "00A0B0C0D0E0", "00A0B0C0D0E1", "00A0B0C0D0E0", false, nullptr, "00A0B0C0D0E0" },
        RangeCase {
            "NewStartTyped", "1000000000000", "FFFFFFFFFFFF", "FFFFFFFFFFFF", true, "FFFFFFFFFF00", "FFFFFFFFFF00" }),
    [](const testing::TestParamInfo<RangeCase>& info) { return info.param.name; });

} // namespace
