#include "utility/shell/system_log.h"

#include "tests/support/scripted_prompter.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <ctime>

using utility::shell::LogRow;
using utility::shell::SystemLog;

namespace {

platform::WallTime localTime(int year, int month, int day, int hour, int minute, int second)
{
    std::tm local {};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&local));
}

struct SystemLogTest : ::testing::Test {
    platform::FakeClock clock;
    SystemLog log { clock };
    testing_support::ScriptedPrompter prompter;
    testing_support::TempDir dir;
};

} // namespace

TEST_F(SystemLogTest, TimeCellHasNoLeadingZerosAndEndsInSpaceAndLineBreak)
{
    EXPECT_EQ(SystemLog::formatTime(localTime(2024, 3, 1, 9, 5, 7)), "2024-3-1--9-5-7 \r\n");
    EXPECT_EQ(SystemLog::formatTime(localTime(2026, 12, 31, 23, 59, 58)), "2026-12-31--23-59-58 \r\n");
}

TEST_F(SystemLogTest, InitialRowsAndNumbering)
{
    clock.setWall(localTime(2024, 3, 1, 9, 5, 7));
    log.writeInitialRows("127.0.0.1");
    log.addLogLine("TFTP server starts.");
    ASSERT_EQ(log.rows().size(), 3u);
    EXPECT_EQ(log.rows()[0], (LogRow { "1", "2024-3-1--9-5-7 \r\n", "Application starts successfully." }));
    EXPECT_EQ(log.rows()[1].message, "Selected network interface: 127.0.0.1");
    EXPECT_EQ(log.rows()[2].number, "3");
    EXPECT_EQ(log.count(), 3);
}

TEST_F(SystemLogTest, SavedLogReloadsToTheSameRowsAndNumberingContinues)
{
    log.addLogLine("first");
    clock.advance(std::chrono::seconds(75));
    log.addLogLine("second with spaces, (parentheses)");
    const auto saved = log.rows();
    const std::string path = dir.file("run.log");
    prompter.fileAnswers = { path };
    ASSERT_TRUE(log.saveLog(prompter));
    EXPECT_EQ(dir.read("run.log"),
        "QELTA Log File$1$" + saved[0].time + "$first$2$" + saved[1].time + "$second with spaces, (parentheses)$");

    SystemLog other(clock);
    other.addLogLine("will be replaced");
    other.addLogLine("this too");
    other.addLogLine("and this");
    prompter.fileAnswers = { path };
    ASSERT_TRUE(other.openLog(prompter));
    EXPECT_EQ(other.rows(), saved);
    other.addLogLine("next");
    EXPECT_EQ(other.rows().back().number, "3");
    EXPECT_TRUE(prompter.messages().empty());
}

TEST_F(SystemLogTest, HeaderOnlyFileLoadsEmptyAndNumberingRestarts)
{
    dir.write("empty.log", "QELTA Log File$");
    log.addLogLine("old");
    ASSERT_TRUE(log.openLogFrom(dir.file("empty.log"), prompter));
    EXPECT_TRUE(log.rows().empty());
    log.addLogLine("new");
    EXPECT_EQ(log.rows().front().number, "1");
}

TEST_F(SystemLogTest, FirstCellFiveAppendsAndTheNextLineIsSix)
{
    dir.write("five.log", "QELTA Log File$5$t$m$");
    ASSERT_TRUE(log.openLogFrom(dir.file("five.log"), prompter));
    ASSERT_EQ(log.rows().size(), 1u);
    EXPECT_EQ(log.rows()[0], (LogRow { "5", "t", "m" }));
    log.addLogLine("after");
    ASSERT_EQ(log.rows().size(), 2u);
    EXPECT_EQ(log.rows()[1].number, "6");
}

TEST_F(SystemLogTest, RejectedFilesLeaveTheLogUnchanged)
{
    log.addLogLine("kept");
    const auto before = log.rows();
    struct Case {
        const char* name;
        std::string content;
    };
    for (const Case& c : { Case { "short.log", "QELTA Log" }, Case { "thirteen.log", "QELTA Log Fil" },
             Case { "wrong.log", "QELTA Log Filf$1$a$b$" }, Case { "other.log", std::string(40, 'x') } }) {
        prompter.shown.clear();
        dir.write(c.name, c.content);
        EXPECT_FALSE(log.openLogFrom(dir.file(c.name), prompter)) << c.name;
        EXPECT_EQ(prompter.messages(), (std::vector<std::string> { dir.file(c.name) + " file is corrupted!\r\n" }));
        EXPECT_EQ(log.rows(), before);
    }
    prompter.shown.clear();
    EXPECT_FALSE(log.openLogFrom(dir.file("missing.log"), prompter));
    EXPECT_EQ(prompter.count("beep"), 1);
    EXPECT_EQ(
        prompter.messages(), (std::vector<std::string> { "Failed to open file" + dir.file("missing.log") + "! \r\n" }));
}

TEST_F(SystemLogTest, OversizedFileIsReportedAndItsFirst20000BytesLoaded)
{
    std::string content = "QELTA Log File$";
    int rows = 0;
    while (content.size() < 25000) {
        ++rows;
        content += std::to_string(rows) + "$time$message number " + std::to_string(rows) + "$";
    }
    dir.write("big.log", content);
    ASSERT_TRUE(log.openLogFrom(dir.file("big.log"), prompter));
    EXPECT_EQ(
        prompter.messages(), (std::vector<std::string> { dir.file("big.log") + " file file size is too large!\r\n" }));
    // Only whole triples inside the first 20000 bytes become rows.
    const std::string head = content.substr(0, 20000);
    const auto dollars = std::count(head.begin(), head.end(), '$') - 1;
    EXPECT_EQ(static_cast<long>(log.rows().size()), dollars / 3);
    EXPECT_EQ(log.count(), static_cast<int>(log.rows().size()));
    EXPECT_LT(log.rows().size(), static_cast<std::size_t>(rows));
}

TEST_F(SystemLogTest, HostileCellsNeverCrashOrMisnumber)
{
    dir.write("hostile.log", "QELTA Log File$-7$a$b$abc$c$d$99999999999999$e$f$2$g");
    ASSERT_TRUE(log.openLogFrom(dir.file("hostile.log"), prompter));
    EXPECT_EQ(log.rows().size(), 3u);
    EXPECT_GE(log.count(), 0);
    log.addLogLine("still works");
    EXPECT_EQ(log.rows().size(), 4u);
}

TEST_F(SystemLogTest, SaveFailureBeepsAndNamesThePath)
{
    const std::string path = dir.file("no/such/dir/x.log");
    prompter.fileAnswers = { path };
    EXPECT_FALSE(log.saveLog(prompter));
    EXPECT_EQ(prompter.count("beep"), 1);
    EXPECT_EQ(prompter.messages(), (std::vector<std::string> { "Failed to open file" + path + "! \r\n" }));
    prompter.fileAnswers.clear(); // cancelled dialog: nothing happens
    EXPECT_FALSE(log.saveLog(prompter));
    EXPECT_EQ(prompter.messages().size(), 1u);
}
