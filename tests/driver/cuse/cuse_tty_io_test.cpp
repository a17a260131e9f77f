// How a serial character device's reads wait (VMIN/VTIME) and what its
// writes do (O_NONBLOCK, signals, drains), in made-up time.
#include "driver/host/cuse_tty_io.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace driver::host;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

const TtyRead::TimePoint kStart {};

} // namespace

// The four cases of non-canonical mode, each with bytes arriving at given
// times: when the read is answered and with how many bytes.
TEST(TtyReadRules, VminAndVtimeDecideWhenAReadIsAnswered)
{
    struct Arrival {
        std::chrono::milliseconds at;
        std::size_t count;
    };
    struct Case {
        const char* what;
        TtyReadRule rule;
        std::size_t size;
        std::vector<Arrival> arrivals;
        std::chrono::milliseconds answeredAt; // -1: still waiting at 60 s
        std::size_t bytes;
    };
    const Case cases[] = {
        { "MIN 0 TIME 0, nothing there: 0 bytes at once", { 0, 0 }, 64, {}, 0ms, 0 },
        { "MIN 0 TIME 0, bytes there: them at once", { 0, 0 }, 64, { { 0ms, 3 } }, 0ms, 3 },
        { "MIN 0 TIME 10, nothing comes: 0 bytes after 1 s", { 0, 10 }, 64, {}, 1000ms, 0 },
        { "MIN 0 TIME 10, a byte at 0.4 s: answered then", { 0, 10 }, 64, { { 400ms, 1 } }, 400ms, 1 },
        { "MIN 4 TIME 0, 2 then 2: answered with 4 when the second pair comes", { 4, 0 }, 64,
            { { 10ms, 2 }, { 5000ms, 2 } }, 5000ms, 4 },
        { "MIN 4 TIME 0, only 2 come: waits", { 4, 0 }, 64, { { 10ms, 2 } }, -1ms, 2 },
        { "MIN 4 TIME 0, a read of 2 asks for no more than 2", { 4, 0 }, 2, { { 10ms, 2 } }, 10ms, 2 },
        { "MIN 10 TIME 3, nothing comes: no time limit before the first byte", { 10, 3 }, 64, {}, -1ms, 0 },
        { "MIN 10 TIME 3, 3 bytes then silence: 0.3 s after the last", { 10, 3 }, 64,
            { { 2000ms, 1 }, { 2200ms, 1 }, { 2400ms, 1 } }, 2700ms, 3 },
        { "MIN 10 TIME 3, 10 bytes in gaps under 0.3 s: at the tenth", { 10, 3 }, 64,
            { { 100ms, 4 }, { 350ms, 4 }, { 600ms, 2 } }, 600ms, 10 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TtyRead read(c.size, c.rule, kStart);
        std::size_t next = 0;
        std::optional<std::chrono::milliseconds> answered;
        // Steps of 10 ms, as an event loop woken by arrivals and deadlines would look.
        for (auto at = 0ms; at <= 60s && !answered; at += 10ms) {
            while (next < c.arrivals.size() && c.arrivals[next].at <= at)
                read.take(Bytes(c.arrivals[next++].count, 'x'), kStart + at);
            if (read.done(kStart + at))
                answered = at;
            else if (const auto limit = read.deadline()) {
                EXPECT_GT(*limit, kStart + at) << "a deadline that passed did not answer the read";
            }
        }
        if (c.answeredAt < 0ms) {
            EXPECT_FALSE(answered.has_value()) << "answered at " << answered->count() << " ms";
        } else {
            EXPECT_EQ(answered, c.answeredAt);
        }
        EXPECT_EQ(read.bytes().size(), c.bytes);
    }
}

TEST(TtyReadRules, AReadTakesNoMoreThanItsSize)
{
    TtyRead read(4, { 1, 0 }, kStart);
    read.take(Bytes { 1, 2, 3, 4, 5, 6 }, kStart);
    EXPECT_EQ(read.bytes(), (Bytes { 1, 2, 3, 4 }));
    EXPECT_EQ(read.room(), 0u);
    EXPECT_TRUE(read.done(kStart));
}

// O_NONBLOCK writes take what fits and are answered at once; what waits
// is answered when its bytes went, with EINTR or the count on a signal.
TEST(TtyOutputQueue, NonBlockingWritesTakeWhatFitsAndThePollKnowsWhenThereIsRoom)
{
    TtyOutput output(4096);
    EXPECT_EQ(output.put(Bytes(8192, 'a')), 4096u) << "an 8 KiB write takes the room there is";
    EXPECT_EQ(output.room(), 0u);
    EXPECT_EQ(output.put(Bytes(10, 'b')), 0u) << "nothing fits: EAGAIN";
    EXPECT_EQ(output.queued(), 4096u);
    auto slice = output.next(96);
    EXPECT_EQ(slice.size(), 96u);
    EXPECT_TRUE(output.sent(slice.size(), 0).empty()) << "nobody waits for O_NONBLOCK bytes";
    EXPECT_EQ(output.room(), 96u);
    EXPECT_FALSE(output.writable()) << "a UART's poll waits until fewer than 256 bytes are left";
    EXPECT_EQ(output.put(Bytes(200, 'c')), 96u);
    (void)output.sent(output.next(4096 - 256).size(), 0);
    EXPECT_EQ(output.queued(), 256u);
    EXPECT_FALSE(output.writable());
    (void)output.sent(output.next(1).size(), 0);
    EXPECT_TRUE(output.writable()) << "255 bytes left";
    while (!output.next(1000).empty())
        (void)output.sent(output.next(1000).size(), 0);
    EXPECT_EQ(output.queued(), 0u);
    EXPECT_EQ(output.room(), 4096u);
    EXPECT_TRUE(output.writable());
}

TEST(TtyOutputQueue, ABlockingWriteIsAnsweredWhenItsBytesWentOrWithWhatWentOnASignal)
{
    TtyOutput output(4096);
    output.putWaiting(1, Bytes(300, 'a'));
    output.putWaiting(2, Bytes(300, 'b'));
    EXPECT_EQ(output.room(), 3496u);
    EXPECT_TRUE(output.sent(100, 0).empty());
    EXPECT_EQ(output.waiting(), (std::vector<std::uint64_t> { 1, 2 }));
    // A signal for the first after 100 bytes: it says 100; the second never began: EINTR.
    EXPECT_EQ(output.interrupt(1), (TtyOutput::Answer { 1, TtyOutput::Kind::Write, 0, 100 }));
    EXPECT_EQ(output.interrupt(2), (TtyOutput::Answer { 2, TtyOutput::Kind::Write, EINTR, 0 }));
    EXPECT_EQ(output.interrupt(2), std::nullopt) << "answered once";
    EXPECT_TRUE(output.empty());
    EXPECT_EQ(output.queued(), 0u);

    output.putWaiting(3, Bytes(50, 'c'));
    EXPECT_EQ(output.next(1000).size(), 50u);
    EXPECT_EQ(output.sent(50, 0), (std::vector<TtyOutput::Answer> { { 3, TtyOutput::Kind::Write, 0, 50 } }));

    // A port that fails part-way: the count that went, or the error when none did.
    output.putWaiting(4, Bytes(50, 'd'));
    output.putWaiting(5, Bytes(50, 'e'));
    EXPECT_EQ(output.sent(20, EIO), (std::vector<TtyOutput::Answer> { { 4, TtyOutput::Kind::Write, 0, 20 } }));
    EXPECT_EQ(output.sent(0, EIO), (std::vector<TtyOutput::Answer> { { 5, TtyOutput::Kind::Write, EIO, 0 } }));
    EXPECT_EQ(output.queued(), 0u);
}

TEST(TtyOutputQueue, ADrainWaitsForTheBytesBeforeItAndAFlushDropsWhatNobodyWaitsFor)
{
    TtyOutput output(4096);
    EXPECT_EQ(output.put(Bytes(100, 'a')), 100u);
    output.putBarrier(7);
    output.putWaiting(8, Bytes(10, 'b'));
    EXPECT_TRUE(output.reached().empty()) << "bytes before the drain have not gone";
    (void)output.sent(60, 0);
    EXPECT_TRUE(output.reached().empty());
    (void)output.sent(40, 0);
    EXPECT_EQ(output.reached(), (std::vector<TtyOutput::Answer> { { 7, TtyOutput::Kind::Barrier, 0, 0 } }));
    EXPECT_EQ(output.next(100).size(), 10u) << "the write after the drain comes next";

    // TCOFLUSH: the O_NONBLOCK bytes go, a blocking write behind them stays.
    TtyOutput flushed(4096);
    EXPECT_EQ(flushed.put(Bytes(100, 'a')), 100u);
    (void)flushed.sent(30, 0);
    flushed.putWaiting(9, Bytes(5, 'w'));
    flushed.dropUnanswered();
    EXPECT_EQ(flushed.queued(), 5u);
    EXPECT_TRUE(flushed.reached().empty());
    EXPECT_EQ(flushed.next(100).size(), 5u);
    // A drain interrupted by a signal is answered with EINTR.
    flushed.putBarrier(10);
    EXPECT_EQ(flushed.interrupt(10), (TtyOutput::Answer { 10, TtyOutput::Kind::Barrier, EINTR, 0 }));
}

// A killed program's last close comes with an interrupt: the close still
// happens, at once, and what nobody waits for is dropped with it.
TEST(TtyOutputQueue, AnInterruptedLastCloseIsReachedAtOnce)
{
    TtyOutput output(4096);
    EXPECT_EQ(output.put(Bytes(100, 'a')), 100u);
    (void)output.sent(30, 0);
    output.putBarrier(11, true);
    EXPECT_TRUE(output.reached().empty()) << "it waits for the output as a close does";
    EXPECT_EQ(output.interrupt(11), (TtyOutput::Answer { 11, TtyOutput::Kind::Barrier, 0, 0 }));
    EXPECT_TRUE(output.reached().empty());
    EXPECT_TRUE(output.empty());
    EXPECT_EQ(output.queued(), 0u);
}
