#include "sim/devsim/setup.h"
#include "sim/devsim/simulator.h"
#include "tests/sim/devsim/peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

using namespace sim::devsim;
using namespace std::chrono_literals;
using devsim_test::Datagram;
using devsim_test::header;
using devsim_test::ip;
using devsim_test::Peer;

namespace {

std::vector<int> bytesAt(const std::vector<std::uint8_t>& bytes, std::size_t offset, std::size_t count)
{
    return std::vector<int>(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
        bytes.begin() + static_cast<std::ptrdiff_t>(offset + count));
}

// Restore, Reboot: 438 bytes, byte 9 = 1 for Restore, name at 10, MAC at 26.
std::vector<std::uint8_t> identification(std::uint8_t code, const std::string& name, const Mac& mac)
{
    auto request = header(code, 438);
    request[9] = code == opcode::kRestore ? 1 : 0;
    std::copy(name.begin(), name.end(), request.begin() + 10);
    std::copy(mac.begin(), mac.end(), request.begin() + 26);
    return request;
}

class SimulatorTest : public ::testing::Test {
protected:
    SimulatorTest() { m_options = testOptions(); }

    static SimulatorOptions testOptions()
    {
        SimulatorOptions options;
        // Any free ports, so parallel tests do not hear each other's searches.
        options.broadcastPort = 0;
        options.multicastPort = 0;
        options.unicastPort = 0;
        options.rebootTime = 5s;
        options.verbose = true;
        return options;
    }

    void startDevices(std::size_t count, const std::function<void(std::size_t, DeviceDefinition&)>& adjust = {})
    {
        m_simulator = std::make_unique<Simulator>(
            m_loop, m_options, [this](const std::string& line) { m_log.push_back(line); });
        for (std::size_t i = 0; i < count; ++i) {
            DeviceDefinition definition = defaultDevice(i, ip("127.0.0.10") + static_cast<platform::Ipv4>(i));
            if (adjust)
                adjust(i, definition);
            m_simulator->addDevice(std::move(definition));
        }
        auto started = m_simulator->start();
        ASSERT_TRUE(started.ok()) << started.error().message;
    }

    Device& device(std::size_t i) { return m_simulator->device(i); }

    // Sends a request to a device's unicast port and gathers the answers.
    std::vector<Datagram> ask(std::size_t i, const std::vector<std::uint8_t>& request, std::size_t expected = 1)
    {
        m_peer.send(device(i).unicastEndpoint(), request);
        return expected == 0 ? m_peer.drain(m_loop) : m_peer.collect(m_loop, expected);
    }

    bool logHas(const std::string& text) const
    {
        return std::any_of(
            m_log.begin(), m_log.end(), [&](const std::string& line) { return line.find(text) != std::string::npos; });
    }

    platform::FakeClock m_clock;
    platform::VirtualLoop m_loop { m_clock };
    SimulatorOptions m_options;
    std::vector<std::string> m_log;
    std::unique_ptr<Simulator> m_simulator;
    Peer m_peer;
};

} // namespace

TEST_F(SimulatorTest, AnswersUnicastQueryWithItsRecordFromItsOwnAddress)
{
    startDevices(1, [](std::size_t, DeviceDefinition& definition) { definition.status.connectionState = 1; });
    const auto replies = ask(0, header(opcode::kQuery));
    ASSERT_EQ(replies.size(), 1u);
    const auto& r = replies[0].bytes;
    ASSERT_EQ(r.size(), 438u);
    EXPECT_EQ(std::string(r.begin(), r.begin() + 8), "ZORVVROZ");
    EXPECT_EQ(r[8], 0x01);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r[10])), "DS-0001");
    EXPECT_EQ(bytesAt(r, 26, 6), (std::vector<int> { 0x02, 0x44, 0x53, 0, 0, 1 }));
    EXPECT_EQ(r[32], 0x07); // TCP data, multicast and broadcast management
    EXPECT_EQ(bytesAt(r, 34, 4), (std::vector<int> { 127, 0, 0, 10 }));
    EXPECT_EQ(r[69], 1);
    EXPECT_EQ(replies[0].from, device(0).unicastEndpoint());
    EXPECT_EQ(replies[0].from.address, ip("127.0.0.10"));
}

TEST_F(SimulatorTest, SearchesReachDevicesWhoseManagementFlagAllowsIt)
{
    // Device 2 has broadcast management off, device 3 multicast management.
    startDevices(3, [](std::size_t i, DeviceDefinition& definition) {
        definition.settings.broadcastManagement = i != 1;
        definition.settings.multicastManagement = i != 2;
    });
    struct Case {
        bool multicast;
        std::vector<platform::Ipv4> answering;
    };
    const Case cases[] = {
        { false, { ip("127.0.0.10"), ip("127.0.0.12") } },
        { true, { ip("127.0.0.10"), ip("127.0.0.11") } },
    };
    for (const auto& c : cases) {
        Peer peer(true);
        if (c.multicast) {
            ASSERT_TRUE(m_simulator->multicastJoined()) << "run inside the test namespace";
            ASSERT_TRUE(peer.socket().setMulticastInterface(ip("127.0.0.1")).ok());
            peer.send({ ip("225.1.2.3"), m_simulator->multicastPort() }, header(opcode::kQuery));
        } else {
            peer.send({ ip("255.255.255.255"), m_simulator->broadcastPort() }, header(opcode::kQuery));
        }
        auto replies = peer.collect(m_loop, 2);
        const auto extra = peer.drain(m_loop);
        replies.insert(replies.end(), extra.begin(), extra.end());
        std::vector<platform::Ipv4> senders;
        for (const auto& reply : replies) {
            ASSERT_EQ(reply.bytes.size(), 438u);
            EXPECT_EQ(reply.bytes[8], 0x01);
            // The record's address is the address the reply came from.
            EXPECT_EQ(getUint32(reply.bytes, 34), reply.from.address);
            senders.push_back(reply.from.address);
        }
        std::sort(senders.begin(), senders.end());
        EXPECT_EQ(senders, c.answering) << (c.multicast ? "multicast" : "broadcast");
    }
    EXPECT_TRUE(logHas("127.0.0.11: broadcast Query ignored: broadcast management is off"));
}

TEST_F(SimulatorTest, SetConfigRepliesThenIsSilentThenAnswersWithTheNewSettingsOnTheNewAddress)
{
    startDevices(1);
    const platform::Endpoint oldEndpoint = device(0).unicastEndpoint();
    DeviceConfig wanted = device(0).settings();
    wanted.name = "Renamed";
    wanted.mac = { 1, 2, 3, 4, 5, 6 }; // a device keeps its own MAC
    wanted.currentAddress = ip("127.0.0.20");
    wanted.baudCode = 5;
    wanted.clientMode = true;
    wanted.dataPort = 4001;
    wanted.smtpTo[1] = "ops@example";
    auto request = encodeDeviceConfig(wanted, opcode::kSetConfig, 0);
    request[9] |= 0x01; // the utility always sets bit 0

    auto replies = ask(0, request);
    ASSERT_EQ(replies.size(), 1u);
    const auto& reply = replies[0].bytes;
    ASSERT_EQ(reply.size(), 438u);
    EXPECT_EQ(reply[8], 0x03);
    EXPECT_EQ(replies[0].from, oldEndpoint);
    EXPECT_EQ(bytesAt(reply, 26, 6), (std::vector<int> { 0x02, 0x44, 0x53, 0, 0, 1 }));
    EXPECT_EQ(bytesAt(reply, 34, 4), (std::vector<int> { 127, 0, 0, 20 }));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&reply[10])), "Renamed");
    EXPECT_EQ(reply[66] >> 3, 5);
    EXPECT_EQ(reply[32] & 0x80, 0x80);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&reply[196])), "ops@example");
    EXPECT_EQ(device(0).state(), Device::State::Rebooting);

    // Silent while it reboots, and the query asked meanwhile is not answered later.
    m_peer.send(oldEndpoint, header(opcode::kQuery));
    EXPECT_TRUE(m_peer.drain(m_loop).empty());
    m_loop.advance(4900ms);
    EXPECT_EQ(device(0).state(), Device::State::Rebooting);
    m_loop.advance(200ms);
    ASSERT_EQ(device(0).state(), Device::State::Running);
    EXPECT_TRUE(m_peer.drain(m_loop).empty());

    EXPECT_EQ(device(0).unicastEndpoint().address, ip("127.0.0.20"));
    replies = ask(0, header(opcode::kQuery));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].from.address, ip("127.0.0.20"));
    auto stored = decodeDeviceConfig(replies[0].bytes);
    ASSERT_TRUE(stored.ok());
    wanted.mac = device(0).factorySettings().mac;
    EXPECT_EQ(*stored, wanted);
    // Nothing listens on the old address any more.
    m_peer.send(oldEndpoint, header(opcode::kQuery));
    EXPECT_TRUE(m_peer.drain(m_loop).empty());
}

TEST_F(SimulatorTest, SetConfigToAnUnusableAddressKeepsTheOldOne)
{
    startDevices(1);
    DeviceConfig wanted = device(0).settings();
    wanted.currentAddress = 0;
    ASSERT_EQ(ask(0, encodeDeviceConfig(wanted, opcode::kSetConfig, 0)).size(), 1u);
    m_loop.advance(5s);
    EXPECT_EQ(device(0).state(), Device::State::Running);
    EXPECT_EQ(device(0).unicastEndpoint().address, ip("127.0.0.10"));
}

TEST_F(SimulatorTest, SetConfigToAnAddressThisHostLacksLeavesTheDeviceOffline)
{
    startDevices(1);
    DeviceConfig wanted = device(0).settings();
    wanted.currentAddress = ip("192.0.2.77"); // not on lo
    ASSERT_EQ(ask(0, encodeDeviceConfig(wanted, opcode::kSetConfig, 0)).size(), 1u);
    m_loop.advance(5s);
    EXPECT_EQ(device(0).state(), Device::State::Offline);
    EXPECT_TRUE(logHas("192.0.2.77: cannot listen"));
}

TEST_F(SimulatorTest, RestoreMatchesByMacAndReturnsToTheStartingSettings)
{
    startDevices(1);
    DeviceConfig changed = device(0).settings();
    changed.name = "Changed";
    changed.currentAddress = ip("127.0.0.30");
    ASSERT_EQ(ask(0, encodeDeviceConfig(changed, opcode::kSetConfig, 0)).size(), 1u);
    m_loop.advance(5s);
    ASSERT_EQ(device(0).settings().name, "Changed");

    // Another device's MAC: ignored. The name does not matter for Restore.
    EXPECT_TRUE(ask(0, identification(opcode::kRestore, "Changed", { 2, 0x44, 0x53, 0, 0, 9 }), 0).empty());
    EXPECT_EQ(device(0).state(), Device::State::Running);

    const auto replies = ask(0, identification(opcode::kRestore, "whatever", device(0).settings().mac));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].bytes[8], 0x09);
    EXPECT_EQ(replies[0].from.address, ip("127.0.0.30"));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&replies[0].bytes[10])), "DS-0001");
    EXPECT_EQ(bytesAt(replies[0].bytes, 34, 4), (std::vector<int> { 127, 0, 0, 10 }));
    EXPECT_EQ(device(0).state(), Device::State::Rebooting);
    m_loop.advance(5s);
    EXPECT_EQ(device(0).settings(), device(0).factorySettings());
    const auto query = ask(0, header(opcode::kQuery));
    ASSERT_EQ(query.size(), 1u);
    EXPECT_EQ(query[0].from.address, ip("127.0.0.10"));
}

TEST_F(SimulatorTest, RebootMatchesNameAndMacAndRestartsWithCountersCleared)
{
    m_options.rebootReply = true;
    startDevices(1, [](std::size_t, DeviceDefinition& definition) {
        definition.status.serialTxCount = 77;
        definition.status.connectionState = 1;
    });
    const Mac mac = device(0).settings().mac;
    EXPECT_TRUE(ask(0, identification(opcode::kReboot, "DS-0002", mac), 0).empty());
    EXPECT_TRUE(ask(0, identification(opcode::kReboot, "DS-0001", { 2, 0x44, 0x53, 0, 0, 2 }), 0).empty());
    EXPECT_EQ(device(0).restarts(), 0);

    const auto replies = ask(0, identification(opcode::kReboot, "DS-0001", mac));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].bytes.size(), 438u);
    EXPECT_EQ(replies[0].bytes[8], 0x0C);
    EXPECT_EQ(device(0).restarts(), 1);
    EXPECT_TRUE(ask(0, header(opcode::kQuery), 0).empty());
    m_loop.advance(5s);
    const auto query = ask(0, header(opcode::kQuery));
    ASSERT_EQ(query.size(), 1u);
    EXPECT_EQ(query[0].bytes[69], 0); // the data channel did not survive
    EXPECT_EQ(device(0).status().serialTxCount, 0u);
}

TEST_F(SimulatorTest, ADeviceWithoutANameTakesTheRowNameTheUtilityShowsForIt)
{
    // The utility lists a nameless device as "ZIR" and its row number and
    // sends that name back in Reboot and Upgrade.
    startDevices(1, [](std::size_t, DeviceDefinition& definition) { definition.settings.name.clear(); });
    const Mac mac = device(0).settings().mac;
    struct Case {
        const char* name;
        bool accepted;
    };
    const Case cases[] = {
        { "ZIR", false },
        { "ZIR0", false },
        { "ZIR1x", false },
        { "DS-0001", false },
        { "ZIR17", true },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(ask(0, identification(opcode::kReboot, c.name, mac), 0).empty());
        EXPECT_EQ(device(0).restarts(), c.accepted ? 1 : 0);
    }
}

TEST_F(SimulatorTest, RebootWithoutTheReplyOptionIsSilent)
{
    startDevices(1);
    EXPECT_TRUE(ask(0, identification(opcode::kReboot, "DS-0001", device(0).settings().mac), 0).empty());
    EXPECT_EQ(device(0).state(), Device::State::Rebooting);
}

TEST_F(SimulatorTest, StatusReplyCarriesModemStatusVersionAndCounters)
{
    startDevices(1, [](std::size_t, DeviceDefinition& definition) {
        definition.status.modemStatus = 0xB0;
        definition.status.firmwareVersion = "V1.2.3-abcde"; // 12 characters, no terminator
        definition.status.serialTxCount = 0x01020304;
        definition.status.serialRxCount = 0xFFFFFFFE;
    });
    const auto replies = ask(0, header(opcode::kStatusQuery));
    ASSERT_EQ(replies.size(), 1u);
    const auto& r = replies[0].bytes;
    ASSERT_EQ(r.size(), 30u);
    EXPECT_EQ(std::string(r.begin(), r.begin() + 8), "ZORVVROZ");
    EXPECT_EQ(r[8], 0x11);
    EXPECT_EQ(r[9], 0xB0);
    EXPECT_EQ(std::string(r.begin() + 10, r.begin() + 22), "V1.2.3-abcde");
    EXPECT_EQ(bytesAt(r, 22, 4), (std::vector<int> { 1, 2, 3, 4 }));
    EXPECT_EQ(bytesAt(r, 26, 4), (std::vector<int> { 0xFF, 0xFF, 0xFF, 0xFE }));
    EXPECT_EQ(replies[0].from.address, ip("127.0.0.10"));
}

TEST_F(SimulatorTest, ConnectNoticeIsCountedAndNotAnswered)
{
    startDevices(1);
    auto notice = header(opcode::kConnectNotice, 16);
    notice[10] = 127;
    notice[13] = 1;
    notice[14] = 0x13;
    notice[15] = 0x88;
    for (int i = 0; i < 3; ++i)
        m_peer.send(device(0).unicastEndpoint(), notice);
    EXPECT_TRUE(m_peer.drain(m_loop).empty());
    EXPECT_EQ(device(0).connectNotices(), 3);
    EXPECT_TRUE(logHas("for host 127.0.0.1:5000 (3 so far)"));
}

TEST_F(SimulatorTest, MalformedAndForeignRequestsChangeNothing)
{
    startDevices(1);
    const DeviceConfig before = device(0).settings();
    auto shortSetConfig = encodeDeviceConfig(before, opcode::kSetConfig, 0);
    shortSetConfig[10] = 'X';
    shortSetConfig.resize(437);
    auto unsigned9 = header(opcode::kQuery);
    unsigned9[0] = 'z';
    const std::vector<std::vector<std::uint8_t>> requests = {
        shortSetConfig,
        unsigned9,
        header(opcode::kQuery, 8), // no opcode byte
        header(opcode::kQueryReply, 438), // a reply is not a request
        header(0x4E),
        header(opcode::kUpgrade, 100), // too short to name a file
        header(opcode::kRestore, 20), // too short to carry a MAC
        header(opcode::kConnectNotice, 12),
    };
    for (const auto& request : requests)
        m_peer.send(device(0).unicastEndpoint(), request);
    EXPECT_TRUE(m_peer.drain(m_loop).empty());
    EXPECT_EQ(device(0).settings(), before);
    EXPECT_EQ(device(0).state(), Device::State::Running);
    EXPECT_EQ(device(0).connectNotices(), 0);
    // Still answering.
    EXPECT_EQ(ask(0, header(opcode::kQuery)).size(), 1u);
}

TEST_F(SimulatorTest, FaultModesShapeTheReplies)
{
    struct Case {
        FaultMode mode;
        std::size_t count;
        std::size_t recordSize;
        std::size_t statusSize;
        bool signatureIntact;
    };
    const Case cases[] = {
        { FaultMode::None, 1, 438, 30, true },
        { FaultMode::Silent, 0, 0, 0, true },
        { FaultMode::Twice, 2, 438, 30, true },
        { FaultMode::ShortReply, 1, 64, 20, true },
        { FaultMode::BadSignature, 1, 438, 30, false },
    };
    startDevices(1);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(faultModeName(c.mode)));
        device(0).setFault(c.mode);
        for (std::uint8_t code : { opcode::kQuery, opcode::kStatusQuery }) {
            m_peer.send(device(0).unicastEndpoint(), header(code));
            auto replies = m_peer.collect(m_loop, std::max<std::size_t>(c.count, 1), 200ms);
            const auto extra = m_peer.drain(m_loop);
            replies.insert(replies.end(), extra.begin(), extra.end());
            ASSERT_EQ(replies.size(), c.count);
            for (const auto& reply : replies) {
                EXPECT_EQ(reply.bytes.size(), code == opcode::kQuery ? c.recordSize : c.statusSize);
                EXPECT_EQ(std::string(reply.bytes.begin(), reply.bytes.begin() + 8) == "ZORVVROZ", c.signatureIntact);
                EXPECT_EQ(reply.bytes[8], code + 1);
            }
        }
    }
    // A silent device does not act on what it is told either.
    device(0).setFault(FaultMode::Silent);
    m_peer.send(device(0).unicastEndpoint(), identification(opcode::kRestore, "", device(0).settings().mac));
    EXPECT_TRUE(m_peer.drain(m_loop).empty());
    EXPECT_EQ(device(0).restarts(), 0);
}
