// `kellan-mp run` processes against boardsim processes, recording into the
// station's own SQLite file and into a PostgreSQL server the test starts:
// four stations sharing one MAC range, a station killed mid-run, and what
// report and history then say. Sped up ten (four stations: twenty) times; the boards run the
// test firmware already, so a run is the self tests and the EEPROM.

#include "mfg/records/record_store.h"
#include "mfg/records/sha256.h"
#include "platform/child_process.h"
#include "tests/mfg/records/postgres_server.h"
#include "tests/mfg/station_files.h"
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

namespace {

constexpr const char* kOption
    = "loader.bin\ntest.bin\nprod.bin\neeprom.ini\nfail.log\n127.0.0.2\n00A0B0C0D0E0\n00A0B0C0D2FF\n4\n";

struct Finished {
    std::string out;
    int code = -1;
};

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        result.push_back(line);
    return result;
}

// A station: its folder of settings files and two boards behind ptys, one
// good and one whose EEPROM test fails; com-ports says which one is COM2.
class Station {
public:
    explicit Station(const std::string& name, int timeScale = 10)
        : m_name(name)
        , m_scale(std::to_string(timeScale))
    {
        testing_support::writeStationFiles(dir);
        dir.write("Option.dat", kOption);
        dir.write("com.dat", "COM2\n921.6K");
        // RAM, CPU, EEPROM, HSUART and the EEPROM data.
        dir.write("item.dat", "124\n");
    }

    bool startBoards()
    {
        return startBoard("good", "normal,test-firmware") && startBoard("bad", "normal,test-firmware,fail-et");
    }

    void useBoard(const std::string& which) { dir.write("com-ports", "COM2 " + dir.file(which) + "\n"); }

    platform::ChildProcess start(const std::string& arguments)
    {
        const std::string command = "cd '" + dir.path()
            + "' && SUITE_COM_MAP=com-ports PORTIO_MODULE=none KELLAN_MP_TIME_SCALE=" + m_scale + " LOGNAME=op-"
            + m_name + " exec '" + testing_support::programPath("kellan-mp") + "' " + arguments + " 2>>err.txt";
        auto started = platform::ChildProcess::start({ "sh", "-c", command });
        EXPECT_TRUE(started) << (started ? "" : started.error().message);
        return started ? std::move(started.value()) : platform::ChildProcess();
    }

    Finished run(const std::string& arguments)
    {
        auto process = start(arguments);
        Finished finished;
        while (auto line = process.readLine(60s))
            finished.out += line.value() + "\n";
        finished.code = process.wait(10s).value_or(-1);
        return finished;
    }

    // The MACs the good board held when kellan-mp read its EEPROM back.
    std::vector<std::string> macsReadBack() const
    {
        std::vector<std::string> macs;
        for (const auto& line : lines(dir.read("good.events"))) {
            if (line.rfind("command er mac ", 0) == 0)
                macs.push_back(line.substr(15));
        }
        return macs;
    }

    std::string name() const { return m_name; }
    testing_support::TempDir dir;

private:
    bool startBoard(const std::string& which, const std::string& options)
    {
        const std::string command = "exec '" + testing_support::programPath("boardsim") + "' --events --time-scale "
            + m_scale + " --link '" + dir.file(which) + "' --options " + options + " > '" + dir.file(which + ".events")
            + "'";
        auto started = platform::ChildProcess::start({ "sh", "-c", command });
        if (!started)
            return false;
        m_boards.push_back(std::move(started.value()));
        return testing_support::eventually([&] { return !dir.read(which + ".events").empty(); }, 10s);
    }

    std::string m_name;
    std::string m_scale;
    std::vector<platform::ChildProcess> m_boards;
};

class RecordsOnPostgres : public testing::Test {
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

    Finished history = station.run("history 00a0b0c0d0e1 --json");
    EXPECT_EQ(history.code, 0) << station.dir.read("err.txt");
    auto json = nlohmann::json::parse(history.out);
    ASSERT_EQ(json.size(), 1u);
    EXPECT_EQ(json[0]["outcome"], "fail");
    EXPECT_EQ(json[0]["items"][2]["failure"], "EEPROM test failed.\n");
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

TEST_F(RecordsOnPostgres, FourStationsShareOneRange)
{
    constexpr int kStations = 4;
    constexpr int kBoards = 50;
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
            for (int board = 0; board < kBoards; ++board) {
                // Some boards fail: a few at every station, at different times.
                const bool bad = (board + 2 * s) % 9 == 4;
                station.useBoard(bad ? "bad" : "good");
                Finished finished = station.run("run --yes --records '" + url + "' --station " + station.name());
                seen.push_back(finished.code);
                // A good board may fail on a machine too busy for the
                // sped-up waits; that is a failed board like any other.
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
    ASSERT_EQ(runs.size(), std::size_t(kStations * kBoards));
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
    EXPECT_GE(passes, kStations * kBoards * 3 / 4) << "hardly any board passed";

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
    EXPECT_EQ(json["boards"], kStations * kBoards);
    EXPECT_EQ(json["passed"], passes);
    EXPECT_EQ(json["mac_range"]["used"], passes);
    EXPECT_EQ(json["mac_range"]["first"], "00A0B0C0D0E0");
    EXPECT_EQ(json["mac_range"]["left"], 0x2FF - 0xE0 + 1 - passes);
}

TEST_F(RecordsOnPostgres, AKilledStationLeavesNoRecordAndNoAddressUsed)
{
    Station station("s1");
    ASSERT_TRUE(station.startBoards());
    station.useBoard("good");
    // Through records.dat this time, the station's own settings file.
    station.dir.write("records.dat", url + "\n");
    auto doomed = station.start("run --yes");
    // Killed while the EEPROM is written: the address is leased by then.
    ASSERT_TRUE(testing_support::eventually(
        [&] { return station.dir.read("good.events").find("command ew 0008") != std::string::npos; }, 30s));
    doomed.kill();
    {
        auto records = store();
        ASSERT_TRUE(records);
        EXPECT_TRUE(records->runsSince("").value().empty()) << "a half-written record";
        EXPECT_EQ(records->macRange().value()->leased, 1);
        EXPECT_EQ(records->macRange().value()->used, 0);
    }
    // The next station start gives the dead station's address back, and
    // the next board gets it.
    Finished next = station.run("run --yes --station s2");
    EXPECT_EQ(next.code, 0) << next.out << station.dir.read("err.txt");
    auto records = store();
    auto runs = records->runsSince("").value();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].mac, "00A0B0C0D0E0");
    EXPECT_EQ(runs[0].station, "s2");
    const auto range = records->macRange().value().value();
    EXPECT_EQ(range.used, 1);
    EXPECT_EQ(range.leased, 0);
    EXPECT_EQ(range.free, 0);
    Finished report = station.run("report");
    EXPECT_EQ(report.code, 0);
    EXPECT_NE(report.out.find("all                         1       1       0  100.0%"), std::string::npos)
        << report.out;
    EXPECT_NE(report.out.find("used 1, in runs now 0, given back 0, left 543"), std::string::npos) << report.out;
}

TEST_F(RecordsOnPostgres, AStoreThatCannotBeReachedStopsTheRun)
{
    Station station("s1");
    ASSERT_TRUE(station.startBoards());
    station.useBoard("good");
    Finished refused = station.run("run --yes --records 'postgresql:///nothere?host=" + station.dir.path() + "'");
    EXPECT_EQ(refused.code, 2);
    EXPECT_NE(station.dir.read("err.txt").find("kellan-mp run: records: "), std::string::npos);
    EXPECT_EQ(station.dir.read("good.events").find("command"), std::string::npos) << "a board was tested";
}
