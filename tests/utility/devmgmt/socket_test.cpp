#include "platform/event_loop.h"
#include "platform/faults.h"
#include "platform/net.h"
#include "tests/support/scripted_prompter.h"
#include "utility/devmgmt/command_socket.h"
#include "utility/devmgmt/search_sockets.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>
#include <vector>

using namespace utility::devmgmt;
using platform::Endpoint;
using platform::parseIpv4;

namespace {

constexpr const char* kGroup = "225.1.2.3";

using Bytes = std::vector<std::uint8_t>;

// A signed reply of the given type carrying a MAC, written out by hand.
Bytes reply(std::uint8_t code, std::uint8_t macTail, std::size_t size = 438)
{
    Bytes datagram(size, 0);
    const char signature[] = "ZORVVROZ";
    std::copy(signature, signature + 8, datagram.begin());
    datagram[8] = code;
    const std::uint8_t mac[] = { 0x00, 0x1A, 0x2B, 0x3C, 0x4D, macTail };
    if (size >= 32)
        std::copy(std::begin(mac), std::end(mac), datagram.begin() + 26);
    return datagram;
}

Bytes unsignedDatagram()
{
    Bytes datagram = reply(0x01, 0x99);
    datagram[0] = 'X'; // looks like a QueryReply in every byte but the first
    return datagram;
}

// The device side of a test: a plain UDP socket on a loopback address.
class Peer {
public:
    explicit Peer(const std::string& address = "127.0.0.2")
    {
        auto opened = platform::UdpSocket::open();
        EXPECT_TRUE(opened.ok());
        m_socket = std::move(*opened);
        EXPECT_TRUE(m_socket.setReuseAddress(true).ok());
        EXPECT_TRUE(m_socket.bind(address, 0).ok());
    }

    Endpoint endpoint() const { return m_socket.localEndpoint(); }
    std::uint16_t port() const { return endpoint().port; }
    bool join(const char* group) { return m_socket.joinMulticast(*parseIpv4(group), *parseIpv4("127.0.0.1")).ok(); }

    void send(const Endpoint& to, const Bytes& datagram) { ASSERT_TRUE(m_socket.sendTo(to, datagram).ok()); }

    // Waits a bounded real time for delivery; loopback delivers within the
    // sender's call, so this returns at once in practice.
    std::optional<Bytes> receive(Endpoint* from = nullptr)
    {
        Bytes buffer(kMaxDatagram);
        Endpoint sender;
        for (int attempt = 0; attempt < 2000; ++attempt) {
            auto received = m_socket.receiveFrom(buffer, sender);
            if (received.ok()) {
                buffer.resize(*received);
                if (from)
                    *from = sender;
                return buffer;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return std::nullopt;
    }

    bool nothingWaiting()
    {
        Bytes buffer(16);
        Endpoint sender;
        return !m_socket.receiveFrom(buffer, sender).ok();
    }

private:
    platform::UdpSocket m_socket;
};

class DevmgmtSockets : public ::testing::Test {
protected:
    void TearDown() override { platform::faults::reset(); }

    // Runs the loop until the condition holds (bounded real time for delivery).
    bool deliver(const std::function<bool()>& condition)
    {
        for (int attempt = 0; attempt < 2000; ++attempt) {
            loop.processPending();
            if (condition())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    platform::FakeClock clock;
    platform::VirtualLoop loop { clock };
    testing_support::ScriptedPrompter prompter;
};

} // namespace

TEST_F(DevmgmtSockets, BroadcastQueryReachesDevicesAndKeepsOneSlotPerMac)
{
    Peer device("0.0.0.0");
    BroadcastSearchSocket search(loop, "127.0.0.1", 0);
    ASSERT_TRUE(search.sendTo("255.255.255.255", device.port(), buildQuery()));
    Endpoint utility;
    const auto query = device.receive(&utility);
    ASSERT_TRUE(query.has_value());
    const auto expected = buildQuery();
    EXPECT_EQ(*query, Bytes(expected.begin(), expected.end()));
    EXPECT_EQ(utility, search.localEndpoint());

    Peer other("127.0.0.3");
    for (int copy = 0; copy < 3; ++copy)
        device.send(utility, reply(0x01, 0x01));
    other.send(utility, reply(0x11, 0x02));
    ASSERT_TRUE(deliver([&] { return search.ring().writeIndex() == 2; }));
    loop.processPending();
    EXPECT_EQ(search.ring().writeIndex(), 2u);
    EXPECT_EQ(search.ring().slot(0).data[31], 0x01);
    EXPECT_EQ(search.ring().slot(0).length, 438);
    EXPECT_EQ(search.ring().slot(1).data[31], 0x02);
    EXPECT_EQ(search.ring().slot(1).sender, other.endpoint());
    EXPECT_EQ(search.ring().slot(2).length, -1);
}

TEST_F(DevmgmtSockets, MulticastQueryReachesGroupAndKeepsDuplicates)
{
    Peer device("0.0.0.0");
    if (!device.join(kGroup))
        GTEST_SKIP() << "no multicast route (run inside the test namespace)";
    MulticastSearchSocket search(loop, prompter, "127.0.0.1", 0);
    ASSERT_TRUE(search.create({ kGroup, 1, true }).ok());
    EXPECT_TRUE(search.joined());
    ASSERT_TRUE(search.sendTo(kGroup, device.port(), buildQuery()));
    Endpoint utility;
    ASSERT_TRUE(device.receive(&utility).has_value());
    for (int copy = 0; copy < 3; ++copy)
        device.send(utility, reply(0x01, 0x01));
    ASSERT_TRUE(deliver([&] { return search.ring().writeIndex() == 3; }));
    for (std::size_t index = 0; index < 3; ++index)
        EXPECT_EQ(search.ring().slot(index).data[31], 0x01);
    EXPECT_TRUE(prompter.shown.empty());
}

TEST_F(DevmgmtSockets, UnsignedDatagramsNeverTakeASlot)
{
    BroadcastSearchSocket broadcast(loop, "127.0.0.1", 0);
    MulticastSearchSocket multicast(loop, prompter, "127.0.0.1", 0);
    ASSERT_TRUE(broadcast.create().ok());
    ASSERT_TRUE(multicast.create({ kGroup, 1, true }).ok());
    Peer device;
    for (ReceiveRing* ring : { &broadcast.ring(), &multicast.ring() }) {
        const Endpoint to = ring == &broadcast.ring() ? broadcast.localEndpoint() : multicast.localEndpoint();
        device.send(to, unsignedDatagram());
        device.send(to, Bytes { 'Z', 'O', 'R' });
        device.send(to, reply(0x01, 0x07));
        ASSERT_TRUE(deliver([&] { return ring->writeIndex() == 1; }));
        EXPECT_EQ(ring->slot(0).length, 438);
        EXPECT_EQ(ring->slot(0).data[31], 0x07);
        // A refused datagram leaves its slot empty, not half-filled.
        device.send(to, unsignedDatagram());
        loop.processPending();
        EXPECT_EQ(ring->writeIndex(), 1u);
        EXPECT_EQ(ring->slot(1).length, -1);
        EXPECT_EQ(ring->slot(1).data[8], 0);
    }
}

TEST_F(DevmgmtSockets, RingTakes256RepliesAndIgnoresTheRest)
{
    BroadcastSearchSocket search(loop, "127.0.0.1", 0);
    ASSERT_TRUE(search.create().ok());
    Peer device;
    const Endpoint to = search.localEndpoint();
    // In batches, so the socket's receive queue never overflows.
    for (int batch = 0; batch < 17; ++batch) {
        for (int i = batch * 16; i < std::min(257, batch * 16 + 16); ++i) {
            Bytes datagram = reply(0x01, static_cast<std::uint8_t>(i));
            datagram[30] = static_cast<std::uint8_t>(i >> 8);
            device.send(to, datagram);
        }
        const std::size_t taken = std::min(256, batch * 16 + 16);
        ASSERT_TRUE(deliver([&] {
            return search.ring().writeIndex() == taken && search.ring().ignoredCount() == (batch == 16 ? 1u : 0u);
        })) << batch;
    }
    EXPECT_TRUE(search.ring().full());
    EXPECT_EQ(search.ring().slot(0).data[30], 0);
    EXPECT_EQ(search.ring().slot(0).data[31], 0);
    EXPECT_EQ(search.ring().slot(255).data[31], 255);

    search.ring().reset();
    EXPECT_EQ(search.ring().writeIndex(), 0u);
    EXPECT_EQ(search.ring().slot(255).length, -1);
    device.send(to, reply(0x01, 0x42));
    ASSERT_TRUE(deliver([&] { return search.ring().writeIndex() == 1; }));
    EXPECT_EQ(search.ring().slot(0).data[31], 0x42);
}

TEST_F(DevmgmtSockets, ShortRepliesTakeNoSlotAndHideNoDeviceAnsweringAfterThem)
{
    BroadcastSearchSocket search(loop, "127.0.0.1", 0);
    ASSERT_TRUE(search.create().ok());
    Peer device;
    const Endpoint to = search.localEndpoint();
    device.send(to, reply(0x01, 0x05));
    ASSERT_TRUE(deliver([&] { return search.ring().writeIndex() == 1; }));

    search.ring().reset();
    device.send(to, reply(0x01, 0x00, 20)); // ends before the MAC
    device.send(to, reply(0x01, 0x05, 437)); // one byte short, with the MAC of the device after it
    device.send(to, reply(0x00, 0x00, 9)); // another program's Query: no reply, nothing to say
    device.send(to, reply(0x01, 0x05));
    ASSERT_TRUE(deliver([&] { return search.ring().writeIndex() == 1; }));
    EXPECT_EQ(search.ring().slot(0).length, 438);
    EXPECT_EQ(search.ring().slot(0).data[31], 0x05);
    EXPECT_EQ(search.ring().shortCount(), 2u);
    EXPECT_EQ(describeLeftOut(search.ring()),
        std::vector<std::string> { "2 replies left out: shorter than the 438 bytes of a device's settings." });
}

TEST_F(DevmgmtSockets, OneMacFromASecondAddressIsAClashNamedOnce)
{
    BroadcastSearchSocket search(loop, "127.0.0.1", 0);
    ASSERT_TRUE(search.create().ok());
    Peer first("127.0.0.2");
    Peer second("127.0.0.3");
    const Endpoint to = search.localEndpoint();
    first.send(to, reply(0x01, 0x05));
    ASSERT_TRUE(deliver([&] { return search.ring().writeIndex() == 1; }));
    first.send(to, reply(0x01, 0x05)); // the same device again: no clash
    for (int i = 0; i < 3; ++i)
        second.send(to, reply(0x01, 0x05));
    loop.processPending();
    ASSERT_TRUE(deliver([&] { return search.ring().clashCount() == 1; }));
    EXPECT_EQ(search.ring().writeIndex(), 1u);
    EXPECT_EQ(describeLeftOut(search.ring()),
        std::vector<std::string> {
            "Address clash: MAC 00-1A-2B-3C-4D-05 answered from 127.0.0.2 and from 127.0.0.3." });
}

TEST_F(DevmgmtSockets, OwnEchoIsFilteredWhenLoopbackCannotBeSwitchedOff)
{
    for (const bool loopbackFails : { false, true }) {
        SCOPED_TRACE(loopbackFails);
        MulticastSearchSocket search(
            loop, prompter, "127.0.0.1", 0, [] { return std::optional(*parseIpv4("127.0.0.1")); });
        // Reuse, join, TTL, loopback: the fourth option call fails.
        if (loopbackFails)
            platform::faults::failNth(platform::faults::Op::SetOption, 4);
        ASSERT_TRUE(search.create({ kGroup, 1, false }).ok());
        if (!search.joined())
            GTEST_SKIP() << "no multicast route (run inside the test namespace)";
        EXPECT_EQ(search.filtersOwnDatagrams(), loopbackFails);

        // The socket's own Query coming back to its own address and port.
        const Endpoint own = search.localEndpoint();
        ASSERT_TRUE(search.sendTo("127.0.0.1", own.port, reply(0x01, 0x0E)));
        Peer sameHost("127.0.0.1"); // a device server simulated on this host, other port
        sameHost.send(own, reply(0x01, 0x0F));
        // The echo was queued first, so it has been handled once the other reply is in.
        ASSERT_TRUE(deliver([&] {
            const auto& ring = search.ring();
            return ring.writeIndex() > 0 && ring.slot(ring.writeIndex() - 1).sender == sameHost.endpoint();
        }));
        if (loopbackFails) {
            EXPECT_EQ(search.ring().writeIndex(), 1u);
            EXPECT_EQ(search.ring().slot(0).sender, sameHost.endpoint());
        } else {
            // Without the filter the echo is kept like any reply.
            EXPECT_EQ(search.ring().writeIndex(), 2u);
            EXPECT_EQ(search.ring().slot(0).data[31], 0x0E);
            EXPECT_EQ(search.ring().slot(0).sender, own);
        }
    }
    EXPECT_TRUE(prompter.shown.empty());
}

TEST_F(DevmgmtSockets, TtlFailureWarnsAndJoinFailureIsSilent)
{
    platform::faults::failNth(platform::faults::Op::SetOption, 3);
    MulticastSearchSocket warned(loop, prompter, "127.0.0.1", 0);
    ASSERT_TRUE(warned.create({ kGroup, 1, true }).ok());
    if (!warned.joined())
        GTEST_SKIP() << "no multicast route (run inside the test namespace)";
    EXPECT_EQ(prompter.messages(), std::vector<std::string> { "Warning! Error Setting TTL" });

    prompter.shown.clear();
    platform::faults::failNth(platform::faults::Op::SetOption, 2);
    MulticastSearchSocket unjoined(
        loop, prompter, "127.0.0.1", 0, [] { return std::optional(*parseIpv4("127.0.0.1")); });
    ASSERT_TRUE(unjoined.create({ kGroup, 1, false }).ok());
    EXPECT_TRUE(unjoined.created());
    EXPECT_FALSE(unjoined.joined());
    EXPECT_FALSE(unjoined.filtersOwnDatagrams());
    MulticastSearchSocket badGroup(loop, prompter, "127.0.0.1", 0);
    ASSERT_TRUE(badGroup.create({ "not-a-group", 1, true }).ok());
    EXPECT_FALSE(badGroup.joined());
    EXPECT_TRUE(prompter.shown.empty());

    // Sending and unicast replies still work without membership.
    Peer device;
    ASSERT_TRUE(unjoined.sendTo("127.0.0.2", device.port(), buildQuery()));
    Endpoint utility;
    ASSERT_TRUE(device.receive(&utility).has_value());
    device.send(utility, reply(0x01, 0x01));
    EXPECT_TRUE(deliver([&] { return unjoined.ring().writeIndex() == 1; }));
}

TEST_F(DevmgmtSockets, ReadErrorOnTheMulticastSocketIsReported)
{
    BroadcastSearchSocket broadcast(loop, "127.0.0.1", 0);
    MulticastSearchSocket multicast(loop, prompter, "127.0.0.1", 0);
    ASSERT_TRUE(broadcast.create().ok());
    ASSERT_TRUE(multicast.create({ kGroup, 1, true }).ok());
    Peer device;
    for (const bool isMulticast : { false, true }) {
        ReceiveRing& ring = isMulticast ? multicast.ring() : broadcast.ring();
        platform::faults::failNth(platform::faults::Op::Receive, 1);
        device.send(isMulticast ? multicast.localEndpoint() : broadcast.localEndpoint(), reply(0x01, 0x01));
        // The failed read leaves the datagram queued; the next readiness takes it.
        ASSERT_TRUE(deliver([&] { return ring.writeIndex() == 1; }));
        EXPECT_EQ(prompter.messages().size(), isMulticast ? 1u : 0u);
    }
    EXPECT_EQ(prompter.messages(), std::vector<std::string> { "Error receiving data from the host group" });
}

TEST_F(DevmgmtSockets, CommandSocketTakesSignedRepliesOnly)
{
    CommandSocket command(loop, "127.0.0.1", 0);
    Peer device;
    command.prepareForRequest();
    ASSERT_TRUE(command.sendTo("127.0.0.2", buildQuery(), device.port()));
    Endpoint utility;
    ASSERT_TRUE(device.receive(&utility).has_value());
    EXPECT_EQ(utility, command.localEndpoint());

    device.send(utility, unsignedDatagram());
    loop.processPending();
    EXPECT_FALSE(command.received());
    EXPECT_EQ(command.length(), -1);

    device.send(utility, reply(0x11, 0x01));
    ASSERT_TRUE(deliver([&] { return command.received(); }));
    EXPECT_TRUE(command.replyReady(1)) << "0x11 counts as a QueryReply";
    EXPECT_FALSE(command.replyReady(3));
    EXPECT_EQ(command.length(), 438);
    EXPECT_EQ(command.sender(), device.endpoint());

    // A stray datagram does not disturb the reply waiting to be taken.
    device.send(utility, unsignedDatagram());
    device.send(utility, Bytes { 1, 2 });
    loop.processPending();
    Bytes copy(kMaxDatagram);
    EXPECT_EQ(command.copyBuffer(copy), 438);
    EXPECT_EQ(Bytes(copy.begin(), copy.begin() + 438), reply(0x11, 0x01));
    EXPECT_TRUE(command.replyReady(1));

    command.clearReceived();
    EXPECT_FALSE(command.replyReady(1));

    // A short reply, and one from another address, are refused and counted.
    device.send(utility, reply(0x03, 0x02, 12));
    Peer stranger("127.0.0.3");
    stranger.send(utility, reply(0x03, 0x03));
    ASSERT_TRUE(deliver([&] { return command.refusals().wrongSender == 1 && command.refusals().shortReplies == 1; }));
    EXPECT_FALSE(command.received());
    EXPECT_EQ(describeRefusals(command.refusals(), "127.0.0.2"),
        "1 reply from 127.0.0.3 was ignored: the request went to 127.0.0.2. 1 reply from 127.0.0.2 was refused: 12 "
        "bytes, shorter than the 438 bytes of a device's settings.");

    // A later reply replaces the earlier one whole.
    Bytes later = reply(0x03, 0x02);
    later.resize(500, 0xEE);
    device.send(utility, later);
    ASSERT_TRUE(deliver([&] { return command.received(); }));
    EXPECT_TRUE(command.replyReady(3));
    EXPECT_EQ(command.copyBuffer(copy), 500);
    EXPECT_EQ(copy[31], 0x02);
    EXPECT_EQ(copy[500], 0);

    // The next request forgets what was refused.
    ASSERT_TRUE(command.sendTo("127.0.0.2", buildQuery(), device.port()));
    EXPECT_FALSE(command.refusals().any());

    command.prepareForRequest();
    EXPECT_FALSE(command.received());
    EXPECT_EQ(command.length(), -1);
    EXPECT_EQ(command.copyBuffer(copy), -1);
    EXPECT_EQ(copy[0], 0);
}

TEST_F(DevmgmtSockets, CommandSocketRecreatedStartsEmptyAndStillWorks)
{
    CommandSocket command(loop, "127.0.0.1", 0);
    Peer device;
    ASSERT_TRUE(command.sendTo("127.0.0.2", buildQuery(), device.port()));
    Endpoint utility;
    ASSERT_TRUE(device.receive(&utility).has_value());
    device.send(utility, reply(0x01, 0x01));
    ASSERT_TRUE(deliver([&] { return command.received(); }));

    ASSERT_TRUE(command.recreate().ok());
    EXPECT_FALSE(command.received());
    EXPECT_EQ(command.length(), -1);
    ASSERT_TRUE(command.sendTo("127.0.0.2", buildQuery(), device.port()));
    ASSERT_TRUE(device.receive(&utility).has_value());
    device.send(utility, reply(0x01, 0x02));
    ASSERT_TRUE(deliver([&] { return command.received(); }));
    EXPECT_TRUE(command.replyReady(1));

    // A socket that cannot be bound sends nothing; the next use binds again.
    command.close();
    platform::faults::failNth(platform::faults::Op::Bind, 1);
    EXPECT_FALSE(command.sendTo("127.0.0.2", buildQuery(), device.port()));
    EXPECT_FALSE(command.created());
    EXPECT_TRUE(command.sendTo("127.0.0.2", buildQuery(), device.port()));
}

TEST_F(DevmgmtSockets, ConnectNoticeGoesOutThreeTimes)
{
    CommandSocket command(loop, "127.0.0.1", 0);
    Peer device;
    ASSERT_TRUE(sendConnectNotice(command, "127.0.0.2", 0xC0A80005, 4001, device.port()));
    const Bytes expected = { 'Z', 'O', 'R', 'V', 'V', 'R', 'O', 'Z', 0x12, 0x00, 192, 168, 0, 5, 0x0F, 0xA1 };
    for (int copy = 0; copy < 3; ++copy) {
        Endpoint from;
        const auto received = device.receive(&from);
        ASSERT_TRUE(received.has_value()) << copy;
        EXPECT_EQ(*received, expected);
        EXPECT_EQ(from, command.localEndpoint());
    }
    EXPECT_TRUE(device.nothingWaiting());
    EXPECT_FALSE(sendConnectNotice(command, "", 0xC0A80005, 4001, device.port()));
}
