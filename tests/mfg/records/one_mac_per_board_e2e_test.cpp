// One MAC address per passing board, whatever fails: kellan-mp processes
// against boardsim processes when Option.dat cannot be written, when two
// programs work on one station's folder, when the records server stops
// between a board's EEPROM and its pass, and when stations in separate PID
// namespaces share one SQLite file. A station's time is stopped at the
// moment a fault needs, and the station held still (SIGSTOP) there, so no
// outcome depends on how busy the machine is.

#include "mfg/records/record_store.h"
#include "platform/text_file.h"
#include "tests/mfg/records/postgres_server.h"
#include "tests/mfg/records/station_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <fstream>
#include <sys/types.h>

using namespace testing_support::stations;

namespace {

// kellan-mp's line of Option.dat that holds the next address.
std::string currentMacLine(const Station& station) { return lines(station.dir.read("Option.dat"))[6]; }

// The first child of a process (kellan-mp under unshare).
int firstChild(int pid)
{
    std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    int child = -1;
    children >> child;
    return child;
}

void hold(int pid) { ASSERT_EQ(::kill(pid, SIGSTOP), 0); }
void resume(int pid) { ASSERT_EQ(::kill(pid, SIGCONT), 0); }

std::unique_ptr<mfg::records::RecordStore> openStore(const std::string& url)
{
    auto opened = mfg::records::RecordStore::open(url);
    EXPECT_TRUE(opened) << (opened ? "" : opened.error().message);
    return opened ? std::move(opened.value()) : nullptr;
}

} // namespace

TEST(OneMacPerBoard, OptionsBeforeTheCommandGoToItOrAreRefused)
{
    Station station("s1");
    ASSERT_TRUE(station.startBoards());
    station.useBoard("good");
    testing_support::TempDir shared;
    const std::string url = "sqlite:" + shared.file("line.db");
    Finished passed = station.run("--records " + url + " --station s9 run --yes");
    ASSERT_EQ(passed.code, 0) << passed.out << station.dir.read("err.txt");
    auto store = openStore(url);
    ASSERT_TRUE(store);
    auto runs = store->runsSince("").value();
    ASSERT_EQ(runs.size(), 1u) << "the run was not recorded in the store named before the command";
    EXPECT_EQ(runs[0].station, "s9");
    EXPECT_TRUE(runs[0].macFromStore);
    EXPECT_FALSE(platform::fileExists(station.dir.file("production.db")));

    const struct {
        const char* arguments;
        const char* refusal;
    } refused[] = {
        { "--station s9 items", "--station does not apply to items" },
        { "--records sqlite:x.db options", "--records does not apply to options" },
        { "--portio none report", "--portio does not apply to report" },
        { "--records sqlite:a.db run --yes --records sqlite:b.db", "--records is given twice" },
    };
    for (const auto& row : refused) {
        SCOPED_TRACE(row.arguments);
        station.dir.write("err.txt", "");
        EXPECT_EQ(station.run(row.arguments).code, 2);
        EXPECT_NE(station.dir.read("err.txt").find(row.refusal), std::string::npos) << station.dir.read("err.txt");
    }
    EXPECT_EQ(store->runsSince("").value().size(), 1u) << "a refused command ran a board";
}

TEST(OneMacPerBoard, APassThatCannotBeWrittenToOptionDatIsAFailure)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs a read-only mount of the station's folder (root in a mount namespace)";
    Station station("s1");
    ASSERT_TRUE(station.startBoards());
    station.useBoard("good");
    // The station's folder read-only, as a full or write-protected disk is.
    testing_support::TempDir outside;
    outside.write("read-only.sh",
        "mount --bind \"$RO_DIR\" \"$RO_DIR\" && mount -o remount,bind,ro \"$RO_DIR\" "
        "&& cd \"$RO_DIR\" || exit 99\nexec \"$@\"\n");
    const std::string prefix = "env RO_DIR='" + station.dir.path() + "' unshare -m --propagation private sh '"
        + outside.file("read-only.sh") + "'";
    for (int board = 0; board < 2; ++board) {
        SCOPED_TRACE(board);
        // Without records: a station that cannot write its production.db
        // would test no board at all.
        Finished run = station.run("run --yes --records none", prefix, outside.file("err.txt"));
        EXPECT_EQ(run.code, 1) << run.out << outside.read("err.txt");
        EXPECT_NE(run.out.find("FAIL\n"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("Can not update Option.dat"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("This board holds 00A0B0C0D0E0, which the next board will get: test it again."),
            std::string::npos)
            << run.out;
    }
    EXPECT_EQ(station.dir.read("Option.dat"), kOption);
}

TEST(OneMacPerBoard, OneStationFolderServesOneProgramAtATime)
{
    Station station("s1");
    ASSERT_TRUE(station.startBoards());
    station.useBoard("good");
    auto first = station.start("run --yes");
    ASSERT_TRUE(station.stopAt("r"));
    hold(first.pid());
    station.go();
    // A second station started on the same folder would hand out the same
    // Option.dat address.
    Finished second = station.run("run --yes");
    EXPECT_EQ(second.code, 2) << second.out;
    EXPECT_NE(station.dir.read("err.txt").find("one station, one folder"), std::string::npos)
        << station.dir.read("err.txt");
    EXPECT_EQ(station.run("items --select all").code, 2);
    resume(first.pid());
    Finished done = Station::finish(first);
    EXPECT_EQ(done.code, 0) << done.out << station.dir.read("err.txt");
    EXPECT_EQ(station.macsReadBack(), std::vector<std::string> { "00A0B0C0D0E0" });
    EXPECT_EQ(currentMacLine(station), "00A0B0C0D0E1");
    EXPECT_EQ(station.dir.read("item.dat"), "124\n");
}

TEST(OneMacPerBoard, OptionsAreNotChangedUnderARun)
{
    Station station("s1");
    ASSERT_TRUE(station.startBoards());
    station.useBoard("good");
    auto run = station.start("run --yes");
    ASSERT_TRUE(station.stopAt("r"));
    hold(run.pid());
    station.go();
    const std::string comBefore = station.dir.read("com.dat");
    Finished refused = station.run("options --loader other.bin");
    EXPECT_EQ(refused.code, 2) << refused.out;
    EXPECT_EQ(station.dir.read("Option.dat"), kOption);
    EXPECT_EQ(station.dir.read("com.dat"), comBefore);
    // Showing the fields does not get in the run's way.
    EXPECT_EQ(station.run("options --json").code, 0);
    resume(run.pid());
    Finished done = Station::finish(run);
    EXPECT_EQ(done.code, 0) << done.out << station.dir.read("err.txt") << station.boards.read("good.events");
    // After the run the change goes through, and the run's address step stays.
    EXPECT_EQ(station.run("options --loader other.bin").code, 0) << station.dir.read("err.txt");
    const auto option = lines(station.dir.read("Option.dat"));
    EXPECT_EQ(option[0], "other.bin");
    EXPECT_EQ(option[6], "00A0B0C0D0E1");
}

TEST(OneMacPerBoard, AnAddressWrittenBeforeTheStoreStoppedIsQuarantined)
{
    if (testing_support::PostgresServer::binDir().empty())
        GTEST_SKIP() << "PostgreSQL server binaries (initdb, pg_ctl) are not installed";
    testing_support::PostgresServer server;
    std::string problem;
    ASSERT_TRUE(server.start(problem)) << problem;
    const std::string url = server.createDatabase("line", problem);
    ASSERT_FALSE(url.empty()) << problem;
    Station station("s1");
    ASSERT_TRUE(station.startBoards());
    station.useBoard("good");
    auto doomed = station.start("run --yes --records '" + url + "'");
    ASSERT_TRUE(station.stopAt("ew 0008"));
    hold(doomed.pid());
    station.go();
    ASSERT_TRUE(server.stop());
    resume(doomed.pid());
    Finished failed = Station::finish(doomed);
    EXPECT_EQ(failed.code, 1) << failed.out;
    EXPECT_NE(failed.out.find("FAIL\n"), std::string::npos) << failed.out;
    EXPECT_NE(failed.out.find("This board holds 00A0B0C0D0E0, whose pass could not be confirmed: the address is "
                              "quarantined and never handed out again."),
        std::string::npos)
        << failed.out;

    ASSERT_TRUE(server.restart(problem)) << problem;
    Finished next = station.run("run --yes --records '" + url + "'");
    EXPECT_EQ(next.code, 0) << next.out << station.dir.read("err.txt");
    EXPECT_EQ(station.macsReadBack(), (std::vector<std::string> { "00A0B0C0D0E0", "00A0B0C0D0E1" }));
    Finished report = station.run("report --json --records '" + url + "'");
    ASSERT_EQ(report.code, 0) << station.dir.read("err.txt");
    auto json = nlohmann::json::parse(report.out);
    ASSERT_EQ(json["quarantined_macs"].size(), 1u) << report.out;
    EXPECT_EQ(json["quarantined_macs"][0]["mac"], "00A0B0C0D0E0");
    EXPECT_EQ(json["mac_range"]["used"], 1);
    EXPECT_EQ(json["mac_range"]["in_runs"], 0);
    EXPECT_EQ(json["mac_range"]["given_back"], 0);
    EXPECT_EQ(json["passed"], 1);
}

TEST(OneMacPerBoard, AStationInAnotherPidNamespaceKeepsItsLease)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs a PID namespace of its own (root)";
    testing_support::TempDir shared;
    const std::string url = "sqlite:" + shared.file("line.db");
    Station a("a");
    Station b("b");
    ASSERT_TRUE(a.startBoards());
    ASSERT_TRUE(b.startBoards());
    a.useBoard("good");
    b.useBoard("good");
    // Same host name, its own process numbers: a container.
    auto contained = a.start("run --yes --records " + url, "unshare -p -f --mount-proc");
    ASSERT_TRUE(a.stopAt("ew 0008")) << Station::finish(contained).out << a.dir.read("err.txt")
                                     << a.boards.read("good.events");
    const int station = firstChild(contained.pid());
    ASSERT_GT(station, 0);
    hold(station);
    a.go();
    Finished other = b.run("run --yes --records " + url);
    resume(station);
    Finished held = Station::finish(contained);
    EXPECT_EQ(other.code, 0) << other.out << b.dir.read("err.txt");
    EXPECT_EQ(held.code, 0) << held.out << a.dir.read("err.txt");
    EXPECT_EQ(a.macsReadBack(), std::vector<std::string> { "00A0B0C0D0E0" });
    EXPECT_EQ(b.macsReadBack(), std::vector<std::string> { "00A0B0C0D0E1" }) << "a live station's lease was taken";
}
