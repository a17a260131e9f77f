#include "common/serial_ioctl.h"
#include "driver/socket_transport.h"
#include "platform/child_process.h"
#include "tests/driver/port_harness.h"
#include "tests/driver/transport/loopback_peer.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>

using namespace common;
using namespace driver_testing;
using namespace std::chrono_literals;

namespace {

// socat and ser2net start in a moment; their own output says when socat is
// ready, and a child that dies is noticed at once.
bool waitForLine(platform::ChildProcess& child, const std::string& text)
{
    for (int i = 0; i < 50; ++i) {
        auto line = child.readLine(std::chrono::seconds(5));
        if (!line)
            return false;
        if (line.value().find(text) != std::string::npos)
            return true;
    }
    return false;
}

platform::ChildProcess startLogged(const std::string& command)
{
    auto child = platform::ChildProcess::start({ "sh", "-c", "exec " + command + " 2>&1" });
    EXPECT_TRUE(child) << command;
    return child ? std::move(child.value()) : platform::ChildProcess {};
}

class PeerPrograms : public testing::Test {
protected:
    std::unique_ptr<driver::host::FileHandle> addAndOpen(const PortSettings& settings)
    {
        EXPECT_EQ(m_harness.addPort("COM5", settings), kStatusSuccess);
        return m_harness.open("COM5");
    }
    driver::SocketTransport& transport()
    {
        return static_cast<driver::SocketTransport&>(*m_harness.port(11)->transport);
    }
    bool eventually(const std::function<bool()>& condition)
    {
        std::mutex mutex;
        std::condition_variable never;
        std::unique_lock lock(mutex);
        return m_harness.clock().waitFor(never, lock, 300s, condition);
    }
    // Reads until `length` bytes have come or nothing more comes.
    Bytes readBytes(driver::host::FileHandle& handle, std::size_t length)
    {
        Bytes out;
        eventually([&] {
            const auto reply = handle.read(length - out.size());
            out.insert(
                out.end(), reply.output.begin(), reply.output.begin() + static_cast<std::ptrdiff_t>(reply.information));
            return out.size() >= length;
        });
        return out;
    }

    driver::SocketTransports m_sockets;
    PortHarness m_harness { PortHarness::Options { nullptr, {}, true, &m_sockets, 2 } };
    testing_support::TempDir m_dir;
};

} // namespace

TEST_F(PeerPrograms, RawTcpPortThroughSer2netToASerialLine)
{
    constexpr std::uint16_t kSer2netPort = 47101;
    constexpr std::uint16_t kLinePort = 47102;
    const std::string tty = m_dir.file("tty");
    // socat makes the serial line: a pty whose other end is a TCP socket for the test.
    auto line = startLogged(
        "socat -d -d PTY,link=" + tty + ",rawer TCP-LISTEN:" + std::to_string(kLinePort) + ",bind=127.0.0.1,reuseaddr");
    ASSERT_TRUE(waitForLine(line, "listening on"));
    auto device = TcpPeer::connect(kLinePort);
    ASSERT_TRUE(device);

    m_dir.write("ser2net.yaml",
        "connection: &vorpil\n"
        "  accepter: tcp,127.0.0.1,"
            + std::to_string(kSer2netPort)
            + "\n"
              "  connector: serialdev,"
            + tty
            + ",115200n81,local\n"
              "  options:\n"
              "    kickolduser: true\n");
    // ser2net resolves its accepter with AI_ADDRCONFIG, which finds nothing
    // in a namespace with loopback alone; an address from the documentation
    // range on lo satisfies it. Nothing is ever sent to it.
    auto address = platform::ChildProcess::start({ "ip", "addr", "add", "192.0.2.1/32", "dev", "lo" }, false);
    ASSERT_TRUE(address);
    (void)address.value().wait(5s);
    auto ser2net = platform::ChildProcess::start({ "ser2net", "-n", "-d", "-c", m_dir.file("ser2net.yaml") });
    ASSERT_TRUE(ser2net);

    PortSettings settings;
    settings.remoteHost = "127.0.0.1";
    settings.remotePort = kSer2netPort;
    settings.cmdByte = 0;
    auto handle = addAndOpen(settings);
    ASSERT_NE(handle, nullptr);
    // ser2net takes a moment to listen; until then the connect is refused.
    NtStatus status = kStatusConnectionRefused;
    for (int i = 0; i < 250 && status == kStatusConnectionRefused; ++i) {
        status = transport().openAsClient();
        if (status == kStatusConnectionRefused) {
            ASSERT_FALSE(ser2net.value().wait(20ms)) << "ser2net ended";
        }
    }
    ASSERT_EQ(status, kStatusSuccess);

    const Bytes outgoing = patternBytes(4000);
    EXPECT_EQ(handle->write(outgoing).status, kStatusSuccess);
    EXPECT_EQ(device->receive(outgoing.size()), outgoing);

    const Bytes incoming = patternBytes(3000, 77);
    ASSERT_TRUE(device->send(incoming));
    EXPECT_EQ(readBytes(*handle, incoming.size()), incoming);
}

TEST_F(PeerPrograms, RawUdpPortThroughSocat)
{
    constexpr std::uint16_t kRelayPort = 47201;
    constexpr std::uint16_t kRelaySource = 47203;
    UdpPeer device;
    auto relay = startLogged("socat -d -d UDP4-LISTEN:" + std::to_string(kRelayPort) + ",bind=127.0.0.1,reuseaddr "
        + "UDP4-DATAGRAM:127.0.0.1:" + std::to_string(device.port())
        + ",bind=127.0.0.1:" + std::to_string(kRelaySource));
    ASSERT_TRUE(waitForLine(relay, "listening on"));

    PortSettings settings;
    settings.remoteHost = "127.0.0.1";
    settings.remotePort = kRelayPort;
    settings.protocol = 1;
    settings.cmdByte = 0;
    settings.maxPacketLen = 1472;
    settings.connectAtWinStart = 1;
    auto handle = addAndOpen(settings);
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(transport().connected());

    const Bytes outgoing = patternBytes(1400, 3);
    EXPECT_EQ(handle->write(outgoing).status, kStatusSuccess);
    auto datagram = device.receive();
    ASSERT_TRUE(datagram);
    EXPECT_EQ(datagram->bytes, outgoing);

    // Each datagram is read before the next one replaces it.
    for (std::size_t size : { 1u, 700u, 1472u }) {
        const Bytes incoming = patternBytes(size, static_cast<std::uint8_t>(size));
        ASSERT_TRUE(device.sendTo(kRelaySource, incoming));
        EXPECT_EQ(readBytes(*handle, incoming.size()), incoming) << size;
    }
}
