// The data channel of simulated devices, with real TCP and UDP sockets and
// real ptys, on a virtual-time loop.
#include "sim/devsim/setup.h"
#include "sim/devsim/simulator.h"
#include "tests/sim/devsim/data_peer.h"
#include "tests/sim/devsim/peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>

using namespace sim::devsim;
using namespace std::chrono_literals;
using devsim_test::Bytes;
using devsim_test::bytesOf;
using devsim_test::frame;
using devsim_test::header;
using devsim_test::ip;
using devsim_test::Peer;
using devsim_test::pumpUntil;
using devsim_test::SerialPeer;
using devsim_test::TcpPort;

namespace {

constexpr std::uint16_t kDataPort = 5000;

Bytes control(std::initializer_list<std::uint8_t> payload) { return frame(0x33, Bytes(payload)); }

class DataChannelTest : public ::testing::Test {
protected:
    void startDevice(const std::function<void(DeviceDefinition&)>& adjust = {})
    {
        SimulatorOptions options;
        options.broadcastPort = 0;
        options.multicastPort = 0;
        options.unicastPort = 0;
        options.reconnectTime = 2s;
        options.verbose = true;
        m_simulator
            = std::make_unique<Simulator>(m_loop, options, [this](const std::string& line) { m_log.push_back(line); });
        DeviceDefinition definition = defaultDevice(0, ip("127.0.0.10"));
        definition.settings.dataPort = kDataPort;
        if (adjust)
            adjust(definition);
        m_simulator->addDevice(std::move(definition));
        auto started = m_simulator->start();
        ASSERT_TRUE(started.ok()) << started.error().message;
    }

    Device& device() { return m_simulator->device(0); }
    platform::Endpoint dataEndpoint() const { return { ip("127.0.0.10"), kDataPort }; }

    void openSerial() { ASSERT_TRUE(m_serial.open(device().serialPath())) << device().serialPath(); }

    // Connects as the port and takes the modem status the device reports first.
    void connectFramed()
    {
        ASSERT_TRUE(m_port.connect(m_loop, dataEndpoint()));
        EXPECT_EQ(m_port.receivePacket(m_loop), control({ 0xA3, device().status().modemStatus }));
    }

    int queriedConnectionState()
    {
        m_peer.send(device().unicastEndpoint(), header(opcode::kQuery));
        auto replies = m_peer.collect(m_loop, 1);
        return replies.size() == 1 && replies[0].bytes.size() == 438 ? replies[0].bytes[69] : -1;
    }

    platform::FakeClock m_clock;
    platform::VirtualLoop m_loop { m_clock };
    std::vector<std::string> m_log;
    std::unique_ptr<Simulator> m_simulator;
    Peer m_peer;
    TcpPort m_port;
    SerialPeer m_serial;
};

TEST_F(DataChannelTest, FramedTcpCarriesDataPacketsBothWays)
{
    startDevice([](DeviceDefinition& definition) { definition.status.modemStatus = 0xB0; });
    openSerial();
    connectFramed();
    m_port.send(m_loop, frame(0x32, bytesOf("to the serial side")));
    EXPECT_EQ(m_serial.read(m_loop, 18), bytesOf("to the serial side"));

    m_serial.write(m_loop, bytesOf("from the peer"));
    EXPECT_EQ(m_port.receivePacket(m_loop), frame(0x32, bytesOf("from the peer")));
    EXPECT_EQ(device().status().serialTxCount, 18u);
    EXPECT_EQ(device().status().serialRxCount, 13u);
}

TEST_F(DataChannelTest, RawTcpCarriesBytesAsTheyAre)
{
    startDevice([](DeviceDefinition& definition) { definition.data.framing = false; });
    openSerial();
    ASSERT_TRUE(m_port.connect(m_loop, dataEndpoint()));
    // Bytes that look like packets are data here.
    const Bytes raw { 0x33, 0x00, 0x01, 0x13, 0x32, 0xFF };
    m_port.send(m_loop, raw);
    EXPECT_EQ(m_serial.read(m_loop, raw.size()), raw);
    m_serial.write(m_loop, bytesOf("plain"));
    EXPECT_EQ(m_port.receive(m_loop, 5), bytesOf("plain"));
    EXPECT_TRUE(m_port.drain(m_loop).empty()) << "no modem report without framing";
}

TEST_F(DataChannelTest, PacketsCutAnywhereAcrossDeliveriesArriveOnce)
{
    startDevice();
    openSerial();
    connectFramed();
    Bytes stream = frame(0x32, bytesOf("first"));
    const Bytes second = frame(0x32, bytesOf("second"));
    stream.insert(stream.end(), second.begin(), second.end());
    // Cut inside the header, right after it, inside the payload, and between packets.
    for (std::size_t cut : { 1u, 2u, 3u, 5u, 8u, 9u, 12u }) {
        SCOPED_TRACE("cut after " + std::to_string(cut));
        m_port.send(m_loop, Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut)));
        m_port.send(m_loop, Bytes(stream.begin() + static_cast<std::ptrdiff_t>(cut), stream.end()));
        EXPECT_EQ(m_serial.read(m_loop, 11), bytesOf("firstsecond"));
    }
}

TEST_F(DataChannelTest, HostileControlPacketsAreSkippedAndTheStreamStaysInStep)
{
    startDevice();
    openSerial();
    connectFramed();
    Bytes stream;
    for (const Bytes& part : {
             control({ 0x15, 0x01, 0x03, 0, 0, 0, 0, 0 }), // n = 8: skipped whole
             control({ 0x7E }), // unknown code
             control({ 0x15 }), // arguments missing
             control({}), // no code at all
             frame(0x41, bytesOf("junk")), // unknown type, skipped by its length
             frame(0x31, {}), // greeting and farewell mean nothing on a connection
             frame(0x30, {}),
             frame(0x32, bytesOf("still here")),
         })
        stream.insert(stream.end(), part.begin(), part.end());
    const SerialState before = device().serialState();
    m_port.send(m_loop, stream);
    EXPECT_EQ(m_serial.read(m_loop, 10), bytesOf("still here"));
    EXPECT_EQ(device().serialState(), before);
}

TEST_F(DataChannelTest, ControlPacketsSetTheEmulatedSerialPort)
{
    struct Case {
        Bytes packet;
        std::function<void(SerialState&)> expect;
    };
    const Case cases[] = {
        { control({ 0x15, 0x01, 0x03 }), [](SerialState& s) { s.baud = 115200, s.dataBits = 8; } },
        { control({ 0x19, 0x1E }),
            [](SerialState& s) { s.dataBits = 7, s.parity = ParityMode::Even, s.stopBits = StopBits::Two; } },
        { control({ 0x15, 0x08, 0x0C }),
            [](SerialState& s) {
                s.baud = 1200, s.dataBits = 5, s.parity = ParityMode::Odd, s.stopBits = StopBits::OneAndHalf;
            } },
        { control({ 0x15, 0x09, 0x3B }), // unknown baud code: the rate stays
            [](SerialState& s) { s.dataBits = 8, s.parity = ParityMode::Space, s.stopBits = StopBits::One; } },
        { control({ 0x24, 0x01 }), [](SerialState& s) { s.flow = FlowMode::Hardware; } },
        { control({ 0x24, 0x07 }), [](SerialState&) {} },
        { control({ 0x17 }), [](SerialState& s) { s.breakOn = true; } },
        { control({ 0x18, 0xC7 }), [](SerialState& s) { s.fifoControl = 0xC7; } },
    };
    startDevice([](DeviceDefinition& definition) { definition.settings.baudCode = 5; });
    openSerial();
    connectFramed();
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.packet));
        SerialState expected = device().serialState();
        c.expect(expected);
        m_port.send(m_loop, c.packet);
        EXPECT_EQ(device().serialState(), expected) << describe(device().serialState());
    }
    // The pty shows the rate and format the port set last.
    auto shown = m_serial.port().settings();
    ASSERT_TRUE(shown.ok());
    EXPECT_EQ(shown->baud, 1200u);
    EXPECT_EQ(shown->dataBits, 8);
}

TEST_F(DataChannelTest, ModemStatusIsReportedOnRequestAndOnChange)
{
    startDevice([](DeviceDefinition& definition) { definition.status.modemStatus = 0x80; });
    connectFramed();
    // Set DTR, set RTS: each answered with the status.
    m_port.send(m_loop, control({ 0x13 }));
    EXPECT_EQ(m_port.receivePacket(m_loop), control({ 0xA3, 0x80 }));
    m_port.send(m_loop, control({ 0x14 }));
    EXPECT_EQ(m_port.receivePacket(m_loop), control({ 0xA3, 0x80 }));
    EXPECT_TRUE(device().serialState().dtr && device().serialState().rts);

    // The serial peer raises CTS and DSR and drops DCD: one event with the
    // change bits and the device's DTR and RTS.
    device().setModemInputs(0x30);
    EXPECT_EQ(m_port.receivePacket(m_loop), control({ 0x81, 0x3B, 0x03 }));
    // The same lines again are no change.
    device().setModemInputs(0x30);
    m_port.send(m_loop, control({ 0x11 }));
    EXPECT_EQ(m_port.receivePacket(m_loop), control({ 0xA3, 0x30 }));
    EXPECT_EQ(device().status().modemStatus, 0x30);
}

TEST_F(DataChannelTest, EchoPlugLoopsDataAndModemLinesBack)
{
    startDevice([](DeviceDefinition& definition) { definition.data.serial = SerialMode::Echo; });
    EXPECT_EQ(device().serialPath(), "echo");
    connectFramed();
    m_port.send(m_loop, control({ 0x14 })); // RTS on: CTS follows
    EXPECT_EQ(m_port.receivePacket(m_loop), control({ 0x81, 0x11, 0x02 }));
    EXPECT_EQ(m_port.receivePacket(m_loop), control({ 0xA3, 0x10 }));

    // Half a megabyte through the loop, in maximum-size packets, comes back
    // whole and in order although the port reads only at the end.
    Bytes sent;
    for (int i = 0; i < 8; ++i) {
        Bytes payload(0xFFFF);
        for (std::size_t j = 0; j < payload.size(); ++j)
            payload[j] = static_cast<std::uint8_t>((j * 7 + static_cast<std::size_t>(i)) & 0xFF);
        sent.insert(sent.end(), payload.begin(), payload.end());
        m_port.send(m_loop, frame(0x32, payload));
    }
    Bytes echoed;
    while (echoed.size() < sent.size()) {
        const Bytes got = m_port.receivePacket(m_loop);
        ASSERT_GE(got.size(), 3u);
        ASSERT_EQ(got[0], 0x32);
        echoed.insert(echoed.end(), got.begin() + 3, got.end());
    }
    EXPECT_TRUE(echoed == sent);
}

TEST_F(DataChannelTest, PortThatDoesNotReadIsSlowedDownNotBufferedWithoutLimit)
{
    startDevice([](DeviceDefinition& definition) {
        definition.data.serial = SerialMode::Echo;
        definition.data.framing = false;
    });
    ASSERT_TRUE(m_port.connect(m_loop, dataEndpoint()));
    Bytes pattern(65536);
    for (std::size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    // The port writes without reading. Once the kernel buffers are full the
    // device must stop taking bytes whose echo it cannot send.
    constexpr std::size_t kLimit = 64u << 20;
    std::size_t sent = 0;
    for (int idle = 0; sent < kLimit && idle < 300;) {
        m_loop.processPending();
        auto written = m_port.socket().send(std::span<const std::uint8_t>(pattern).subspan(sent % pattern.size()));
        if (written.ok() && *written > 0) {
            sent += *written;
            idle = 0;
        } else {
            ++idle;
            std::this_thread::sleep_for(200us);
        }
    }
    EXPECT_LT(sent, kLimit);
    // Reading again lets everything through, whole and in order.
    const Bytes echoed = m_port.receive(m_loop, sent);
    ASSERT_EQ(echoed.size(), sent);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < sent; ++i)
        wrong += echoed[i] != pattern[i % pattern.size()];
    EXPECT_EQ(wrong, 0u);
}

TEST_F(DataChannelTest, StopAndResumeHoldTheDevicesOutput)
{
    startDevice([](DeviceDefinition& definition) { definition.data.serial = SerialMode::Echo; });
    connectFramed();
    m_port.send(m_loop, control({ 0x21, 0x11 }));
    m_port.send(m_loop, frame(0x32, bytesOf("held")));
    EXPECT_TRUE(m_port.drain(m_loop).empty());
    EXPECT_TRUE(device().serialState().stopped);
    m_port.send(m_loop, control({ 0x22, 0x11 }));
    EXPECT_EQ(m_port.receivePacket(m_loop), frame(0x32, bytesOf("held")));
}

TEST_F(DataChannelTest, ConnectionStateFollowsTheTcpConnection)
{
    startDevice();
    EXPECT_EQ(queriedConnectionState(), 0);
    connectFramed();
    EXPECT_EQ(queriedConnectionState(), 1);
    m_port.socket().close();
    EXPECT_TRUE(pumpUntil(m_loop, [&] { return device().status().connectionState == 0; }));
    EXPECT_EQ(queriedConnectionState(), 0);
}

TEST_F(DataChannelTest, SecondTcpConnectionIsResetWhileTheFirstIsServed)
{
    startDevice();
    openSerial();
    connectFramed();
    TcpPort second;
    ASSERT_TRUE(second.connect(m_loop, dataEndpoint()));
    EXPECT_TRUE(second.closedByDevice(m_loop));
    m_serial.write(m_loop, bytesOf("x"));
    EXPECT_EQ(m_port.receivePacket(m_loop), frame(0x32, bytesOf("x")));
}

TEST_F(DataChannelTest, RestartResetsTheConnectionAndKeepsThePty)
{
    startDevice();
    const std::string path = device().serialPath();
    connectFramed();
    // SetConfig with the device's own settings makes it restart.
    auto request = encodeDeviceConfig(device().settings(), opcode::kSetConfig, 0);
    m_peer.send(device().unicastEndpoint(), request);
    EXPECT_TRUE(m_port.closedByDevice(m_loop));
    EXPECT_EQ(device().status().connectionState, 0);
    m_loop.advance(5s);
    EXPECT_EQ(device().state(), Device::State::Running);
    EXPECT_EQ(device().serialPath(), path);
    TcpPort again;
    EXPECT_TRUE(again.connect(m_loop, dataEndpoint()));
}

TEST_F(DataChannelTest, FramedUdpAnswersHelloAndForgetsThePeerAtBye)
{
    startDevice([](DeviceDefinition& definition) {
        definition.settings.tcpData = false;
        definition.settings.udpData = true;
    });
    openSerial();
    Peer port;
    port.send(dataEndpoint(), frame(0x31, {}));
    auto answers = port.collect(m_loop, 2);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].bytes, frame(0x31, {}));
    EXPECT_EQ(answers[0].from, dataEndpoint());
    EXPECT_EQ(answers[1].bytes, control({ 0xA3, 0x00 }));
    EXPECT_EQ(queriedConnectionState(), 1);

    port.send(dataEndpoint(), frame(0x32, bytesOf("over udp")));
    EXPECT_EQ(m_serial.read(m_loop, 8), bytesOf("over udp"));
    m_serial.write(m_loop, bytesOf("back"));
    auto data = port.collect(m_loop, 1);
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(data[0].bytes, frame(0x32, bytesOf("back")));

    // A bye from someone else is not the peer's.
    Peer stranger;
    stranger.send(dataEndpoint(), frame(0x30, {}));
    stranger.drain(m_loop);
    EXPECT_EQ(device().status().connectionState, 1);

    port.send(dataEndpoint(), frame(0x30, {}));
    EXPECT_TRUE(pumpUntil(m_loop, [&] { return device().status().connectionState == 0; }));
    m_serial.write(m_loop, bytesOf("lost"));
    EXPECT_TRUE(port.drain(m_loop).empty());
    EXPECT_EQ(queriedConnectionState(), 0);
}

TEST_F(DataChannelTest, RawUdpAnswersTheLastSender)
{
    startDevice([](DeviceDefinition& definition) {
        definition.settings.tcpData = false;
        definition.settings.udpData = true;
        definition.data.framing = false;
    });
    openSerial();
    Peer first;
    Peer second;
    first.send(dataEndpoint(), bytesOf("one"));
    second.send(dataEndpoint(), { 0x31, 0x00, 0x00 });
    EXPECT_EQ(m_serial.read(m_loop, 6), (Bytes { 'o', 'n', 'e', 0x31, 0x00, 0x00 }));
    m_serial.write(m_loop, bytesOf("reply"));
    auto got = second.collect(m_loop, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].bytes, bytesOf("reply"));
    EXPECT_TRUE(first.drain(m_loop).empty());
}

TEST_F(DataChannelTest, TcpClientConnectsToItsDestinationAndKeepsTrying)
{
    const std::uint16_t port = 6100;
    startDevice([&](DeviceDefinition& definition) {
        definition.settings.clientMode = true;
        definition.settings.destinationHost = "127.0.0.1";
        definition.settings.destinationPort = port;
    });
    openSerial();
    // Nobody listens yet: the first try fails, the next one comes after the
    // reconnect time.
    m_loop.processPending();
    auto listener = platform::TcpListener::listen(ip("127.0.0.1"), port);
    ASSERT_TRUE(listener.ok());
    platform::Endpoint from;
    m_loop.advance(1s);
    EXPECT_FALSE(listener->accept(from).ok()) << "tried again before the reconnect time";
    m_loop.advance(1s);
    ASSERT_TRUE(pumpUntil(m_loop, [&] {
        auto accepted = listener->accept(from);
        if (accepted.ok())
            m_port.adopt(std::move(*accepted));
        return accepted.ok();
    }));
    EXPECT_EQ(from.address, ip("127.0.0.10")) << "connects from its own address";
    EXPECT_EQ(m_port.receivePacket(m_loop), control({ 0xA3, 0x00 }));
    EXPECT_EQ(device().status().connectionState, 1);
    m_port.send(m_loop, frame(0x32, bytesOf("hi")));
    EXPECT_EQ(m_serial.read(m_loop, 2), bytesOf("hi"));

    // The server drops it: the device is idle, then connects again.
    m_port.socket().closeReset();
    EXPECT_TRUE(pumpUntil(m_loop, [&] { return device().status().connectionState == 0; }));
    m_loop.advance(2s);
    EXPECT_TRUE(pumpUntil(m_loop, [&] { return listener->accept(from).ok(); }));
}

TEST_F(DataChannelTest, FramedUdpClientGreetsItsDestination)
{
    Peer server;
    const platform::Endpoint where = server.socket().localEndpoint();
    startDevice([&](DeviceDefinition& definition) {
        definition.settings.clientMode = true;
        definition.settings.tcpData = false;
        definition.settings.udpData = true;
        definition.settings.destinationAddress = where.address;
        definition.settings.destinationPort = where.port;
    });
    auto greeting = server.collect(m_loop, 2);
    ASSERT_EQ(greeting.size(), 2u);
    EXPECT_EQ(greeting[0].bytes, frame(0x31, {}));
    EXPECT_EQ(greeting[0].from, dataEndpoint());
    // The server's answering hello is not answered again.
    server.send(dataEndpoint(), frame(0x31, {}));
    EXPECT_TRUE(server.drain(m_loop).empty());
    EXPECT_EQ(device().status().connectionState, 1);
}

} // namespace
