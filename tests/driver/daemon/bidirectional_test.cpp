// Both directions of a vorpild port at once, as programs use it: a device
// server that stops reading holds the program's writes back without holding
// up what travels towards the program, a server that suspends the port's
// sending is still heard resuming it, and a second program right after a
// first one finds the port working.
#include "tests/driver/daemon/vorpild_fixture.h"

#include <atomic>
#include <fstream>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>

using namespace vorpild_testing;

namespace {

constexpr std::uint8_t IAC = 255, SB = 250, SE = 240, WILL = 251, DO = 253;

// Bytes of a seed's pattern, without 0xFF unless `withFf`.
Bytes pattern(std::size_t length, unsigned seed, bool withFf = true)
{
    Bytes out(length);
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : out) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
        if (!withFf && byte == 0xFF)
            byte = 0x7F;
    }
    return out;
}

// A program's descriptor of the port, raw.
int openRaw(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return fd;
    termios attributes {};
    ::tcgetattr(fd, &attributes);
    ::cfmakeraw(&attributes);
    ::tcsetattr(fd, TCSANOW, &attributes);
    return fd;
}

bool writeAll(int fd, const Bytes& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (count <= 0)
            return false;
        done += static_cast<std::size_t>(count);
    }
    return true;
}

// What arrives on `fd` until `length` bytes or the limit.
Bytes readFor(int fd, std::size_t length, std::chrono::seconds limit)
{
    Bytes out;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<std::uint8_t> buffer(0x10000);
    while (out.size() < length && std::chrono::steady_clock::now() < deadline) {
        pollfd ready { fd, POLLIN, 0 };
        if (::poll(&ready, 1, 100) <= 0)
            continue;
        const ssize_t count = ::read(fd, buffer.data(), std::min(buffer.size(), length - out.size()));
        if (count <= 0)
            break;
        out.insert(out.end(), buffer.begin(), buffer.begin() + count);
    }
    return out;
}

// The data bytes of a Telnet stream: negotiations and subnegotiations out,
// doubled 0xFF single.
Bytes telnetData(const Bytes& wire)
{
    Bytes out;
    for (std::size_t i = 0; i < wire.size(); ++i) {
        if (wire[i] != IAC) {
            out.push_back(wire[i]);
            continue;
        }
        if (i + 1 >= wire.size())
            break;
        const std::uint8_t command = wire[i + 1];
        if (command == IAC) {
            out.push_back(IAC);
            ++i;
        } else if (command == SB) {
            std::size_t end = i + 2;
            while (end + 1 < wire.size() && !(wire[end] == IAC && wire[end + 1] == SE))
                ++end;
            i = end + 1;
        } else {
            i += command >= WILL ? 2 : 1;
        }
    }
    return out;
}

class Bidirectional : public VorpildFixture {
protected:
    void deviceStopsReading(bool framed);
};

} // namespace

// The device reads nothing for a while; meanwhile it sends more than the
// terminal, the port and the socket hold, and the program reads it all
// while its own write is still held back. Then the device reads, and the
// write ends whole: nothing given up, nothing counted as not sent.
void Bidirectional::deviceStopsReading(bool framed)
{
    {
        TcpListener device(0, 4096);
        startDaemon();
        addPort(device.port(), framed, false);
        auto peer = device.accept();
        ASSERT_TRUE(peer);
        const int program = openRaw(port());
        ASSERT_GE(program, 0);

        const Bytes outgoing = pattern(6u << 20, 1);
        std::atomic<bool> written { false };
        std::thread writer([&] { written = writeAll(program, outgoing); });
        std::this_thread::sleep_for(500ms);
        EXPECT_FALSE(written.load()) << "the device reads nothing: the writer is held";

        const Bytes incoming = pattern(2u << 20, 2);
        Bytes wire;
        for (std::size_t at = 0; at < incoming.size(); at += 0x4000) {
            const std::size_t length = std::min<std::size_t>(0x4000, incoming.size() - at);
            if (framed)
                wire.insert(wire.end(), { 0x32, static_cast<std::uint8_t>(length >> 8), std::uint8_t(length) });
            wire.insert(wire.end(), incoming.begin() + static_cast<std::ptrdiff_t>(at),
                incoming.begin() + static_cast<std::ptrdiff_t>(at + length));
        }
        std::thread sender([&] { (void)peer->send(wire); });
        std::this_thread::sleep_for(1s); // everything between the device and the program fills up
        const Bytes got = readFor(program, incoming.size(), 20s);
        EXPECT_EQ(got.size(), incoming.size()) << "what the device sent waited for the held write";
        EXPECT_TRUE(got == incoming);

        // Framed, the data comes in packets, with flow-control packets between.
        Bytes arrived;
        Bytes data;
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (data.size() < outgoing.size() && std::chrono::steady_clock::now() < deadline) {
            const Bytes more = peer->receive(0x10000, 100ms);
            arrived.insert(arrived.end(), more.begin(), more.end());
            if (!framed) {
                data = arrived;
                continue;
            }
            data.clear();
            for (const auto& [type, payload] : packets(arrived))
                if (type == 0x32)
                    data.insert(data.end(), payload.begin(), payload.end());
        }
        EXPECT_TRUE(data == outgoing) << data.size() << " of " << outgoing.size();
        EXPECT_TRUE(eventually([&] { return written.load(); }, 30s));
        if (!written)
            peer->shutdown();
        writer.join();
        sender.join();
        ::close(program);
        const std::string line = terminalLine();
        EXPECT_EQ(field(line, "not-sent"), "0") << line;
        EXPECT_EQ(field(line, "to-port"), std::to_string(outgoing.size())) << line;
    }
}

TEST_F(Bidirectional, ADeviceThatStopsReadingHoldsTheWriterButNotWhatItSendsRaw) { deviceStopsReading(false); }
TEST_F(Bidirectional, ADeviceThatStopsReadingHoldsTheWriterButNotWhatItSendsFramed) { deviceStopsReading(true); }

// The server suspends the port's sending and goes on sending: its resume
// comes behind more than the port holds, and the program reads only after
// its write was held a while. The resume is heard; the write goes whole.
TEST_F(Bidirectional, AServerThatSuspendsTheSenderIsHeardResumingIt)
{
    TcpListener server;
    startDaemon();
    ASSERT_EQ(devcon({ "install", PACKAGING_DIR "/VORPIL.inf", "ZORV\\Rure", "COM5" }).code, 0);
    ASSERT_EQ(devcon({ "set", "COM5", "--remote", "127.0.0.1:" + std::to_string(server.port()), "--tcp", "--client",
                         "--raw", "--protocol", "rfc2217", "--pacing", "off" })
                  .code,
        0);
    std::thread connecting([&] { (void)devcon({ "connect", "COM5" }); });
    auto peer = server.accept(20s);
    connecting.join();
    ASSERT_TRUE(peer);
    ASSERT_TRUE(peer->send(Bytes { IAC, DO, 0, IAC, WILL, 0, IAC, DO, 3, IAC, WILL, 3, IAC, DO, 44 }));

    Bytes heard;
    std::atomic<bool> listening { true };
    std::mutex heardMutex;
    std::thread reader([&] {
        while (listening) {
            const Bytes more = peer->receive(0x10000, 100ms);
            std::lock_guard lock(heardMutex);
            heard.insert(heard.end(), more.begin(), more.end());
        }
    });
    const int program = openRaw(port());
    ASSERT_GE(program, 0);
    std::this_thread::sleep_for(300ms);
    const Bytes suspend { IAC, SB, 44, 108, IAC, SE };
    const Bytes resume { IAC, SB, 44, 109, IAC, SE };
    ASSERT_TRUE(peer->send(suspend));
    std::this_thread::sleep_for(100ms);

    const Bytes outgoing = pattern(64u << 10, 3, false);
    std::atomic<bool> written { false };
    std::thread writer([&] { written = writeAll(program, outgoing); });
    const Bytes incoming = pattern(1u << 20, 4, false);
    std::thread sender([&] {
        (void)peer->send(incoming);
        (void)peer->send(resume);
    });
    std::this_thread::sleep_for(1s); // the program reads only now
    const Bytes got = readFor(program, incoming.size(), 20s);
    EXPECT_EQ(got.size(), incoming.size());
    EXPECT_TRUE(got == incoming);
    EXPECT_TRUE(eventually([&] { return written.load(); }, 20s)) << "the resume was not heard";
    EXPECT_TRUE(eventually(
        [&] {
            std::lock_guard lock(heardMutex);
            return telnetData(heard).size() >= outgoing.size();
        },
        20s));
    listening = false;
    if (!written)
        peer->shutdown();
    writer.join();
    sender.join();
    reader.join();
    EXPECT_TRUE(telnetData(heard) == outgoing);
    ::close(program);
}

// `stty raw; cat small > COM5; cat big > COM5` at 9600, paced: the first
// program's close is seen while the second one writes into a full terminal.
// The port stays the second program's, its bytes follow the first one's,
// and the daemon keeps answering.
TEST_F(Bidirectional, ASecondProgramRightAfterTheFirstFindsThePortWorking)
{
    auto device = std::make_unique<TcpListener>();
    startDaemon();
    addPort(device->port(), false, true);
    auto peer = device->accept();
    ASSERT_TRUE(peer);
    const Bytes small = pattern(1000, 5);
    const Bytes big = pattern(200u << 10, 6);
    m_dir.write("small", std::string(small.begin(), small.end()));
    m_dir.write("big", std::string(big.begin(), big.end()));
    auto shell
        = platform::ChildProcess::start({ "/bin/sh", "-c",
                                            "stty -F " + port() + " raw -echo 9600 && cat " + m_dir.file("small")
                                                + " > " + port() + " && cat " + m_dir.file("big") + " > " + port() },
            false);
    ASSERT_TRUE(shell.ok());

    // Within ten seconds the first program's bytes and the start of the second's arrive, in order.
    const Bytes first = peer->receive(small.size() + 2000, 10s);
    EXPECT_EQ(first.size(), small.size() + 2000);
    Bytes expected(small);
    expected.insert(expected.end(), big.begin(), big.begin() + 2000);
    EXPECT_TRUE(first == expected);
    const ToolRun status = devcon({ "status" });
    EXPECT_EQ(status.code, 0);
    EXPECT_EQ(field(terminalLine(), "program"), "yes") << status.output;

    // The device server goes away for good: the rest is counted, not sent,
    // and the writer is let go.
    peer.reset();
    device.reset();
    EXPECT_EQ(shell->wait(60s).value_or(-1), 0);
    if (shell->running())
        shell->terminate();
    std::string line;
    EXPECT_TRUE(eventually(
        [&] {
            line = terminalLine();
            return std::stoull("0" + field(line, "to-port")) + std::stoull("0" + field(line, "not-sent"))
                == small.size() + big.size();
        },
        20s))
        << line;
}
