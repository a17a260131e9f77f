// What the socket transport owes the bytes it carries: a framed stream held
// back by a full receive buffer loses none, a stopped device server is let
// go however the buffer drained, and a write whose peer left reports the
// bytes that did not go.
#include "common/serial_ioctl.h"
#include "driver/receive_tap.h"
#include "driver/socket_transport.h"
#include "tests/driver/port_harness.h"
#include "tests/driver/transport/loopback_peer.h"
#include "tests/support/eventually.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <thread>

using namespace common;
using namespace driver_testing;
using namespace std::chrono_literals;

namespace {

Bytes packet(std::uint8_t type, std::span<const std::uint8_t> payload)
{
    Bytes out(3 + payload.size());
    out[0] = type;
    out[1] = static_cast<std::uint8_t>(payload.size() >> 8);
    out[2] = static_cast<std::uint8_t>(payload.size());
    std::copy(payload.begin(), payload.end(), out.begin() + 3);
    return out;
}

PortSettings tcpClient(std::uint16_t remotePort, std::uint32_t cmdByte)
{
    PortSettings settings;
    settings.remoteHost = "127.0.0.1";
    settings.remotePort = remotePort;
    settings.cmdByte = cmdByte;
    settings.connectAtWinStart = 1;
    return settings;
}

using testing_support::eventually;

// Virtual time whose next sleep (a write's pacing pause) can be held until
// the test lets it go, so a test can act between two chunks of one write.
class GateClock final : public platform::Clock {
public:
    platform::TimePoint now() const override
    {
        std::lock_guard lock(m_mutex);
        return m_now;
    }
    platform::WallTime wallNow() const override { return platform::WallTime {} + std::chrono::hours(24 * 365 * 50); }
    void sleepFor(platform::Duration duration) override
    {
        std::unique_lock lock(m_mutex);
        if (m_closed) {
            m_held = true;
            m_changed.notify_all();
            m_changed.wait(lock, [this] { return !m_closed; });
            m_held = false;
        }
        m_now += duration;
    }
    // The next sleep waits until open().
    void close()
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
    }
    bool waitHeld(std::chrono::milliseconds limit)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, limit, [this] { return m_held; });
    }
    void open()
    {
        std::lock_guard lock(m_mutex);
        m_closed = false;
        m_changed.notify_all();
    }

protected:
    platform::Duration realSlice(platform::Duration) const override { return std::chrono::microseconds(100); }

private:
    mutable std::mutex m_mutex; // protects every field below
    std::condition_variable m_changed;
    platform::TimePoint m_now = platform::TimePoint {} + std::chrono::hours(1);
    bool m_closed = false;
    bool m_held = false;
};

// A port of its own, its client connected to a listening peer: one round
// of a table of cases.
struct OwnPort {
    OwnPort(GateClock& clock, driver::SocketTransports& sockets, std::uint32_t cmdByte)
        : harness { PortHarness::Options { &clock, {}, true, &sockets, 2 } }
    {
        if (harness.addPort("COM5", tcpClient(listener.port(), cmdByte)) == kStatusSuccess)
            handle = harness.open("COM5");
        if (handle)
            peer = listener.accept();
    }
    bool linked() const { return handle && peer; }

    PortHarness harness;
    TcpListener listener;
    std::unique_ptr<driver::host::FileHandle> handle;
    std::unique_ptr<TcpPeer> peer;
};

class Lossless : public testing::Test {
protected:
    std::unique_ptr<driver::host::FileHandle> addAndOpen(const PortSettings& settings)
    {
        EXPECT_EQ(m_harness.addPort("COM5", settings), kStatusSuccess);
        auto handle = m_harness.open("COM5");
        EXPECT_NE(handle, nullptr);
        return handle;
    }
    driver::PortDevice& port() { return *m_harness.port(11); }
    driver::SocketTransport& transport() { return static_cast<driver::SocketTransport&>(*port().transport); }
    static std::uint32_t unread(driver::host::FileHandle& handle)
    {
        return wordAt(handle.deviceIoControl(kIoctlSerialGetCommStatus, {}, kSerialStatusSize).output, 8);
    }
    static Bytes readSome(driver::host::FileHandle& handle, std::size_t length)
    {
        const auto reply = handle.read(length);
        return Bytes(reply.output.begin(), reply.output.begin() + static_cast<std::ptrdiff_t>(reply.information));
    }
    // Reads until `size` bytes came; otherwise closes the handle, which lets
    // a sender held back by the port go.
    static Bytes readUntil(driver::host::FileHandle& handle, std::size_t size)
    {
        Bytes got;
        const bool complete = eventually([&] {
            const Bytes more = readSome(handle, 0x10000);
            got.insert(got.end(), more.begin(), more.end());
            return got.size() >= size;
        });
        if (!complete)
            handle.close();
        return got;
    }

    GateClock m_clock;
    driver::SocketTransports m_sockets;
    PortHarness m_harness { PortHarness::Options { &m_clock, {}, true, &m_sockets, 2 } };
};

} // namespace

TEST_F(Lossless, AFramedStreamHeldBackByAFullBufferLosesNothing)
{
    // Packets of any size, the biggest the length field allows among them:
    // the receive buffer fills while a packet waits for its end.
    for (const std::size_t payloadSize : { std::size_t { 0xFFFF }, std::size_t { 0x2000 }, std::size_t { 700 } }) {
        SCOPED_TRACE(payloadSize);
        OwnPort own(m_clock, m_sockets, 1);
        ASSERT_TRUE(own.linked());
        auto& [harness, listener, handle, peer] = own;

        const Bytes payload = patternBytes(0x60000, static_cast<std::uint8_t>(payloadSize));
        Bytes stream;
        for (std::size_t at = 0; at < payload.size(); at += payloadSize) {
            const Bytes one = packet(0x32, std::span(payload).subspan(at, std::min(payloadSize, payload.size() - at)));
            stream.insert(stream.end(), one.begin(), one.end());
        }
        // The device server ignores the stop; only TCP holds it back.
        std::thread sender([&] { (void)peer->send(stream); });
        // Held back: the buffer and the packet in reassembly fill it.
        EXPECT_TRUE(eventually([&] { return unread(*handle) >= driver::kBufferSize - 0x10003; }));
        std::this_thread::sleep_for(50ms); // anything overrunning the buffer would land now

        const Bytes got = readUntil(*handle, payload.size());
        const bool complete = got.size() >= payload.size();
        sender.join();
        ASSERT_TRUE(complete) << got.size() << " of " << payload.size() << " bytes arrived";
        EXPECT_TRUE(got == payload) << "the stream arrived with holes or overwritten parts";
    }
}

// A write waits for the socket to take more while the device server's bytes
// fill the receive buffer and the connection stops being read: neither wait
// may undo the other.
TEST_F(Lossless, AWriteHeldByTheDeviceGoesOnWhileItsBytesFillTheReceiveBuffer)
{
    for (const std::uint32_t cmdByte : { 0u, 1u }) {
        SCOPED_TRACE(cmdByte);
        PortHarness harness { PortHarness::Options { &m_clock, {}, true, &m_sockets, 2 } };
        TcpListener listener(0, 4096);
        PortSettings settings = tcpClient(listener.port(), cmdByte);
        settings.maxPacketLen = 0x8000;
        ASSERT_EQ(harness.addPort("COM5", settings), kStatusSuccess);
        auto handle = harness.open("COM5");
        ASSERT_TRUE(handle);
        auto& link = static_cast<driver::SocketTransport&>(*harness.port(11)->transport);
        auto peer = listener.accept();
        ASSERT_TRUE(peer);

        // The program writes more than the network holds; the device reads nothing yet.
        const Bytes outgoing = patternBytes(8u << 20, 7);
        driver::host::Reply written;
        std::thread writer([&] { written = handle->write(outgoing); });
        std::this_thread::sleep_for(300ms); // the writer waits for room by now

        // The device sends more than the receive buffer holds while nobody reads it.
        const Bytes incoming = patternBytes(driver::kBufferSize + 0x20000, 3);
        Bytes wire;
        for (std::size_t at = 0; at < incoming.size(); at += 0x4000) {
            const auto part = std::span(incoming).subspan(at, std::min<std::size_t>(0x4000, incoming.size() - at));
            const Bytes one = cmdByte ? packet(0x32, part) : Bytes(part.begin(), part.end());
            wire.insert(wire.end(), one.begin(), one.end());
        }
        std::thread sender([&] { (void)peer->send(wire); });
        const bool full = eventually([&] { return unread(*handle) + 0x4003 >= driver::kBufferSize; });

        // Now the device reads: the held write must go on to its end.
        const std::size_t wireOut = outgoing.size() + (cmdByte ? 3 * ((outgoing.size() + 0x7FFC) / 0x7FFD) : 0);
        const Bytes arrived = peer->receive(wireOut, 20s);
        if (arrived.size() < wireOut)
            (void)link.disconnect(); // lets the writer go
        writer.join();
        const Bytes got = readUntil(*handle, incoming.size());
        const bool complete = got.size() >= incoming.size();
        sender.join();
        EXPECT_TRUE(full);
        EXPECT_EQ(arrived.size(), wireOut) << "the write stalled while the receive side was held back";
        EXPECT_EQ(written.status, kStatusSuccess);
        EXPECT_EQ(written.information, outgoing.size());
        if (cmdByte == 0) {
            EXPECT_TRUE(arrived == outgoing);
        }
        EXPECT_TRUE(complete && got == incoming) << got.size() << " of " << incoming.size();
    }
}

TEST_F(Lossless, AStoppedDeviceServerIsResumedHoweverTheBufferDrained)
{
    struct Way {
        const char* name;
        std::function<void(driver::host::FileHandle&)> drain;
    };
    const Way ways[] = {
        { "reads",
            [](driver::host::FileHandle& handle) {
                while (handle.read(0x10000).information > 0) { }
            } },
        { "purge",
            [](driver::host::FileHandle& handle) { handle.deviceIoControl(kIoctlSerialPurge, le32({ 0x8 }), 0); } },
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        OwnPort own(m_clock, m_sockets, 1);
        ASSERT_TRUE(own.linked());
        auto& [harness, listener, handle, peer] = own;
        handle->deviceIoControl(kIoctlSerialSetChars, Bytes { 0, 0, 0, 0, 0x11, 0x13 }, 0);

        Bytes stream;
        for (int i = 0; i < 0x31; ++i) {
            const Bytes one = packet(0x32, patternBytes(0x1000, static_cast<std::uint8_t>(i)));
            stream.insert(stream.end(), one.begin(), one.end());
        }
        ASSERT_TRUE(peer->send(stream));
        EXPECT_EQ(peer->receive(5), (Bytes { 0x33, 0x00, 0x02, 0x21, 0x11 }));
        way.drain(*handle);
        EXPECT_EQ(peer->receive(5), (Bytes { 0x33, 0x00, 0x02, 0x22, 0x11 })) << "the device server stays stopped";
        // And it may send again: the next bytes reach the program.
        ASSERT_TRUE(peer->send(packet(0x32, Bytes { 'm', 'o', 'r', 'e' })));
        EXPECT_TRUE(eventually([&] { return unread(*handle) == 4; }));
    }
}

TEST_F(Lossless, AWriteWhosePeerLeftReportsWhatDidNotGo)
{
    struct Case {
        const char* name;
        std::uint32_t cmdByte;
        bool server;
        std::function<void(TcpPeer&)> leave;
        std::size_t firstChunk; // what went before the peer left
    };
    const auto close = [](TcpPeer& peer) { peer.close(); };
    const auto halfClose = [](TcpPeer& peer) { peer.shutdownWrite(); };
    const Case cases[] = {
        { "framed client, peer closes", 1, false, close, 447 },
        { "raw client, peer closes", 0, false, close, 450 },
        { "framed client, peer half-closes", 1, false, halfClose, 447 },
        { "raw client, peer half-closes", 0, false, halfClose, 450 },
        { "raw server, client closes", 0, true, close, 450 },
    };
    constexpr std::uint16_t kServerPort = 47011;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PortHarness harness { PortHarness::Options { &m_clock, {}, true, &m_sockets, 2 } };
        TcpListener listener;
        PortSettings settings = tcpClient(c.server ? kServerPort : listener.port(), c.cmdByte);
        if (c.server) {
            settings.connType = 0;
            settings.connectAtWinStart = 0;
        }
        ASSERT_EQ(harness.addPort("COM5", settings), kStatusSuccess);
        auto handle = harness.open("COM5");
        ASSERT_TRUE(handle);
        auto& link = static_cast<driver::SocketTransport&>(*harness.port(11)->transport);
        std::unique_ptr<TcpPeer> peer;
        if (c.server) {
            ASSERT_EQ(link.startServer(), kStatusSuccess);
            ASSERT_TRUE(eventually([&] { return link.listening(); }));
            peer = TcpPeer::connect(kServerPort);
            ASSERT_TRUE(eventually([&] { return link.connected(); }));
        } else {
            peer = listener.accept();
        }
        ASSERT_TRUE(peer);

        // The first chunk goes; the write pauses behind it while the peer leaves.
        m_clock.close();
        driver::host::Reply reply;
        std::thread writer([&] { reply = handle->write(patternBytes(5000)); });
        const bool held = m_clock.waitHeld(10s);
        const std::size_t wire = c.firstChunk + (c.cmdByte ? 3 : 0);
        const Bytes first = peer->receive(wire);
        // The workers are kept busy meanwhile: the jobs that close a departed
        // peer's connection come late on a loaded machine, and the rest of the
        // write must fail without their help.
        driver::host::Event releaseWorkers;
        std::atomic<int> busyWorkers { 0 };
        for (int i = 0; i < 2; ++i)
            harness.host().workers().post([&] {
                ++busyWorkers;
                releaseWorkers.wait();
            });
        const bool workersHeld = eventually([&] { return busyWorkers == 2; });
        c.leave(*peer);
        const bool noticed = eventually([&] { return !link.connected(); });
        m_clock.open();
        writer.join();
        releaseWorkers.set();
        ASSERT_TRUE(workersHeld);
        ASSERT_TRUE(held);
        ASSERT_TRUE(noticed);
        EXPECT_EQ(first.size(), wire);
        EXPECT_FALSE(ntSuccess(reply.status)) << "bytes that went nowhere were reported as sent";
        EXPECT_EQ(reply.information, c.firstChunk) << "the count of bytes that left";
        if (c.server) {
            EXPECT_EQ(link.disconnect(), kStatusSuccess);
        }
        handle->close();
    }
}

// Between a program's open of a front end and the front end's open of the
// port, the device may already send: those bytes are the program's, and the
// device is held back until the port is opened. With no program on its way
// the closed port reads on and keeps only the newest bytes.
TEST_F(Lossless, BytesForAProgramOnItsWayWaitForTheOpenWhileOthersKeepOnlyTheNewest)
{
    struct Probe final : driver::ProgramProbe {
        bool programWaiting() const override { return waiting.load(); }
        std::atomic<bool> waiting { false };
    };
    for (const bool waiting : { true, false }) {
        SCOPED_TRACE(waiting ? "a program on its way" : "nobody");
        OwnPort own(m_clock, m_sockets, 0);
        ASSERT_TRUE(own.linked());
        auto& [harness, listener, handle, peer] = own;
        auto probe = std::make_shared<Probe>();
        ASSERT_TRUE(driver::setProgramProbe(*handle, probe));
        handle->close(); // the probe stays with the port
        driver::PortDevice& port = *harness.port(11);
        auto& link = static_cast<driver::SocketTransport&>(*port.transport);
        const auto unread = [&] {
            std::lock_guard lock(port.dataLock);
            return std::size_t { port.serial.commStatus.amountInInQueue };
        };
        // What came before the program was on its way is not its own.
        const Bytes stale = patternBytes(1000, 9);
        ASSERT_TRUE(peer->send(stale));
        ASSERT_TRUE(eventually([&] { return unread() == stale.size(); }));
        probe->waiting = waiting;

        const Bytes incoming = patternBytes(4u << 20, 5);
        std::atomic<bool> sent { false };
        std::thread sender([&] {
            sent = peer->send(incoming);
            if (!waiting)
                peer->close(); // told once every byte before it was read
        });
        if (!waiting) {
            const bool readToTheEnd = eventually([&] { return sent.load() && !link.connected(); });
            sender.join();
            ASSERT_TRUE(readToTheEnd);
            std::lock_guard lock(port.dataLock);
            const auto& buffers = *port.buffers;
            ASSERT_EQ(port.serial.commStatus.amountInInQueue, driver::kBufferSize);
            Bytes kept(buffers.receive.begin() + buffers.receiveRead, buffers.receive.begin() + driver::kBufferSize);
            kept.insert(kept.end(), buffers.receive.begin(), buffers.receive.begin() + buffers.receiveRead);
            EXPECT_TRUE(std::equal(kept.begin(), kept.end(), incoming.end() - driver::kBufferSize));
            continue;
        }
        const bool full = eventually([&] { return unread() >= driver::kBufferSize; });
        std::this_thread::sleep_for(50ms); // anything overrunning the buffer would land now
        handle = harness.open("COM5");
        ASSERT_TRUE(handle);
        const Bytes got = readUntil(*handle, incoming.size());
        const bool complete = got.size() >= incoming.size();
        sender.join();
        EXPECT_TRUE(full);
        ASSERT_TRUE(complete) << got.size() << " of " << incoming.size() << " bytes arrived";
        EXPECT_TRUE(got == incoming) << "the start of the stream was overwritten before the port was opened";
        handle->close();
    }
}
