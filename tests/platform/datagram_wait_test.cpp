#include "platform/datagram_wait.h"
#include "platform/text_file.h"

#include <gtest/gtest.h>

#include <thread>

#include <unistd.h>

using namespace std::chrono_literals;

namespace {

platform::UdpSocket openBound(std::uint16_t port = 0)
{
    auto opened = platform::UdpSocket::open();
    EXPECT_TRUE(opened);
    platform::UdpSocket socket = std::move(opened.value());
    EXPECT_TRUE(socket.setBroadcast(true));
    EXPECT_TRUE(socket.bind(0, port));
    return socket;
}

TEST(WaitReadable, SilenceTakesTheLimitInVirtualTime)
{
    platform::UdpSocket socket = openBound();
    platform::FakeClock clock;
    const auto begin = clock.now();
    const auto realBegin = std::chrono::steady_clock::now();
    auto ready = platform::waitReadable({ socket.fd() }, clock, 15s);
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready.value(), -1);
    EXPECT_GE(clock.now() - begin, 15s);
    EXPECT_LT(std::chrono::steady_clock::now() - realBegin, 5s);
}

TEST(WaitReadable, NamesTheSocketThatHasADatagram)
{
    platform::UdpSocket quiet = openBound();
    platform::UdpSocket busy = openBound();
    const std::uint8_t byte = 7;
    ASSERT_TRUE(quiet.sendTo({ 0x7F000001, busy.localEndpoint().port }, std::span(&byte, 1)));
    auto ready = platform::waitReadable({ quiet.fd(), busy.fd() }, platform::RealClock::instance(), 2s);
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready.value(), 1);
}

// A limited broadcast has no route in a namespace with only loopback; out of
// the arrival interface it gets there.
TEST(SendVia, LimitedBroadcastGoesOutOfTheNamedInterface)
{
    platform::UdpSocket receiver = openBound();
    ASSERT_TRUE(platform::enableArrivalInfo(receiver));
    platform::UdpSocket sender = openBound();
    const std::uint8_t bytes[] = { 1, 2, 3 };
    const platform::Endpoint broadcast { 0xFFFFFFFF, receiver.localEndpoint().port };
    const int lo = platform::interfaceIndex("lo");
    ASSERT_GT(lo, 0);
    ASSERT_TRUE(platform::sendVia(sender, broadcast, bytes, lo, 0x7F000001));
    auto ready = platform::waitReadable({ receiver.fd() }, platform::RealClock::instance(), 2s);
    ASSERT_TRUE(ready && ready.value() == 0);
    std::array<std::uint8_t, 8> buffer {};
    platform::Arrival arrival;
    auto got = platform::receiveWithArrival(receiver, buffer, arrival);
    ASSERT_TRUE(got);
    EXPECT_EQ(got.value(), 3u);
    EXPECT_EQ(arrival.interfaceIndex, lo);
    EXPECT_EQ(arrival.sender.address, 0x7F000001u);
}

TEST(StartDetached, RunsWithoutBeingWaitedFor)
{
    char name[] = "/tmp/detached-XXXXXX";
    const int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ::unlink(name);
    ASSERT_TRUE(platform::startDetached({ "sh", "-c", std::string("echo done > ") + name }));
    for (int i = 0; i < 200 && !platform::fileExists(name); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(platform::fileExists(name));
    ::unlink(name);
    // A program that does not exist fails quietly, after the fact.
    EXPECT_TRUE(platform::startDetached({ "/nonexistent/program" }));
}

} // namespace
