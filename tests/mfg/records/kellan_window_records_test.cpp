// The kellan-mp window and its production records, off screen against the
// board simulator: a station store it cannot use keeps START from testing a
// board, and a PostgreSQL server stopped and started again between boards
// neither loses a passing board's record nor gives two boards one MAC.

#include "mfg/records/record_store.h"
#include "tests/mfg/gui/kellan_window_fixture.h"
#include "tests/mfg/records/postgres_server.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

namespace {

using namespace kellan_window;

bool saidWith(const std::vector<std::string>& boxes, const std::string& start, const std::string& part)
{
    for (const std::string& box : boxes) {
        if (box.rfind(start, 0) == 0 && box.find(part) != std::string::npos)
            return true;
    }
    return false;
}

std::string optionLine(const std::string& option, int line)
{
    std::size_t at = 0;
    for (int i = 1; i < line; ++i)
        at = option.find('\n', at) + 1;
    return option.substr(at, option.find('\n', at) - at);
}

class KellanWindowRecords : public KellanWindow {
protected:
    // Clicks START and lets the window work until the run has ended (true)
    // or START was refused with a box that says why (false).
    bool pressStart()
    {
        const int finished = runsFinished;
        const std::size_t boxes = closer.boxes.size();
        QTest::mouseClick(sheet->testPage()->startButton(), Qt::LeftButton);
        auto refused = [&] {
            for (std::size_t i = boxes; i < closer.boxes.size(); ++i) {
                if (closer.boxes[i].rfind("Production records: ", 0) == 0)
                    return true;
            }
            return false;
        };
        waitFor([&] { return runsFinished > finished || refused(); });
        waitFor([] { return false; }, 50);
        return runsFinished > finished;
    }

    // Closes the window, leaving the folder and its files as they are.
    void closeWindow()
    {
        sheet.reset();
        closer.boxes.clear();
    }
};

// A station database that cannot be used (not a database, cut short, made by
// a newer program): the window says so when it opens, and START tests no
// board until the store is mended or the operator asked for no records.
TEST_F(KellanWindowRecords, AStoreThatCannotRecordTestsNoBoard)
{
    const struct {
        const char* name;
        const char* said;
    } cases[] = {
        { "garbage", "file is not a database" },
        { "truncated", "malformed" },
        { "newer", "newer than this program's" },
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        const std::string path = dir.file("production.db");
        std::filesystem::remove(path);
        if (std::string(row.name) == "garbage") {
            dir.write("production.db", std::string(8192, 'x'));
        } else {
            auto store = mfg::records::RecordStore::open("sqlite:" + path);
            ASSERT_TRUE(store) << store.error().message;
            mfg::records::RunRecord run;
            run.station = std::string(200, 's');
            run.startedAt = run.endedAt = "2026-12-09T21:40:24.123Z";
            run.mac = "00A0B0C0D0E0";
            for (int i = 0; i < 200; ++i)
                ASSERT_TRUE(store.value()->saveRun(run));
            if (std::string(row.name) == "newer") {
                ASSERT_TRUE(store.value()->sql().exec("INSERT INTO schema_version (version) VALUES (99)"));
            }
            ASSERT_TRUE(store.value()->sql().exec("PRAGMA wal_checkpoint(TRUNCATE)"));
        }
        if (std::string(row.name) == "truncated")
            std::filesystem::resize_file(path, 8192);
        const std::string before = dir.read("production.db");

        open("normal,test-firmware", 0x40);
        const std::string blank = board->board().macAddress(); // an EEPROM never written
        ASSERT_TRUE(waitFor([&] { return saidWith(closer.boxes, "Production records: ", row.said); }))
            << testing::PrintToString(closer.boxes);
        EXPECT_FALSE(pressStart()) << "a board was tested: " << sheet->lastView().resultMessage;
        EXPECT_TRUE(saidWith(closer.boxes, "Production records: ", "--records none")) << row.said;
        EXPECT_EQ(board->board().macAddress(), blank);
        EXPECT_EQ(optionLine(dir.read("Option.dat"), 7), "00A0B0C0D0E0");
        EXPECT_EQ(sheet->testPage()->startButton()->text().toStdString(), "START");
        EXPECT_TRUE(sheet->testPage()->startButton()->isEnabled());
        EXPECT_EQ(dir.read("production.db"), before);
        closeWindow();
    }
    // Asked for: the board is tested and the file left as it is.
    recordsUrl = "none";
    open("normal,test-firmware", 0x40);
    ASSERT_TRUE(pressStart());
    EXPECT_EQ(sheet->testPage()->shownPicture(), ResultPicture::Pass) << sheet->lastView().resultMessage;
    EXPECT_EQ(board->board().macAddress(), "00A0B0C0D0E0");
    EXPECT_FALSE(saidWith(closer.boxes, "Production records: ", ""));
}

// The station's own production.db on a disk that fills up before a board
// passes: Option.dat still moves on (the address is used), the run is not in
// the records, and the window shows no plain PASS but says what to do. The
// folder is a 1 MiB tmpfs in a mount namespace of this process.
TEST_F(KellanWindowRecords, APassThatCouldNotBeRecordedIsNoPlainPass)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for a small tmpfs of its own";
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0) << std::strerror(errno);
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << std::strerror(errno);
    ASSERT_EQ(::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=1m"), 0) << std::strerror(errno);
    open("normal,test-firmware", 0x40);
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(dir.file("production.db")); }));
    // Room for Option.dat's new copy, none for the record.
    const int filler = ::open(dir.file("filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(filler, 0);
    const std::string block(4096, 'f');
    off_t size = 0;
    for (ssize_t n; (n = ::write(filler, block.data(), block.size())) > 0;)
        size += n;
    ASSERT_EQ(errno, ENOSPC);
    ASSERT_EQ(::ftruncate(filler, size / 4096 * 4096 - 4096), 0);
    ::close(filler);

    ASSERT_TRUE(pressStart());
    const std::string said = sheet->testPage()->errorBox()->toPlainText().toStdString();
    EXPECT_EQ(sheet->testPage()->shownPicture(), ResultPicture::PassNotRecorded) << said;
    EXPECT_EQ(std::count(pictures.begin(), pictures.end(), ResultPicture::Pass), 0) << "a plain PASS was shown";
    EXPECT_NE(said.find("Production record not saved"), std::string::npos) << said;
    EXPECT_NE(said.find("keeps 00A0B0C0D0E0"), std::string::npos) << said;
    EXPECT_EQ(board->board().macAddress(), "00A0B0C0D0E0");
    EXPECT_EQ(optionLine(dir.read("Option.dat"), 7), "00A0B0C0D0E1");
    closeWindow();
    ::umount2(dir.path().c_str(), MNT_DETACH);
}

// The line's PostgreSQL server stopped under the window between boards: the
// board tested while it is away ends with the reason and keeps no address;
// once it is back, every passing board is recorded with an address of its own.
TEST_F(KellanWindowRecords, ADatabaseRestartBetweenBoardsLosesNoPassAndRepeatsNoMac)
{
    if (testing_support::PostgresServer::binDir().empty())
        GTEST_SKIP() << "PostgreSQL server binaries (initdb, pg_ctl) are not installed";
    testing_support::PostgresServer server;
    std::string problem;
    ASSERT_TRUE(server.start(problem)) << problem;
    recordsUrl = server.createDatabase("line", problem);
    ASSERT_FALSE(recordsUrl.empty()) << problem;

    std::vector<std::string> passed; // the MACs in the passing boards' EEPROMs
    std::string blank; // an EEPROM never written
    std::string failures;
    auto nextBoard = [&](bool first) {
        if (!first)
            plugBoard("normal,test-firmware");
        blank = board->board().macAddress();
        if (!pressStart())
            return false;
        if (sheet->testPage()->shownPicture() == ResultPicture::Pass)
            passed.push_back(board->board().macAddress());
        else
            failures += "board " + std::to_string(doneBoards.size() + 1) + ": " + sheet->lastView().resultMessage;
        return true;
    };
    open("normal,test-firmware", 0x40);
    ASSERT_TRUE(nextBoard(true));
    ASSERT_EQ(passed.size(), 1u) << sheet->lastView().resultMessage;

    // Away at START: the run ends without a pass, saying why.
    ASSERT_TRUE(server.stop());
    ASSERT_TRUE(nextBoard(false));
    EXPECT_EQ(sheet->testPage()->shownPicture(), ResultPicture::Fail);
    EXPECT_NE(sheet->lastView().resultMessage.find("No MAC address from the records store"), std::string::npos)
        << sheet->lastView().resultMessage;
    EXPECT_EQ(board->board().macAddress(), blank);
    failures.clear();

    // Back: the next statement connects again.
    ASSERT_TRUE(server.restart(problem)) << problem;
    ASSERT_TRUE(nextBoard(false));
    // Stopped and started again while the window waits between boards.
    ASSERT_TRUE(server.stop());
    ASSERT_TRUE(server.restart(problem)) << problem;
    ASSERT_TRUE(nextBoard(false));
    ASSERT_TRUE(nextBoard(false));
    EXPECT_EQ(passed.size(), 4u) << failures;

    const std::set<std::string> distinct(passed.begin(), passed.end());
    EXPECT_EQ(distinct.size(), passed.size()) << testing::PrintToString(passed);
    EXPECT_EQ(distinct.count(""), 0u);
    closeWindow();
    auto store = mfg::records::RecordStore::open(recordsUrl, mfg::records::OpenFor::Reading);
    ASSERT_TRUE(store) << store.error().message;
    std::set<std::string> recorded;
    auto runs = store.value()->runsSince("");
    ASSERT_TRUE(runs) << runs.error().message;
    for (const auto& run : runs.value()) {
        if (run.outcome == mfg::records::Outcome::Pass) {
            EXPECT_TRUE(recorded.insert(run.mac).second) << run.mac << " recorded passing twice";
        }
    }
    EXPECT_EQ(recorded, distinct);
    EXPECT_EQ(store.value()->macRange().value()->used, static_cast<std::int64_t>(passed.size()));
    EXPECT_EQ(store.value()->macRange().value()->leased, 0);
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // Never the machine's own port-I/O module: the window gets a fake UART
    // when a test needs one.
    ::setenv("PORTIO_MODULE", "none", 1);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
