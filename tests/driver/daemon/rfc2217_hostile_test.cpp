// RFC 2217 servers that misbehave: one that floods the port with requests
// and never reads the answers, one that refuses COM-PORT-OPTION and agrees
// later. Scripted servers on loopback; vorpild as a program.
#include "platform/text_file.h"
#include "tests/driver/daemon/vorpild_fixture.h"

#include <fstream>

using namespace vorpild_testing;

namespace {

// Floods every connection with `kind` requests ("do": IAC DO of an option
// nobody knows, each answered IAC WONT; "signature": SIGNATURE requests,
// each answered with the port's signature), reading nothing, until the
// connection is ended or `limit` bytes went. Beside it an echo server for
// another port. Prints a line per connection.
constexpr const char* kFloodServer = R"(
import socket, sys, threading
kind, flood_port, echo_port, limit = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
request = bytes([255, 253, 99]) if kind == "do" else bytes([255, 250, 44, 100, 255, 240])
block = request * (65536 // len(request))
def echo():
    listener = socket.create_server(("127.0.0.1", echo_port))
    while True:
        conn, _ = listener.accept()
        def serve(conn=conn):
            while True:
                data = conn.recv(65536)
                if not data:
                    return
                conn.sendall(data)
        threading.Thread(target=serve, daemon=True).start()
threading.Thread(target=echo, daemon=True).start()
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
listener.bind(("127.0.0.1", flood_port))
listener.listen(1)
print("listening", flush=True)
while True:
    conn, _ = listener.accept()
    sent = 0
    try:
        while sent < limit:
            conn.sendall(block)
            sent += len(block)
        print("flooded %d" % sent, flush=True)
    except OSError as error:
        print("ended after %d: %s" % (sent, type(error).__name__), flush=True)
    conn.close()
)";

// Refuses COM-PORT-OPTION; once the file `trigger` exists it agrees after
// all, and reports which of the port's settings then arrive.
constexpr const char* kLateServer = R"(
import os, socket, sys, time
listen_port, trigger = int(sys.argv[1]), sys.argv[2]
listener = socket.create_server(("127.0.0.1", listen_port))
print("listening", flush=True)
conn, _ = listener.accept()
conn.sendall(bytes([255, 254, 44]))          # DONT COM-PORT-OPTION
conn.settimeout(0.05)
seen = bytearray()
def drain():
    try:
        while True:
            data = conn.recv(65536)
            if not data:
                return
            seen.extend(data)
    except socket.timeout:
        pass
while not os.path.exists(trigger):
    drain()
before = bytes(seen)
conn.sendall(bytes([255, 253, 44]))          # DO COM-PORT-OPTION after all
deadline = time.time() + 5
while time.time() < deadline:
    drain()
after = bytes(seen[len(before):])
rate = bytes([255, 250, 44, 1, 0, 3, 0xD0, 0x90, 255, 240])
print("before-commands=%d rate-after=%s" % (before.count(bytes([255, 250, 44])), rate in after), flush=True)
time.sleep(120)                              # the connection stays
)";

class Rfc2217Hostile : public VorpildFixture {
protected:
    void TearDown() override
    {
        if (m_server.running()) {
            m_server.terminate();
            (void)m_server.wait(10s);
        }
        VorpildFixture::TearDown();
    }

    void startServer(std::vector<std::string> argv)
    {
        auto server = platform::ChildProcess::start(argv, true);
        ASSERT_TRUE(server.ok());
        m_server = std::move(*server);
        auto ready = m_server.readLine(20s);
        ASSERT_TRUE(ready.ok() && *ready == "listening");
    }

    void addRfc2217Port(const std::string& name, std::uint16_t serverPort)
    {
        ASSERT_EQ(devcon({ "install", PACKAGING_DIR "/VORPIL.inf", "ZORV\\Rure", name }).code, 0);
        ASSERT_EQ(devcon({ "set", name, "--remote", "127.0.0.1:" + std::to_string(serverPort), "--tcp", "--client",
                             "--raw", "--protocol", "rfc2217", "--pacing", "off", "--reconnect", "1" })
                      .code,
            0);
        ASSERT_TRUE(eventually([&] { return devcon({ "connect", name }).code == 0; }, 20s));
    }

    // The daemon's resident memory in KiB.
    long residentKib()
    {
        std::ifstream status("/proc/" + std::to_string(m_daemon.pid()) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmRSS:", 0) == 0)
                return std::stol(line.substr(6));
        return -1;
    }

    platform::ChildProcess m_server;
};

// A program on COM6 sends lines through the echo server and reads each
// back while COM5's server floods; prints the slowest round trip.
constexpr const char* kEchoScript = R"(
import os, sys, time, tty
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
tty.setraw(fd)
rounds, slowest = int(sys.argv[2]), 0.0
for i in range(rounds):
    line = b"echo %05d\n" % i
    start = time.monotonic()
    os.write(fd, line)
    got = b""
    while len(got) < len(line):
        got += os.read(fd, 64)
    slowest = max(slowest, time.monotonic() - start)
    if got != line:
        print("mismatch", got)
        sys.exit(1)
    time.sleep(0.02)
print("echoed=%d slowest-ms=%.1f" % (rounds, slowest * 1000))
)";

} // namespace

TEST_F(Rfc2217Hostile, AServerThatFloodsWithoutReadingIsCutOffAndOtherPortsGoOn)
{
    constexpr std::uint16_t kFloodPort = 47311;
    constexpr std::uint16_t kEchoPort = 47312;
    constexpr long kFlood = 256l << 20; // what a port that never ends the connection would owe
    for (const char* kind : { "do", "signature" }) {
        SCOPED_TRACE(kind);
        startServer({ kPython, script("flood.py", kFloodServer), kind, std::to_string(kFloodPort),
            std::to_string(kEchoPort), std::to_string(kFlood) });
        startDaemon();
        const long before = residentKib();
        addPort(kEchoPort, false, false, "COM6");
        addRfc2217Port("COM5", kFloodPort);

        auto echo
            = platform::ChildProcess::start({ kPython, script("echo.py", kEchoScript), port("COM6"), "150" }, true);
        ASSERT_TRUE(echo.ok());
        long most = before;
        int ended = 0;
        while (ended < 3) {
            auto line = m_server.readLine(60s);
            ASSERT_TRUE(line.ok()) << "the flooding server heard nothing for a minute";
            EXPECT_EQ(line->rfind("ended after", 0), 0u) << *line << ": the port owed everything it was asked";
            ++ended;
            most = std::max(most, residentKib());
            // No program holds COM5, so it waits to be connected again.
            if (ended < 3) {
                ASSERT_TRUE(eventually([&] { return devcon({ "connect", "COM5" }).code == 0; }, 20s));
            }
        }
        auto echoed = echo->readLine(120s);
        ASSERT_TRUE(echoed.ok());
        EXPECT_EQ(echoed->rfind("echoed=150 ", 0), 0u) << *echoed;
        std::printf(
            "%s flood: resident %ld KiB before, %ld KiB at most; COM6 %s\n", kind, before, most, echoed->c_str());
        EXPECT_LT(most - before, 64l * 1024) << "KiB grown";
        (void)echo->wait(20s);
        stopDaemon();
        m_server.terminate();
        (void)m_server.wait(10s);
        std::filesystem::remove_all(runtimeDir());
        std::filesystem::remove_all(m_dir.path() + "/state");
    }
}

TEST_F(Rfc2217Hostile, SettingsMadeWhileComPortWasRefusedReachTheServerOnceItAgrees)
{
    constexpr std::uint16_t kServerPort = 47313;
    const std::string trigger = m_dir.file("agree");
    startServer({ kPython, script("late.py", kLateServer), std::to_string(kServerPort), trigger });
    startDaemon();
    addRfc2217Port("COM5", kServerPort);
    EXPECT_TRUE(eventually([&] { return field(terminalLine(), "com-port-option") == "refused"; })) << terminalLine();
    // A rate without a native code, made while the server refuses.
    ASSERT_EQ(devcon({ "serial", "COM5", "--baud", "250000", "--data-bits", "8" }).code, 0);
    m_dir.write("agree", "");
    auto report = m_server.readLine(30s);
    ASSERT_TRUE(report.ok());
    EXPECT_EQ(*report, "before-commands=0 rate-after=True");
    EXPECT_TRUE(eventually([&] { return field(terminalLine(), "com-port-option") == "agreed"; })) << terminalLine();
}
