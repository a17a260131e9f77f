#include "platform/event_loop.h"
#include "platform/tcp_socket.h"
#include "sim/devsim/setup.h"
#include "sim/devsim/simulator.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>

using namespace std::chrono_literals;
using namespace sim::devsim;

namespace {

platform::Ipv4 ip(const char* text) { return *platform::parseIpv4(text); }

// Sends one request to a device's page and gathers the answer until the
// device closes the connection.
std::string fetch(platform::VirtualLoop& loop, const char* address, std::uint16_t port, const std::string& request)
{
    auto socket = platform::TcpSocket::open();
    EXPECT_TRUE(socket.ok());
    auto connected = socket->connect({ ip(address), port });
    EXPECT_TRUE(connected.ok());
    std::string answer;
    bool sent = false;
    bool closed = false;
    loop.runUntil(
        [&] {
            if (!sent) {
                auto n = socket->send({ reinterpret_cast<const std::uint8_t*>(request.data()), request.size() });
                sent = n.ok() && *n == request.size();
            }
            std::uint8_t buffer[4096];
            auto n = socket->receive(buffer);
            if (n.ok() && *n == 0)
                closed = true;
            else if (n.ok())
                answer.append(reinterpret_cast<const char*>(buffer), *n);
            return closed;
        },
        5s);
    EXPECT_TRUE(closed);
    return answer;
}

} // namespace

TEST(StatusPage, EachDeviceNamesItselfOnItsOwnAddressAndOnlyWhileRunning)
{
    platform::FakeClock clock;
    platform::VirtualLoop loop { clock };
    SimulatorOptions options;
    options.broadcastPort = 0;
    options.multicastPort = 0;
    options.unicastPort = 0;
    options.httpPort = 8080;
    Simulator simulator(loop, options);
    for (int i = 0; i < 2; ++i) {
        auto definition = defaultDevice(static_cast<std::size_t>(i), ip("127.0.0.10") + static_cast<platform::Ipv4>(i));
        if (i == 1)
            definition.settings.name = "<b>&x";
        simulator.addDevice(std::move(definition));
    }
    ASSERT_TRUE(simulator.start().ok());

    const std::string first = fetch(loop, "127.0.0.10", 8080, "GET / HTTP/1.1\r\nHost: 127.0.0.10\r\n\r\n");
    EXPECT_EQ(first.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << first;
    EXPECT_NE(first.find("<title>DS-0001</title>"), std::string::npos);
    EXPECT_NE(first.find("02:44:53:00:00:01"), std::string::npos);
    EXPECT_NE(first.find("127.0.0.10"), std::string::npos);
    const auto length = first.find("Content-Length: ");
    ASSERT_NE(length, std::string::npos);
    EXPECT_EQ(std::stoul(first.substr(length + 16)), first.size() - first.find("\r\n\r\n") - 4);

    const std::string second = fetch(loop, "127.0.0.11", 8080, "GET /index.html HTTP/1.0\r\n\r\n");
    EXPECT_NE(second.find("&lt;b&gt;&amp;x"), std::string::npos);
    EXPECT_EQ(second.find("<b>&x"), std::string::npos);

    // Gone while the device stops, as a rebooting device is gone.
    simulator.device(0).stop();
    EXPECT_FALSE(simulator.device(0).servingPage());
    auto socket = platform::TcpSocket::open();
    ASSERT_TRUE(socket.ok());
    auto refused = socket->connect({ ip("127.0.0.10"), 8080 });
    bool failed = !refused.ok();
    if (!failed) {
        loop.advance(10ms);
        failed = !socket->finishConnect().ok();
    }
    EXPECT_TRUE(failed);
}
