// qelta against devsim's device servers and a real vorpild: the connection
// watch across a restart of the driver host with a two-port device server,
// and the monitor's JSON for a device whose name is not UTF-8.
#include "platform/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/utility/vsp/daemon_fixture.h"
#include "utility/vsp/vsp_file.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <iterator>

using namespace utility::vsp;
using namespace std::chrono_literals;

namespace {

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// devsim with the devices of `config`, its log lines (stderr) read with its
// device lines; started once `devices` lines are out.
platform::ChildProcess startDevsim(const testing_support::TempDir& dir, const std::string& config, int devices)
{
    dir.write("devsim.conf", config);
    auto started = platform::ChildProcess::start({ "/bin/sh", "-c",
        "exec '" + testing_support::programPath("devsim") + "' -v --http-port 0 --config '" + dir.file("devsim.conf")
            + "' 2>&1" });
    if (!started.ok())
        return {};
    for (int i = 0; i < devices; ++i)
        if (!started->readLine(10s).ok())
            return {};
    return std::move(*started);
}

// Reads devsim's log until the watch's next Query reaches `address`.
bool nextWatchQuery(platform::ChildProcess& devsim, const std::string& address)
{
    const std::string wanted = address + " <- 127.0.0.1:25126 Query";
    for (auto line = devsim.readLine(30s); line.ok(); line = devsim.readLine(30s))
        if (line->find(wanted) != std::string::npos)
            return true;
    return false;
}

int runQelta(const std::string& dir, const std::string& runtime, const std::vector<std::string>& args)
{
    std::vector<std::string> argv { "/bin/sh", "-c", "cd \"$0\" && exec \"$@\" </dev/null >run.out 2>run.err", dir,
        "/usr/bin/env", "VORPIL_RUNTIME_DIR=" + runtime, testing_support::programPath("qelta"), "--local",
        "127.0.0.1" };
    argv.insert(argv.end(), args.begin(), args.end());
    auto child = platform::ChildProcess::start(argv, false);
    return child.ok() ? child->wait(60s).value_or(-1) : -1;
}

} // namespace

// Three ports: COM5 and COM6 on the two serial ports of one device server
// (127.0.0.20, data ports 5000 and 5001), COM7 on another one. vorpild
// stops after a watch round and comes back after the next query, which the
// devices answer with "no connection"; it restores the three links. The
// watch closes none of them, never takes the second port for silent, and
// vsp.dat still remembers all three.
TEST(QeltaDevices, TheWatchKeepsEveryPortOfATwoPortDeviceAcrossADriverHostRestart)
{
    vsp_testing::Daemon daemon;
    ASSERT_TRUE(daemon.ok());
    std::filesystem::copy_file(PACKAGING_DIR "/VORPIL.inf", daemon.dir() + "/VORPIL.inf");
    testing_support::TempDir simDir;
    auto devsim = startDevsim(simDir,
        "[device]\nname = Two-A\naddress = 127.0.0.20\ndata-port = 5000\n"
        "[device]\nname = Two-B\naddress = 127.0.0.20\ndata-port = 5001\n"
        "[device]\nname = One\naddress = 127.0.0.21\ndata-port = 5000\n",
        3);
    ASSERT_TRUE(devsim.running());
    const std::vector<std::pair<std::string, std::string>> ports { { "COM5", "127.0.0.20:5000" },
        { "COM6", "127.0.0.20:5001" }, { "COM7", "127.0.0.21:5000" } };
    for (const auto& [com, remote] : ports) {
        ASSERT_TRUE(daemon.install(com));
        ASSERT_EQ(
            runQelta(daemon.dir(), daemon.runtime(), { "vsp", "set", com, "--remote", remote, "--connect-at-start" }),
            0)
            << slurp(daemon.dir() + "/run.err");
        ASSERT_EQ(runQelta(daemon.dir(), daemon.runtime(), { "vsp", "connect", com }), 0)
            << slurp(daemon.dir() + "/run.err");
    }

    auto watch = platform::ChildProcess::start({ "/bin/sh", "-c",
        "cd '" + daemon.dir() + "' && exec /usr/bin/env VORPIL_RUNTIME_DIR='" + daemon.runtime() + "' '"
            + testing_support::programPath("qelta") + "' --local 127.0.0.1 vsp watch --duration 30 2>watch.err" });
    ASSERT_TRUE(watch.ok());
    // The first round (query at 5 s) finds every link up.
    ASSERT_TRUE(nextWatchQuery(devsim, "127.0.0.21"));
    daemon.stop();
    // The next query meets the devices without their connections...
    ASSERT_TRUE(nextWatchQuery(devsim, "127.0.0.21"));
    // ...and the driver host is back before its evaluation.
    ASSERT_TRUE(daemon.start());

    std::vector<std::string> lines;
    for (auto line = watch->readLine(60s); line.ok(); line = watch->readLine(60s))
        lines.push_back(*line);
    EXPECT_EQ(watch->wait(10s).value_or(-1), 0) << slurp(daemon.dir() + "/watch.err");
    for (const auto& line : lines) {
        EXPECT_EQ(line.find("Connection closed"), std::string::npos) << line;
        EXPECT_EQ(line.find("Disconnecting"), std::string::npos) << line;
        EXPECT_EQ(line.find("Idle"), std::string::npos) << line;
    }
    std::vector<common::NodeInfo> nodes;
    ASSERT_TRUE(common::ntSuccess(daemon.client().listNodes(nodes)));
    for (const auto& node : nodes)
        EXPECT_EQ(node.linkState, 1u) << node.portName;
    std::vector<PortEntry> saved;
    ASSERT_TRUE(loadVspFile(daemon.dir() + "/vsp.dat", saved));
    ASSERT_EQ(saved.size(), 3u);
    for (const auto& entry : saved)
        EXPECT_EQ(entry.status, "Connected") << entry.portName;
    devsim.terminate();
    (void)devsim.wait(10s);
}

// A device that writes its name in Latin-1: the monitor's JSON shows it as
// the search does, the program ends normally and the CSV file is written.
TEST(QeltaDevices, TheMonitorPrintsALatin1NameAsJson)
{
    testing_support::TempDir dir;
    std::filesystem::copy_file(PACKAGING_DIR "/VORPIL.inf", dir.file("VORPIL.inf"));
    auto devsim = startDevsim(dir, "[device]\nname = Caf\xe9\naddress = 127.0.0.22\n", 1);
    ASSERT_TRUE(devsim.running());
    const int code = runQelta(dir.path(), dir.path() + "/run",
        { "monitor", "--ip", "127.0.0.22", "--cycles", "1", "--json", "--csv", dir.file("m.csv") });
    EXPECT_EQ(code, 0) << dir.read("run.err");
    const std::string out = dir.read("run.out");
    const auto row = nlohmann::json::parse(out.substr(0, out.find('\n')), nullptr, false);
    ASSERT_TRUE(row.is_object()) << out;
    EXPECT_EQ(row["name"], "Caf\xc3\xa9");
    const std::string csv = dir.read("m.csv");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 2) << csv;
    devsim.terminate();
    (void)devsim.wait(10s);
}
