#include "platform/event_loop.h"
#include "platform/faults.h"
#include "platform/tcp_socket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace {

constexpr platform::Ipv4 kLoopback = 0x7F000001;

// Polls until the condition holds (loopback delivers at once; the limit only
// guards against a hang).
template <typename Condition> bool eventually(Condition condition)
{
    for (int i = 0; i < 3000; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

struct Pair {
    platform::TcpListener listener;
    platform::TcpSocket client;
    platform::TcpSocket server;
};

Pair connectedPair()
{
    Pair pair;
    auto listener = platform::TcpListener::listen(kLoopback, 0);
    EXPECT_TRUE(listener.ok());
    pair.listener = std::move(*listener);
    auto client = platform::TcpSocket::open();
    EXPECT_TRUE(client.ok());
    pair.client = std::move(*client);
    EXPECT_TRUE(pair.client.connect(pair.listener.localEndpoint()).ok());
    platform::Endpoint peer;
    EXPECT_TRUE(eventually([&] {
        auto accepted = pair.listener.accept(peer);
        if (accepted.ok())
            pair.server = std::move(*accepted);
        return accepted.ok();
    }));
    EXPECT_TRUE(eventually([&] { return pair.client.finishConnect().ok(); }));
    EXPECT_EQ(peer, pair.client.localEndpoint());
    return pair;
}

} // namespace

TEST(TcpSocket, ListenerReadinessComesThroughTheLoop)
{
    platform::FakeClock clock;
    platform::VirtualLoop loop(clock);
    auto listener = platform::TcpListener::listen(kLoopback, 0);
    ASSERT_TRUE(listener.ok());
    int ready = 0;
    loop.watchFd(listener->fd(), platform::kIoRead, [&](unsigned) {
        platform::Endpoint peer;
        while (listener->accept(peer).ok())
            ++ready;
    });
    platform::Endpoint peer;
    auto none = listener->accept(peer);
    ASSERT_FALSE(none.ok());
    EXPECT_EQ(none.error().code, EAGAIN);
    auto client = platform::TcpSocket::open();
    ASSERT_TRUE(client.ok());
    ASSERT_TRUE(client->connect(listener->localEndpoint()).ok());
    EXPECT_TRUE(eventually([&] {
        loop.processPending();
        return ready == 1;
    }));
    loop.unwatchFd(listener->fd());
}

TEST(TcpSocket, BytesFlowAndAnOrderlyCloseReadsAsEnd)
{
    Pair pair = connectedPair();
    const std::uint8_t message[] = { 1, 2, 3, 0, 255 };
    ASSERT_EQ(pair.client.send(message).value(), sizeof message);
    std::uint8_t buffer[16];
    std::size_t got = 0;
    EXPECT_TRUE(eventually([&] {
        auto received = pair.server.receive(buffer);
        got = received.ok() ? *received : 0;
        return got > 0;
    }));
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + got), std::vector<std::uint8_t>(message, message + 5));
    pair.client.close();
    EXPECT_TRUE(eventually([&] {
        auto received = pair.server.receive(buffer);
        return received.ok() && *received == 0;
    }));
}

TEST(TcpSocket, ResetCloseIsSeenAsAReset)
{
    Pair pair = connectedPair();
    pair.server.closeReset();
    std::uint8_t buffer[16];
    platform::Error error;
    EXPECT_TRUE(eventually([&] {
        auto received = pair.client.receive(buffer);
        if (received.ok())
            return false;
        error = received.error();
        return error.code != EAGAIN;
    }));
    EXPECT_EQ(error.code, ECONNRESET);
}

TEST(TcpSocket, ConnectToAClosedPortFailsAndInjectedFaultsAreReported)
{
    auto probe = platform::TcpListener::listen(kLoopback, 0);
    ASSERT_TRUE(probe.ok());
    const platform::Endpoint closed = probe->localEndpoint();
    probe->close();
    auto socket = platform::TcpSocket::open();
    ASSERT_TRUE(socket.ok());
    auto started = socket->connect(closed);
    if (started.ok()) {
        ASSERT_EQ(*started, platform::TcpSocket::ConnectStatus::InProgress);
        EXPECT_TRUE(eventually([&] {
            auto finished = socket->finishConnect();
            return !finished.ok() && finished.error().code == ECONNREFUSED;
        }));
    } else {
        EXPECT_EQ(started.error().code, ECONNREFUSED);
    }

    platform::faults::failNth(platform::faults::Op::Bind, 1);
    EXPECT_FALSE(platform::TcpListener::listen(kLoopback, 0).ok());
    platform::faults::reset();
}
