// A program nobody here wrote (pyserial) on a vorpild port, the device
// server a plain socket of the test: flow control over framed TCP as a
// paused program and its input flush drive it.
#include "common/control_client.h"
#include "platform/child_process.h"
#include "tests/driver/transport/loopback_peer.h"
#include "tests/support/eventually.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

using namespace std::chrono_literals;
using driver_testing::Bytes;
using driver_testing::TcpListener;

namespace {

using testing_support::eventually;

int devcon(const std::string& runtimeDir, std::vector<std::string> args)
{
    std::vector<std::string> argv { "/usr/bin/env", "VORPIL_RUNTIME_DIR=" + runtimeDir,
        testing_support::programPath("devcon") };
    argv.insert(argv.end(), args.begin(), args.end());
    auto child = platform::ChildProcess::start(argv, false);
    return child.ok() ? child->wait(20s).value_or(-1) : -1;
}

// What devcon prints on standard output.
std::string devconOutput(const std::string& runtimeDir, std::vector<std::string> args)
{
    std::vector<std::string> argv { "/usr/bin/env", "VORPIL_RUNTIME_DIR=" + runtimeDir,
        testing_support::programPath("devcon") };
    argv.insert(argv.end(), args.begin(), args.end());
    auto child = platform::ChildProcess::start(argv, true);
    std::string output;
    if (!child.ok())
        return output;
    for (auto line = child->readLine(20s); line.ok(); line = child->readLine(20s))
        output += *line + "\n";
    (void)child->wait(20s);
    return output;
}

std::string lineOf(platform::ChildProcess& program)
{
    auto line = program.readLine(15s);
    return line.ok() ? *line : std::string();
}

// Reads the port's stream until a control packet with `code` arrives; the
// settings the port sends at its open come first.
bool awaitControl(driver_testing::TcpPeer& peer, std::uint8_t code)
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        const Bytes header = peer.receive(3, 1s);
        if (header.size() < 3)
            continue;
        const Bytes payload = peer.receive(static_cast<std::size_t>(header[1]) << 8 | header[2], 5s);
        if (header[0] == 0x33 && !payload.empty() && payload[0] == code)
            return true;
    }
    return false;
}

Bytes packet(std::uint8_t type, const Bytes& payload)
{
    Bytes out(3 + payload.size());
    out[0] = type;
    out[1] = static_cast<std::uint8_t>(payload.size() >> 8);
    out[2] = static_cast<std::uint8_t>(payload.size());
    std::copy(payload.begin(), payload.end(), out.begin() + 3);
    return out;
}

} // namespace

TEST(VorpildStreams, AProgramThatFlushedItsInputAfterAPauseGetsWhatFollows)
{
    testing_support::TempDir dir;
    const std::string runtime = dir.path() + "/run";
    auto daemon = platform::ChildProcess::start({ testing_support::programPath("vorpild"), "--foreground",
                                                    "--runtime-dir", runtime, "--state-dir", dir.path() + "/state" },
        false);
    ASSERT_TRUE(daemon.ok());
    std::unique_ptr<common::ControlClient> client;
    ASSERT_TRUE(eventually([&] { return common::ntSuccess(common::ControlClient::connect(runtime, client)); }));
    TcpListener device;
    ASSERT_EQ(devcon(runtime, { "install", PACKAGING_DIR "/VORPIL.inf", "ZORV\\Rure", "COM5" }), 0);
    ASSERT_EQ(devcon(runtime,
                  { "set", "COM5", "--remote", "127.0.0.1:" + std::to_string(device.port()), "--tcp", "--client",
                      "--framed" }),
        0);
    ASSERT_EQ(devcon(runtime, { "connect", "COM5" }), 0);
    auto peer = device.accept();
    ASSERT_TRUE(peer);

    dir.write("flush.py", R"(import sys, time, serial
with serial.Serial(sys.argv[1], 115200, timeout=10) as port:
    print("ready", flush=True)
    sys.stdin.readline()
    port.reset_input_buffer()
    print("flushed", flush=True)
    # What the device server still had on its way comes first.
    print("got", port.read_until(b"M05", 1 << 22)[-15:].decode(errors="replace"), flush=True)
)");
    auto program = platform::ChildProcess::start(
        { "/bin/sh", "-c", "sleep 4 | /usr/bin/python3 " + dir.file("flush.py") + " " + runtime + "/dev/COM5" });
    ASSERT_TRUE(program.ok());
    ASSERT_EQ(lineOf(*program), "ready");

    // Bytes that come before the port is open for the program are not the
    // program's (an open starts empty): the burst waits for that.
    ASSERT_TRUE(eventually([&] {
        const std::string status = devconOutput(runtime, { "status" });
        return status.find("terminal COM5 program=yes") != std::string::npos;
    }));
    // The program does not read: the terminal and then the port's buffer
    // fill, and the port stops the device server. (How much the terminal
    // takes first is the kernel's business, some 50-60 KiB: the burst is
    // more than both together, and what is left over is little.)
    Bytes burst;
    for (int i = 0; i < 0x60; ++i) {
        const Bytes one = packet(0x32, Bytes(0x1000, static_cast<std::uint8_t>('a' + i % 26)));
        burst.insert(burst.end(), one.begin(), one.end());
    }
    std::thread sender([&] { (void)peer->send(burst); });
    const bool stopped = awaitControl(*peer, 0x21);
    if (!stopped)
        peer->shutdown();
    sender.join();
    ASSERT_TRUE(stopped) << "no stop";

    // The flush empties it: the device server may send again.
    ASSERT_EQ(lineOf(*program), "flushed");
    ASSERT_TRUE(awaitControl(*peer, 0x22)) << "the device server was never resumed";
    ASSERT_TRUE(
        peer->send(packet(0x32, Bytes { 'M', '0', '1', 'M', '0', '2', 'M', '0', '3', 'M', '0', '4', 'M', '0', '5' })));
    EXPECT_EQ(lineOf(*program), "got M01M02M03M04M05");
    EXPECT_EQ(program->wait(15s).value_or(-1), 0);
    client.reset();
    ASSERT_TRUE(daemon->terminate());
    EXPECT_EQ(daemon->wait(20s).value_or(-1), 0);
}
