// The devsim program's raw TCP data channel between two programs nobody here
// wrote: socat on the network side and pyserial on the device's pty.
#include "platform/child_process.h"
#include "platform/net.h"
#include "platform/text_file.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr const char* kPython = "/usr/bin/python3";

// Reads `count` bytes from the pty into a file, saying "ready" once open.
constexpr const char* kSerialReader = R"(import sys, serial
path, count, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
with serial.Serial(path, 115200, timeout=10) as port:
    print("ready", flush=True)
    data = b""
    while len(data) < count:
        chunk = port.read(count - len(data))
        if not chunk:
            break
        data += chunk
with open(out, "wb") as f:
    f.write(data)
print("done", len(data), flush=True)
)";

// Writes a file's bytes to the pty.
constexpr const char* kSerialWriter = R"(import sys, serial
with serial.Serial(sys.argv[1], 115200) as port:
    with open(sys.argv[2], "rb") as f:
        port.write(f.read())
    port.flush()
print("written", flush=True)
)";

std::string field(const std::string& line, const std::string& key)
{
    std::istringstream words(line);
    std::string word;
    while (words >> word)
        if (word.rfind(key + "=", 0) == 0)
            return word.substr(key.size() + 1);
    return {};
}

std::string pattern(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 31 + seed + i / 256) & 0xFF);
    return bytes;
}

// The connection state the device reports in its QueryReply, or -1.
int connectionState(platform::UdpSocket& socket)
{
    const std::string query("ZORVVROZ\0", 9);
    if (!socket
             .sendTo({ *platform::parseIpv4("127.0.0.10"), 25124 },
                 std::span(reinterpret_cast<const std::uint8_t*>(query.data()), query.size()))
             .ok())
        return -1;
    std::vector<std::uint8_t> reply(2048);
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < deadline) {
        platform::Endpoint from;
        auto got = socket.receiveFrom(reply, from);
        if (got.ok() && *got == 438)
            return reply[69];
        std::this_thread::sleep_for(1ms);
    }
    return -1;
}

platform::ChildProcess start(const std::vector<std::string>& argv)
{
    auto started = platform::ChildProcess::start(argv);
    EXPECT_TRUE(started.ok()) << argv[0] << ": " << started.error().message;
    return started.ok() ? std::move(*started) : platform::ChildProcess {};
}

} // namespace

TEST(DevsimDataChannel, RawTcpBetweenSocatAndPyserialKeepsEveryByte)
{
    testing_support::TempDir dir;
    dir.write("reader.py", kSerialReader);
    dir.write("writer.py", kSerialWriter);
    const std::string toSerial = pattern(64 * 1024, 1);
    const std::string toNetwork = pattern(48 * 1024 + 7, 2);
    dir.write("to-serial.bin", toSerial);
    dir.write("to-network.bin", toNetwork);

    platform::ChildProcess devsim
        = start({ testing_support::programPath("devsim"), "--first-address", "127.0.0.10", "--framing", "off" });
    ASSERT_TRUE(devsim.running());
    auto line = devsim.readLine(10s);
    ASSERT_TRUE(line.ok()) << line.error().message;
    const std::string pty = field(*line, "serial");
    ASSERT_EQ(pty.rfind("/dev/", 0), 0u) << *line;
    EXPECT_EQ(field(*line, "data"), "tcp-server:5000:raw") << *line;

    // Network to serial: socat sends a file and closes; pyserial reads it.
    platform::ChildProcess reader
        = start({ kPython, dir.file("reader.py"), pty, std::to_string(toSerial.size()), dir.file("from-network.bin") });
    auto ready = reader.readLine(10s);
    ASSERT_TRUE(ready.ok() && *ready == "ready") << (ready.ok() ? *ready : ready.error().message);
    platform::ChildProcess sender
        = start({ "socat", "-u", "OPEN:" + dir.file("to-serial.bin"), "TCP:127.0.0.10:5000" });
    EXPECT_EQ(sender.wait(20s), 0);
    auto done = reader.readLine(20s);
    ASSERT_TRUE(done.ok()) << done.error().message;
    EXPECT_EQ(reader.wait(10s), 0);
    EXPECT_TRUE(dir.read("from-network.bin") == toSerial) << *done;

    // Serial to network: socat connects and stores what comes; once the
    // device reports the connection, pyserial writes.
    auto socket = platform::UdpSocket::open();
    ASSERT_TRUE(socket.ok());
    ASSERT_TRUE(socket->bind("127.0.0.1", 0).ok());
    EXPECT_EQ(connectionState(*socket), 0);
    platform::ChildProcess receiver
        = start({ "socat", "-u", "TCP:127.0.0.10:5000", "CREATE:" + dir.file("from-serial.bin") });
    int state = -1;
    for (int i = 0; i < 200 && state != 1; ++i) {
        state = connectionState(*socket);
        if (state != 1)
            std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(state, 1);
    platform::ChildProcess writer = start({ kPython, dir.file("writer.py"), pty, dir.file("to-network.bin") });
    EXPECT_EQ(writer.wait(20s), 0);
    const std::string stored = dir.file("from-serial.bin");
    std::string received;
    for (int i = 0; i < 1000 && received.size() < toNetwork.size(); ++i) {
        std::this_thread::sleep_for(10ms);
        auto bytes = platform::readFileBytes(stored, 1 << 20);
        if (bytes.ok())
            received = *bytes;
    }
    EXPECT_TRUE(received == toNetwork) << received.size() << " of " << toNetwork.size() << " bytes";
    receiver.terminate();
    receiver.wait(10s);
    EXPECT_EQ(connectionState(*socket), 0) << "socat's close ends the connection";

    ASSERT_TRUE(devsim.terminate());
    EXPECT_EQ(devsim.wait(10s), 0);
}
