// qelta run many times at once on one working directory and a real vorpild:
// Qelta.dat and vsp.dat keep every program's change, a link or a FIFO in
// their place is refused without a wait, and the exit statuses say what
// happened.
#include "platform/child_process.h"
#include "platform/net.h"
#include "platform/tcp_socket.h"
#include "tests/support/temp_dir.h"
#include "tests/utility/vsp/daemon_fixture.h"
#include "utility/vsp/vsp_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include <sys/stat.h>
#include <unistd.h>

using namespace utility::vsp;
using namespace std::chrono_literals;

namespace {

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct QeltaRun {
    int code = -1;
    std::string out, err;
};

// Starts qelta in `dir` with the driver host of `runtime`; its output goes to
// files named after `tag`.
platform::ChildProcess startQelta(
    const std::string& dir, const std::string& runtime, const std::string& tag, const std::vector<std::string>& args)
{
    std::vector<std::string> argv { "/bin/sh", "-c",
        "cd \"$0\" && exec \"$@\" </dev/null >" + tag + ".out 2>" + tag + ".err", dir, "/usr/bin/env",
        "VORPIL_RUNTIME_DIR=" + runtime, testing_support::programPath("qelta"), "--local", "127.0.0.1" };
    argv.insert(argv.end(), args.begin(), args.end());
    auto child = platform::ChildProcess::start(argv, false);
    return child.ok() ? std::move(*child) : platform::ChildProcess();
}

QeltaRun finish(platform::ChildProcess& child, const std::string& dir, const std::string& tag)
{
    QeltaRun run;
    run.code = child.wait(60s).value_or(-1);
    run.out = slurp(dir + "/" + tag + ".out");
    run.err = slurp(dir + "/" + tag + ".err");
    return run;
}

QeltaRun qelta(const std::string& dir, const std::string& runtime, const std::vector<std::string>& args)
{
    auto child = startQelta(dir, runtime, "one", args);
    return finish(child, dir, "one");
}

class QeltaFiles : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(daemon.ok());
        std::filesystem::copy_file(PACKAGING_DIR "/VORPIL.inf", daemon.dir() + "/VORPIL.inf");
    }

    // Installs `count` ports COM11... as TCP clients of listeners of this test.
    void clientPorts(int count)
    {
        for (int i = 0; i < count; ++i) {
            auto listening = platform::TcpListener::listen(*platform::parseIpv4("127.0.0.1"), 0);
            ASSERT_TRUE(listening.ok());
            const std::string com = "COM" + std::to_string(11 + i);
            ASSERT_TRUE(daemon.install(com));
            ASSERT_EQ(
                daemon.devcon({ "set", com, "--remote", "127.0.0.1:" + std::to_string(listening->localEndpoint().port),
                    "--tcp", "--client", "--raw" }),
                0);
            listeners.push_back(std::make_unique<platform::TcpListener>(std::move(*listening)));
        }
    }

    std::string file(const std::string& name) const { return daemon.dir() + "/" + name; }

    vsp_testing::Daemon daemon;
    std::vector<std::unique_ptr<platform::TcpListener>> listeners;
};

} // namespace

// Eight `qelta vsp list` at once, three times over: none reads a half-written
// Qelta.dat (which would reset it to the defaults). Then ten `qelta vsp
// connect` at once, each of another port: vsp.dat remembers all ten.
TEST_F(QeltaFiles, ProgramsRunAtOnceLoseNoSettingAndNoConnection)
{
    clientPorts(10);
    // A Qelta.dat with one item away from its default (search period 42).
    ASSERT_EQ(qelta(daemon.dir(), daemon.runtime(), { "settings" }).code, 0);
    std::string settings = slurp(file("Qelta.dat"));
    const auto line4 = settings.find("\r\n10 ");
    ASSERT_NE(line4, std::string::npos);
    settings.replace(line4 + 2, 2, "42");
    std::ofstream(file("Qelta.dat"), std::ios::binary) << settings;

    for (int round = 0; round < 3; ++round) {
        std::vector<platform::ChildProcess> lists;
        for (int i = 0; i < 8; ++i)
            lists.push_back(startQelta(daemon.dir(), daemon.runtime(), "list" + std::to_string(i), { "vsp", "list" }));
        for (int i = 0; i < 8; ++i) {
            const QeltaRun run = finish(lists[static_cast<std::size_t>(i)], daemon.dir(), "list" + std::to_string(i));
            EXPECT_EQ(run.code, 0) << run.err;
            EXPECT_EQ(run.err.find("default settings"), std::string::npos) << run.err;
        }
        EXPECT_EQ(slurp(file("Qelta.dat")), settings) << "round " << round;
    }

    // (A connect may meet another program's enumeration holding its port
    // for a moment and fail; what counts is that every port that linked is
    // remembered.)
    std::vector<platform::ChildProcess> connects;
    for (int i = 0; i < 10; ++i)
        connects.push_back(startQelta(daemon.dir(), daemon.runtime(), "connect" + std::to_string(i),
            { "vsp", "connect", "COM" + std::to_string(11 + i) }));
    std::set<std::string> connected;
    for (int i = 0; i < 10; ++i) {
        const QeltaRun run = finish(connects[static_cast<std::size_t>(i)], daemon.dir(), "connect" + std::to_string(i));
        if (run.code == 0)
            connected.insert("COM" + std::to_string(11 + i));
    }
    EXPECT_FALSE(connected.empty());
    std::vector<common::NodeInfo> nodes;
    ASSERT_TRUE(common::ntSuccess(daemon.client().listNodes(nodes)));
    std::vector<PortEntry> saved;
    ASSERT_TRUE(loadVspFile(file("vsp.dat"), saved));
    ASSERT_EQ(saved.size(), 10u);
    for (const auto& entry : saved) {
        const auto node = std::find_if(
            nodes.begin(), nodes.end(), [&](const common::NodeInfo& n) { return n.portName == entry.portName; });
        ASSERT_NE(node, nodes.end());
        EXPECT_EQ(entry.status == "Connected", node->linkState == 1) << entry.portName;
        EXPECT_EQ(entry.status == "Connected", connected.count(entry.portName) == 1) << entry.portName;
    }
    EXPECT_EQ(slurp(file("Qelta.dat")), settings);
}

// vsp.dat as a link to another file: the connection is made but not
// remembered through the link (exit 1 says so); as a FIFO: list neither
// hangs nor fails, and names what it did not read.
TEST_F(QeltaFiles, ALinkOrAFifoAsVspDatIsNeitherWrittenThroughNorWaitedOn)
{
    clientPorts(1);
    std::ofstream(file("passwd"), std::ios::binary) << "root:x:0:0\n";
    ASSERT_EQ(::symlink(file("passwd").c_str(), file("vsp.dat").c_str()), 0);
    const QeltaRun connect = qelta(daemon.dir(), daemon.runtime(), { "vsp", "connect", "COM11" });
    EXPECT_EQ(connect.code, 1);
    EXPECT_NE(connect.err.find("symbolic link"), std::string::npos) << connect.err;
    EXPECT_NE(connect.err.find("Failed to save Virtual Serial Port setting data!"), std::string::npos) << connect.err;
    EXPECT_EQ(slurp(file("passwd")), "root:x:0:0\n");

    ASSERT_EQ(::unlink(file("vsp.dat").c_str()), 0);
    ASSERT_EQ(::mkfifo(file("vsp.dat").c_str(), 0600), 0);
    const QeltaRun list = qelta(daemon.dir(), daemon.runtime(), { "vsp", "list" });
    EXPECT_EQ(list.code, 0) << list.err;
    EXPECT_NE(list.err.find("FIFO"), std::string::npos) << list.err;
    EXPECT_NE(list.out.find("COM11"), std::string::npos) << list.out;
}

// A malformed vsp.dat is kept as vsp.dat.bad and its dropped lines are named
// before the next save replaces it.
TEST_F(QeltaFiles, AMalformedVspDatIsKeptAsBadWithItsLinesNamed)
{
    clientPorts(1);
    const std::string bad = "1 \r\n0 COM11 0l 5000 0 0 Idle 1 0 1024 COM11 # # \r\nextra line\r\n";
    std::ofstream(file("vsp.dat"), std::ios::binary) << bad;
    const QeltaRun connect = qelta(daemon.dir(), daemon.runtime(), { "vsp", "connect", "COM11" });
    EXPECT_EQ(connect.code, 0) << connect.err;
    EXPECT_NE(connect.err.find("vsp.dat line 3 dropped: beyond the count of 1"), std::string::npos) << connect.err;
    EXPECT_EQ(slurp(file("vsp.dat.bad")), bad);
    std::vector<PortEntry> saved;
    ASSERT_TRUE(loadVspFile(file("vsp.dat"), saved));
    EXPECT_EQ(saved.at(0).status, "Connected");
}

// Exit statuses: the refusals the window makes with disabled buttons, a port
// taken by another program (3), and a COM1 that is free.
TEST_F(QeltaFiles, ExitStatusesSayWhatHappened)
{
    clientPorts(1);
    const QeltaRun close = qelta(daemon.dir(), daemon.runtime(), { "vsp", "close", "COM11" });
    EXPECT_EQ(close.code, 1);
    EXPECT_NE(close.err.find("COM11 is not connected"), std::string::npos) << close.err;
    EXPECT_EQ(close.err.find("IOCTL_DISCONNECTION failed"), std::string::npos) << close.err;

    ASSERT_EQ(qelta(daemon.dir(), daemon.runtime(), { "vsp", "connect", "COM11" }).code, 0);
    const QeltaRun set = qelta(daemon.dir(), daemon.runtime(), { "vsp", "set", "COM11", "--remote", "127.0.0.9:4001" });
    EXPECT_EQ(set.code, 1);
    EXPECT_NE(set.err.find("close its connection"), std::string::npos) << set.err;
    const QeltaRun listed = qelta(daemon.dir(), daemon.runtime(), { "vsp", "list" });
    EXPECT_EQ(listed.out.find("127.0.0.9"), std::string::npos) << listed.out;

    const QeltaRun add = qelta(daemon.dir(), daemon.runtime(), { "vsp", "add", "--com", "1" });
    EXPECT_EQ(add.code, 0) << add.err;
    EXPECT_NE(qelta(daemon.dir(), daemon.runtime(), { "vsp", "list" }).out.find("COM1 "), std::string::npos);

    // Another program holds the watch's port, then the setup's.
    for (const auto& [port, args] : std::vector<std::pair<std::uint16_t, std::vector<std::string>>> {
             { 25126, { "vsp", "watch", "--duration", "30" } },
             { 25125, { "setup", "--ip", "127.0.0.10", "--yes" } } }) {
        auto squatter = platform::UdpSocket::open();
        ASSERT_TRUE(squatter.ok());
        ASSERT_TRUE(squatter->bind("127.0.0.1", port).ok());
        const QeltaRun run = qelta(daemon.dir(), daemon.runtime(), args);
        EXPECT_EQ(run.code, 3) << args[0] << ": " << run.err;
        EXPECT_NE(run.err.find(std::to_string(port)), std::string::npos) << run.err;
    }

    // A vsp.dat that cannot be written: the connection is made, but the
    // command did not do all it was asked.
    ASSERT_EQ(qelta(daemon.dir(), daemon.runtime(), { "vsp", "close", "COM11" }).code, 0);
    ASSERT_EQ(::unlink(file("vsp.dat").c_str()), 0);
    ASSERT_EQ(::mkdir(file("vsp.dat").c_str(), 0700), 0);
    EXPECT_EQ(qelta(daemon.dir(), daemon.runtime(), { "vsp", "connect", "COM11" }).code, 1);
}
