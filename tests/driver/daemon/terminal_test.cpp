// What programs do to a port's terminal, told exactly: settings in the order
// a program gives them, a holder of another user, closes one after another,
// writes while the port is held elsewhere, connections restored side by
// side, and more ports than the system lets one user watch separately.
#include "tests/driver/daemon/vorpild_fixture.h"

#include <future>
#include <thread>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <netinet/in.h>

using namespace vorpild_testing;

namespace {

using VorpildTerminal = VorpildFixture;

bool isRatePacket(const std::pair<std::uint8_t, Bytes>& packet)
{
    return packet.first == 0x33 && packet.second.size() >= 2 && packet.second[0] == 0x15;
}

// Adds to a framed stream until it holds `dataBytes` bytes of data.
void collectInto(TcpPeer& peer, Bytes& stream, std::size_t dataBytes)
{
    (void)eventually(
        [&] {
            const Bytes more = peer.receive(65536, 100ms);
            stream.insert(stream.end(), more.begin(), more.end());
            std::size_t data = 0;
            for (const auto& [type, payload] : packets(stream))
                data += type == 0x32 ? payload.size() : 0;
            return data >= dataBytes;
        },
        60s);
}

Bytes collect(TcpPeer& peer, std::size_t dataBytes)
{
    Bytes stream;
    collectInto(peer, stream, dataBytes);
    return stream;
}

} // namespace

// Open, configure, write, close, twenty times: each time the bytes go out
// after their rate, never before (the terminal reports a change ahead of
// every byte it has not handed over yet).
TEST_F(VorpildTerminal, BytesWrittenAfterASettingsChangeFollowIt)
{
    startDaemon();
    TcpListener device;
    addPort(device.port(), true, false);
    auto peer = device.accept();
    ASSERT_TRUE(peer);
    // Opening at a rate is one change; each round's differs from the last
    // and from the port's first 9600.
    const std::string program = script("round.py", R"(import sys, serial
i = int(sys.argv[2])
with serial.Serial(sys.argv[1], 19200 if i % 2 == 0 else 38400) as port:
    port.write(bytes([0x41 + i]) * 20)
)");
    // Each program starts once the device has the last one's bytes: a
    // terminal tells its close only after the program has gone, and a next
    // program that changes the rate before that close is taken could not be
    // told apart from a change of the closing one.
    Bytes stream;
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(run({ kPython, program, port(), std::to_string(i) }).code, 0);
        collectInto(*peer, stream, 20 * (i + 1));
    }
    int round = -1; // the round whose bytes came last
    bool rateSince = false; // a rate packet came after them
    std::size_t data = 0;
    for (const auto& packet : packets(stream)) {
        if (isRatePacket(packet))
            rateSince = true;
        if (packet.first != 0x32)
            continue;
        for (std::uint8_t byte : packet.second) {
            const int now = byte - 0x41;
            if (now != round) {
                EXPECT_EQ(now, round + 1);
                EXPECT_TRUE(rateSince) << "round " << now << " overtook its rate change";
                round = now;
                rateSince = false;
            }
            ++data;
        }
    }
    EXPECT_EQ(data, 400u);
    EXPECT_EQ(round, 19);
}

// `devcon serial` gave the port another rate while no program had it; a
// program that then opens the port at the terminal's old rate means that
// rate, and the device server hears of it before the program's bytes.
TEST_F(VorpildTerminal, AProgramsRateCountsAfterTheControlSocketChangedThePort)
{
    startDaemon();
    TcpListener device;
    addPort(device.port(), true, false);
    auto peer = device.accept();
    ASSERT_TRUE(peer);
    ASSERT_EQ(devcon({ "serial", "COM5", "--baud", "19200" }).code, 0);
    const std::string program = script("open9600.py", R"(import sys, serial
with serial.Serial(sys.argv[1], 9600) as port:
    port.write(b"x")
)");
    ASSERT_EQ(run({ kPython, program, port() }).code, 0);
    const Bytes stream = collect(*peer, 1);
    int ratesBeforeData = 0;
    for (const auto& packet : packets(stream)) {
        if (packet.first == 0x32)
            break;
        ratesBeforeData += isRatePacket(packet) ? 1 : 0;
    }
    EXPECT_EQ(ratesBeforeData, 2) << "devcon's 19200, then the program's 9600";
}

// A program of another user holds the terminal: the daemon, running as an
// ordinary user, cannot look into that program's descriptors, yet keeps the
// port for it until its last close, and a control-socket open is refused.
TEST_F(VorpildTerminal, AHolderOfAnotherUserKeepsThePortUntilItCloses)
{
    const std::string nobody = "65534";
    ASSERT_EQ(::chmod(m_dir.path().c_str(), 0755), 0);
    for (const std::string& dir : { runtimeDir(), m_dir.path() + "/state" }) {
        ASSERT_TRUE(std::filesystem::create_directory(dir));
        ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
    }
    startDaemon(nobody);
    TcpListener device;
    addPort(device.port(), false, false);
    auto peer = device.accept();
    ASSERT_TRUE(peer);
    // Root's program: opens, waits to be told, writes, leaves.
    const std::string go = m_dir.path() + "/go";
    auto holder = platform::ChildProcess::start({ "/bin/sh", "-c",
        "exec 3<>\"$1\"; echo open; while [ ! -e \"$2\" ]; do sleep 0.05; done; printf late >&3; exec 3>&-", "sh",
        port(), go });
    ASSERT_TRUE(holder.ok());
    ASSERT_TRUE(holder->readLine(15s).ok());
    ASSERT_TRUE(eventually([&] { return field(terminalLine(), "program") == "yes"; })) << terminalLine();
    EXPECT_NE(devcon({ "serial", "COM5", "--baud", "9600" }).code, 0) << "the port was taken from its holder";
    EXPECT_EQ(field(terminalLine(), "program"), "yes");
    m_dir.write("go", "");
    EXPECT_EQ(peer->receive(4, 15s), (Bytes { 'l', 'a', 't', 'e' }));
    ASSERT_EQ(holder->wait(15s), 0);
    ASSERT_TRUE(eventually([&] { return field(terminalLine(), "program") == "no"; })) << terminalLine();
    EXPECT_EQ(devcon({ "serial", "COM5", "--baud", "9600" }).code, 0);
    EXPECT_EQ(field(terminalLine(), "not-sent"), "0");
}

// Programs that have just left three ports: an open through the control
// socket finds each port free, and status does not wait for anything.
TEST_F(VorpildTerminal, PortsJustClosedByProgramsOpenAtOnce)
{
    startDaemon();
    const std::vector<std::string> names { "COM5", "COM6", "COM7" };
    for (const auto& name : names)
        ASSERT_EQ(devcon({ "install", PACKAGING_DIR "/VORPIL.inf", "ZORV\\Rure", name }).code, 0);
    for (int round = 0; round < 5; ++round) {
        for (const auto& name : names)
            ASSERT_EQ(run({ "/bin/stty", "-F", port(name), round % 2 ? "19200" : "38400" }).code, 0);
        EXPECT_EQ(devcon({ "status" }).code, 0);
        for (const auto& name : names) {
            const ToolRun serial = devcon({ "serial", name, "--baud", "9600" });
            EXPECT_EQ(serial.code, 0) << name << " round " << round << ": " << serial.output;
        }
    }
}

// While a control-socket client holds the port, a program's bytes wait in
// the terminal instead of being dropped, and go once the port is free.
TEST_F(VorpildTerminal, WritesWhileThePortIsHeldElsewhereWaitForIt)
{
    startDaemon();
    TcpListener device;
    addPort(device.port(), false, false);
    auto peer = device.accept();
    ASSERT_TRUE(peer);
    std::uint32_t handle = 0;
    ASSERT_TRUE(ntSuccess(m_client->open("COM5", handle)));
    ASSERT_EQ(run({ "/bin/sh", "-c", "printf hello > \"$1\"", "sh", port() }).code, 0);
    EXPECT_TRUE(peer->quiet(300ms)) << "sent while another held the port";
    ASSERT_TRUE(ntSuccess(m_client->close(handle)));
    EXPECT_EQ(peer->receive(5, 15s), (Bytes { 'h', 'e', 'l', 'l', 'o' }));
    ASSERT_TRUE(eventually([&] { return field(terminalLine(), "to-port") == "5"; })) << terminalLine();
    EXPECT_EQ(field(terminalLine(), "not-sent"), "0");
}

// A device server that never answers a connect: a listener whose queue is
// full (one connection waits in it) drops further connects unanswered.
struct SilentServer {
    SilentServer()
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 0) != 0
            || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port = ntohs(address.sin_port);
        filler = TcpPeer::connect(port);
    }
    ~SilentServer()
    {
        if (fd >= 0)
            ::close(fd);
    }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;
    bool ready() const { return port != 0 && filler; }

    int fd = -1;
    std::uint16_t port = 0;
    decltype(TcpPeer::connect(0)) filler;
};

// One device server that never answers a connect delays no other port's
// restored connection.
TEST_F(VorpildTerminal, ASilentDeviceServerDelaysNoOtherRestoredConnection)
{
    SilentServer silent;
    ASSERT_TRUE(silent.ready());
    const std::uint16_t silentPort = silent.port;

    startDaemon();
    TcpListener device;
    for (const auto& [name, remote] : { std::pair { "COM5", silentPort }, std::pair { "COM6", device.port() } }) {
        ASSERT_EQ(devcon({ "install", PACKAGING_DIR "/VORPIL.inf", "ZORV\\Rure", name }).code, 0);
        ASSERT_EQ(devcon({ "set", name, "--remote", "127.0.0.1:" + std::to_string(remote), "--tcp", "--client", "--raw",
                             "--connect-at-start", "--reconnect", "off" })
                      .code,
            0);
    }
    stopDaemon();
    const auto started = std::chrono::steady_clock::now();
    startDaemon();
    auto restored = device.accept(30s);
    ASSERT_TRUE(restored);
    // The silent one's connect limit is 20 s: COM6 came well before it.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 15s);
}

// Commands that wait for a device server that never answers (a connect
// waits up to 20 s) each hold a handler of the control socket; a command for
// another port is still answered at once, not after them.
TEST_F(VorpildTerminal, CommandsWaitingForASilentServerHoldNoOtherCommand)
{
    SilentServer silent;
    ASSERT_TRUE(silent.ready());

    startDaemon();
    constexpr int kWaiting = 6;
    for (int i = 0; i <= kWaiting; ++i) {
        const std::string name = "COM" + std::to_string(5 + i);
        ASSERT_EQ(devcon({ "install", PACKAGING_DIR "/VORPIL.inf", "ZORV\\Rure", name }).code, 0);
        ASSERT_EQ(devcon({ "set", name, "--remote", "127.0.0.1:" + std::to_string(silent.port), "--tcp", "--client",
                             "--raw", "--reconnect", "off" })
                      .code,
            0);
    }
    std::vector<std::future<ToolRun>> connects;
    for (int i = 0; i < kWaiting; ++i)
        connects.push_back(std::async(std::launch::async, [this, i] {
            return devcon({ "connect", "COM" + std::to_string(5 + i) });
        }));
    std::this_thread::sleep_for(1s); // the connects are under way
    const ToolRun other = devcon({ "serial", "COM" + std::to_string(5 + kWaiting), "--baud", "19200" });
    EXPECT_EQ(other.code, 0) << other.output;
    for (auto& connect : connects)
        EXPECT_EQ(connect.wait_for(0s), std::future_status::timeout) << "answered only once the connects gave up";
    for (auto& connect : connects)
        EXPECT_NE(connect.get().code, 0);
}

// More ports than the default 128 watch instances per user: each has its
// terminal and each open is seen.
TEST_F(VorpildTerminal, TwoHundredPortsEachSeeTheirProgram)
{
    startDaemon();
    constexpr int kPorts = 200;
    for (int i = 0; i < kPorts; ++i) {
        const ToolRun install
            = devcon({ "install", PACKAGING_DIR "/VORPIL.inf", "ZORV\\Rure", "COM" + std::to_string(5 + i) });
        ASSERT_EQ(install.code, 0) << install.output;
    }
    const std::string program = script("each.py", R"(import os, sys
for path in sys.argv[1:]:
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    os.write(fd, b"x")
    os.close(fd)
)");
    std::vector<std::string> argv { kPython, program };
    for (int i = 0; i < kPorts; ++i)
        argv.push_back(port("COM" + std::to_string(5 + i)));
    ASSERT_EQ(run(argv).code, 0);
    // Unconnected ports refuse the byte: every terminal counted its program's.
    ASSERT_TRUE(eventually(
        [&] {
            const std::string status = devcon({ "status" }).output;
            std::istringstream lines(status);
            std::string line;
            int seen = 0;
            while (std::getline(lines, line))
                seen += line.rfind("terminal ", 0) == 0 && field(line, "not-sent") == "1";
            return seen == kPorts;
        },
        60s));
}

// Out of descriptors: the install fails with the reason, and leaves no
// port without a terminal behind. (Whether the last descriptors run out at
// the terminal or already at the client's connection depends on how many
// the daemon has open; one of two neighbouring limits ends at the terminal.)
TEST_F(VorpildTerminal, APortThatCannotHaveATerminalIsNotInstalled)
{
    bool reported = false;
    for (const char* limit : { "--nofile=40:40", "--nofile=41:41" }) {
        stopDaemon();
        std::filesystem::remove_all(m_dir.path() + "/state");
        auto child = platform::ChildProcess::start(
            { "/usr/bin/prlimit", limit, "--", testing_support::programPath("vorpild"), "--foreground", "--runtime-dir",
                runtimeDir(), "--state-dir", m_dir.path() + "/state" },
            false);
        ASSERT_TRUE(child.ok());
        m_daemon = std::move(*child);
        ASSERT_TRUE(eventually([&] { return devcon({ "status" }).code == 0; }));
        ToolRun install;
        int number = 5;
        for (; number < 60; ++number) {
            install = run({ "/bin/sh", "-c", "VORPIL_RUNTIME_DIR=\"$1\" \"$2\" install \"$3\" 'ZORV\\Rure' \"$4\" 2>&1",
                              "sh", runtimeDir(), testing_support::programPath("devcon"), PACKAGING_DIR "/VORPIL.inf",
                              "COM" + std::to_string(number) },
                10s);
            if (install.code != 0)
                break;
        }
        if (install.code != 1)
            continue; // no descriptor left even for the client
        EXPECT_NE(install.output.find("Too many open files"), std::string::npos) << install.output;
        EXPECT_FALSE(std::filesystem::exists(port("COM" + std::to_string(number))));
        EXPECT_EQ(devcon({ "status" }).output.find("COM" + std::to_string(number) + " "), std::string::npos);
        reported = true;
        break;
    }
    EXPECT_TRUE(reported);
}

// Bytes that arrive while no program has the port: the device server is not
// held back, and they do not reach the next program minutes late (an open
// starts with an empty buffer, as it always did); what comes after the open does.
TEST_F(VorpildTerminal, WithNoProgramTheDeviceServerIsNotHeldBack)
{
    startDaemon();
    TcpListener device;
    addPort(device.port(), false, false);
    auto peer = device.accept();
    ASSERT_TRUE(peer);
    constexpr std::size_t kSize = 16 << 20;
    std::atomic<bool> sent { false };
    std::thread sender([&] {
        const Bytes block(1 << 16, 'o');
        for (std::size_t at = 0; at < kSize; at += block.size()) {
            if (!peer->send(block))
                return;
        }
        sent = true;
    });
    const bool flowed = eventually([&] { return sent.load(); }, 30s);
    if (!flowed)
        peer->shutdown(); // lets the sender go
    sender.join();
    ASSERT_TRUE(flowed) << "the device server was held back with nobody reading";
    // Plain reads: pyserial would discard what is waiting when it opens.
    const std::string reader = script("fresh.py", R"(import os, select, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
print("open", flush=True)
data = b""
while len(data) < 5 and select.select([fd], [], [], 10.0)[0]:
    data += os.read(fd, 65536)
print(data.decode(errors="replace"), flush=True)
)");
    auto program = platform::ChildProcess::start({ kPython, reader, port() });
    ASSERT_TRUE(program.ok());
    ASSERT_TRUE(program->readLine(15s).ok());
    ASSERT_TRUE(eventually([&] { return field(terminalLine(), "program") == "yes"; })) << terminalLine();
    ASSERT_TRUE(peer->send(Bytes { 'f', 'r', 'e', 's', 'h' }));
    const auto got = program->readLine(15s);
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(*got, "fresh") << "bytes from before the open reached the program";
}
