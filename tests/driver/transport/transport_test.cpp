#include "common/serial_ioctl.h"
#include "driver/socket_transport.h"
#include "platform/faults.h"
#include "tests/driver/port_harness.h"
#include "tests/driver/transport/loopback_peer.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <future>

using namespace common;
using namespace driver_testing;
using namespace std::chrono_literals;

namespace {

constexpr std::uint16_t kServerPort = 47001;

Bytes packet(std::uint8_t type, const Bytes& payload)
{
    Bytes out { type, static_cast<std::uint8_t>(payload.size() >> 8), static_cast<std::uint8_t>(payload.size()) };
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// Ports on the driver's socket transport, in virtual time: pacing delays
// and send limits pass at once, the network is real.
class Transport : public testing::Test {
protected:
    void TearDown() override { platform::faults::reset(); }

    static PortSettings client(std::uint32_t protocol, std::uint16_t remotePort, std::uint32_t cmdByte)
    {
        PortSettings settings;
        settings.remoteHost = "127.0.0.1";
        settings.remotePort = remotePort;
        settings.protocol = protocol;
        settings.cmdByte = cmdByte;
        settings.connectAtWinStart = 1;
        return settings;
    }
    static PortSettings server(std::uint32_t protocol, std::uint32_t cmdByte)
    {
        PortSettings settings = client(protocol, kServerPort, cmdByte);
        settings.connType = 0;
        settings.connectAtWinStart = 0;
        return settings;
    }
    // Adds COM<n> and opens it; a client connects at the open.
    std::unique_ptr<driver::host::FileHandle> addAndOpen(int comNumber, const PortSettings& settings)
    {
        const std::string name = "COM" + std::to_string(comNumber);
        EXPECT_EQ(m_harness.addPort(name, settings, &m_lastInstance), kStatusSuccess);
        auto handle = m_harness.open(name);
        EXPECT_NE(handle, nullptr);
        return handle;
    }
    driver::PortDevice& port(std::uint32_t number = 11) { return *m_harness.port(number); }
    driver::SocketTransport& transport(std::uint32_t number = 11)
    {
        return static_cast<driver::SocketTransport&>(*port(number).transport);
    }
    bool eventually(const std::function<bool()>& condition)
    {
        std::mutex mutex;
        std::condition_variable never;
        std::unique_lock lock(mutex);
        return m_harness.clock().waitFor(never, lock, 300s, condition);
    }
    std::uint32_t unread(driver::host::FileHandle& handle)
    {
        return wordAt(handle.deviceIoControl(kIoctlSerialGetCommStatus, {}, kSerialStatusSize).output, 8);
    }
    static Bytes readAll(driver::host::FileHandle& handle, std::size_t length)
    {
        const auto reply = handle.read(length);
        return Bytes(reply.output.begin(), reply.output.begin() + static_cast<std::ptrdiff_t>(reply.information));
    }
    std::uint32_t registryLocalPort()
    {
        std::uint32_t value = 0;
        (void)m_harness.host().registry().queryDword(
            m_harness.host().findNode(m_lastInstance)->hardwareKeyPath(), "LocalPort", value);
        return value;
    }

    driver::SocketTransports m_sockets;
    PortHarness m_harness { PortHarness::Options { nullptr, {}, true, &m_sockets, 2 } };
    std::string m_lastInstance;
};

} // namespace

TEST_F(Transport, ClientsTakeLocalPortsFromSixThousandOne)
{
    TcpListener listener;
    auto first = addAndOpen(5, client(0, listener.port(), 0));
    auto second = addAndOpen(6, client(0, listener.port(), 0));
    auto a = listener.accept();
    auto b = listener.accept();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->remotePort(), 6001);
    EXPECT_EQ(b->remotePort(), 6002);
    EXPECT_EQ(transport(11).localPort(), networkPort(6001));
    EXPECT_EQ(transport(12).localPort(), networkPort(6002));
    EXPECT_TRUE(eventually([&] { return registryLocalPort() == networkPort(6002); }))
        << "the write-LocalPort job stores it";
}

TEST_F(Transport, LocalPortsCycleThroughTheLowByte)
{
    PortSettings settings = client(1, 9, 0);
    settings.connectAtWinStart = 0;
    auto handle = addAndOpen(5, settings);
    std::vector<std::uint16_t> used;
    for (int i = 0; i < 145; ++i) {
        ASSERT_EQ(transport().openAsClient(), kStatusSuccess);
        used.push_back(transport().localAddress().port);
        ASSERT_EQ(transport().disconnect(), kStatusSuccess);
    }
    EXPECT_EQ(used[0], 6001);
    EXPECT_EQ(used[1], 6002);
    EXPECT_EQ(used[142], 6143);
    EXPECT_EQ(used[143], 5888);
    EXPECT_EQ(used[144], 5889);
    EXPECT_EQ(m_harness.driver().nextLocalPort(), 5890);

    // A failed open hands its port back and leaves LocalPort alone.
    platform::faults::failNth(platform::faults::Op::Open, 1);
    EXPECT_NE(transport().openAsClient(), kStatusSuccess);
    EXPECT_EQ(m_harness.driver().nextLocalPort(), 5890);
    EXPECT_EQ(transport().localPort(), networkPort(5889));
    EXPECT_FALSE(transport().connected());

    // A port another program (or another driver host) has taken is skipped.
    {
        UdpPeer taken(5890);
        ASSERT_EQ(taken.port(), 5890);
        ASSERT_EQ(transport().openAsClient(), kStatusSuccess);
        EXPECT_EQ(transport().localAddress().port, 5891);
        EXPECT_EQ(m_harness.driver().nextLocalPort(), 5892);
        ASSERT_EQ(transport().disconnect(), kStatusSuccess);
    }
}

TEST_F(Transport, FramedUdpSaysHelloAndByeAndRemovalSaysByeInOneByte)
{
    UdpPeer peer;
    auto handle = addAndOpen(5, client(1, peer.port(), 1));
    auto hello = peer.receive();
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->bytes, (Bytes { 0x31, 0x00, 0x00 }));
    EXPECT_EQ(hello->fromPort, 6001);

    // Data both ways: a datagram is one packet.
    ASSERT_TRUE(peer.sendTo(6001, packet(0x32, { 'x', 'y', 'z' })));
    ASSERT_TRUE(eventually([&] { return unread(*handle) == 3; }));
    EXPECT_EQ(readAll(*handle, 10), (Bytes { 'x', 'y', 'z' }));
    EXPECT_EQ(handle->write(Bytes { 'a', 'b' }).status, kStatusSuccess);
    EXPECT_EQ(peer.receive()->bytes, (Bytes { 0x32, 0x00, 0x02, 'a', 'b' }));

    EXPECT_EQ(transport().disconnect(), kStatusSuccess);
    EXPECT_EQ(peer.receive()->bytes, (Bytes { 0x30, 0x00, 0x00 }));
    EXPECT_EQ(transport().disconnect(), kStatusInvalidDeviceState) << "no endpoint any more";

    ASSERT_EQ(transport().openAsClient(), kStatusSuccess);
    EXPECT_EQ(peer.receive()->bytes, (Bytes { 0x31, 0x00, 0x00 }));
    handle->close();
    ASSERT_EQ(m_harness.host().removeNode(m_lastInstance), kStatusSuccess);
    EXPECT_EQ(peer.receive()->bytes, Bytes { 0x30 });
    EXPECT_FALSE(peer.receive(50ms)) << "exactly one datagram";
}

TEST_F(Transport, FramedTcpCarriesPacketsBothWays)
{
    TcpListener listener;
    auto handle = addAndOpen(5, client(0, listener.port(), 1));
    auto peer = listener.accept();
    ASSERT_TRUE(peer);

    const Bytes data = patternBytes(1000);
    ASSERT_EQ(handle->write(data).status, kStatusSuccess);
    const Bytes stream = peer->receive(1009);
    ASSERT_EQ(stream.size(), 1009u);
    Bytes expected = packet(0x32, Bytes(data.begin(), data.begin() + 447));
    const Bytes second = packet(0x32, Bytes(data.begin() + 447, data.begin() + 894));
    const Bytes third = packet(0x32, Bytes(data.begin() + 894, data.end()));
    expected.insert(expected.end(), second.begin(), second.end());
    expected.insert(expected.end(), third.begin(), third.end());
    EXPECT_EQ(stream, expected);

    // Serial settings travel as control packets.
    ASSERT_EQ(handle->deviceIoControl(kIoctlSerialSetDtr, {}, 0).status, kStatusSuccess);
    EXPECT_EQ(peer->receive(4), (Bytes { 0x33, 0x00, 0x01, 0x13 }));

    // A packet in two pieces, a skipped long control packet, a modem report.
    const Bytes split = packet(0x32, { 1, 2, 3, 4, 5, 6 });
    ASSERT_TRUE(peer->send(std::span(split).first(5)));
    ASSERT_TRUE(peer->send(std::span(split).subspan(5)));
    ASSERT_TRUE(peer->send(packet(0x33, { 0x81, 0x10, 0, 0, 0, 0, 0, 0 })));
    ASSERT_TRUE(peer->send(packet(0x32, { 7 })));
    ASSERT_TRUE(peer->send(Bytes { 0x33, 0x00, 0x03, 0x81, 0x31, 0x03 }));
    ASSERT_TRUE(
        eventually([&] { return wordAt(handle->deviceIoControl(kIoctlSerialGetModemStatus, {}, 4).output) == 0x31; }));
    EXPECT_EQ(wordAt(handle->deviceIoControl(kIoctlSerialGetDtrRts, {}, 4).output), 3u);
    EXPECT_EQ(readAll(*handle, 100), (Bytes { 1, 2, 3, 4, 5, 6, 7 }));

    // A modem report with n = 5 (two bytes more than it needs) is still a report.
    ASSERT_TRUE(peer->send(packet(0x33, { 0x81, 0x22, 0x01, 0, 0 })));
    ASSERT_TRUE(
        eventually([&] { return wordAt(handle->deviceIoControl(kIoctlSerialGetModemStatus, {}, 4).output) == 0x22; }));
    EXPECT_EQ(wordAt(handle->deviceIoControl(kIoctlSerialGetDtrRts, {}, 4).output), 1u);
}

TEST_F(Transport, ReceiveFlowControlStopsAndResumesOnce)
{
    TcpListener listener;
    auto handle = addAndOpen(5, client(0, listener.port(), 1));
    auto peer = listener.accept();
    ASSERT_TRUE(peer);
    handle->deviceIoControl(kIoctlSerialSetChars, Bytes { 0, 0, 0, 0, 0x11, 0x13 }, 0);

    Bytes batch;
    for (int i = 0; i < 0x5FE; ++i) { // 0x2FF00 bytes in packets of 0x80
        const Bytes one = packet(0x32, patternBytes(0x80, static_cast<std::uint8_t>(i)));
        batch.insert(batch.end(), one.begin(), one.end());
    }
    ASSERT_TRUE(peer->send(batch));
    ASSERT_TRUE(eventually([&] { return unread(*handle) == 0x2FF00; }));
    EXPECT_TRUE(peer->quiet()) << "no stop below the level";

    ASSERT_TRUE(peer->send(packet(0x32, patternBytes(0x100))));
    EXPECT_EQ(peer->receive(5), (Bytes { 0x33, 0x00, 0x02, 0x21, 0x11 }));
    ASSERT_TRUE(peer->send(packet(0x32, patternBytes(0x100))));
    ASSERT_TRUE(eventually([&] { return unread(*handle) == 0x30100; }));
    EXPECT_TRUE(peer->quiet()) << "the stop goes out once";

    EXPECT_EQ(readAll(*handle, 0x20000).size(), 0x20000u); // 0x10100 left
    m_harness.settle();
    EXPECT_TRUE(peer->quiet());
    EXPECT_EQ(readAll(*handle, 0x200).size(), 0x200u);
    EXPECT_EQ(peer->receive(5), (Bytes { 0x33, 0x00, 0x02, 0x22, 0x11 }));
    readAll(*handle, 0x100);
    m_harness.settle();
    EXPECT_TRUE(peer->quiet()) << "the resume goes out once";
}

TEST_F(Transport, TcpServerListensAgainAfterItsClientLeft)
{
    auto handle = addAndOpen(5, server(0, 0));
    ASSERT_EQ(transport().startServer(), kStatusSuccess);
    EXPECT_EQ(transport().startServer(), kStatusInvalidDeviceState);
    ASSERT_TRUE(eventually([&] { return transport().listening(); }));
    EXPECT_TRUE(transport().serverMode());

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        auto peer = TcpPeer::connect(kServerPort);
        ASSERT_TRUE(peer);
        ASSERT_TRUE(eventually([&] { return transport().connected(); }));
        // One client at a time: another is turned away.
        auto intruder = TcpPeer::connect(kServerPort);
        if (intruder) {
            EXPECT_TRUE(intruder->closedByOtherSide());
        }

        ASSERT_TRUE(peer->send(Bytes { 'p', 'i', 'n', 'g' }));
        ASSERT_TRUE(eventually([&] { return unread(*handle) == 4; }));
        EXPECT_EQ(readAll(*handle, 4), (Bytes { 'p', 'i', 'n', 'g' }));
        ASSERT_EQ(handle->write(Bytes { 'p', 'o', 'n', 'g' }).status, kStatusSuccess);
        EXPECT_EQ(peer->receive(4), (Bytes { 'p', 'o', 'n', 'g' }));

        peer->close();
        ASSERT_TRUE(eventually([&] { return !transport().connected() && transport().listening(); }));
        EXPECT_EQ(handle->write(Bytes { 1 }).status, kStatusInvalidDeviceState);
    }
    EXPECT_EQ(transport().disconnect(), kStatusSuccess);
    EXPECT_FALSE(transport().serverMode());
    EXPECT_FALSE(TcpPeer::connect(kServerPort)) << "nothing listens after the disconnection";
}

TEST_F(Transport, TcpClientReconnectsAtTheNextWrite)
{
    auto listener = std::make_unique<TcpListener>();
    PortSettings settings = client(0, listener->port(), 0);
    settings.localPort = 6050; // read at the open as the saved LocalPort
    auto handle = addAndOpen(5, settings);
    auto first = listener->accept();
    ASSERT_TRUE(first);
    ASSERT_TRUE(eventually([&] { return registryLocalPort() == networkPort(6001); }));

    first->close();
    ASSERT_TRUE(eventually([&] { return transport().reconnectPending(); }));
    EXPECT_FALSE(transport().connected());
    EXPECT_TRUE(eventually([&] { return registryLocalPort() == networkPort(6050); }))
        << "LocalPort falls back to the saved one";

    EXPECT_EQ(handle->write(Bytes { 'a', 'g', 'a', 'i', 'n' }).status, kStatusSuccess);
    auto second = listener->accept();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->receive(5), (Bytes { 'a', 'g', 'a', 'i', 'n' }));
    EXPECT_EQ(second->remotePort(), 6001) << "the same endpoint connects again";

    // With reconnection off and nobody to accept, the reconnection fails and
    // closes the endpoints.
    driver::storeShared(port().config.reconnectSeconds, std::uint32_t { 0 });
    second->close();
    ASSERT_TRUE(eventually([&] { return transport().reconnectPending(); }));
    listener.reset();
    EXPECT_EQ(handle->write(Bytes { 1 }).status, kStatusInvalidDeviceState);
    EXPECT_EQ(transport().state(), driver::LinkState::Closed);
    EXPECT_EQ(handle->write(Bytes { 1 }).status, kStatusInvalidDeviceState);
}

TEST_F(Transport, LostClientKeepsTryingWhileOpenAndResumesWhenTheDeviceIsBack)
{
    auto listener = std::make_unique<TcpListener>();
    const std::uint16_t remote = listener->port();
    auto handle = addAndOpen(5, client(0, remote, 0));
    auto first = listener->accept();
    ASSERT_TRUE(first);

    // The device server goes away altogether.
    listener.reset();
    first->close();
    ASSERT_TRUE(eventually([&] { return transport().reconnectPending(); }));
    EXPECT_EQ(handle->write(Bytes { 1 }).status, kStatusInvalidDeviceState) << "refused, not lost silently";
    EXPECT_EQ(transport().state(), driver::LinkState::ReconnectPending) << "the endpoint stays for the next attempt";
    // Within the interval a write does not try again (it would hold the program up).
    EXPECT_EQ(handle->write(Bytes { 2 }).status, kStatusInvalidDeviceState);

    // It comes back: the retry timer reconnects without any write, so the
    // device server's bytes reach the program again.
    listener = std::make_unique<TcpListener>(remote);
    ASSERT_EQ(listener->port(), remote);
    ASSERT_TRUE(eventually([&] { return transport().connected(); }));
    auto second = listener->accept();
    ASSERT_TRUE(second);
    ASSERT_TRUE(second->send(Bytes { 'b', 'a', 'c', 'k' }));
    ASSERT_TRUE(eventually([&] { return unread(*handle) == 4; }));
    EXPECT_EQ(readAll(*handle, 4), (Bytes { 'b', 'a', 'c', 'k' }));
    EXPECT_EQ(handle->write(Bytes { 'o', 'k' }).status, kStatusSuccess);
    EXPECT_EQ(second->receive(2), (Bytes { 'o', 'k' }));

    // An explicit disconnect is the user's word: no attempts after it.
    ASSERT_EQ(transport().disconnect(), kStatusSuccess);
    m_harness.clock().sleepFor(20s);
    EXPECT_FALSE(transport().connected());
    EXPECT_FALSE(listener->accept(std::chrono::milliseconds(50)));
}

TEST_F(Transport, UnframedUdpDatagramsReplaceWhatIsUnread)
{
    auto handle = addAndOpen(5, server(1, 0));
    ASSERT_EQ(transport().startServer(), kStatusSuccess);
    EXPECT_FALSE(transport().connected());
    UdpPeer peer;
    ASSERT_TRUE(peer.sendTo(kServerPort, Bytes { 'f', 'i', 'r', 's', 't' }));
    ASSERT_TRUE(eventually([&] { return unread(*handle) == 5; }));
    EXPECT_TRUE(transport().connected());
    ASSERT_TRUE(peer.sendTo(kServerPort, Bytes { 's', 'e', 'c', 'o', 'n', 'd', '!' }));
    ASSERT_TRUE(eventually([&] { return unread(*handle) == 7; }));
    EXPECT_EQ(readAll(*handle, 100), (Bytes { 's', 'e', 'c', 'o', 'n', 'd', '!' }));

    ASSERT_EQ(handle->write(Bytes { 'r', 'e' }).status, kStatusSuccess);
    auto reply = peer.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->bytes, (Bytes { 'r', 'e' })) << "a server answers whoever sent last";
    EXPECT_EQ(reply->fromPort, kServerPort);
}

TEST_F(Transport, FramedUdpServerAnswersAHello)
{
    auto handle = addAndOpen(5, server(1, 1));
    ASSERT_EQ(transport().startServer(), kStatusSuccess);
    UdpPeer peer;
    ASSERT_TRUE(peer.sendTo(kServerPort, Bytes { 0x31, 0x00, 0x00 }));
    auto hello = peer.receive();
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->bytes, (Bytes { 0x31, 0x00, 0x00 }));
    ASSERT_TRUE(eventually([&] { return transport().connected(); }));
    ASSERT_TRUE(peer.sendTo(kServerPort, Bytes { 0x30, 0x00, 0x00 }));
    ASSERT_TRUE(peer.sendTo(kServerPort, packet(0x32, { 'o', 'k' })));
    ASSERT_TRUE(eventually([&] { return unread(*handle) == 2; }));
    EXPECT_TRUE(transport().connected()) << "a bye from the device server changes nothing";
}

// A device server that stops reading holds the program back for as long as
// the connection lives: no time limit drops a write. A write ended by the
// user's disconnection reports what went.
TEST_F(Transport, ADeviceThatStopsReadingHoldsTheWriterAsLongAsTheConnectionLives)
{
    TcpListener listener(0, 4096);
    PortSettings settings = client(0, listener.port(), 0);
    settings.maxPacketLen = 0x10000; // one chunk per write
    auto handle = addAndOpen(5, settings);
    auto peer = listener.accept(); // reads nothing for ten minutes
    ASSERT_TRUE(peer);
    handle->deviceIoControl(kIoctlSerialSetBaudRate, le32({ 921600 }), 0);

    const Bytes data = patternBytes(32u << 20, 5);
    const auto start = m_harness.clock().now();
    auto held = std::async(std::launch::async, [&] { return handle->write(data); });
    // The pacing and the wait run in virtual time; ten minutes pass in no time.
    while (m_harness.clock().now() - start < 600s && held.wait_for(1ms) != std::future_status::ready)
        m_harness.clock().sleepFor(1s);
    ASSERT_NE(held.wait_for(0s), std::future_status::ready) << "the write was given up while the device lived";
    EXPECT_TRUE(transport().connected()) << "a slow peer is not a lost one";

    // The device reads again: every byte arrives, in order.
    const Bytes arrived = peer->receive(data.size(), 30s);
    ASSERT_EQ(held.wait_for(30s), std::future_status::ready);
    const auto reply = held.get();
    EXPECT_EQ(reply.status, kStatusSuccess);
    EXPECT_EQ(reply.information, data.size());
    EXPECT_TRUE(arrived == data);

    // Held again, then disconnected by the user: the write ends and says how much went.
    auto again = std::async(std::launch::async, [&] { return handle->write(data); });
    ASSERT_NE(again.wait_for(300ms), std::future_status::ready);
    EXPECT_EQ(transport().disconnect(), kStatusSuccess);
    ASSERT_EQ(again.wait_for(30s), std::future_status::ready);
    const auto ended = again.get();
    EXPECT_FALSE(ntSuccess(ended.status));
    EXPECT_LT(ended.information, data.size());
}
