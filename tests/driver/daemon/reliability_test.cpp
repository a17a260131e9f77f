// Everyday uses of a vorpild port where bytes used to go missing: a port
// closed and reopened at once, bytes written just before a close, settings
// changed behind buffered data, a slow reader of a fast stream, a device
// server or the daemon itself restarting. Programs nobody here wrote (sh,
// stty, pyserial) use the port; the device server's side is a plain socket
// of the test, or devsim.
#include "tests/driver/daemon/vorpild_fixture.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace common;
using namespace vorpild_testing;

namespace {

class VorpildReliability : public VorpildFixture {
protected:
    // A program writes `size` bytes of the pattern at `baud` and closes the
    // port (pyserial); then the daemon is told to stop.
    void writeCloseAndStop(std::size_t size, int baud)
    {
        const std::string writer = script("write.py",
            "import sys, serial\ndata = bytes((i * 7 + i // 251) & 0xFF for i in range(" + std::to_string(size)
                + "))\nwith serial.Serial(sys.argv[1], " + std::to_string(baud) + ") as port:\n    port.write(data)\n");
        ASSERT_EQ(run({ kPython, writer, port() }).code, 0);
        m_client.reset();
        m_daemon.terminate();
    }
    // Where `got` first differs from the start of the pattern; its size when it does not.
    static std::size_t firstWrongByte(const Bytes& got)
    {
        for (std::size_t i = 0; i < got.size(); ++i)
            if (got[i] != static_cast<std::uint8_t>((i * 7 + i / 251) & 0xFF))
                return i;
        return got.size();
    }
};
} // namespace

TEST_F(VorpildReliability, ControlOpenRightAfterATerminalClosedSucceeds)
{
    startDaemon();
    ASSERT_EQ(devcon({ "install", PACKAGING_DIR "/VORPIL.inf", "ZORV\\Rure", "COM5" }).code, 0);
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(run({ "/bin/stty", "-F", port(), i % 2 ? "115200" : "9600" }).code, 0);
        std::uint32_t handle = 0;
        ASSERT_EQ(m_client->open("\\\\.\\COM5", handle), kStatusSuccess) << "round " << i;
        ASSERT_EQ(m_client->close(handle), kStatusSuccess);
    }
    // A program killed while holding the port lets go of it too.
    for (int i = 0; i < 5; ++i) {
        auto holder
            = platform::ChildProcess::start({ "/bin/sh", "-c", "exec 3<>" + port() + "; echo held; exec sleep 30" });
        ASSERT_TRUE(holder.ok());
        ASSERT_TRUE(holder->readLine(10s).ok());
        ASSERT_TRUE(eventually([&] { return devcon({ "status" }).output.find("program=yes") != std::string::npos; }));
        std::uint32_t handle = 0;
        EXPECT_EQ(m_client->open("\\\\.\\COM5", handle), kStatusInvalidDeviceState) << "a real holder keeps the port";
        holder->kill();
        ASSERT_EQ(m_client->open("\\\\.\\COM5", handle), kStatusSuccess) << "round " << i;
        ASSERT_EQ(m_client->close(handle), kStatusSuccess);
    }
}

TEST_F(VorpildReliability, BytesWrittenJustBeforeACloseAllLeave)
{
    startDaemon();
    TcpListener device;
    addPort(device.port(), false, false);
    auto peer = device.accept();
    ASSERT_TRUE(peer);
    for (int i = 0; i < 200; ++i) {
        const std::string text = "quick" + std::to_string(i) + ";";
        ASSERT_EQ(run({ "/bin/sh", "-c", "printf '" + text + "' > " + port() }).code, 0);
        const Bytes got = peer->receive(text.size(), 5s);
        ASSERT_EQ(std::string(got.begin(), got.end()), text) << "round " << i;
    }

    // A megabyte written and closed at once arrives whole.
    const std::string writer = script("write.py", R"(import sys, serial
data = bytes((i * 7 + i // 251) & 0xFF for i in range(1000000))
with serial.Serial(sys.argv[1], 921600) as port:
    port.write(data)
)");
    std::thread program([&] { EXPECT_EQ(run({ kPython, writer, port() }).code, 0); });
    const Bytes got = peer->receive(1000000, 60s);
    program.join();
    ASSERT_EQ(got.size(), 1000000u);
    EXPECT_EQ(firstWrongByte(got), got.size());
    EXPECT_TRUE(peer->quiet());
}

// Bytes written, then the device server's answer awaited, then a new rate:
// the bytes went at the old one. (A pseudo-terminal's tcdrain does not wait
// for the daemon, so the answer is what tells the program they have left.)
TEST_F(VorpildReliability, ASettingsChangeGoesOutAfterTheBytesWrittenBeforeIt)
{
    startDaemon();
    TcpListener device;
    addPort(device.port(), true, false);
    auto peer = device.accept();
    ASSERT_TRUE(peer);
    const std::string program = script("rates.py", R"(import sys, serial
with serial.Serial(sys.argv[1], 115200, timeout=20) as port:
    port.write(b"a" * 20000)
    port.flush()
    assert port.read(1) == b"k"
    port.baudrate = 9600
    port.write(b"b" * 10)
)");
    auto writer = platform::ChildProcess::start({ kPython, program, port() });
    ASSERT_TRUE(writer.ok());
    Bytes stream;
    const auto dataIn = [&](std::size_t wanted) {
        return eventually([&] {
            const Bytes more = peer->receive(65536, 100ms);
            stream.insert(stream.end(), more.begin(), more.end());
            std::size_t data = 0;
            for (const auto& [type, payload] : packets(stream))
                data += type == 0x32 ? payload.size() : 0;
            return data >= wanted;
        });
    };
    ASSERT_TRUE(dataIn(20000));
    ASSERT_TRUE(peer->send(Bytes { 0x32, 0x00, 0x01, 'k' }));
    ASSERT_TRUE(dataIn(20010));
    ASSERT_EQ(writer->wait(20s), 0);
    std::size_t dataBefore = 0;
    bool seen = false;
    for (const auto& [type, payload] : packets(stream)) {
        if (type == 0x32 && !seen)
            dataBefore += payload.size();
        // Code 0x15 with baud code 5: 9600.
        if (type == 0x33 && payload.size() >= 2 && payload[0] == 0x15 && payload[1] == 5)
            seen = true;
    }
    EXPECT_TRUE(seen) << "the device server learns 9600";
    EXPECT_EQ(dataBefore, 20000u) << "the new rate overtook bytes written at the old one";
}

TEST_F(VorpildReliability, RawTcpToASlowReaderLosesNothing)
{
    startDaemon();
    TcpListener device;
    addPort(device.port(), false, true);
    auto peer = device.accept();
    ASSERT_TRUE(peer);
    constexpr std::size_t kSize = 20 << 20;
    // The reader starts late and stops now and then, so the port's buffer
    // and the terminal fill up while the device server goes on sending.
    const std::string reader = script("read.py", R"(import sys, time, serial
size = int(sys.argv[2])
with serial.Serial(sys.argv[1], 921600, timeout=20) as port:
    print("open", flush=True)
    time.sleep(1.0)
    got = 0
    bad = -1
    pause = 1 << 20
    while got < size:
        chunk = port.read(min(65536, size - got))
        if not chunk:
            break
        for k, b in enumerate(chunk):
            i = got + k
            if b != (i * 7 + i // 251) & 0xFF:
                bad = i
                break
        if bad >= 0:
            break
        got += len(chunk)
        if got >= pause:
            pause += 4 << 20
            time.sleep(0.3)
    print("read", got, "bad", bad, flush=True)
)");
    // Another program had the port before: its going must leave the port
    // ready to hand arrivals to the next one.
    ASSERT_EQ(run({ "/bin/stty", "-F", port(), "921600" }).code, 0);
    auto program = platform::ChildProcess::start({ kPython, reader, port(), std::to_string(kSize) });
    ASSERT_TRUE(program.ok());
    ASSERT_TRUE(program->readLine(15s).ok());
    std::thread sender([&] {
        Bytes block(1 << 16);
        for (std::size_t at = 0; at < kSize; at += block.size()) {
            for (std::size_t k = 0; k < block.size(); ++k) {
                const std::size_t i = at + k;
                block[k] = static_cast<std::uint8_t>((i * 7 + i / 251) & 0xFF);
            }
            if (!peer->send(block))
                return;
        }
    });
    auto result = program->readLine(120s);
    sender.join();
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(*result, "read " + std::to_string(kSize) + " bad -1");
}

TEST_F(VorpildReliability, RestartedDeviceServerGetsTheNextWriteAfterReconnecting)
{
    startDaemon();
    auto startDevice = [&](std::string& serialPty) {
        auto device = platform::ChildProcess::start(
            { testing_support::programPath("devsim"), "--first-address", "127.0.0.10" });
        EXPECT_TRUE(device.ok());
        auto listed = device->readLine(10s);
        EXPECT_TRUE(listed.ok());
        serialPty = listed.ok() ? field(*listed, "serial") : "";
        return std::move(*device);
    };
    std::string serialPty;
    auto device = startDevice(serialPty);
    ASSERT_EQ(devcon({ "install", PACKAGING_DIR "/VORPIL.inf", "ZORV\\Rure", "COM5" }).code, 0);
    ASSERT_EQ(devcon({ "set", "COM5", "--remote", "127.0.0.10:5000", "--tcp", "--client", "--framed" }).code, 0);
    ASSERT_EQ(devcon({ "set", "COM5", "--reconnect", "1" }).code, 0);
    ASSERT_EQ(devcon({ "connect", "COM5" }).code, 0);

    // The program keeps the port open throughout and writes now and then.
    const std::string writer = script("ping.py", R"(import sys, time, serial
with serial.Serial(sys.argv[1], 115200) as port:
    print("open", flush=True)
    for i in range(300):
        port.write(b"ping")
        time.sleep(0.1)
)");
    auto program = platform::ChildProcess::start({ kPython, writer, port() });
    ASSERT_TRUE(program.ok());
    ASSERT_TRUE(program->readLine(15s).ok());
    auto receivesPing = [](const std::string& pty) {
        auto side = platform::openSerialPort(pty, platform::RealClock::instance());
        if (!side.ok())
            return false;
        std::string received;
        std::uint8_t buffer[256];
        return eventually([&] {
            const auto got = (*side)->read(buffer, sizeof buffer, 100ms);
            received.append(reinterpret_cast<const char*>(buffer), got.count);
            return received.find("ping") != std::string::npos;
        });
    };
    ASSERT_TRUE(receivesPing(serialPty));

    device.kill();
    std::this_thread::sleep_for(500ms); // writes meanwhile are refused and counted
    device = startDevice(serialPty);
    EXPECT_TRUE(receivesPing(serialPty)) << "the port reconnected and writes go out again";
    const ToolRun status = devcon({ "status" });
    EXPECT_NE(status.output.find("terminal COM5 program=yes"), std::string::npos) << status.output;
    program->kill();
}

TEST_F(VorpildReliability, RestartedDaemonReconnectsAPortThatConnectsAtStart)
{
    startDaemon();
    TcpListener device;
    ASSERT_EQ(devcon({ "install", PACKAGING_DIR "/VORPIL.inf", "ZORV\\Rure", "COM5" }).code, 0);
    ASSERT_EQ(devcon({ "set", "COM5", "--remote", "127.0.0.1:" + std::to_string(device.port()), "--tcp", "--client",
                         "--raw", "--connect-at-start" })
                  .code,
        0);
    ASSERT_EQ(devcon({ "connect", "COM5" }).code, 0);
    auto first = device.accept();
    ASSERT_TRUE(first);

    // Killed without a chance to tidy up, then started again: nobody opens
    // the port, yet the connection comes back.
    m_client.reset();
    m_daemon.kill();
    ASSERT_TRUE(first->closedByOtherSide());
    startDaemon();
    auto second = device.accept(15s);
    ASSERT_TRUE(second) << "the daemon restored the connection at start";
    auto program = platform::ChildProcess::start({ kPython, "-c",
        "import serial,sys\nwith serial.Serial(sys.argv[1], timeout=10) as p:\n    print('open', flush=True)\n"
        "    print(p.read(2).decode(), flush=True)",
        port() });
    ASSERT_TRUE(program.ok());
    ASSERT_TRUE(program->readLine(15s).ok());
    ASSERT_TRUE(eventually([&] { return devcon({ "status" }).output.find("program=yes") != std::string::npos; }));
    ASSERT_TRUE(second->send(Bytes { 'u', 'p' }));
    auto got = program->readLine(15s);
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(*got, "up");
}

TEST_F(VorpildReliability, RuntimeDirectoryOfAnotherUserIsRefused)
{
    for (const bool foreign : { true, false }) {
        testing_support::TempDir dir;
        const std::string runtime = dir.path() + "/run";
        ASSERT_EQ(::mkdir(runtime.c_str(), 0700), 0);
        if (foreign)
            ASSERT_EQ(::chown(runtime.c_str(), 65534, 65534), 0); // nobody's
        else
            ASSERT_EQ(::chmod(runtime.c_str(), 0777), 0); // ours, but anyone may plant links
        const ToolRun started = run({ testing_support::programPath("vorpild"), "--foreground", "--runtime-dir", runtime,
            "--state-dir", dir.path() + "/state" });
        EXPECT_NE(started.code, 0);
        EXPECT_FALSE(std::filesystem::exists(runtime + "/control"));
    }
}

TEST_F(VorpildReliability, TheDaemonStopsWhileAProgramKeepsWritingToAPort)
{
    // The program's writes fill the terminal once the daemon stops reading;
    // the daemon must not wait behind them on its way out.
    startDaemon();
    {
        TcpListener device;
        addPort(device.port(), true, false);
        auto peer = device.accept();
        ASSERT_TRUE(peer);
    } // the device server leaves: every write fails at once from here on
    auto writer = platform::ChildProcess::start({ "/bin/sh", "-c", "exec cat /dev/zero > " + port() }, false);
    ASSERT_TRUE(writer.ok());
    ASSERT_TRUE(eventually([&] {
        const ToolRun status = devcon({ "status" });
        return status.output.find("program=yes") != std::string::npos;
    }));
    m_client.reset();
    m_daemon.terminate();
    const auto code = m_daemon.wait(10s);
    writer->kill();
    EXPECT_TRUE(code.has_value()) << "the daemon did not stop while a program kept writing";
    if (!code)
        m_daemon.kill();
}

TEST_F(VorpildReliability, SettingsATerminalCannotCarrySurviveAProgramsOpen)
{
    startDaemon();
    TcpListener device;
    addPort(device.port(), true, false);
    auto peer = device.accept();
    ASSERT_TRUE(peer);
    const ToolRun serial = devcon({ "serial", "COM5", "--data-bits", "7", "--parity", "even" });
    ASSERT_EQ(serial.code, 0) << serial.output;
    ASSERT_EQ(
        run({ kPython, "-c", "import serial,sys; serial.Serial(sys.argv[1], 57600).write(b'x')", port() }).code, 0);
    // The program's settings go ahead of its byte; once the byte is at the
    // device server they are the port's. (Opened earlier, the port would be
    // held here while the daemon still had the program's terminal to read.)
    Bytes stream;
    const Bytes dataPacket { 0x00, 0x01, 'x' };
    while (std::search(stream.begin(), stream.end(), dataPacket.begin(), dataPacket.end()) == stream.end()) {
        const Bytes more = peer->receive(1, 5s);
        ASSERT_FALSE(more.empty()) << "the program's byte never reached the device server";
        stream.insert(stream.end(), more.begin(), more.end());
    }
    std::uint32_t handle = 0;
    ASSERT_EQ(m_client->open("\\\\.\\COM5", handle), kStatusSuccess);
    ControlReply line;
    ASSERT_EQ(m_client->deviceIoControl(handle, kIoctlSerialGetLineControl, {}, 3, line), kStatusSuccess);
    ASSERT_GE(line.output.size(), 3u);
    EXPECT_EQ(line.output[1], 2) << "even parity kept";
    EXPECT_EQ(line.output[2], 7) << "7 data bits kept";
    ControlReply rate;
    ASSERT_EQ(m_client->deviceIoControl(handle, kIoctlSerialGetBaudRate, {}, 4, rate), kStatusSuccess);
    ASSERT_GE(rate.output.size(), 4u);
    EXPECT_EQ(rate.output[0] | rate.output[1] << 8 | rate.output[2] << 16, 57600) << "the program's own rate applies";
    (void)m_client->close(handle);
}

// A program writes at 115200 baud, closes the port and exits 0 (the
// terminal took the bytes at once; the port's pacing holds them in the
// daemon); the daemon is then stopped in order (SIGTERM, as `systemctl stop`
// or a package upgrade's restart does). It sends them first, as a serial
// port's close waits for its output.
TEST_F(VorpildReliability, AnOrderlyStopSendsWhatAClosedProgramWrote)
{
    m_daemonLog = true;
    startDaemon();
    TcpListener device;
    addPort(device.port(), false, true);
    auto peer = device.accept();
    ASSERT_TRUE(peer);
    constexpr std::size_t kSize = 50000;
    ASSERT_NO_FATAL_FAILURE(writeCloseAndStop(kSize, 115200));
    const Bytes got = peer->receive(kSize, 60s);
    std::string report;
    for (auto line = m_daemon.readLine(60s); line.ok(); line = m_daemon.readLine(60s))
        if (line->find("COM5: stopping:") != std::string::npos)
            report = *line;
    EXPECT_TRUE(m_daemon.wait(60s).has_value());
    ASSERT_EQ(got.size(), kSize) << "bytes a program had written and closed on were dropped by the stop";
    EXPECT_EQ(firstWrongByte(got), got.size());
    EXPECT_NE(report.find(", 0 bytes not sent"), std::string::npos) << report;
}

// The stop waits within its bound (--stop-wait): a port that cannot send
// everything in time gives up the rest, and the log says how much per port,
// exactly what the device server then lacks. (A port whose device server
// has gone does not hold the stop up: TheDaemonStopsWhileAProgramKeepsWriting.)
TEST_F(VorpildReliability, AnOrderlyStopThatRunsOutOfTimeSaysHowManyBytesItDropped)
{
    m_daemonLog = true;
    m_daemonArgs = { "--stop-wait", "1" };
    startDaemon();
    TcpListener device;
    addPort(device.port(), false, true);
    auto peer = device.accept();
    ASSERT_TRUE(peer);
    // 20,000 bytes take 21 s at 9600 baud.
    constexpr std::size_t kSize = 20000;
    ASSERT_NO_FATAL_FAILURE(writeCloseAndStop(kSize, 9600));
    std::map<std::string, std::pair<long, long>> reports; // port -> sent, not sent
    for (auto line = m_daemon.readLine(60s); line.ok(); line = m_daemon.readLine(60s)) {
        long sent = 0;
        long notSent = 0;
        char name[16] = {};
        if (std::sscanf(
                line->c_str(), "vorpild: %15[^:]: stopping: %ld bytes sent, %ld bytes not sent", name, &sent, &notSent)
            == 3)
            reports[name] = { sent, notSent };
    }
    const auto code = m_daemon.wait(30s);
    ASSERT_TRUE(code.has_value()) << "the stop did not keep to its bound";
    EXPECT_EQ(*code, 0);
    const Bytes got = peer->receive(kSize, 10s);
    EXPECT_EQ(firstWrongByte(got), got.size());
    ASSERT_TRUE(reports.count("COM5")) << "no count for the port that ran out of time";
    EXPECT_GT(reports["COM5"].second, 0);
    EXPECT_EQ(got.size() + static_cast<std::size_t>(reports["COM5"].second), kSize)
        << "the count of bytes not sent is not what the device server lacks";
}
