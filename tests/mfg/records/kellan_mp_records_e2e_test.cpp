// `kellan-mp run` processes against boardsim processes, recording into the
// station's own SQLite file and into a PostgreSQL server the test starts:
// four stations sharing one MAC range, a station killed mid-run, and what
// report and history then say. Each station's kellan-mp and boards share a
// time that passes only while all of them sleep, five times faster than real
// time (four stations: twenty times); the boards run the test firmware
// already, so a run is the self tests and the EEPROM.

#include "mfg/records/digest.h"
#include "mfg/records/record_store.h"
#include "mfg/records/sql_connection.h"
#include "platform/child_process.h"
#include "tests/mfg/records/postgres_server.h"
#include "tests/mfg/records/station_fixture.h"
#include "tests/support/eventually.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
using mfg::records::Outcome;
using namespace testing_support::stations;

namespace {

class RecordsOnPostgres : public testing::Test {
protected:
    void SetUp() override
    {
        if (testing_support::PostgresServer::binDir().empty())
            GTEST_SKIP() << "PostgreSQL server binaries (initdb, pg_ctl) are not installed";
        // The test's own reads of the store wait as long as the stations
        // do: on a busy machine the server may be silent for more than the
        // 30 s a station waits by default, and that wait is not tried here.
        mfg::records::setDefaultDatabaseWait(300);
        std::string problem;
        ASSERT_TRUE(server.start(problem)) << problem;
        url = server.createDatabase("line", problem);
        ASSERT_FALSE(url.empty()) << problem;
    }

    std::unique_ptr<mfg::records::RecordStore> store()
    {
        auto opened = mfg::records::RecordStore::open(url);
        EXPECT_TRUE(opened) << (opened ? "" : opened.error().message);
        return opened ? std::move(opened.value()) : nullptr;
    }

    testing_support::PostgresServer server;
    std::string url;
};

} // namespace

TEST(RecordsOnSqlite, EveryRunIsRecordedBesideTheFailedBoardLog)
{
    Station station("s1");
    ASSERT_TRUE(station.startBoards());
    station.useBoard("good");
    Finished passed = station.run("run --yes --station s1");
    EXPECT_EQ(passed.code, 0) << passed.out << station.dir.read("err.txt");
    station.useBoard("bad");
    Finished failed = station.run("run --yes --station s1");
    EXPECT_EQ(failed.code, 1) << failed.out;
    EXPECT_NE(station.dir.read("err.txt").find("today at s1: 2 boards, 1 passed, yield 50.0%"), std::string::npos)
        << station.dir.read("err.txt");

    // Option.dat still steps the range of a station on its own; the failed
    // board is logged as before, with the address it would have had.
    EXPECT_EQ(lines(station.dir.read("Option.dat"))[6], "00A0B0C0D0E1");
    EXPECT_NE(station.dir.read("fail.log").find("00A0B0C0D0E1"), std::string::npos);

    auto store = mfg::records::RecordStore::open("sqlite:" + station.dir.file("production.db"));
    ASSERT_TRUE(store) << store.error().message;
    auto runs = store.value()->runsSince("", true).value();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].mac, "00A0B0C0D0E0");
    EXPECT_EQ(runs[0].outcome, Outcome::Pass);
    EXPECT_FALSE(runs[0].macFromStore);
    EXPECT_EQ(runs[0].station, "s1");
    EXPECT_EQ(runs[0].operatorName, "op-s1");
    EXPECT_EQ(runs[0].programVersion, "1.8.1");
    EXPECT_EQ(runs[0].items.size(), 5u);
    EXPECT_LE(runs[0].startedAt, runs[0].endedAt);
    ASSERT_EQ(runs[0].files.size(), 3u);
    EXPECT_EQ(runs[0].files[0].role, "loader");
    EXPECT_EQ(runs[0].files[0].sha256, mfg::records::sha256Hex(std::string(2000, '\x5A')));
    EXPECT_EQ(runs[0].files[1].role, "production");
    EXPECT_EQ(runs[0].files[1].size, 1600);
    EXPECT_EQ(runs[1].mac, "00A0B0C0D0E1");
    EXPECT_EQ(runs[1].outcome, Outcome::Fail);
    ASSERT_EQ(runs[1].items.size(), 3u);
    EXPECT_EQ(runs[1].items[2].name, "EEPROM Test");
    EXPECT_EQ(runs[1].items[2].failure, "EEPROM test failed.\n");
    EXPECT_EQ(runs[1].resultMessage, "EEPROM test failed.\n");

    EXPECT_TRUE(runs[0].macWritten);
    EXPECT_FALSE(runs[1].macWritten);
    // The failed board never held E1 (it failed before its EEPROM data):
    // the board that gets E1 next has no run yet.
    EXPECT_EQ(station.run("history 00a0b0c0d0e1").code, 1);
    Finished history = station.run("history 00a0b0c0d0e0 --json");
    EXPECT_EQ(history.code, 0) << station.dir.read("err.txt");
    auto json = nlohmann::json::parse(history.out);
    ASSERT_EQ(json.size(), 1u);
    EXPECT_EQ(json[0]["outcome"], "pass");
    EXPECT_EQ(json[0]["items"][2]["item"], "EEPROM Test");
    EXPECT_EQ(station.run("history 00A0B0C0D0FF").code, 1);
    EXPECT_EQ(station.run("history nonsense").code, 2);

    Finished report = station.run("report --json --html report.html");
    ASSERT_EQ(report.code, 0) << station.dir.read("err.txt");
    json = nlohmann::json::parse(report.out);
    EXPECT_EQ(json["boards"], 2);
    EXPECT_EQ(json["passed"], 1);
    EXPECT_EQ(json["failures_per_item"][0]["item"], "EEPROM Test");
    EXPECT_TRUE(json["mac_range"].is_null());
    EXPECT_NE(station.dir.read("report.html").find("<svg"), std::string::npos);
    EXPECT_EQ(station.run("report --since yesterday").code, 2);
    EXPECT_EQ(nlohmann::json::parse(station.run("report --since 2999-01-01 --json").out)["boards"], 0);
}

// Text a station keeps in another encoding (a Latin-1 station or file name)
// is shown with a replacement character, never an aborted program.
TEST(RecordsOnSqlite, HistoryPrintsTextThatIsNoUtf8AsJson)
{
    Station station("s1");
    {
        auto store = mfg::records::RecordStore::open("sqlite:" + station.dir.file("production.db"));
        ASSERT_TRUE(store) << store.error().message;
        mfg::records::RunRecord run;
        run.station = "Caf\xe9";
        run.operatorName = "op";
        run.startedAt = run.endedAt = "2026-12-09T21:40:24.123Z";
        run.mac = "00A0B0C0D0E5";
        run.resultMessage = "EEPROM test failed.\xff\n";
        ASSERT_TRUE(store.value()->saveRun(run));
    }
    for (const char* arguments : { "history 00a0b0c0d0e5 --json", "report --json" }) {
        Finished shown = station.run(arguments);
        ASSERT_EQ(shown.code, 0) << arguments << ": " << station.dir.read("err.txt");
        const auto json = nlohmann::json::parse(shown.out, nullptr, false);
        ASSERT_FALSE(json.is_discarded()) << shown.out;
        if (std::string(arguments).starts_with("history")) {
            EXPECT_EQ(json[0]["station"], "Caf\xef\xbf\xbd") << shown.out;
        }
    }
}

TEST_F(RecordsOnPostgres, FourStationsShareOneRange)
{
    constexpr int kStations = 4;
    constexpr int kBoards = 50;
    // A busy machine slows the stations' time down: they test as many of
    // their boards as four minutes allow, and what must hold is checked over
    // every run there was.
    const auto enough = std::chrono::steady_clock::now() + 4min;
    std::vector<std::unique_ptr<Station>> stations;
    for (int s = 0; s < kStations; ++s) {
        stations.push_back(std::make_unique<Station>("s" + std::to_string(s + 1), 20));
        ASSERT_TRUE(stations.back()->startBoards());
    }
    std::mutex lock;
    std::map<std::string, std::vector<int>> codes; // every run's exit status, in order
    std::vector<std::string> problems;
    std::vector<std::thread> threads;
    for (int s = 0; s < kStations; ++s) {
        threads.emplace_back([&, s] {
            Station& station = *stations[s];
            std::vector<int> seen;
            for (int board = 0; board < kBoards && (board == 0 || std::chrono::steady_clock::now() < enough); ++board) {
                // Some boards fail: a few at every station, at different times.
                const bool bad = (board + 2 * s) % 9 == 4;
                station.useBoard(bad ? "bad" : "good");
                // The database's own wait is real time: four stations and
                // the server on a busy machine may need more than 30 s.
                Finished finished = station.run(
                    "run --yes --records '" + url + "' --station " + station.name(), "env KELLAN_MP_DB_WAIT=300");
                seen.push_back(finished.code);
                // A good board that fails anyway (its reply held up in
                // the kernel on its way) is a failed board like any other.
                if (finished.code != 1 && (bad || finished.code != 0)) {
                    std::lock_guard<std::mutex> guard(lock);
                    problems.push_back(station.name() + " board " + std::to_string(board) + ": exit "
                        + std::to_string(finished.code) + "\n" + finished.out + station.dir.read("err.txt"));
                    return;
                }
            }
            std::lock_guard<std::mutex> guard(lock);
            codes[station.name()] = seen;
        });
    }
    for (auto& thread : threads)
        thread.join();
    ASSERT_TRUE(problems.empty()) << problems.front();

    auto records = store();
    ASSERT_TRUE(records);
    auto runs = records->runsSince("").value();
    std::size_t ran = 0;
    for (const auto& [name, seen] : codes)
        ran += seen.size();
    ASSERT_EQ(runs.size(), ran);
    std::set<std::string> passedMacs;
    int passes = 0;
    for (const auto& station : stations) {
        std::vector<std::string> recorded;
        std::vector<int> outcomes;
        for (const auto& run : runs) {
            if (run.station != station->name())
                continue;
            EXPECT_TRUE(run.macFromStore);
            outcomes.push_back(run.outcome == Outcome::Pass ? 0 : 1);
            if (run.outcome == Outcome::Pass)
                recorded.push_back(run.mac);
        }
        EXPECT_EQ(outcomes, codes[station->name()]) << station->name();
        // The record of every passing board is the address its EEPROM held
        // when kellan-mp read it back (a good board that failed after its
        // read-back adds one between them).
        const auto readBack = station->macsReadBack();
        auto next = readBack.begin();
        for (const auto& mac : recorded) {
            next = std::find(next, readBack.end(), mac);
            ASSERT_NE(next, readBack.end()) << station->name() << ": " << mac << " was not on the board";
            ++next;
        }
        passes += static_cast<int>(recorded.size());
        passedMacs.insert(recorded.begin(), recorded.end());
        // Option.dat shows the range and is not stepped by the station.
        EXPECT_EQ(station->dir.read("Option.dat"), kOption);
    }
    EXPECT_EQ(static_cast<int>(passedMacs.size()), passes) << "a MAC was given to two boards";
    // What must hold holds however many good boards pass.
    EXPECT_GT(passes, 0) << "no board passed: nothing was checked";

    // Nothing skipped: the passing boards' addresses and those waiting to be
    // offered again fill the handed-out stretch from the range's start.
    const auto range = records->macRange().value().value();
    EXPECT_EQ(range.used, passes);
    EXPECT_EQ(range.leased, 0);
    std::set<std::uint64_t> handedOut;
    for (const auto& mac : passedMacs)
        handedOut.insert(mfg::records::macValue(mac).value());
    const auto free = records->sql().exec("SELECT mac FROM mac_free").value();
    for (const auto& row : free.rows)
        handedOut.insert(std::stoull(*row[0]));
    EXPECT_EQ(handedOut.size(), range.next - range.first);
    EXPECT_EQ(*handedOut.begin(), range.first);
    EXPECT_LE(range.free, kStations) << "a given-back address is offered before a new one";

    Finished report = stations[0]->run("report --json --records '" + url + "'");
    ASSERT_EQ(report.code, 0) << stations[0]->dir.read("err.txt");
    auto json = nlohmann::json::parse(report.out);
    EXPECT_EQ(json["boards"], ran);
    EXPECT_EQ(json["passed"], passes);
    EXPECT_EQ(json["mac_range"]["used"], passes);
    EXPECT_EQ(json["mac_range"]["first"], "00A0B0C0D0E0");
    EXPECT_EQ(json["mac_range"]["left"], 0x2FF - 0xE0 + 1 - passes);
}

TEST_F(RecordsOnPostgres, AKilledStationLeavesNoRecordAndNoAddressUsed)
{
    // Killed before its address went into the board, a station's lease
    // goes back to the next board; killed while writing it, the address is
    // on a board nobody saw pass and is never handed out again.
    const struct {
        const char* killedAt;
        const char* nextMac;
        const char* macLine;
        std::int64_t quarantined;
    } cases[] = {
        { "r", "00A0B0C0D0E0", "used 1, in runs now 0, given back 0, left 543", 0 },
        { "ew 0008", "00A0B0C0D0E1", "used 1, in runs now 0, given back 0, left 542", 1 },
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.killedAt);
        std::string problem;
        const std::string database = std::string("killed") + (row.quarantined ? "writing" : "testing");
        const std::string caseUrl = server.createDatabase(database, problem);
        ASSERT_FALSE(caseUrl.empty()) << problem;
        Station station("s1");
        ASSERT_TRUE(station.startBoards());
        station.useBoard("good");
        // Through records.dat this time, the station's own settings file.
        station.dir.write("records.dat", caseUrl + "\n");
        // The store's own wait is not what is tried here: a busy machine
        // may keep the server from answering for longer than a station waits.
        const std::string patient = "env KELLAN_MP_DB_WAIT=300";
        auto doomed = station.start("run --yes", patient);
        ASSERT_TRUE(station.stopAt(row.killedAt));
        doomed.kill();
        station.go();
        {
            auto records = mfg::records::RecordStore::open(caseUrl);
            ASSERT_TRUE(records) << records.error().message;
            EXPECT_TRUE(records.value()->runsSince("").value().empty()) << "a half-written record";
            EXPECT_EQ(records.value()->macRange().value()->leased, 1);
            EXPECT_EQ(records.value()->macRange().value()->used, 0);
            // The server ends the killed station's session (and its lock) a
            // moment after the station: the next start finds it gone then.
            auto holder = records.value()->sql().exec("SELECT holder FROM mac_lease");
            ASSERT_TRUE(holder && holder.value().rows.size() == 1u);
            const std::string id = holder.value().rows[0][0].value_or("");
            ASSERT_TRUE(testing_support::eventually([&] { return !records.value()->sql().holderAlive(id); }));
        }
        // The next station start reclaims the dead station's lease.
        Finished next = station.run("run --yes --station s2", patient);
        EXPECT_EQ(next.code, 0) << next.out << station.dir.read("err.txt");
        auto records = mfg::records::RecordStore::open(caseUrl).value();
        auto runs = records->runsSince("").value();
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(runs[0].mac, row.nextMac);
        EXPECT_EQ(runs[0].station, "s2");
        const auto range = records->macRange().value().value();
        EXPECT_EQ(range.used, 1);
        EXPECT_EQ(range.leased, 0);
        EXPECT_EQ(range.free, 0);
        EXPECT_EQ(range.quarantined, row.quarantined);
        Finished report = station.run("report");
        EXPECT_EQ(report.code, 0);
        EXPECT_NE(report.out.find("all                         1       1       0  100.0%"), std::string::npos)
            << report.out;
        EXPECT_NE(report.out.find(row.macLine), std::string::npos) << report.out;
    }
}

TEST_F(RecordsOnPostgres, AStoreThatCannotBeReachedStopsTheRun)
{
    Station station("s1");
    ASSERT_TRUE(station.startBoards());
    station.useBoard("good");
    Finished refused = station.run("run --yes --records 'postgresql:///nothere?host=" + station.dir.path() + "'");
    EXPECT_EQ(refused.code, 2);
    EXPECT_NE(station.dir.read("err.txt").find("kellan-mp run: records: "), std::string::npos);
    EXPECT_EQ(station.boards.read("good.events").find("command"), std::string::npos) << "a board was tested";
}
