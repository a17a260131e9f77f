// kellan-mp and its records when things go wrong: passwords in the
// connection string, a station database it cannot use, dates and MACs typed
// by hand, text that would drive the terminal, and a database that stops
// answering mid-run.

#include "mfg/records/record_store.h"
#include "tests/mfg/records/postgres_server.h"
#include "tests/mfg/records/silent_proxy.h"
#include "tests/mfg/records/station_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <set>

using namespace testing_support::stations;

namespace {

class RecordsOutage : public testing::Test {
protected:
    void SetUp() override
    {
        if (testing_support::PostgresServer::binDir().empty())
            GTEST_SKIP() << "PostgreSQL server binaries (initdb, pg_ctl) are not installed";
        std::string problem;
        ASSERT_TRUE(server.start(problem)) << problem;
        url = server.createDatabase("line", problem);
        ASSERT_FALSE(url.empty()) << problem;
    }

    testing_support::PostgresServer server;
    std::string url;
};

mfg::records::RunRecord savedRun(const std::string& station, const std::string& mac)
{
    mfg::records::RunRecord run;
    run.station = station;
    run.operatorName = "op";
    run.startedAt = run.endedAt = "2026-12-09T21:40:24.123Z";
    run.mac = mac;
    run.outcome = mfg::records::Outcome::Pass;
    return run;
}

// Fills the disk under `path` with one file, then frees `keep` bytes of it.
bool fillDisk(const std::string& path, off_t keep)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const std::string block(4096, 'f');
    off_t size = 0;
    for (ssize_t n; (n = ::write(fd, block.data(), block.size())) > 0;)
        size += n;
    const bool full = errno == ENOSPC && ::ftruncate(fd, size / 4096 * 4096 - keep) == 0;
    ::close(fd);
    return full;
}

} // namespace

// A password given in any form reaches neither the terminal, the JSON, the
// HTML page nor an error message.
TEST_F(RecordsOutage, NoPasswordIsEverShown)
{
    Station station("s1");
    ASSERT_TRUE(station.startBoards());
    station.useBoard("good");
    const std::string keywords = "host=" + server.folder() + " dbname=line user=kellan password=s3cret";
    const std::string query = url + "&password=s3cret";
    Finished passed = station.run("run --yes --records '" + keywords + "'");
    ASSERT_EQ(passed.code, 0) << passed.out << station.dir.read("err.txt");
    std::string shown = passed.out;
    for (const std::string& records : { keywords, query }) {
        Finished report = station.run("report --json --html report.html --records '" + records + "'");
        EXPECT_EQ(report.code, 0) << station.dir.read("err.txt");
        EXPECT_EQ(nlohmann::json::parse(report.out)["boards"], 1);
        shown += report.out + station.dir.read("report.html");
        shown += station.run("report --records '" + records + "'").out;
        shown += station.run("history 00A0B0C0D0E0 --json --records '" + records + "'").out;
    }
    const std::string elsewhere = "host=" + server.folder() + " dbname=nothere user=kellan password=s3cret";
    for (const std::string& records : { elsewhere, "postgresql:///nothere?host=" + server.folder() + "&password=s3cret",
             "postgresql://kellan:s3cret@/nothere?host=" + server.folder() }) {
        EXPECT_EQ(station.run("report --records '" + records + "'").code, 1);
        EXPECT_EQ(station.run("run --yes --records '" + records + "'").code, 2);
    }
    shown += station.dir.read("err.txt") + station.dir.read("fail.log");
    EXPECT_NE(station.dir.read("err.txt").find("postgresql://kellan@/nothere?host="), std::string::npos)
        << station.dir.read("err.txt");
    EXPECT_EQ(shown.find("s3cret"), std::string::npos) << shown;
}

// A station whose records cannot be kept tests no board (exit status 2),
// unless the operator asked for no records.
TEST(RecordsOnSqlite, AStationThatCannotRecordTestsNoBoard)
{
    const struct {
        const char* name;
        const char* refusal;
    } cases[] = {
        { "garbage", "file is not a database" },
        { "truncated", "malformed" },
        { "newer", "newer than this program's" },
        { "read-only", "cannot be written" },
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        const bool readOnly = std::string(row.name) == "read-only";
        if (readOnly && ::geteuid() != 0)
            continue; // needs a read-only mount (root in a mount namespace)
        Station station("s1");
        ASSERT_TRUE(station.startBoards());
        station.useBoard("good");
        const std::string path = station.dir.file("production.db");
        if (std::string(row.name) == "garbage") {
            station.dir.write("production.db", std::string(8192, 'x'));
        } else {
            auto store = mfg::records::RecordStore::open("sqlite:" + path);
            ASSERT_TRUE(store) << store.error().message;
            for (int i = 0; i < 200; ++i)
                ASSERT_TRUE(store.value()->saveRun(savedRun(std::string(200, 's'), "00A0B0C0D0E0")));
            if (std::string(row.name) == "newer") {
                ASSERT_TRUE(store.value()->sql().exec("INSERT INTO schema_version (version) VALUES (99)"));
            }
            ASSERT_TRUE(store.value()->sql().exec("PRAGMA wal_checkpoint(TRUNCATE)"));
        }
        if (std::string(row.name) == "truncated")
            std::filesystem::resize_file(path, 8192);
        std::string prefix;
        if (readOnly) {
            station.dir.write("ro.sh",
                "mount --bind \"$RO_DIR\" \"$RO_DIR\" && mount -o remount,bind,ro \"$RO_DIR\" "
                "&& cd \"$RO_DIR\" || exit 99\nexec \"$@\"\n");
            prefix = "env RO_DIR='" + station.dir.path() + "' unshare -m --propagation private sh '"
                + station.dir.file("ro.sh") + "'";
        }
        // Outside the station's folder, which may be read-only.
        testing_support::TempDir outside;
        Finished refused = station.run("run --yes", prefix, outside.file("err.txt"));
        const std::string said = outside.read("err.txt");
        EXPECT_EQ(refused.code, 2) << refused.out << said;
        EXPECT_NE(said.find(row.refusal), std::string::npos) << said;
        EXPECT_NE(said.find("No board is tested while its run cannot be recorded"), std::string::npos) << said;
        EXPECT_EQ(station.boards.read("good.events").find("command"), std::string::npos) << "a board was tested";
        if (std::string(row.name) == "garbage") {
            Finished unrecorded = station.run("run --yes --records none");
            // Tested (a busy machine may fail a good board: that is a test all the same).
            EXPECT_TRUE(unrecorded.code == 0 || unrecorded.code == 1) << unrecorded.out << station.dir.read("err.txt");
            EXPECT_NE(unrecorded.out.find("RAM Test"), std::string::npos) << unrecorded.out;
            EXPECT_EQ(station.dir.read("production.db"), std::string(8192, 'x'));
        }
    }
}

// What an operator types by hand: dates that do not exist are refused, a MAC
// in the usual spellings is found; report and history leave a folder without
// records as they found it, and `items` writes nothing when it only shows.
// What stations wrote is shown escaped, never sent to the terminal raw.
TEST(RecordsOnSqlite, TypedDatesAndMacsAndAFolderWithoutRecords)
{
    Station station("s1");
    for (const char* command : { "report", "history 00A0B0C0D022" }) {
        EXPECT_EQ(station.run(command).code, 1) << command;
        EXPECT_NE(station.dir.read("err.txt").find("there are no production records in"), std::string::npos);
    }
    std::filesystem::remove(station.dir.file("item.dat"));
    EXPECT_EQ(station.run("items").code, 0);
    for (const char* name : { "production.db", "Item.dat", "item.dat" })
        EXPECT_FALSE(std::filesystem::exists(station.dir.file(name))) << name << " was made";

    {
        auto store = mfg::records::RecordStore::open("sqlite:" + station.dir.file("production.db"));
        ASSERT_TRUE(store) << store.error().message;
        ASSERT_TRUE(store.value()->saveRun(savedRun("evil\x1b[2J\x07", "00A0B0C0D022")));
    }
    for (const char* date : { "2026-13-45", "9999-99-99", "2026-02-30", "2027-02-29", "2026-00-10", "2026-1-1" })
        EXPECT_EQ(station.run(std::string("report --since ") + date).code, 2) << date;
    for (const auto& [date, boards] :
        { std::pair { "2024-02-29", 1 }, std::pair { "2026-12-09", 1 }, std::pair { "2028-02-29", 0 } }) {
        EXPECT_EQ(
            nlohmann::json::parse(station.run(std::string("report --json --since ") + date).out)["boards"], boards)
            << date;
    }
    for (const char* mac : { "00-A0-B0-C0-D0-22", "00:a0:b0:c0:d0:22", "00a0b0c0d022" }) {
        Finished history = station.run(std::string("history ") + mac);
        EXPECT_EQ(history.code, 0) << mac << station.dir.read("err.txt");
        EXPECT_NE(history.out.find("MAC 00A0B0C0D022: 1 run"), std::string::npos) << history.out;
        EXPECT_NE(history.out.find("station evil\\x1B[2J\\x07,"), std::string::npos) << history.out;
        EXPECT_EQ(history.out.find('\x1b'), std::string::npos);
    }
    EXPECT_EQ(station.run("history 00-A0-B0-C0-D0:22").code, 2);
}

// A database that stops answering (a proxy that goes silent): the station
// says so and ends instead of waiting for ever; Ctrl+C or SIGTERM end the
// wait; a board whose address went in before the silence is told to be
// tested again, and its address is never handed out twice.
TEST_F(RecordsOutage, ASilentDatabaseIsSaidAndEndsTheWait)
{
    testing_support::TempDir proxyDir;
    testing_support::SilentProxy proxy(proxyDir.path(), server.folder());
    ASSERT_TRUE(proxy.listening());
    Station station("s1");
    ASSERT_TRUE(station.startBoards());
    station.useBoard("good");
    station.dir.write("records.dat", "postgresql:///line?host=" + proxyDir.path() + "&user=kellan\n");
    // While the database answers, the station waits its usual 30 s for it:
    // a busy machine may make the schema's creation through the proxy slow.
    Finished first = station.run("run --yes");
    ASSERT_EQ(first.code, 0) << first.out << station.dir.read("err.txt");

    // Silent before the run: nothing tested, said, exit status 2.
    proxy.setForwarding(false);
    Finished silent = station.run("run --yes", "env KELLAN_MP_DB_WAIT=2");
    EXPECT_EQ(silent.code, 2) << silent.out;
    EXPECT_NE(station.dir.read("err.txt").find("database not answering"), std::string::npos)
        << station.dir.read("err.txt");
    // The operator ends the wait (the time-out is far off).
    for (int signal : { SIGTERM, SIGINT }) {
        const int connections = proxy.accepted();
        auto waiting = station.start("run --yes", "env KELLAN_MP_DB_WAIT=600");
        // Connecting: its signal handlers are in place by then.
        ASSERT_TRUE(testing_support::eventually([&] { return proxy.accepted() > connections; }));
        ASSERT_EQ(::kill(waiting.pid(), signal), 0);
        Finished ended = Station::finish(waiting);
        EXPECT_EQ(ended.code, 128 + signal) << ended.out << station.dir.read("err.txt");
    }

    // Silent after the address went into the board: FAIL, and the board is
    // to be tested again; the address is never offered again.
    proxy.setForwarding(true);
    int written = 0;
    for (const auto& line : lines(station.boards.read("good.events")))
        written += line.rfind("command ew", 0) == 0;
    auto running = station.start("run --yes", "env KELLAN_MP_DB_WAIT=10");
    ASSERT_TRUE(station.stopAt("ew", written + 1));
    proxy.setForwarding(false);
    station.go();
    Finished cut = Station::finish(running);
    EXPECT_EQ(cut.code, 1) << cut.out;
    EXPECT_NE(cut.out.find("database not answering"), std::string::npos) << cut.out;
    EXPECT_NE(cut.out.find("This board holds 00A0B0C0D0E1"), std::string::npos) << cut.out;
    proxy.setForwarding(true);
    Finished next = station.run("run --yes");
    EXPECT_EQ(next.code, 0) << next.out << station.dir.read("err.txt");
    auto store = mfg::records::RecordStore::open(url);
    ASSERT_TRUE(store) << store.error().message;
    auto passes = store.value()->runsSince("").value();
    std::set<std::string> macs;
    for (const auto& run : passes) {
        if (run.outcome == mfg::records::Outcome::Pass) {
            EXPECT_TRUE(macs.insert(run.mac).second) << run.mac << " passed twice";
        }
    }
    EXPECT_EQ(macs.count("00A0B0C0D0E1"), 0u) << "the address of the cut-off run went to another board";
}

// A station with its own production.db whose disk fills up under a passing
// run: Option.dat still moves on (a small file, saved first), so the address
// is used and no other board gets it, but the run is not in the records. That
// is no plain success: "PASS, NOT RECORDED", exit status 3, and what to do.
// The station's folder is a 1 MiB tmpfs in a mount namespace of this process,
// which kellan-mp inherits.
TEST(RecordsOnSqlite, APassOnAFullDiskIsNoPlainSuccessAndItsAddressStaysUsed)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for a small tmpfs of its own";
    Station station("s1");
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0) << std::strerror(errno);
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << std::strerror(errno);
    ASSERT_EQ(::mount("tmpfs", station.dir.path().c_str(), "tmpfs", 0, "size=1m"), 0) << std::strerror(errno);
    station.writeFiles();
    ASSERT_TRUE(station.startBoards());
    station.useBoard("good");
    testing_support::TempDir outside; // kellan-mp's stderr, off the full disk
    const std::string errors = outside.file("err.txt");
    Finished first = station.run("run --yes", {}, errors);
    ASSERT_EQ(first.code, 0) << first.out << outside.read("err.txt");

    int written = 0;
    for (const auto& line : lines(station.boards.read("good.events")))
        written += line.rfind("command ew", 0) == 0;
    auto running = station.start("run --yes", {}, errors);
    ASSERT_TRUE(station.stopAt("ew", written + 1));
    // Room for Option.dat's new copy, none for the record.
    ASSERT_TRUE(fillDisk(station.dir.file("filler"), 4096));
    station.go();
    Finished unrecorded = Station::finish(running);
    EXPECT_EQ(unrecorded.code, 3) << unrecorded.out << outside.read("err.txt");
    const auto said = lines(unrecorded.out);
    EXPECT_NE(std::find(said.begin(), said.end(), "PASS, NOT RECORDED"), said.end()) << unrecorded.out;
    EXPECT_EQ(std::find(said.begin(), said.end(), "PASS"), said.end()) << unrecorded.out;
    EXPECT_NE(unrecorded.out.find("Production record not saved"), std::string::npos) << unrecorded.out;
    EXPECT_NE(unrecorded.out.find("the disk is full"), std::string::npos) << unrecorded.out;
    EXPECT_NE(unrecorded.out.find("keeps 00A0B0C0D0E1"), std::string::npos) << unrecorded.out;
    EXPECT_NE(unrecorded.out.find("note this board's pass by hand"), std::string::npos) << unrecorded.out;
    EXPECT_NE(station.dir.read("Option.dat").find("00A0B0C0D0E2"), std::string::npos) << station.dir.read("Option.dat");

    // Room again: the next board gets the next address, and is recorded.
    ASSERT_TRUE(std::filesystem::remove(station.dir.file("filler")));
    Finished next = station.run("run --yes", {}, errors);
    EXPECT_EQ(next.code, 0) << next.out << outside.read("err.txt");
    const auto boards = station.macsReadBack();
    EXPECT_EQ(std::set<std::string>(boards.begin(), boards.end()),
        (std::set<std::string> { "00A0B0C0D0E0", "00A0B0C0D0E1", "00A0B0C0D0E2" }));
    auto store = mfg::records::RecordStore::open("sqlite:" + station.dir.file("production.db"));
    ASSERT_TRUE(store) << store.error().message;
    std::set<std::string> recorded;
    const auto runs = store.value()->runsSince("").value();
    for (const auto& run : runs)
        recorded.insert(run.mac + " " + (run.outcome == mfg::records::Outcome::Pass ? "pass" : "other"));
    EXPECT_EQ(recorded, (std::set<std::string> { "00A0B0C0D0E0 pass", "00A0B0C0D0E2 pass" }));
}
