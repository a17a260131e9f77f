// The records store against SQLite and a real PostgreSQL server: schema
// upgrades, the shared MAC range under concurrent stations, dead stations'
// leases, runs saved and read back.

#include "mfg/records/process_identity.h"
#include "tests/mfg/records/records_fixture.h"
#include "tests/support/eventually.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>

using namespace mfg::records;

namespace {

RunRecord sampleRun(const std::string& station, const std::string& mac, Outcome outcome, const std::string& ended)
{
    RunRecord run;
    run.station = station;
    run.operatorName = "ana";
    run.startedAt = ended.substr(0, 11) + "08:00:00.000Z";
    run.endedAt = ended;
    run.mac = mac;
    run.macFromStore = true;
    run.outcome = outcome;
    run.resultMessage = outcome == Outcome::Fail ? "EEPROM test failed.\n" : "";
    run.programVersion = "1.8.1";
    run.items = { { 2, "RAM Test", true, 1200, "" },
        { 4, "EEPROM Test", outcome != Outcome::Fail, 1400, outcome == Outcome::Fail ? "EEPROM test failed.\n" : "" } };
    run.files = { { "loader", "loader.bin", std::string(64, 'a'), 2000 }, { "test", "test.bin", "", -1 } };
    return run;
}

// A passing board's run, consumed with its address.
platform::Result<std::int64_t> consume(RecordStore& store, const MacLease& lease)
{
    return store.consumeMac(lease, sampleRun("st", macText(lease.mac), Outcome::Pass, "2026-12-01T10:00:00.000Z"));
}

} // namespace

TEST_P(RecordsTest, AFreshDatabaseGetsTheWholeSchema)
{
    auto store = open();
    ASSERT_TRUE(store);
    EXPECT_EQ(store->schemaVersion().value(), kSchemaVersion);
    // Opening again changes nothing.
    store.reset();
    store = open();
    ASSERT_TRUE(store);
    EXPECT_EQ(store->schemaVersion().value(), kSchemaVersion);
}

TEST_P(RecordsTest, AnOlderDatabaseIsUpgradedWithItsRecords)
{
    {
        auto old = RecordStore::openAtVersion(url, 1);
        ASSERT_TRUE(old) << old.error().message;
        EXPECT_EQ(old.value()->schemaVersion().value(), 1);
        // A run as the first version saved it.
        ASSERT_TRUE(old.value()->sql().exec(
            "INSERT INTO runs (station, operator, started_at, ended_at, mac, mac_from_store, outcome, result_message,"
            " program_version) VALUES ('st1', 'ana', '2026-12-01T08:00:00.000Z', '2026-12-01T10:00:00.000Z',"
            " '00A0B0C0D0E0', 1, 'pass', '', '1.8.0')"));
    }
    auto store = open();
    ASSERT_TRUE(store);
    EXPECT_EQ(store->schemaVersion().value(), kSchemaVersion);
    auto runs = store->runsOfMac("00a0b0c0d0e0");
    ASSERT_TRUE(runs);
    ASSERT_EQ(runs.value().size(), 1u);
    EXPECT_EQ(runs.value()[0].station, "st1");
}

TEST_P(RecordsTest, ANewerDatabaseIsRefusedWithAClearMessage)
{
    {
        auto store = open();
        ASSERT_TRUE(store);
        ASSERT_TRUE(store->sql().exec(
            "INSERT INTO schema_version (version) VALUES ($1)", { std::to_string(kSchemaVersion + 1) }));
    }
    auto refused = RecordStore::open(url);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().message.find("schema version " + std::to_string(kSchemaVersion + 1)
                  + ", newer than this program's " + std::to_string(kSchemaVersion)),
        std::string::npos)
        << refused.error().message;
}

TEST_P(RecordsTest, AFailedBoardsAddressIsOfferedAgainAndTheRangeEnds)
{
    auto store = open();
    ASSERT_TRUE(store);
    EXPECT_FALSE(store->macRange().value());
    EXPECT_FALSE(store->leaseMac("st1").value()) << "no range, no address";
    ASSERT_TRUE(store->seedMacRange(0x00A0B0C0D0E0, 0x00A0B0C0D0E2).value());
    // A second seed (another station starting) leaves the range alone.
    EXPECT_FALSE(store->seedMacRange(0x111111111111, 0x222222222222).value());

    auto a = store->leaseMac("st1").value();
    auto b = store->leaseMac("st2").value();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(macText(a->mac), "00A0B0C0D0E0");
    EXPECT_EQ(macText(b->mac), "00A0B0C0D0E1");
    ASSERT_TRUE(store->releaseMac(*a)); // the board failed
    auto c = store->leaseMac("st3").value();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->mac, a->mac);
    ASSERT_TRUE(consume(*store, *b));
    ASSERT_TRUE(consume(*store, *c));
    auto d = store->leaseMac("st1").value();
    ASSERT_TRUE(d);
    EXPECT_EQ(macText(d->mac), "00A0B0C0D0E2"); // the end itself is handed out
    EXPECT_FALSE(store->leaseMac("st2").value()) << "used up";

    const MacRange range = store->macRange().value().value();
    EXPECT_EQ(range.used, 2);
    EXPECT_EQ(range.leased, 1);
    EXPECT_EQ(range.free, 0);
    EXPECT_EQ(range.left(), 0u);
    // A consumed address cannot be given back.
    ASSERT_TRUE(store->releaseMac(*b));
    EXPECT_EQ(store->macRange().value()->used, 2);
    EXPECT_EQ(store->macRange().value()->free, 0);
}

TEST_P(RecordsTest, StationsStartingTogetherSeedTheRangeOnce)
{
    // Every station of a line seeds the range from its Option.dat when it
    // starts; started together, all but one find it there already.
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        std::string roundUrl;
        if (GetParam() == "sqlite") {
            roundUrl = "sqlite:" + dir.file("seed" + std::to_string(round) + ".db");
        } else {
            std::string problem;
            roundUrl = server.createDatabase("seed" + std::to_string(round), problem);
            ASSERT_FALSE(roundUrl.empty()) << problem;
        }
        constexpr int kStations = 6;
        std::mutex lock;
        std::vector<std::string> problems;
        std::atomic<int> seeded { 0 };
        std::atomic<int> ready { 0 };
        std::vector<std::thread> stations;
        for (int s = 0; s < kStations; ++s) {
            stations.emplace_back([&] {
                auto store = RecordStore::open(roundUrl);
                ++ready;
                while (ready < kStations)
                    std::this_thread::yield();
                if (!store) {
                    std::lock_guard<std::mutex> guard(lock);
                    problems.push_back(store.error().message);
                    return;
                }
                auto done = store.value()->seedMacRange(0x00A0B0C0D0E0, 0x00A0B0C0D0FF);
                std::lock_guard<std::mutex> guard(lock);
                if (!done)
                    problems.push_back(done.error().message);
                else if (done.value())
                    ++seeded;
            });
        }
        for (auto& station : stations)
            station.join();
        ASSERT_TRUE(problems.empty()) << problems.front();
        EXPECT_EQ(seeded, 1);
    }
}

TEST_P(RecordsTest, ConcurrentStationsNeverShareAnAddress)
{
    {
        auto store = open();
        ASSERT_TRUE(store);
        ASSERT_TRUE(store->seedMacRange(0x0000FFFFFFF0, 0x000100000FFF).value());
    }
    constexpr int kStations = 8;
    constexpr int kBoards = 25;
    std::mutex lock;
    std::vector<std::uint64_t> consumed;
    std::vector<std::string> problems;
    std::vector<std::thread> stations;
    for (int s = 0; s < kStations; ++s) {
        stations.emplace_back([&, s] {
            auto store = RecordStore::open(url);
            if (!store) {
                std::lock_guard<std::mutex> guard(lock);
                problems.push_back(store.error().message);
                return;
            }
            for (int board = 0; board < kBoards; ++board) {
                auto lease = store.value()->leaseMac("st" + std::to_string(s));
                if (!lease || !lease.value()) {
                    std::lock_guard<std::mutex> guard(lock);
                    problems.push_back(lease ? "range used up" : lease.error().message);
                    return;
                }
                // Every third board of a station fails and gives its address back.
                const bool fails = (board + s) % 3 == 0;
                std::string problem;
                if (fails) {
                    if (auto given = store.value()->releaseMac(*lease.value()); !given)
                        problem = given.error().message;
                } else if (auto used = consume(*store.value(), *lease.value()); !used) {
                    problem = used.error().message;
                }
                std::lock_guard<std::mutex> guard(lock);
                if (!problem.empty())
                    problems.push_back(problem);
                else if (!fails)
                    consumed.push_back(lease.value()->mac);
            }
        });
    }
    for (auto& station : stations)
        station.join();
    ASSERT_TRUE(problems.empty()) << problems.front();
    std::set<std::uint64_t> distinct(consumed.begin(), consumed.end());
    EXPECT_EQ(distinct.size(), consumed.size()) << "an address was given to two boards";
    auto store = open();
    const MacRange range = store->macRange().value().value();
    EXPECT_EQ(range.used, static_cast<std::int64_t>(consumed.size()));
    EXPECT_EQ(range.leased, 0);
    // No address skipped: what was consumed and what waits to be offered
    // again is exactly the stretch handed out, across the 32-bit carry.
    auto free = store->sql().exec("SELECT mac FROM mac_free").value();
    for (const auto& row : free.rows)
        distinct.insert(static_cast<std::uint64_t>(std::stoull(*row[0])));
    EXPECT_EQ(distinct.size(), range.next - range.first);
    EXPECT_EQ(*distinct.begin(), range.first);
    EXPECT_EQ(*distinct.rbegin(), range.next - 1);
}

TEST_P(RecordsTest, LeasesOfAGoneHolderAreGivenBackOthersKept)
{
    auto store = open();
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->seedMacRange(0x00A0B0C0D0E0, 0x00A0B0C0D0FF).value());
    auto other = RecordStore::open(url);
    ASSERT_TRUE(other);
    auto held = other.value()->leaseMac("st2").value(); // a station still running
    auto mine = store->leaseMac("st1").value();
    ASSERT_TRUE(held && mine);
    auto gone = RecordStore::open(url);
    ASSERT_TRUE(gone);
    // The holder's lock (its session, or its lock file) ends with it.
    ASSERT_TRUE(gone.value()->leaseMac("st3").value());
    gone.value().reset();
    int reclaimed = 0;
    ASSERT_TRUE(testing_support::eventually([&] {
        auto count = store->reclaimDeadLeases();
        reclaimed += count ? count.value() : 0;
        return reclaimed > 0;
    })) << "the gone holder's lease was not given back";
    EXPECT_EQ(reclaimed, 1);
    const MacRange range = store->macRange().value().value();
    EXPECT_EQ(range.leased, 2) << "the living holders keep theirs";
    EXPECT_EQ(range.free, 1);
    EXPECT_TRUE(consume(*other.value(), *held));
    EXPECT_TRUE(consume(*store, *mine));
}

TEST_P(RecordsTest, StationsStartingTogetherGiveADeadStationsLeasesBackOnce)
{
    {
        auto store = open();
        ASSERT_TRUE(store);
        ASSERT_TRUE(store->seedMacRange(0x00A0B0C0D000, 0x00A0B0C0D0FF).value());
        for (int i = 0; i < 16; ++i) {
            ASSERT_TRUE(store->sql().exec(
                "INSERT INTO mac_lease (mac, holder, station, leased_at) VALUES ($1, $2, 'dead', 'x')",
                { std::to_string(0x00A0B0C0D000 + i), hostName() + "/4194305/1" }));
        }
        ASSERT_TRUE(store->sql().exec("UPDATE mac_range SET next_mac = next_mac + 16"));
    }
    std::mutex lock;
    std::vector<std::string> problems;
    std::vector<std::thread> stations;
    for (int s = 0; s < 6; ++s) {
        stations.emplace_back([&] {
            auto store = RecordStore::open(url);
            auto given = store ? store.value()->reclaimDeadLeases() : platform::Result<int>(store.error());
            if (!given) {
                std::lock_guard<std::mutex> guard(lock);
                problems.push_back(given.error().message);
            }
        });
    }
    for (auto& station : stations)
        station.join();
    EXPECT_TRUE(problems.empty()) << problems.front();
    auto store = open();
    const MacRange range = store->macRange().value().value();
    EXPECT_EQ(range.free, 16);
    EXPECT_EQ(range.leased, 0);
}

TEST_P(RecordsTest, RunsAreReadBackWithTheirItemsAndFiles)
{
    auto store = open();
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->saveRun(sampleRun("st1", "00A0B0C0D0E0", Outcome::Fail, "2026-12-01T10:00:00.000Z")));
    ASSERT_TRUE(store->saveRun(sampleRun("st1", "00A0B0C0D0E0", Outcome::Pass, "2026-12-02T09:00:00.000Z")));
    ASSERT_TRUE(store->saveRun(sampleRun("st2", "00A0B0C0D0E1", Outcome::Pass, "2026-12-02T11:00:00.000Z")));
    ASSERT_TRUE(store->saveRun(sampleRun("st1", "00A0B0C0D0E2", Outcome::Interrupted, "2026-12-02T12:00:00.000Z")));

    auto history = store->runsOfMac("00A0B0C0D0E0").value();
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0].outcome, Outcome::Fail);
    EXPECT_EQ(history[1].outcome, Outcome::Pass);
    ASSERT_EQ(history[0].items.size(), 2u);
    EXPECT_EQ(history[0].items[1].name, "EEPROM Test");
    EXPECT_FALSE(history[0].items[1].passed);
    EXPECT_EQ(history[0].items[1].durationMs, 1400);
    EXPECT_EQ(history[0].items[1].failure, "EEPROM test failed.\n");
    ASSERT_EQ(history[0].files.size(), 2u);
    EXPECT_EQ(history[0].files[0].sha256, std::string(64, 'a'));
    EXPECT_EQ(history[0].files[0].size, 2000);
    EXPECT_EQ(history[0].files[1].size, -1);
    EXPECT_EQ(history[0].operatorName, "ana");
    EXPECT_EQ(history[0].programVersion, "1.8.1");

    auto since = store->runsSince("2026-12-02").value();
    ASSERT_EQ(since.size(), 3u);
    EXPECT_EQ(since[0].mac, "00A0B0C0D0E0");
    EXPECT_EQ(since[2].outcome, Outcome::Interrupted);

    // Interrupted runs are no boards tested.
    auto day = store->stationDay("st1", "2026-12-02").value();
    EXPECT_EQ(day.runs, 1);
    EXPECT_EQ(day.passed, 1);
    EXPECT_EQ(store->stationDay("st1", "2026-12-01").value().passed, 0);
    EXPECT_EQ(store->stationDay("st9", "2026-12-02").value().runs, 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, RecordsTest, testing::Values("sqlite", "postgres"), backendName);

TEST(ProcessIdentity, TellsThisProcessFromAGoneOne)
{
    const std::string me = thisProcessIdentity();
    EXPECT_TRUE(processIdentityAlive(me));
    // Same number, another start: a later process that reused the number.
    const auto lastSlash = me.rfind('/');
    EXPECT_FALSE(processIdentityAlive(me.substr(0, lastSlash) + "/1"));
    EXPECT_FALSE(processIdentityAlive(hostName() + "/4194305/1"));
    // Another host's process cannot be asked: taken to run.
    EXPECT_TRUE(processIdentityAlive("some-other-host/1/1"));
}

TEST(RecordStoreOpen, AThrowAwayDatabaseIsRefused)
{
    // Each run would get a fresh range seeded from Option.dat: every board
    // the same first address, and no record kept.
    for (const char* url : { "sqlite:", "sqlite::memory:", ":memory:", "sqlite:file:line?mode=memory&cache=shared" }) {
        SCOPED_TRACE(url);
        auto store = RecordStore::open(url);
        ASSERT_FALSE(store);
        EXPECT_NE(store.error().message.find("no lasting records database"), std::string::npos)
            << store.error().message;
    }
}

TEST(RecordStoreOpen, SqliteCommitsReachTheDiskBeforeTheyAreReported)
{
    testing_support::TempDir dir;
    auto store = RecordStore::open("sqlite:" + dir.file("line.db"));
    ASSERT_TRUE(store) << store.error().message;
    // FULL (2): a commit in the write-ahead log is synced before it returns,
    // so a power cut cannot roll back an address already handed out.
    auto synchronous = store.value()->sql().exec("PRAGMA synchronous");
    ASSERT_TRUE(synchronous && !synchronous.value().rows.empty());
    EXPECT_EQ(synchronous.value().rows[0][0].value_or(""), "2");
}

TEST_P(RecordsTest, AnAddressIsConsumedOnlyTogetherWithItsPassingRecord)
{
    auto store = open();
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->seedMacRange(0x00A0B0C0D0E0, 0x00A0B0C0D0FF).value());
    auto lease = store->leaseMac("st1").value();
    ASSERT_TRUE(lease);
    // A record the store refuses (two files of one role): neither happens.
    RunRecord broken = sampleRun("st1", macText(lease->mac), Outcome::Pass, "2026-12-01T10:00:00.000Z");
    broken.files.push_back(broken.files.front());
    EXPECT_FALSE(store->consumeMac(*lease, broken));
    EXPECT_EQ(store->macRange().value()->used, 0);
    EXPECT_EQ(store->macRange().value()->leased, 1);
    EXPECT_TRUE(store->runsSince("").value().empty());
    // Both at once.
    ASSERT_TRUE(consume(*store, *lease));
    EXPECT_EQ(store->macRange().value()->used, 1);
    auto runs = store->runsSince("").value();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].mac, "00A0B0C0D0E0");
    EXPECT_FALSE(consume(*store, *lease)) << "consumed twice";
}

TEST_P(RecordsTest, AHolderIsARandomIdWithALockNotAProcessNumber)
{
    auto store = open();
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->seedMacRange(0x00A0B0C0D0E0, 0x00A0B0C0D0FF).value());
    auto lease = store->leaseMac("st1").value();
    ASSERT_TRUE(lease);
    auto holder = store->sql().exec("SELECT holder FROM mac_lease").value();
    ASSERT_EQ(holder.rows.size(), 1u);
    const std::string id = holder.rows[0][0].value_or("");
    // A host name and a process number collide across PID namespaces.
    EXPECT_TRUE(isHolderId(id)) << id;
    EXPECT_EQ(id.find(hostName()), std::string::npos);
    auto other = RecordStore::open(url);
    ASSERT_TRUE(other);
    EXPECT_TRUE(other.value()->sql().holderAlive(id));
    EXPECT_EQ(other.value()->reclaimDeadLeases().value(), 0);
    EXPECT_NE(newHolderId(), newHolderId());
    store.reset();
    ASSERT_TRUE(testing_support::eventually([&] { return !other.value()->sql().holderAlive(id); }));
    EXPECT_EQ(other.value()->reclaimDeadLeases().value(), 1);
}

TEST_P(RecordsTest, AWrittenAddressWhosePassWasNotConfirmedIsNeverOfferedAgain)
{
    auto store = open();
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->seedMacRange(0x00A0B0C0D0E0, 0x00A0B0C0D0FF).value());
    {
        // A station killed after writing E0 into a board, before E1 went in.
        auto gone = RecordStore::open(url);
        ASSERT_TRUE(gone);
        auto written = gone.value()->leaseMac("st2").value();
        auto leased = gone.value()->leaseMac("st2").value();
        ASSERT_TRUE(written && leased);
        ASSERT_TRUE(gone.value()->markWritten(*written));
    }
    ASSERT_TRUE(testing_support::eventually([&] {
        auto reclaimed = store->reclaimDeadLeases();
        return reclaimed && reclaimed.value() > 0;
    }));
    MacRange range = store->macRange().value().value();
    EXPECT_EQ(range.free, 1);
    EXPECT_EQ(range.quarantined, 1);
    EXPECT_EQ(range.leased, 0);
    auto quarantined = store->quarantinedMacs().value();
    ASSERT_EQ(quarantined.size(), 1u);
    EXPECT_EQ(macText(quarantined[0].mac), "00A0B0C0D0E0");
    EXPECT_EQ(quarantined[0].station, "st2");
    EXPECT_EQ(macText(store->leaseMac("st1").value()->mac), "00A0B0C0D0E1");
    EXPECT_EQ(macText(store->leaseMac("st1").value()->mac), "00A0B0C0D0E2");

    // This station's own consume whose answer was lost: the pass recorded
    // by it becomes a failure, and the address is quarantined all the same.
    auto lease = store->leaseMac("st1").value();
    ASSERT_TRUE(lease && store->markWritten(*lease));
    ASSERT_TRUE(consume(*store, *lease));
    ASSERT_TRUE(store->quarantineMac(*lease, "st", "pass not confirmed"));
    range = store->macRange().value().value();
    EXPECT_EQ(range.used, 0);
    EXPECT_EQ(range.quarantined, 2);
    auto runs = store->runsOfMac(macText(lease->mac)).value();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].outcome, Outcome::Fail);
    EXPECT_EQ(runs[0].resultMessage, "pass not confirmed");
    // A lease no longer this station's cannot be marked for writing.
    EXPECT_FALSE(store->markWritten(*lease));
}
