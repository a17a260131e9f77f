#include "platform/event_loop.h"
#include "platform/net.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include <unistd.h>

using namespace std::chrono_literals;
using platform::FakeClock;
using platform::VirtualLoop;

TEST(VirtualLoop, PeriodicTimersFireInTimeOrderUntilKilled)
{
    FakeClock clock;
    VirtualLoop loop(clock);
    std::vector<std::string> fired;
    const auto start = clock.now();
    std::vector<long> firedAt;
    auto fast = loop.startTimer(10ms, [&] {
        fired.push_back("fast");
        firedAt.push_back(clock.millisecondsSince(start));
    });
    loop.startTimer(25ms, [&] { fired.push_back("slow"); });
    loop.advance(50ms);
    EXPECT_EQ(fired, (std::vector<std::string> { "fast", "fast", "slow", "fast", "fast", "slow", "fast" }));
    EXPECT_EQ(firedAt, (std::vector<long> { 10, 20, 30, 40, 50 }));
    loop.killTimer(fast);
    EXPECT_FALSE(loop.timerActive(fast));
    fired.clear();
    loop.advance(50ms);
    EXPECT_EQ(fired, (std::vector<std::string> { "slow", "slow" }));
}

TEST(VirtualLoop, TimerMayKillItselfAndOthersFromItsCallback)
{
    FakeClock clock;
    VirtualLoop loop(clock);
    int selfCount = 0;
    int otherCount = 0;
    platform::TimerId self = 0;
    platform::TimerId other = loop.startTimer(10ms, [&] { ++otherCount; });
    self = loop.startTimer(10ms, [&] {
        ++selfCount;
        loop.killTimer(self);
        loop.killTimer(other);
    });
    loop.advance(100ms);
    EXPECT_EQ(selfCount, 1);
    EXPECT_EQ(otherCount, 1); // started first, so it fired first at 10 ms
}

TEST(VirtualLoop, TimerSetRestartsAnIdWithTheNewPeriod)
{
    FakeClock clock;
    VirtualLoop loop(clock);
    platform::TimerSet timers(loop);
    int a = 0;
    timers.start(1, 10ms, [&] { ++a; });
    loop.advance(35ms);
    EXPECT_EQ(a, 3);
    timers.start(1, 100ms, [&] { a += 100; });
    loop.advance(99ms);
    EXPECT_EQ(a, 3);
    loop.advance(1ms);
    EXPECT_EQ(a, 103);
    timers.kill(1);
    EXPECT_FALSE(timers.active(1));
}

TEST(VirtualLoop, PostedCallsAndReadySocketsRunBetweenTimers)
{
    FakeClock clock;
    VirtualLoop loop(clock);
    auto receiver = platform::UdpSocket::open();
    ASSERT_TRUE(receiver.ok());
    ASSERT_TRUE(receiver->bind("127.0.0.1", 0).ok());
    auto sender = platform::UdpSocket::open();
    ASSERT_TRUE(sender.ok());
    std::vector<std::string> order;
    loop.watchFd(receiver->fd(), platform::kIoRead, [&](unsigned) {
        std::uint8_t buffer[16];
        platform::Endpoint from;
        auto n = receiver->receiveFrom(buffer, from);
        if (n.ok())
            order.push_back("datagram " + std::string(reinterpret_cast<char*>(buffer), *n));
    });
    loop.startTimer(10ms, [&] {
        order.push_back("tick");
        if (order.size() == 2) { // "posted", then this first tick
            const std::uint8_t data[] = { 'h', 'i' };
            auto sent = sender->sendTo(receiver->localEndpoint(), data);
            ASSERT_TRUE(sent.ok()) << sent.error().message;
        }
    });
    std::thread([&] { loop.post([&] { order.push_back("posted"); }); }).join();
    loop.advance(20ms);
    EXPECT_EQ(order, (std::vector<std::string> { "posted", "tick", "datagram hi", "tick" }));
}

TEST(EpollLoop, RunsTimersPostsAndQuitsFromAnotherThread)
{
    auto loop = platform::makeEpollLoop();
    int ticks = 0;
    loop->startTimer(1ms, [&] {
        if (++ticks == 3)
            loop->post([&] { loop->quit(7); });
    });
    EXPECT_EQ(loop->run(), 7);
    EXPECT_GE(ticks, 3);

    std::thread stopper([&] { loop->quit(3); });
    EXPECT_EQ(loop->run(), 3);
    stopper.join();
}

// Callers renew a watch after every read or write; the loop tells the kernel
// only of a changed mask, yet every renewal's callback and mask must hold,
// and a descriptor number used again after an unwatch must be watched anew.
TEST(EpollLoop, RenewedWatchesTakeTheirNewCallbackAndMask)
{
    auto loop = platform::makeEpollLoop();
    auto once = [&](unsigned& seen) {
        seen = 0;
        loop->post([&] { loop->post([&] { loop->quit(0); }); });
        loop->run();
        return seen;
    };
    int pair[2];
    ASSERT_EQ(::pipe(pair), 0);
    ASSERT_EQ(::write(pair[1], "x", 1), 1);
    unsigned first = 0, second = 0;
    loop->watchFd(pair[0], platform::kIoRead, [&](unsigned events) { first |= events; });
    EXPECT_EQ(once(first), unsigned { platform::kIoRead });
    // The same mask with another callback: only the new one runs.
    loop->watchFd(pair[0], platform::kIoRead, [&](unsigned events) { second |= events; });
    first = 0;
    EXPECT_EQ(once(second), unsigned { platform::kIoRead });
    EXPECT_EQ(first, 0u);
    // Watched for writing only, the write end reports writable; back to
    // nothing asked, it reports nothing.
    unsigned writer = 0;
    loop->watchFd(pair[1], platform::kIoWrite, [&](unsigned events) { writer |= events; });
    EXPECT_EQ(once(writer) & platform::kIoWrite, unsigned { platform::kIoWrite });
    loop->watchFd(pair[1], 0, [&](unsigned events) { writer |= events; });
    EXPECT_EQ(once(writer), 0u);
    loop->unwatchFd(pair[1]);
    loop->unwatchFd(pair[0]);
    ::close(pair[0]);
    ::close(pair[1]);
    // The numbers come back for a new pipe: watched with the same mask as
    // before, it must still be told to the kernel.
    ASSERT_EQ(::pipe(pair), 0);
    ASSERT_EQ(::write(pair[1], "y", 1), 1);
    unsigned again = 0;
    loop->watchFd(pair[0], platform::kIoRead, [&](unsigned events) { again |= events; });
    EXPECT_EQ(once(again), unsigned { platform::kIoRead });
    loop->unwatchFd(pair[0]);
    ::close(pair[0]);
    ::close(pair[1]);
}

TEST(ClockWait, FakeClockWaitAdvancesVirtualTimeToTheLimit)
{
    FakeClock clock;
    std::mutex mutex;
    std::condition_variable condition;
    std::unique_lock lock(mutex);
    const auto start = clock.now();
    EXPECT_FALSE(clock.waitFor(condition, lock, 2s, [] { return false; }));
    EXPECT_GE(clock.now() - start, 2s);
    EXPECT_LT(clock.now() - start, 2s + 10ms);
}
