#include "platform/faults.h"
#include "platform/text_file.h"
#include "tests/support/scripted_prompter.h"
#include "tests/support/temp_dir.h"
#include "utility/shell/settings_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using testing_support::ScopedWorkingDirectory;
using testing_support::ScriptedPrompter;
using testing_support::TempDir;
using utility::shell::AppSettings;
using utility::shell::formatSettingsFile;
using utility::shell::HandOver;
using utility::shell::SettingsStore;

namespace {

const std::string kFormatMessage = "The format of application setting file has been updated with default settings!";

// The line that names what could not be read and where its copy is.
std::string keptMessage(const TempDir& dir, const std::string& problem)
{
    return problem + "; the file is kept as " + dir.file("Qelta.dat.bad") + "\r\n";
}

class SettingsStoreTest : public ::testing::Test {
protected:
    void TearDown() override { platform::faults::reset(); }

    TempDir m_dir;
    ScopedWorkingDirectory m_cwd { m_dir.path() };
    ScriptedPrompter m_prompter;
    AppSettings m_settings;
    SettingsStore m_store { m_settings, m_prompter };
};

std::string fileWith(void (*change)(AppSettings&))
{
    AppSettings settings;
    change(settings);
    return formatSettingsFile(settings);
}

} // namespace

TEST_F(SettingsStoreTest, MissingFileIsCreatedWithTheDefaults)
{
    std::vector<bool> loadingCalls;
    m_store.setLoadingHook([&](bool loading) {
        loadingCalls.push_back(loading);
        EXPECT_EQ(m_store.loading(), loading);
    });
    m_settings.searchPeriod = 99;
    EXPECT_TRUE(m_store.load());
    EXPECT_EQ((std::vector<bool> { true, false }), loadingCalls);
    EXPECT_TRUE(m_prompter.shown.empty());
    EXPECT_EQ(m_settings, AppSettings {});
    EXPECT_EQ(m_store.path(), m_dir.path() + "/Qelta.dat");
    EXPECT_EQ(m_store.directory(), m_dir.path() + "/");

    AppSettings back;
    back.searchPeriod = 99;
    ASSERT_EQ(parseSettingsFile(m_dir.read("Qelta.dat"), back), utility::shell::ParseStatus::Ok);
    EXPECT_EQ(back, AppSettings {});
}

TEST_F(SettingsStoreTest, OlderVersionGivesDefaultsAndTheFileChangesOnlyAtExit)
{
    std::string older = fileWith([](AppSettings& s) { s.searchPeriod = 42; });
    older.replace(0, 8, "ZORV:1.5");
    m_dir.write("Qelta.dat", older);

    EXPECT_TRUE(m_store.load());
    EXPECT_EQ(m_prompter.messages(),
        (std::vector<std::string> {
            kFormatMessage, keptMessage(m_dir, "Qelta.dat line 1 is not the format version ZORV:1.6") }));
    EXPECT_EQ(m_settings, AppSettings {});
    EXPECT_EQ(m_dir.read("Qelta.dat"), older);

    EXPECT_TRUE(m_store.save());
    EXPECT_EQ(m_dir.read("Qelta.dat"), formatSettingsFile(AppSettings {}));
    // What the defaults replaced is still there.
    EXPECT_EQ(m_dir.read("Qelta.dat.bad"), older);
}

TEST_F(SettingsStoreTest, CutShortFileIsTreatedLikeAnOlderVersion)
{
    const std::string full = formatSettingsFile(AppSettings {});
    const std::string half = full.substr(0, full.size() / 2);
    m_dir.write("Qelta.dat", half);
    EXPECT_TRUE(m_store.load());
    // Named by the first line that is not complete.
    const auto line = std::count(half.begin(), half.end(), '\n') + 1;
    EXPECT_EQ(m_prompter.messages(),
        (std::vector<std::string> {
            kFormatMessage, keptMessage(m_dir, "Qelta.dat ends at line " + std::to_string(line) + " of 39") }));
    EXPECT_EQ(m_dir.read("Qelta.dat.bad"), half);
    EXPECT_EQ(m_settings, AppSettings {});
}

TEST_F(SettingsStoreTest, OversizedFileIsReportedAndOnlyItsFirst10000BytesAreRead)
{
    // 39 good lines followed by junk: the lines lie within the limit and count.
    std::string file = fileWith([](AppSettings& s) { s.searchPeriod = 42; });
    file += std::string(10000, 'x');
    m_dir.write("Qelta.dat", file);
    EXPECT_TRUE(m_store.load());
    EXPECT_EQ(m_prompter.messages(),
        (std::vector<std::string> {
            "Qelta.dat file size is too large!\r\n", keptMessage(m_dir, "Qelta.dat is longer than 10000 bytes") }));
    EXPECT_EQ(m_settings.searchPeriod, 42);
}

TEST_F(SettingsStoreTest, OversizedFileWhoseLinesRunPastTheLimitGivesDefaults)
{
    std::string file = formatSettingsFile(AppSettings {});
    file.insert(file.find("\r\n", 200), 9800, 'y'); // a long comment in an early line
    file.replace(file.find("10    "), 2, "42");
    m_dir.write("Qelta.dat", file);
    EXPECT_TRUE(m_store.load());
    const auto messages = m_prompter.messages();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0], "Qelta.dat file size is too large!\r\n");
    EXPECT_EQ(messages[2], kFormatMessage);
    EXPECT_EQ(m_settings, AppSettings {});
}

TEST_F(SettingsStoreTest, FileOfExactly10000BytesIsNotTooLarge)
{
    std::string file = formatSettingsFile(AppSettings {});
    file += std::string(10000 - file.size(), '\n');
    m_dir.write("Qelta.dat", file);
    EXPECT_TRUE(m_store.load());
    EXPECT_TRUE(m_prompter.shown.empty());
}

TEST_F(SettingsStoreTest, SaveHandsOverInOrderThenWritesAndCutsOffOlderContent)
{
    m_dir.write("Qelta.dat", formatSettingsFile(AppSettings {}) + std::string(3000, 'z'));
    ASSERT_TRUE(m_store.load());

    std::vector<std::string> order;
    // Registered out of order on purpose: the order is the store's, not the caller's.
    m_store.setHandOver(HandOver::VirtualPorts, [&](AppSettings&) { order.push_back("vsp"); });
    m_store.setHandOver(HandOver::Terminal, [&](AppSettings& s) {
        order.push_back("terminal");
        s.terminal[1].baudRateIndex = 8;
    });
    m_store.setHandOver(HandOver::Dhcp, [&](AppSettings& s) {
        order.push_back("dhcp");
        s.dhcpStart = 0x0A000010;
    });
    m_store.setHandOver(HandOver::DeviceManagement, [&](AppSettings& s) {
        order.push_back("dm");
        s.searchAtStart = true;
    });
    EXPECT_TRUE(m_store.save());
    EXPECT_EQ(order, (std::vector<std::string> { "dm", "dhcp", "terminal", "vsp" }));

    const std::string written = m_dir.read("Qelta.dat");
    EXPECT_EQ(written, formatSettingsFile(m_settings));
    AppSettings back;
    ASSERT_EQ(parseSettingsFile(written, back), utility::shell::ParseStatus::Ok);
    EXPECT_TRUE(back.searchAtStart);
    EXPECT_EQ(back.dhcpStart, 0x0A000010u);
    EXPECT_EQ(back.terminal[1].baudRateIndex, 8);
}

TEST_F(SettingsStoreTest, SaveThatCannotOpenTheFileBeepsAndHandsNothingOver)
{
    ASSERT_TRUE(m_store.load());
    const std::string before = m_dir.read("Qelta.dat");
    bool handedOver = false;
    m_store.setHandOver(HandOver::Dhcp, [&](AppSettings&) { handedOver = true; });
    m_settings.searchPeriod = 5;

    platform::faults::failNth(platform::faults::Op::Open, 1);
    EXPECT_FALSE(m_store.save());
    ASSERT_EQ(m_prompter.shown.size(), 2u);
    EXPECT_EQ(m_prompter.shown[0].kind, "beep");
    EXPECT_EQ(m_prompter.shown[0].text, "5000/100");
    EXPECT_EQ(m_prompter.shown[1].text, "Failed to save application settings! (Qelta.dat not found)\r\n");
    EXPECT_FALSE(handedOver);
    EXPECT_EQ(m_dir.read("Qelta.dat"), before);
}

TEST_F(SettingsStoreTest, FailedWriteIsReportedNotTakenForSuccess)
{
    ASSERT_TRUE(m_store.load());
    platform::faults::failNth(platform::faults::Op::Write, 1);
    EXPECT_FALSE(m_store.save());
    EXPECT_EQ(m_prompter.count("beep"), 1);
    EXPECT_EQ(m_prompter.count("message"), 1);
}

TEST_F(SettingsStoreTest, FileThatCannotBeCreatedBeepsAndKeepsTheInitialValues)
{
    m_settings.searchPeriod = 33;
    // The read fails because there is no file; the next open is the create.
    platform::faults::failNth(platform::faults::Op::Open, 2);
    EXPECT_FALSE(m_store.load());
    ASSERT_EQ(m_prompter.shown.size(), 2u);
    EXPECT_EQ(m_prompter.shown[0].kind, "beep");
    EXPECT_EQ(m_prompter.shown[0].text, "5000/100");
    EXPECT_EQ(m_prompter.shown[1].text, "Failed to create application setting fileQelta.dat! \r\n");
    EXPECT_EQ(m_settings.searchPeriod, 33);
    EXPECT_FALSE(platform::fileExists(m_dir.file("Qelta.dat")));
    EXPECT_FALSE(m_store.loading());

    // Nothing to save into...
    EXPECT_FALSE(m_store.save());
    // ...unless the file exists by then.
    m_dir.write("Qelta.dat", "");
    EXPECT_TRUE(m_store.save());
    EXPECT_EQ(m_dir.read("Qelta.dat"), formatSettingsFile(m_settings));
}

// Two programs that save at once keep each other's changes: each writes the
// items it changed over what the other one saved meanwhile.
TEST_F(SettingsStoreTest, ASaveKeepsWhatAnotherProgramSavedMeanwhile)
{
    ASSERT_TRUE(m_store.load());
    AppSettings other;
    ScriptedPrompter otherPrompter;
    SettingsStore otherStore(other, otherPrompter);
    ASSERT_TRUE(otherStore.load());
    other.monitorInterval = 77;
    ASSERT_TRUE(otherStore.save());

    m_settings.searchPeriod = 42;
    ASSERT_TRUE(m_store.save());
    AppSettings back;
    ASSERT_EQ(parseSettingsFile(m_dir.read("Qelta.dat"), back), utility::shell::ParseStatus::Ok);
    EXPECT_EQ(back.searchPeriod, 42);
    EXPECT_EQ(back.monitorInterval, 77);
}

// Eight programs start and exit at once, over and over, each changing an item
// of its own: no start ever reads a half-written file (which would reset
// every item to its default), and every change is in the file at the end.
TEST_F(SettingsStoreTest, EightProgramsStartingAndSavingAtOnceLoseNothing)
{
    ASSERT_TRUE(m_store.load());
    constexpr int kPrograms = 8;
    constexpr int kRuns = 15;
    std::vector<pid_t> children;
    for (int program = 0; program < kPrograms; ++program) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            bool ok = true;
            for (int run = 1; run <= kRuns; ++run) {
                AppSettings settings;
                ScriptedPrompter prompter;
                SettingsStore store(settings, prompter);
                ok = store.load() && prompter.shown.empty() && ok;
                // Items 21..28 and 29..36 are the two terminals' eight items.
                auto& terminal = settings.terminal[static_cast<std::size_t>(program / 4)];
                int* items[] = { &terminal.baudRateIndex, &terminal.dataBitsIndex, &terminal.testIntervalMs,
                    &terminal.testDataLength };
                *items[program % 4] = 1000 * (program + 1) + run;
                ok = store.save() && ok;
            }
            ::_exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a program read defaults or failed to save";
    }
    AppSettings back;
    ASSERT_EQ(parseSettingsFile(m_dir.read("Qelta.dat"), back), utility::shell::ParseStatus::Ok);
    for (int program = 0; program < kPrograms; ++program) {
        auto& terminal = back.terminal[static_cast<std::size_t>(program / 4)];
        const int values[]
            = { terminal.baudRateIndex, terminal.dataBitsIndex, terminal.testIntervalMs, terminal.testDataLength };
        EXPECT_EQ(values[program % 4], 1000 * (program + 1) + kRuns) << "program " << program;
    }
}

// A link or a FIFO named Qelta.dat is neither read (no wait on the FIFO) nor
// written through at exit; the user is told why.
TEST_F(SettingsStoreTest, ALinkOrAFifoInPlaceOfTheFileIsRefused)
{
    for (const bool fifo : { false, true }) {
        SCOPED_TRACE(fifo ? "fifo" : "link");
        TempDir dir;
        ScopedWorkingDirectory cwd(dir.path());
        dir.write("passwd", "root:x:0:0\n");
        if (fifo)
            ASSERT_EQ(::mkfifo(dir.file("Qelta.dat").c_str(), 0600), 0);
        else
            ASSERT_EQ(::symlink(dir.file("passwd").c_str(), dir.file("Qelta.dat").c_str()), 0);
        AppSettings settings;
        ScriptedPrompter prompter;
        SettingsStore store(settings, prompter);
        EXPECT_FALSE(store.load());
        ASSERT_EQ(prompter.messages().size(), 1u);
        EXPECT_NE(prompter.messages()[0].find(fifo ? "a FIFO" : "a symbolic link"), std::string::npos)
            << prompter.messages()[0];
        settings.searchPeriod = 3;
        EXPECT_FALSE(store.save());
        EXPECT_EQ(dir.read("passwd"), "root:x:0:0\n");
        EXPECT_FALSE(platform::fileExists(dir.file("Qelta.dat.bad")));
    }
}
