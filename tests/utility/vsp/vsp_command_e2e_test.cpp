// qelta vsp on a real vorpild: a hostile port file, a held port, the wire
// protocol in the list, and no driver host at all.
#include "platform/child_process.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/net.h"
#include "platform/serial_port.h"
#include "platform/tcp_socket.h"
#include "tests/support/scripted_prompter.h"
#include "tests/utility/vsp/daemon_fixture.h"
#include "utility/devmgmt/protocol.h"
#include "utility/vsp/device_link.h"
#include "utility/vsp/vsp_manager.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

using namespace utility::vsp;
using namespace std::chrono_literals;

namespace {

struct Run {
    int code = -1;
    std::string out, err;
};

// qelta with its own environment; stdout and stderr kept apart.
Run qelta(const std::string& dir, const std::vector<std::string>& environment, const std::vector<std::string>& args)
{
    std::vector<std::string> argv { "/bin/sh", "-c", "exec \"$@\" >" + dir + "/out 2>" + dir + "/err", "sh",
        "/usr/bin/env" };
    argv.insert(argv.end(), environment.begin(), environment.end());
    argv.push_back(testing_support::programPath("qelta"));
    argv.push_back("vsp");
    argv.insert(argv.end(), args.begin(), args.end());
    Run run;
    auto child = platform::ChildProcess::start(argv, false);
    if (!child.ok())
        return run;
    run.code = child->wait(30s).value_or(-1);
    auto slurp = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    run.out = slurp(dir + "/out");
    run.err = slurp(dir + "/err");
    return run;
}

} // namespace

// qelta vsp against a vorpild with COM5 held by a program and a vsp.dat with
// an out-of-range Port ID and a short line: nothing ends the program, every
// port is listed, the free one connects and closes, and a refused COM number
// change leaves the names alone.
TEST(VspEndToEnd, QeltaVspSurvivesAHostileFileAndAHeldPort)
{
    vsp_testing::Daemon daemon;
    ASSERT_TRUE(daemon.ok());
    ASSERT_TRUE(daemon.install("COM5"));
    ASSERT_TRUE(daemon.install("COM6"));
    std::filesystem::copy_file(PACKAGING_DIR "/VORPIL.inf", daemon.dir() + "/VORPIL.inf");
    auto listening = platform::TcpListener::listen(*platform::parseIpv4("127.0.0.1"), 0);
    ASSERT_TRUE(listening.ok());
    const std::string port = std::to_string(listening->localEndpoint().port);
    ASSERT_EQ(daemon.devcon({ "set", "COM6", "--remote", "127.0.0.1:" + port, "--tcp", "--client", "--raw" }), 0);
    const std::vector<std::string> env { "VORPIL_RUNTIME_DIR=" + daemon.runtime() };
    testing_support::ScopedWorkingDirectory work(daemon.dir());
    // The rename refused while COM6 exists (nothing held yet).
    auto renamed = qelta(daemon.dir(), env, { "set", "COM5", "--com", "6" });
    EXPECT_EQ(renamed.code, 1);
    EXPECT_NE(renamed.err.find("Claim COM PORT Failed"), std::string::npos) << renamed.err;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    ASSERT_TRUE(common::ntSuccess(
        daemon.client().regQueryValue(std::string(kPortsKey) + "0000\\Device Parameters", "PortName", type, data)));
    EXPECT_EQ(fromRegString(data), "COM5");
    auto one = qelta(daemon.dir(), env, { "set", "COM5", "--com", "1" });
    EXPECT_EQ(one.code, 1);
    EXPECT_NE(one.err.find("--com 1 changes nothing"), std::string::npos) << one.err;

    std::unique_ptr<common::ControlClient> holder;
    ASSERT_TRUE(common::ntSuccess(common::ControlClient::connect(daemon.runtime(), holder)));
    std::uint32_t handle = 0;
    ASSERT_TRUE(common::ntSuccess(holder->open("COM5", handle)));
    // Written after the renames above, which save the table.
    {
        std::ofstream out(daemon.dir() + "/vsp.dat", std::ios::binary);
        out << "3 \r\n99999999999999999999999 COM5 0l 5000 0 0 Connected 1 0 1024 COM5 # # \r\n"
               "1 COM6 0l 5000 0 \r\n"
               "1 COM6 0l 4001 0 0 Idle 1 0 1024 COM6 # # \r\n";
    }
    auto list = qelta(daemon.dir(), env, { "list", "--json" });
    ASSERT_EQ(list.code, 0) << list.err;
    const auto ports = nlohmann::json::parse(list.out);
    ASSERT_EQ(ports.size(), 2u) << list.out;
    EXPECT_EQ(ports[0]["name"], "COM5");
    EXPECT_EQ(ports[0]["held"], true);
    EXPECT_EQ(ports[0]["status"], "Idle");
    EXPECT_EQ(ports[1]["name"], "COM6");
    EXPECT_EQ(ports[1]["held"], false);
    EXPECT_NE(list.err.find("vsp.dat line 2 dropped"), std::string::npos) << list.err;
    EXPECT_NE(list.err.find("vsp.dat line 3 dropped"), std::string::npos) << list.err;

    auto connect = qelta(daemon.dir(), env, { "connect", "COM6" });
    EXPECT_EQ(connect.code, 0) << connect.err;
    auto close = qelta(daemon.dir(), env, { "close", "COM6" });
    EXPECT_EQ(close.code, 0) << close.err;
    auto held = qelta(daemon.dir(), env, { "close", "COM5" });
    EXPECT_EQ(held.code, 1);
    auto remove = qelta(daemon.dir(), env, { "remove", "COM5" });
    EXPECT_EQ(remove.code, 1);
    const std::string stop = "Please stop terminal program first";
    EXPECT_EQ(remove.err.find(stop), remove.err.rfind(stop)) << remove.err;

    // remove finds the devcon beside qelta with no devcon on PATH.
    (void)holder->close(handle);
    auto removed = qelta(daemon.dir(), { "PATH=/usr/bin:/bin", env[0] }, { "remove", "COM6" });
    EXPECT_EQ(removed.code, 0) << removed.err;
    std::vector<common::NodeInfo> nodes;
    ASSERT_TRUE(common::ntSuccess(daemon.client().listNodes(nodes)));
    EXPECT_EQ(nodes.size(), 1u);
}

// The wire protocol devcon sets is what qelta vsp list --json reports, for a
// port held by a program too (the value is the host's, read without an open).
TEST(VspEndToEnd, QeltaVspListReportsTheWireProtocol)
{
    vsp_testing::Daemon daemon;
    ASSERT_TRUE(daemon.ok());
    ASSERT_TRUE(daemon.install("COM5"));
    ASSERT_TRUE(daemon.install("COM6"));
    std::filesystem::copy_file(PACKAGING_DIR "/VORPIL.inf", daemon.dir() + "/VORPIL.inf");
    const std::vector<std::string> env { "VORPIL_RUNTIME_DIR=" + daemon.runtime() };
    testing_support::ScopedWorkingDirectory work(daemon.dir());
    auto wires = [&] {
        auto list = qelta(daemon.dir(), env, { "list", "--json" });
        EXPECT_EQ(list.code, 0) << list.err;
        std::vector<std::string> out;
        const auto ports = nlohmann::json::parse(list.out, nullptr, false);
        if (!ports.is_array())
            return out;
        for (const auto& port : ports)
            out.push_back(port["name"].get<std::string>() + "=" + port["wire_protocol"].get<std::string>()
                + (port["held"].get<bool>() ? " held" : ""));
        return out;
    };
    EXPECT_EQ(wires(), (std::vector<std::string> { "COM5=native", "COM6=native" }));

    ASSERT_EQ(daemon.devcon({ "set", "COM6", "--protocol", "rfc2217" }), 0);
    std::unique_ptr<common::ControlClient> holder;
    ASSERT_TRUE(common::ntSuccess(common::ControlClient::connect(daemon.runtime(), holder)));
    std::uint32_t handle = 0;
    ASSERT_TRUE(common::ntSuccess(holder->open("COM6", handle)));
    EXPECT_EQ(wires(), (std::vector<std::string> { "COM5=native", "COM6=rfc2217 held" }));
    (void)holder->close(handle);

    ASSERT_EQ(daemon.devcon({ "set", "COM6", "--protocol", "native" }), 0);
    EXPECT_EQ(wires(), (std::vector<std::string> { "COM5=native", "COM6=native" }));

    // qelta's own Setting, from its command line.
    auto set = qelta(daemon.dir(), env, { "set", "COM5", "--protocol", "rfc2217" });
    EXPECT_EQ(set.code, 0) << set.err;
    EXPECT_EQ(wires(), (std::vector<std::string> { "COM5=rfc2217", "COM6=native" }));
    auto bad = qelta(daemon.dir(), env, { "set", "COM5", "--protocol", "telnet" });
    EXPECT_EQ(bad.code, 2);
    EXPECT_NE(bad.err.find("--protocol"), std::string::npos) << bad.err;
    EXPECT_EQ(wires(), (std::vector<std::string> { "COM5=rfc2217", "COM6=native" }));
}

// No vorpild: said on stderr with where it was looked for, exit 3, and
// stdout stays empty (pure JSON output or none).
TEST(VspEndToEnd, QeltaVspWithoutTheDriverHostSaysSo)
{
    testing_support::TempDir dir;
    std::filesystem::copy_file(PACKAGING_DIR "/VORPIL.inf", dir.path() + "/VORPIL.inf");
    testing_support::ScopedWorkingDirectory work(dir.path());
    const std::vector<std::string> env { "VORPIL_RUNTIME_DIR=" + dir.path() + "/nowhere" };
    for (const auto& args : std::vector<std::vector<std::string>> { { "list", "--json" }, { "add" } }) {
        auto run = qelta(dir.path(), env, args);
        EXPECT_EQ(run.code, 3) << args[0];
        EXPECT_EQ(run.out, "") << args[0];
        EXPECT_NE(run.err.find("not running"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(dir.path() + "/nowhere"), std::string::npos) << run.err;
    }
}
