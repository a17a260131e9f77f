#include "platform/child_process.h"
#include "platform/net.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <regex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
using testing_support::programPath;
using testing_support::TempDir;

namespace {

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

// The qelta program against five simulated device servers, all inside this
// test's own network namespace.
class QeltaSearch : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(std::system(("cp '" + programPath("VORPIL.inf") + "' '" + dir.path() + "/'").c_str()), 0);
        auto started = platform::ChildProcess::start(
            { programPath("devsim"), "--devices", "5", "--first-address", "127.0.0.10", "--reboot-time", "1" });
        ASSERT_TRUE(started.ok());
        devsim = std::move(started.value());
        for (int i = 0; i < 5; ++i) {
            auto line = devsim.readLine(10s);
            ASSERT_TRUE(line.ok()) << "devsim did not start";
        }
    }

    void TearDown() override
    {
        devsim.terminate();
        devsim.wait(5s);
    }

    ProgramRun qelta(const std::string& arguments)
    {
        const std::string command = "cd '" + dir.path() + "' && '" + programPath("qelta") + "' " + arguments
            + " >out.txt 2>err.txt; echo $? >status.txt";
        ProgramRun run;
        if (std::system(command.c_str()) != 0)
            return run;
        run.status = std::atoi(dir.read("status.txt").c_str());
        run.out = dir.read("out.txt");
        run.err = dir.read("err.txt");
        return run;
    }

    // The --json array; an empty one when the output is no JSON.
    static nlohmann::json objects(const std::string& json)
    {
        auto parsed = nlohmann::json::parse(json, nullptr, false);
        EXPECT_FALSE(parsed.is_discarded()) << json;
        return parsed.is_array() ? parsed : nlohmann::json::array();
    }

    TempDir dir;
    platform::ChildProcess devsim;
};

} // namespace

TEST_F(QeltaSearch, BroadcastFindsEveryDeviceOnce)
{
    const ProgramRun run = qelta("search --json");
    ASSERT_EQ(run.status, 0) << run.err;
    const auto rows = objects(run.out);
    ASSERT_EQ(rows.size(), 5u) << run.out;
    std::set<std::string> addresses;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i]["no"], i + 1);
        EXPECT_TRUE(rows[i]["port"].is_number());
        EXPECT_EQ(rows[i]["mode"], "Server");
        EXPECT_EQ(rows[i]["status"], "Idle");
        EXPECT_EQ(rows[i]["dhcp"], "Disable");
        EXPECT_TRUE(std::regex_match(rows[i]["mac"].get<std::string>(), std::regex("([0-9A-F]{2}-){5}[0-9A-F]{2}")));
        addresses.insert(rows[i]["ip"].get<std::string>());
    }
    EXPECT_EQ(
        addresses, (std::set<std::string> { "127.0.0.10", "127.0.0.11", "127.0.0.12", "127.0.0.13", "127.0.0.14" }));
    // The settings file was written at exit, as the window writes it.
    EXPECT_NE(dir.read("Qelta.dat").find("ZORV:1.6"), std::string::npos);
}

TEST_F(QeltaSearch, MulticastFindsEveryDevice)
{
    const ProgramRun run = qelta("search --multicast=225.1.2.3 --ttl 2 --json");
    ASSERT_EQ(run.status, 0) << run.err;
    std::set<std::string> addresses;
    for (const auto& row : objects(run.out))
        addresses.insert(row["ip"].get<std::string>());
    EXPECT_EQ(addresses.size(), 5u) << run.out;
}

TEST_F(QeltaSearch, IpSearchFindsOneDeviceAndPlainTableShowsTheColumns)
{
    ProgramRun run = qelta("search --ip 127.0.0.13 --json");
    ASSERT_EQ(run.status, 0) << run.err;
    const auto rows = objects(run.out);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["ip"], "127.0.0.13");
    EXPECT_EQ(rows[0]["name"], "DS-0004");

    run = qelta("search --ip 127.0.0.13");
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("NO.  Device Name  MAC Address", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("127.0.0.13"), std::string::npos);
}

TEST_F(QeltaSearch, NothingFoundOutsideTheSegmentAndBadArguments)
{
    // 127.0.0.0/8 is this host's segment; nobody answers at .99.
    ProgramRun run = qelta("search --ip 127.0.0.99 --period 5 --json");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(nlohmann::json::parse(run.out), nlohmann::json::array());
    EXPECT_NE(run.err.find("No devices found!"), std::string::npos);

    for (const char* bad : { "search --ttl 0 --multicast", "search --ip 1.2.3", "search --broadcast --ip 127.0.0.1",
             "search --period 4", "search --ttl 5", "search --frobnicate" }) {
        run = qelta(bad);
        EXPECT_EQ(run.status, 2) << bad;
    }
    run = qelta("search --help");
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("--multicast[=GROUP]"), std::string::npos);
}

TEST_F(QeltaSearch, UnwritableSettingsFileLeavesTheSearchResultAsTheStatus)
{
    ProgramRun run = qelta("search --period 5");
    ASSERT_EQ(run.status, 0) << run.err;
    // The settings file cannot be written; as root that needs another user.
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    ASSERT_EQ(::chmod(dir.file("Qelta.dat").c_str(), 0444), 0);
    const std::string asUser = ::getuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    const std::string command = "cd '" + dir.path() + "' && " + asUser + "'" + programPath("qelta")
        + "' search --period 5 --json >out2.txt 2>err2.txt; echo $? >status2.txt";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string err = dir.read("err2.txt");
    EXPECT_EQ(std::atoi(dir.read("status2.txt").c_str()), 0) << err;
    EXPECT_EQ(objects(dir.read("out2.txt")).size(), 5u);
    EXPECT_NE(err.find("Failed to save application settings! (Qelta.dat not found)"), std::string::npos) << err;
}

TEST_F(QeltaSearch, TakenSearchPortIsNamedWithItsOwnStatus)
{
    auto holder = platform::UdpSocket::open();
    ASSERT_TRUE(holder.ok());
    ASSERT_TRUE(holder.value().bind("127.0.0.1", 25120).ok());
    const ProgramRun run = qelta("search --json");
    EXPECT_EQ(run.status, 3);
    EXPECT_NE(run.err.find("Failed to open the search socket on 127.0.0.1 port 25120: Address already in use"),
        std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("No devices found!"), std::string::npos);
    EXPECT_EQ(run.out, "");
}
