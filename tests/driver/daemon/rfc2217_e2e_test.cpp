// A vorpild port speaking RFC 2217 to device servers nobody here wrote:
// ser2net (Debian) and a server on pyserial's PortManager, each in front of
// one end of a socat pty pair whose other end is the test's serial device.
#include "common/byte_order.h"
#include "platform/text_file.h"
#include "tests/driver/daemon/vorpild_fixture.h"

#include <array>

using namespace vorpild_testing;

namespace {

constexpr std::size_t kTransferBytes = 20u << 20;

// A program on COM5 and the device at the far end of the line move `size`
// bytes each way at once, every byte value among them, and compare.
constexpr const char* kTransferScript = R"(
import os, random, sys, threading, tty
com, device, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
a = os.open(com, os.O_RDWR | os.O_NOCTTY)
b = os.open(device, os.O_RDWR | os.O_NOCTTY)
tty.setraw(a)
tty.setraw(b)
outgoing = random.Random(1).randbytes(size)
incoming = random.Random(2).randbytes(size)
result = {}
def send(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view[:65536]):]
def receive(fd, expected, name):
    got = bytearray()
    while len(got) < len(expected):
        got += os.read(fd, 65536)
    result[name] = bytes(got) == expected
threads = [threading.Thread(target=send, args=(a, outgoing)),
           threading.Thread(target=receive, args=(b, outgoing, "to-device")),
           threading.Thread(target=send, args=(b, incoming)),
           threading.Thread(target=receive, args=(a, incoming, "from-device"))]
for t in threads:
    t.start()
for t in threads:
    t.join()
print("to-device=%s from-device=%s ff=%d" % (result["to-device"], result["from-device"], outgoing.count(0xFF)))
)";

// An RFC 2217 server on pyserial's PortManager. The pty has no modem lines
// (and may refuse a character size):
// CTS follows RTS and DSR and CD follow DTR, as a loopback plug wires them,
// so the port's lines come back to it as notifications.
constexpr const char* kPyserialServer = R"(
import logging, socket, sys, termios, threading, time
import serial, serial.rfc2217
line_path, listen_port, log_path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
logging.basicConfig(filename=log_path, level=logging.INFO, format="%(message)s")
log = logging.getLogger("server")
class Line(serial.Serial):
    # A pty refuses some character sizes; the server keeps what it was told.
    def _reconfigure_port(self, *args, **kwargs):
        try:
            super()._reconfigure_port(*args, **kwargs)
        except termios.error as error:
            log.info("line refused: %s" % error)
    def _update_rts_state(self): pass
    def _update_dtr_state(self): pass
    def _update_break_state(self): pass
    @property
    def cts(self): return bool(self._rts_state)
    @property
    def dsr(self): return bool(self._dtr_state)
    @property
    def ri(self): return False
    @property
    def cd(self): return bool(self._dtr_state)
line = Line(line_path, timeout=0.01)
line.rts = False
line.dtr = False
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", listen_port))
listener.listen(1)
print("listening", flush=True)
while True:
    conn, _ = listener.accept()
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    lock = threading.Lock()
    class Writer:
        def write(self, data):
            with lock:
                conn.sendall(data)
    manager = serial.rfc2217.PortManager(line, Writer(), log)
    alive = [True]
    def to_network():
        while alive[0]:
            data = line.read(line.in_waiting or 1)
            if data:
                Writer().write(b"".join(manager.escape(data)))
            manager.check_modem_lines()
    reader = threading.Thread(target=to_network, daemon=True)
    reader.start()
    while True:
        data = conn.recv(65536)
        if not data:
            break
        line.write(b"".join(manager.filter(data)))
        manager.check_modem_lines()
    alive[0] = False
    reader.join()
    conn.close()
)";

class Rfc2217EndToEnd : public VorpildFixture {
protected:
    void TearDown() override
    {
        for (auto* child : { &m_server, &m_lines })
            if (child->running()) {
                child->terminate();
                (void)child->wait(10s);
            }
        VorpildFixture::TearDown();
    }

    // A pty pair: the server holds `serverSide`, the test's device is `deviceSide`.
    void startLine()
    {
        m_serverSide = m_dir.path() + "/line-server";
        m_deviceSide = m_dir.path() + "/line-device";
        auto lines = platform::ChildProcess::start(
            { "socat", "PTY,link=" + m_serverSide + ",rawer", "PTY,link=" + m_deviceSide + ",rawer" }, false);
        ASSERT_TRUE(lines.ok());
        m_lines = std::move(*lines);
        ASSERT_TRUE(
            eventually([&] { return std::filesystem::exists(m_serverSide) && std::filesystem::exists(m_deviceSide); }));
    }

    // COM5 as an RFC 2217 client of 127.0.0.1:port, unpaced, connected once
    // the server listens.
    void addRfc2217Port(std::uint16_t serverPort)
    {
        ASSERT_EQ(devcon({ "install", PACKAGING_DIR "/VORPIL.inf", "ZORV\\Rure", "COM5" }).code, 0);
        ASSERT_EQ(devcon({ "set", "COM5", "--remote", "127.0.0.1:" + std::to_string(serverPort), "--tcp", "--client",
                             "--raw", "--protocol", "rfc2217", "--pacing", "off" })
                      .code,
            0);
        ASSERT_TRUE(eventually([&] { return devcon({ "connect", "COM5" }).code == 0; }, 20s));
        EXPECT_NE(devcon({ "status" }).output.find("remote=rfc2217:127.0.0.1:" + std::to_string(serverPort)),
            std::string::npos);
    }

    // 20 MiB each way between a program on COM5 and the device, intact.
    void transferBothWays()
    {
        const auto result = run(
            { kPython, script("transfer.py", kTransferScript), port(), m_deviceSide, std::to_string(kTransferBytes) },
            180s);
        EXPECT_EQ(result.code, 0) << result.output;
        EXPECT_NE(result.output.find("to-device=True from-device=True"), std::string::npos) << result.output;
    }

    // What `stty -F` says of the server's end of the line.
    std::string stty() { return run({ "stty", "-a", "-F", m_serverSide }).output; }

    platform::ChildProcess m_lines;
    platform::ChildProcess m_server;
    std::string m_serverSide;
    std::string m_deviceSide;
};

// Whether this kernel's ptys take a character size and parity at all (some
// refuse them, some drop them).
bool ptyKeepsParity(const std::string& path)
{
    (void)run({ "stty", "-F", path, "cs7", "parenb" });
    const std::string text = run({ "stty", "-a", "-F", path }).output;
    (void)run({ "stty", "-F", path, "cs8", "-parenb" });
    return text.find(" cs7") != std::string::npos;
}

} // namespace

TEST_F(Rfc2217EndToEnd, Ser2netSetsTheLineAndCarriesEveryByteValueBothWays)
{
    constexpr std::uint16_t kSer2netPort = 47301;
    startLine();
    m_dir.write("ser2net.yaml",
        "connection: &com5\n"
        "  accepter: telnet(rfc2217),tcp,127.0.0.1,"
            + std::to_string(kSer2netPort) + "\n  connector: serialdev," + m_serverSide
            + ",9600n81,local\n  options:\n    kickolduser: true\n");
    // ser2net resolves its accepter with AI_ADDRCONFIG, which finds nothing
    // with loopback alone; an address of the documentation range on lo
    // satisfies it. Nothing is sent to it.
    (void)run({ "ip", "addr", "add", "192.0.2.1/32", "dev", "lo" });
    auto server = platform::ChildProcess::start({ "ser2net", "-n", "-d", "-c", m_dir.file("ser2net.yaml") }, false);
    ASSERT_TRUE(server.ok());
    m_server = std::move(*server);
    startDaemon();
    addRfc2217Port(kSer2netPort);

    // A program sets 19200 7E2 (what a terminal cannot carry goes through devcon serial).
    ASSERT_EQ(
        devcon({ "serial", "COM5", "--baud", "19200", "--data-bits", "7", "--parity", "even", "--stop-bits", "2" })
            .code,
        0);
    const bool parityKept = ptyKeepsParity(m_deviceSide);
    std::string text;
    EXPECT_TRUE(eventually([&] {
        text = stty();
        return text.find("speed 19200 baud") != std::string::npos && text.find(" cstopb") != std::string::npos
            && (!parityKept || (text.find(" cs7") != std::string::npos && text.find(" parenb") != std::string::npos));
    })) << text;
    if (!parityKept)
        std::printf("note: this kernel's ptys refuse a character size of 7 and parity; stty shows: %s\n",
            text.substr(0, text.find('\n')).c_str());

    ASSERT_EQ(
        devcon({ "serial", "COM5", "--baud", "115200", "--data-bits", "8", "--parity", "none", "--stop-bits", "1" })
            .code,
        0);
    transferBothWays();
}

TEST_F(Rfc2217EndToEnd, PyserialServerGetsSettingsAndLinesAndNotifiesTheModemState)
{
    constexpr std::uint16_t kServerPort = 47302;
    startLine();
    const std::string log = m_dir.path() + "/server.log";
    auto server = platform::ChildProcess::start(
        { kPython, script("server.py", kPyserialServer), m_serverSide, std::to_string(kServerPort), log }, true);
    ASSERT_TRUE(server.ok());
    m_server = std::move(*server);
    auto ready = m_server.readLine(20s);
    ASSERT_TRUE(ready.ok() && *ready == "listening");
    startDaemon();
    addRfc2217Port(kServerPort);
    auto serverLog = [&] {
        auto text = platform::readFileBytes(log);
        return text.ok() ? *text : std::string();
    };

    ASSERT_EQ(
        devcon({ "serial", "COM5", "--baud", "19200", "--data-bits", "7", "--parity", "even", "--stop-bits", "2" })
            .code,
        0);
    EXPECT_TRUE(eventually([&] {
        const std::string text = serverLog();
        return text.find("set baud rate: 19200") != std::string::npos
            && text.find("set data size: 7") != std::string::npos && text.find("set parity: E") != std::string::npos
            && text.find("set stop bits: 2") != std::string::npos;
    })) << serverLog();

    // The port's lines reach the server as SET-CONTROL ...
    ASSERT_EQ(devcon({ "serial", "COM5", "--rts", "on", "--break", "50" }).code, 0);
    EXPECT_TRUE(eventually([&] {
        const std::string text = serverLog();
        return text.find("changed RTS to active") != std::string::npos
            && text.find("changed BREAK to active") != std::string::npos
            && text.find("changed BREAK to inactive") != std::string::npos;
    })) << serverLog();

    // ... and the modem state the server notifies is what the port reports;
    // the change it notifies completes a wait on it.
    std::uint32_t handle = 0;
    ASSERT_EQ(m_client->open("\\\\.\\COM5", handle), kStatusSuccess);
    ControlReply reply;
    std::array<std::uint8_t, 4> waitMask {};
    storeLe32(waitMask, 0, kSerialEvDsr | kSerialEvRlsd | kSerialEvCts);
    ASSERT_EQ(m_client->deviceIoControl(handle, kIoctlSerialSetWaitMask, waitMask, 0, reply), kStatusSuccess);
    ASSERT_EQ(m_client->deviceIoControl(handle, kIoctlSerialSetDtr, {}, 0, reply), kStatusSuccess);
    // (A wait without the event would never end: the check comes first.)
    ASSERT_TRUE(eventually([&] {
        ControlReply status;
        return m_client->deviceIoControl(handle, kIoctlSerialGetModemStatus, {}, 4, status) == kStatusSuccess
            && status.output.size() == 4 && (status.output[0] & 0xB0) == 0xB0; // CD, DSR and CTS from the server
    }));
    ASSERT_EQ(m_client->deviceIoControl(handle, kIoctlSerialWaitOnMask, {}, 4, reply), kStatusSuccess);
    ASSERT_EQ(reply.output.size(), 4u);
    EXPECT_EQ(reply.output[0] & (kSerialEvDsr | kSerialEvRlsd), kSerialEvDsr | kSerialEvRlsd);
    EXPECT_NE(serverLog().find("changed DTR to active"), std::string::npos);
    (void)m_client->close(handle);

    ASSERT_EQ(
        devcon({ "serial", "COM5", "--baud", "115200", "--data-bits", "8", "--parity", "none", "--stop-bits", "1" })
            .code,
        0);
    transferBothWays();
}
