// The driver's own control requests, as the utility sends them on a handle.
#include "common/byte_order.h"
#include "common/vorpil_ioctl.h"
#include "common/win32_error.h"
#include "driver/socket_transport.h"
#include "platform/tcp_socket.h"
#include "tests/driver/port_harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace common;
using namespace driver_testing;
using driver::host::Reply;

namespace {

const std::string kParameters
    = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\PORTS\\0000\\Device Parameters";

// A transport whose link state the test sets.
class StateTransport final : public driver::PortTransport {
public:
    bool connected() const override { return m_connected; }
    bool serverMode() const override { return m_serving; }
    bool reconnectPending() const override { return m_lost; }
    NtStatus sendControlPacket(const driver::ControlPacket&) override { return kStatusSuccess; }
    NtStatus sendTransmitBuffer(std::span<const std::uint8_t> bytes, std::size_t& taken) override
    {
        taken = bytes.size();
        return kStatusSuccess;
    }
    NtStatus reconnect() override { return kStatusSuccess; }
    void abandonStream() override { m_connected = false; }
    NtStatus connectAtOpen() override { return kStatusSuccess; }
    NtStatus openAsClient() override { return kStatusSuccess; }
    NtStatus startServer() override { return kStatusSuccess; }
    NtStatus disconnect() override { return kStatusSuccess; }
    NtStatus closeTransport() override { return kStatusSuccess; }
    void closeForRemoval() override { }

    std::atomic<bool> m_connected { false };
    std::atomic<bool> m_serving { false };
    std::atomic<bool> m_lost { false };
};

class StateTransports final : public driver::TransportFactory {
public:
    std::unique_ptr<driver::PortTransport> create(driver::PortDevice&) override
    {
        auto transport = std::make_unique<StateTransport>();
        last = transport.get();
        return transport;
    }
    StateTransport* last = nullptr;
};

Reply control(driver::host::FileHandle& handle, std::uint32_t code, std::vector<std::uint8_t> input = {},
    std::size_t outputLength = 0)
{
    return handle.deviceIoControl(code, input, outputLength);
}

std::vector<std::uint8_t> remoteInfo(std::uint8_t protocol, std::uint32_t maxPacketLen, std::uint32_t connType = 1)
{
    RemoteInfo info;
    info.remoteHostIp = networkAddress(127, 0, 0, 1);
    info.remoteHostPort = common::networkPort(4001);
    info.protocol = protocol;
    info.connectAtWinStart = 1;
    info.connType = connType;
    info.cmdByte = 1;
    info.maxPacketLen = maxPacketLen;
    info.bindAddress = networkAddress(127, 0, 0, 1);
    const auto bytes = info.encodeSet();
    return { bytes.begin(), bytes.end() };
}

RemoteInfo getRemoteInfo(driver::host::FileHandle& handle, NtStatus expected = kStatusSuccess)
{
    const Reply reply = control(handle, kIoctlGetRemoteInfo, {}, kRemoteInfoOutSize);
    EXPECT_EQ(reply.status, expected);
    EXPECT_EQ(reply.information, kRemoteInfoOutSize);
    return RemoteInfo::decodeGet(reply.output);
}

std::uint32_t dword(driver::host::Host& host, const std::string& key, const std::string& name)
{
    std::uint32_t value = 0xDEADBEEF;
    (void)host.registry().queryDword(key, name, value);
    return value;
}

} // namespace

TEST(ControlRequests, CodesAndRecordLayouts)
{
    // The sent record: network-order address and port, reserved bytes zero.
    const auto sent = remoteInfo(kProtocolUdp, 1472);
    const std::vector<std::uint8_t> expected { 127, 0, 0, 1, 0x0F, 0xA1, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0,
        0, 0, 0xC0, 0x05, 0, 0, 127, 0, 0, 1 };
    EXPECT_EQ(sent, expected);
    // Reserved bytes are ignored on the way in.
    auto noisy = sent;
    noisy[6] = noisy[9] = noisy[13] = 0xFF;
    EXPECT_EQ(RemoteInfo::decodeSet(noisy), RemoteInfo::decodeSet(sent));
    EXPECT_EQ(encodeDosName("COM123")[5], '3');
    EXPECT_EQ(decodeDosName(encodeDosName("COM1234")), "COM123");
}

struct MaxPacketCase {
    std::uint8_t protocol;
    std::uint32_t maxPacketLen;
    NtStatus status;
};

class MaxPacketLimit : public ::testing::TestWithParam<MaxPacketCase> { };

TEST_P(MaxPacketLimit, OversizedPacketStaysInMemoryOnly)
{
    const auto& param = GetParam();
    PortHarness harness;
    ASSERT_EQ(harness.addPort("COM5"), kStatusSuccess);
    auto handle = harness.open("COM5");
    ASSERT_NE(handle, nullptr);

    const Reply set = control(*handle, kIoctlSetRemoteInfo, remoteInfo(param.protocol, param.maxPacketLen));
    EXPECT_EQ(set.status, param.status);
    EXPECT_EQ(set.information, 0u);
    // In effect at once, whether accepted or not.
    EXPECT_EQ(harness.port(11)->config.maxPacketLen, param.maxPacketLen);
    EXPECT_EQ(harness.port(11)->config.protocol, param.protocol);

    const bool stored = ntSuccess(param.status);
    EXPECT_EQ(dword(harness.host(), kParameters, "MaxPacketLen"), stored ? param.maxPacketLen : 450u);
    EXPECT_EQ(dword(harness.host(), kParameters, "Protocol"), stored ? param.protocol : 0u);
    // The reload of GET_REMOTE_INFO brings back what the registry holds.
    const RemoteInfo info = getRemoteInfo(*handle);
    EXPECT_EQ(info.maxPacketLen, stored ? param.maxPacketLen : 450u);
    EXPECT_EQ(harness.port(11)->config.maxPacketLen, stored ? param.maxPacketLen : 450u);
}

INSTANTIATE_TEST_SUITE_P(Limits, MaxPacketLimit,
    ::testing::Values(MaxPacketCase { kProtocolTcp, 1460, kStatusSuccess },
        MaxPacketCase { kProtocolTcp, 1461, kStatusInvalidParameter },
        MaxPacketCase { kProtocolUdp, 1472, kStatusSuccess },
        MaxPacketCase { kProtocolUdp, 1473, kStatusInvalidParameter }));

TEST(ControlRequests, SetRemoteInfoWritesTheRegistryAndGetReportsIt)
{
    PortHarness harness;
    ASSERT_EQ(harness.addPort("COM5"), kStatusSuccess);
    auto handle = harness.open("COM5");
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(control(*handle, kIoctlSetRemoteInfo, remoteInfo(kProtocolTcp, 1024)).status, kStatusSuccess);

    auto& host = harness.host();
    EXPECT_EQ(dword(host, kParameters, "RemoteHostIP"), 0x0100007Fu);
    EXPECT_EQ(dword(host, kParameters, "RemoteHostPort"), 0xA10Fu);
    EXPECT_EQ(dword(host, kParameters, "ConnectAtWinStart"), 1u);
    EXPECT_EQ(dword(host, kParameters, "ConnType"), 1u);
    EXPECT_EQ(dword(host, kParameters, "CmdByte"), 1u);
    EXPECT_EQ(dword(host, kParameters, "LocalPort"), 0x7117u);
    EXPECT_FALSE(host.registry().valueNames(kParameters).empty());
    for (const auto& name : host.registry().valueNames(kParameters))
        EXPECT_NE(name, "BindAddress");
    EXPECT_EQ(harness.port(11)->config.bindAddress, 0x0100007Fu);

    const Reply reply = control(*handle, kIoctlGetRemoteInfo, {}, kRemoteInfoOutSize);
    ASSERT_EQ(reply.status, kStatusSuccess);
    // The recording transport reports the client connected: LinkState 1.
    const std::vector<std::uint8_t> expected { 127, 0, 0, 1, 0x0F, 0xA1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0,
        0, 0, 1, 0, 0, 0, 0, 4, 0, 0, 0x17, 0x71, 0, 0 };
    EXPECT_EQ(reply.output, expected);

    // Values another program writes take effect at the next GET_REMOTE_INFO.
    ASSERT_EQ(host.registry().setDword(kParameters, "RemoteHostPort", 0x8813), kStatusSuccess);
    EXPECT_EQ(getRemoteInfo(*handle).remoteHostPort, 0x8813);
    EXPECT_EQ(harness.port(11)->config.remoteHostPort, 0x8813);
}

TEST(ControlRequests, GetRemoteInfoReportsAMissingValue)
{
    PortHarness harness;
    ASSERT_EQ(harness.addPort("COM5"), kStatusSuccess);
    auto handle = harness.open("COM5");
    ASSERT_EQ(harness.host().registry().deleteValue(kParameters, "CmdByte"), kStatusSuccess);
    ASSERT_EQ(harness.host().registry().setDword(kParameters, "Protocol", 1), kStatusSuccess);
    ASSERT_EQ(harness.host().registry().setDword(kParameters, "MaxPacketLen", 999), kStatusSuccess);
    const RemoteInfo info = getRemoteInfo(*handle, kStatusObjectNameNotFound);
    EXPECT_EQ(info.protocol, 1); // read before the missing value
    EXPECT_EQ(info.maxPacketLen, 450u); // after it: not read
}

struct ShortBuffer {
    const char* name;
    std::uint32_t code;
    std::size_t inputLength;
    std::size_t outputLength;
};

class ShortBuffers : public ::testing::TestWithParam<ShortBuffer> { };

TEST_P(ShortBuffers, FailWithBufferTooSmall)
{
    const auto& param = GetParam();
    PortHarness harness;
    ASSERT_EQ(harness.addPort("COM5"), kStatusSuccess);
    auto handle = harness.open("COM5");
    ASSERT_NE(handle, nullptr);
    const Reply reply
        = control(*handle, param.code, std::vector<std::uint8_t>(param.inputLength, 9), param.outputLength);
    EXPECT_EQ(reply.status, kStatusBufferTooSmall) << param.name;
    EXPECT_EQ(reply.information, 0u) << param.name;
    // Nothing was changed.
    EXPECT_EQ(harness.host().names().linkTarget("\\DosDevices\\COM5").value_or(""), "\\Device\\Serial11");
    EXPECT_EQ(dword(harness.host(), kParameters, "MaxPacketLen"), 450u);
}

INSTANTIATE_TEST_SUITE_P(Requests, ShortBuffers,
    ::testing::Values(ShortBuffer { "GetRemoteInfo35", kIoctlGetRemoteInfo, 0, 35 },
        ShortBuffer { "SetRemoteInfo31", kIoctlSetRemoteInfo, 31, 0 },
        ShortBuffer { "GetDosName11", kIoctlGetDosName, 0, 11 }, ShortBuffer { "SetDosName3", kIoctlSetDosName, 3, 0 },
        ShortBuffer { "CreateDosName3", kIoctlCreateDosName, 3, 0 },
        ShortBuffer { "GetUiNumber7", kIoctlGetUiNumber, 0, 7 },
        ShortBuffer { "QueryTransportInfoInput3", kIoctlQueryTransportInfo, 3, 16 },
        ShortBuffer { "QueryTransportInfoOutput3", kIoctlQueryTransportInfo, 4, 3 }),
    [](const auto& info) { return std::string(info.param.name); });

struct LinkCase {
    const char* name;
    std::uint32_t connType;
    bool connected;
    bool serving;
    bool lost;
    std::uint32_t linkState;
};

class LinkStates : public ::testing::TestWithParam<LinkCase> { };

TEST_P(LinkStates, FollowTheConnectionType)
{
    const auto& param = GetParam();
    StateTransports transports;
    PortHarness::Options options;
    options.transports = &transports;
    PortHarness harness(options);
    PortSettings settings;
    settings.connType = param.connType;
    ASSERT_EQ(harness.addPort("COM5", settings), kStatusSuccess);
    transports.last->m_connected = param.connected;
    transports.last->m_serving = param.serving;
    transports.last->m_lost = param.lost;
    auto handle = harness.open("COM5");
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(getRemoteInfo(*handle).linkState, param.linkState);
}

INSTANTIATE_TEST_SUITE_P(Ports, LinkStates,
    ::testing::Values(LinkCase { "ListeningServer", 0, false, true, false, 1 },
        LinkCase { "ServerWithClient", 0, true, true, false, 1 }, LinkCase { "IdleServer", 0, false, false, false, 0 },
        LinkCase { "ConnectedClient", 1, true, false, false, 1 },
        LinkCase { "ClientThatLostItsConnection", 1, false, false, true, 0 },
        LinkCase { "ClientOfAServingPort", 1, false, true, false, 0 }),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ControlRequests, UiNumberAndUnknownCodes)
{
    PortHarness harness;
    ASSERT_EQ(harness.addPort("COM5"), kStatusSuccess);
    ASSERT_EQ(harness.addPort("COM6"), kStatusSuccess);
    auto handle = harness.open("COM6");
    ASSERT_NE(handle, nullptr);
    const Reply ui = control(*handle, kIoctlGetUiNumber, {}, 8);
    EXPECT_EQ(ui.status, kStatusSuccess);
    EXPECT_EQ(ui.information, 8u);
    EXPECT_EQ(wordAt(ui.output, 0), 1u);
    EXPECT_EQ(wordAt(ui.output, 4), 0u);

    for (std::uint32_t code : { 0x222000u, 0x222086u, ctlCode(0x22, 0x824, 0, 0), 0x2D0000u })
        EXPECT_EQ(control(*handle, code, {}, 64).status, kStatusInvalidDeviceRequest) << std::hex << code;
}

TEST(ControlRequests, RequestsOnAStoppedPortFail)
{
    PortHarness harness;
    std::string id;
    ASSERT_EQ(harness.addPort("COM5", &id), kStatusSuccess);
    auto handle = harness.open("COM5");
    ASSERT_NE(handle, nullptr);
    harness.port(11)->state = driver::PortState::StopPending; // as a query-stop leaves it
    EXPECT_EQ(control(*handle, kIoctlGetDosName, {}, 12).status, kStatusInvalidDeviceState);
    harness.port(11)->state = driver::PortState::Started;
    EXPECT_EQ(control(*handle, kIoctlGetDosName, {}, 12).status, kStatusSuccess);
}

// The connection requests over the driver's socket transport on loopback.
class ControlOverSockets : public ::testing::Test {
protected:
    static PortHarness::Options options(driver::TransportFactory* transports)
    {
        PortHarness::Options options;
        options.clock = &platform::RealClock::instance();
        options.transports = transports;
        return options;
    }
    ControlOverSockets()
        : harness(options(&sockets))
    {
    }

    std::unique_ptr<driver::host::FileHandle> openPort(
        std::uint8_t protocol, std::uint16_t port, std::uint32_t connType)
    {
        EXPECT_EQ(harness.addPort("COM5"), kStatusSuccess);
        auto handle = harness.open("COM5");
        EXPECT_NE(handle, nullptr);
        if (!handle)
            return handle;
        RemoteInfo info;
        info.remoteHostIp = networkAddress(127, 0, 0, 1);
        info.remoteHostPort = common::networkPort(port);
        info.protocol = protocol;
        info.connType = connType;
        info.cmdByte = 1;
        info.maxPacketLen = 450;
        info.bindAddress = networkAddress(127, 0, 0, 1);
        const auto bytes = info.encodeSet();
        EXPECT_EQ(control(*handle, kIoctlSetRemoteInfo, { bytes.begin(), bytes.end() }).status, kStatusSuccess);
        return handle;
    }

    // Waits, in real time, for the network thread to notice something.
    static bool eventually(const std::function<bool()>& condition)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    driver::SocketTransports sockets;
    PortHarness harness;
};

TEST_F(ControlOverSockets, ServerListensAndReportsItsAddress)
{
    auto handle = openPort(kProtocolTcp, 4101, 0);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(control(*handle, kIoctlDisconnection).status, kStatusInvalidDeviceState); // idle
    EXPECT_EQ(control(*handle, kIoctlQueryTransportInfo, le32({ kTdiQueryAddressInfo }), 64).status,
        kStatusInvalidDeviceState);
    EXPECT_EQ(getRemoteInfo(*handle).linkState, 0u);

    ASSERT_EQ(control(*handle, kIoctlServer).status, kStatusSuccess);
    EXPECT_EQ(control(*handle, kIoctlServer).status, kStatusInvalidDeviceState); // endpoints open already
    EXPECT_EQ(getRemoteInfo(*handle).linkState, 1u); // listening without a client

    const Reply query = control(*handle, kIoctlQueryTransportInfo, le32({ kTdiQueryAddressInfo }), 64);
    EXPECT_EQ(query.status, kStatusSuccess);
    ASSERT_EQ(query.information, kTdiAddressInfoSize);
    const std::vector<std::uint8_t> address(query.output.begin() + 12, query.output.begin() + 18);
    EXPECT_EQ(address, (std::vector<std::uint8_t> { 0x10, 0x05, 127, 0, 0, 1 }));
    const Reply truncated = control(*handle, kIoctlQueryTransportInfo, le32({ kTdiQueryAddressInfo }), 8);
    EXPECT_EQ(truncated.status, kStatusBufferOverflow);
    EXPECT_EQ(truncated.information, 8u);

    // A device server can reach the listening port.
    auto peer = platform::TcpSocket::open();
    ASSERT_TRUE(peer.ok());
    EXPECT_TRUE(peer->connect({ *platform::parseIpv4("127.0.0.1"), 4101 }).ok());

    EXPECT_EQ(control(*handle, kIoctlDisconnection).status, kStatusSuccess);
    EXPECT_EQ(getRemoteInfo(*handle).linkState, 0u);
    EXPECT_EQ(control(*handle, kIoctlDisconnection).status, kStatusInvalidDeviceState);
}

TEST_F(ControlOverSockets, ClientConnectsOnceAndLosesItsConnection)
{
    auto listener = platform::TcpListener::listen(*platform::parseIpv4("127.0.0.1"), 4102);
    ASSERT_TRUE(listener.ok());
    auto handle = openPort(kProtocolTcp, 4102, 1);
    ASSERT_NE(handle, nullptr);

    ASSERT_EQ(control(*handle, kIoctlConnection).status, kStatusSuccess);
    EXPECT_EQ(getRemoteInfo(*handle).linkState, 1u);
    const std::uint16_t localPort = getRemoteInfo(*handle).localPort;
    // Connected already: nothing changes, no second connection is made.
    EXPECT_EQ(control(*handle, kIoctlConnection).status, kStatusSuccess);
    EXPECT_EQ(getRemoteInfo(*handle).localPort, localPort);

    platform::Endpoint from;
    std::optional<platform::TcpSocket> accepted;
    ASSERT_TRUE(eventually([&] {
        auto next = listener->accept(from);
        if (next.ok())
            accepted.emplace(std::move(*next));
        return accepted.has_value();
    }));
    EXPECT_TRUE(eventually([&] {
        auto again = listener->accept(from);
        return !again.ok(); // exactly one connection
    }));
    accepted->close();
    EXPECT_TRUE(eventually([&] { return getRemoteInfo(*handle).linkState == 0; }));
}

TEST_F(ControlOverSockets, RefusedConnectionReachesTheUtilityAsConnectionRefused)
{
    auto handle = openPort(kProtocolTcp, 4103, 1); // nobody listens
    ASSERT_NE(handle, nullptr);
    const Reply reply = control(*handle, kIoctlConnection);
    EXPECT_EQ(reply.status, kStatusConnectionRefused);
    EXPECT_EQ(win32ErrorFromStatus(reply.status), kErrorConnectionRefused);
    EXPECT_EQ(getRemoteInfo(*handle).linkState, 0u);
    EXPECT_EQ(control(*handle, kIoctlDisconnection).status, kStatusInvalidDeviceState);
}
