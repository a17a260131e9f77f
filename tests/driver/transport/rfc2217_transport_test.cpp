#include "common/serial_ioctl.h"
#include "driver/socket_transport.h"
#include "tests/driver/port_harness.h"
#include "tests/driver/transport/loopback_peer.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <future>
#include <thread>

using namespace common;
using namespace driver_testing;
using namespace std::chrono_literals;

namespace {

constexpr std::uint8_t IAC = 255, SB = 250, SE = 240, WILL = 251, DO = 253, DONT = 254;

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes comPort(std::initializer_list<std::uint8_t> codeAndValue)
{
    Bytes out { IAC, SB, 44 };
    out.insert(out.end(), codeAndValue.begin(), codeAndValue.end());
    out.insert(out.end(), { IAC, SE });
    return out;
}

const Bytes kOpening { IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 44 };
const Bytes kServerAgrees { IAC, DO, 0, IAC, WILL, 0, IAC, DO, 3, IAC, WILL, 3, IAC, DO, 44 };
// Signature request and the masks, before the line settings.
const Bytes kAfterAgreement = concat({ comPort({ 0 }), comPort({ 10, 0x1E }), comPort({ 11, 0xFF, 0xFF }) });

// A client port speaking RFC 2217 to a device server of the test's own,
// which answers the negotiation the way ser2net does.
class Rfc2217Transport : public testing::Test {
protected:
    void connect(bool agree = true)
    {
        PortSettings settings;
        settings.remoteHost = "127.0.0.1";
        settings.remotePort = m_listener.port();
        settings.cmdByte = 1; // must not frame: the wire protocol wins
        settings.connectAtWinStart = 1;
        settings.wireProtocol = 1;
        ASSERT_EQ(m_harness.addPort("COM5", settings), kStatusSuccess);
        m_handle = m_harness.open("COM5");
        ASSERT_NE(m_handle, nullptr);
        m_peer = m_listener.accept();
        ASSERT_NE(m_peer, nullptr);
        ASSERT_EQ(m_peer->receive(kOpening.size()), kOpening);
        if (!agree) {
            ASSERT_TRUE(m_peer->send(Bytes { IAC, DONT, 44 }));
            return;
        }
        ASSERT_TRUE(m_peer->send(kServerAgrees));
        // 9600 8N1 and no flow control, as the port stands.
        const Bytes settingsNow = concat({ comPort({ 1, 0, 0, 0x25, 0x80 }), comPort({ 2, 8 }), comPort({ 3, 1 }),
            comPort({ 4, 1 }), comPort({ 5, 1 }) });
        ASSERT_EQ(
            m_peer->receive(kAfterAgreement.size() + settingsNow.size()), concat({ kAfterAgreement, settingsNow }));
    }
    driver::host::Reply request(std::uint32_t code, const Bytes& input = {}, std::size_t output = 0)
    {
        return m_handle->deviceIoControl(code, input, output);
    }
    Bytes readAll(std::size_t length)
    {
        Bytes out;
        for (int attempt = 0; out.size() < length && attempt < 2000; ++attempt) {
            const auto reply = m_handle->read(length - out.size());
            out.insert(
                out.end(), reply.output.begin(), reply.output.begin() + static_cast<std::ptrdiff_t>(reply.information));
            if (reply.information == 0)
                std::this_thread::sleep_for(1ms);
        }
        return out;
    }

    driver::SocketTransports m_sockets;
    PortHarness m_harness { PortHarness::Options { nullptr, {}, true, &m_sockets, 2 } };
    TcpListener m_listener;
    std::mutex m_mutex;
    std::condition_variable m_never;
    std::unique_lock<std::mutex> m_lock { m_mutex };
    std::unique_ptr<driver::host::FileHandle> m_handle;
    std::unique_ptr<TcpPeer> m_peer;
};

} // namespace

TEST_F(Rfc2217Transport, EveryByteValueGoesBothWaysWithFfDoubledOnTheWire)
{
    connect();
    Bytes all(512);
    for (std::size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<std::uint8_t>(i);
    const auto written = m_handle->write(all);
    ASSERT_EQ(written.status, kStatusSuccess);
    EXPECT_EQ(written.information, all.size());
    Bytes escaped;
    for (const std::uint8_t byte : all) {
        escaped.push_back(byte);
        if (byte == 0xFF)
            escaped.push_back(0xFF);
    }
    EXPECT_EQ(m_peer->receive(escaped.size()), escaped);
    EXPECT_TRUE(m_peer->quiet()) << "no framing, nothing else";

    // The server's data, with a notification in the middle of it.
    const std::size_t half = escaped.size() / 2 + 1;
    ASSERT_TRUE(m_peer->send(concat({ Bytes(escaped.begin(), escaped.begin() + static_cast<std::ptrdiff_t>(half)),
        comPort({ 107, 0x30 }), Bytes(escaped.begin() + static_cast<std::ptrdiff_t>(half), escaped.end()) })));
    EXPECT_EQ(readAll(all.size()), all);
}

TEST_F(Rfc2217Transport, SerialRequestsReachTheServerAsComPortCommands)
{
    connect();
    struct Case {
        const char* what;
        std::uint32_t code;
        Bytes input;
        Bytes wire;
    };
    const Case cases[] = {
        { "baud alone waits for the line control", kIoctlSerialSetBaudRate, le32({ 19200 }), {} },
        { "19200 7E2", kIoctlSerialSetLineControl, { 2, 2, 7 },
            concat({ comPort({ 1, 0, 0, 0x4B, 0 }), comPort({ 2, 7 }), comPort({ 3, 3 }), comPort({ 4, 2 }) }) },
        { "DTR on", kIoctlSerialSetDtr, {}, comPort({ 5, 8 }) },
        { "DTR off", kIoctlSerialClrDtr, {}, comPort({ 5, 9 }) },
        { "RTS on", kIoctlSerialSetRts, {}, comPort({ 5, 11 }) },
        { "RTS off", kIoctlSerialClrRts, {}, comPort({ 5, 12 }) },
        { "break on", kIoctlSerialSetBreakOn, {}, comPort({ 5, 5 }) },
        { "break off", kIoctlSerialSetBreakOff, {}, comPort({ 5, 6 }) },
        { "purge both", kIoctlSerialPurge, le32({ 0xF }), comPort({ 12, 3 }) },
        { "hardware handshake", kIoctlSerialSetHandflow, le32({ 0x08, 0, 0, 0 }), comPort({ 5, 3 }) },
    };
    for (const Case& c : cases) {
        EXPECT_EQ(request(c.code, c.input).status, kStatusSuccess) << c.what;
        if (c.wire.empty())
            EXPECT_TRUE(m_peer->quiet()) << c.what;
        else
            EXPECT_EQ(m_peer->receive(c.wire.size()), c.wire) << c.what;
    }
}

TEST_F(Rfc2217Transport, AModemStateNotificationChangesTheStatusAndCompletesAWait)
{
    connect();
    ASSERT_EQ(
        request(kIoctlSerialSetWaitMask, le32({ kSerialEvCts | kSerialEvDsr | kSerialEvRlsd })).status, kStatusSuccess);
    auto wait = std::async(std::launch::async, [&] { return request(kIoctlSerialWaitOnMask, {}, 4); });
    EXPECT_EQ(wait.wait_for(100ms), std::future_status::timeout);
    // CTS and DCD came up: the deltas and the states.
    ASSERT_TRUE(m_peer->send(comPort({ 107, 0x99 })));
    ASSERT_EQ(wait.wait_for(5s), std::future_status::ready);
    const auto done = wait.get();
    EXPECT_EQ(done.status, kStatusSuccess);
    EXPECT_EQ(wordAt(done.output), kSerialEvCts | kSerialEvRlsd);
    EXPECT_EQ(wordAt(request(kIoctlSerialGetModemStatus, {}, 4).output), 0x99u);
    // A line-state break with the break event asked for.
    ASSERT_EQ(request(kIoctlSerialSetWaitMask, le32({ kSerialEvBreak })).status, kStatusSuccess);
    auto brk = std::async(std::launch::async, [&] { return request(kIoctlSerialWaitOnMask, {}, 4); });
    ASSERT_TRUE(m_peer->send(comPort({ 106, 0x10 })));
    ASSERT_EQ(brk.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(wordAt(brk.get().output), kSerialEvBreak);
}

TEST_F(Rfc2217Transport, AServerThatRefusesComPortGetsDataButNoCommands)
{
    connect(false);
    EXPECT_EQ(request(kIoctlSerialSetDtr).status, kStatusSuccess) << "kept locally, as on a raw link";
    EXPECT_EQ(request(kIoctlSerialSetLineControl, { 0, 0, 8 }).status, kStatusSuccess);
    const Bytes data { 'o', 'k' };
    ASSERT_EQ(m_handle->write(data).status, kStatusSuccess);
    EXPECT_EQ(m_peer->receive(2), data) << "no command went before the data";
    EXPECT_TRUE(m_peer->quiet());
}

TEST_F(Rfc2217Transport, ASuspendedPortHoldsTheWriteUntilTheServerResumesHoweverLong)
{
    connect();
    // The byte after the suspension shows that the port has read it.
    ASSERT_TRUE(m_peer->send(concat({ comPort({ 108 }), Bytes { 'x' } })));
    ASSERT_EQ(readAll(1), Bytes { 'x' });
    const Bytes data { 'h', 'i' };
    const auto start = m_harness.clock().now();
    auto held = std::async(std::launch::async, [&] { return m_handle->write(data); });
    // Ten minutes of virtual time: a suspension is no reason to drop a write.
    while (m_harness.clock().now() - start < 600s && held.wait_for(1ms) != std::future_status::ready)
        m_harness.clock().sleepFor(1s);
    ASSERT_NE(held.wait_for(0s), std::future_status::ready) << "the write ended while the server still suspended it";
    EXPECT_TRUE(m_peer->quiet());
    ASSERT_TRUE(m_peer->send(comPort({ 109 })));
    ASSERT_EQ(held.wait_for(10s), std::future_status::ready);
    const auto reply = held.get();
    EXPECT_EQ(reply.status, kStatusSuccess);
    EXPECT_EQ(reply.information, data.size());
    EXPECT_EQ(m_peer->receive(2), data);
}

TEST_F(Rfc2217Transport, AReconnectionSetsTheServerUpAsThePortStands)
{
    connect();
    ASSERT_EQ(request(kIoctlSerialSetBaudRate, le32({ 19200 })).status, kStatusSuccess);
    ASSERT_EQ(request(kIoctlSerialSetLineControl, { 2, 2, 7 }).status, kStatusSuccess);
    (void)m_peer->receive(4 * 7 + 3);
    m_peer->close();
    ASSERT_TRUE(m_harness.clock().waitFor(m_never, m_lock, 300s,
        [&] { return static_cast<driver::SocketTransport&>(*m_harness.port(11)->transport).reconnectPending(); }));
    auto write = std::async(std::launch::async, [&] { return m_handle->write(Bytes { 'z' }); });
    auto again = m_listener.accept();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->receive(kOpening.size()), kOpening);
    ASSERT_TRUE(again->send(kServerAgrees));
    const Bytes settings = concat(
        { comPort({ 1, 0, 0, 0x4B, 0 }), comPort({ 2, 7 }), comPort({ 3, 3 }), comPort({ 4, 2 }), comPort({ 5, 1 }) });
    ASSERT_EQ(write.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(write.get().status, kStatusSuccess);
    // The write may go before or after the agreement; the settings follow the agreement.
    const Bytes rest = again->receive(1 + kAfterAgreement.size() + settings.size());
    const Bytes afterAgreement = concat({ kAfterAgreement, settings });
    EXPECT_TRUE(rest == concat({ Bytes { 'z' }, afterAgreement }) || rest == concat({ afterAgreement, Bytes { 'z' } }));
}
