// Programs run as processes of their own share a time kept in a file: what
// the test's writer moves on is what every reader sees, a reader's wait ends
// only when that time has passed, and the time stands still while a watched
// process works or is held still.

#include "platform/child_process.h"
#include "platform/file_clock.h"
#include "tests/support/eventually.h"
#include "tests/support/shared_idle_clock.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

using namespace std::chrono_literals;

namespace {

TEST(FileClock, ReadsTheTimeTheTestMovesOnAndRefusesWhatIsNoClock)
{
    testing_support::TempDir dir;
    testing_support::SharedIdleClock shared(dir.file("clock"), 1000);
    auto opened = platform::FileClock::open(dir.file("clock"));
    ASSERT_TRUE(opened) << opened.error().message;
    platform::FileClock& clock = *opened.value();
    // Nothing is watched: the time runs a thousand times faster than real.
    const auto start = clock.now();
    clock.sleepFor(2s);
    EXPECT_GE(clock.now() - start, 2s);
    EXPECT_LE(clock.now() - shared.now(), 0s) << "the reader is ahead of the file";

    dir.write("short", "1234");
    for (const char* name : { "short", "missing" }) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(platform::FileClock::open(dir.file(name)));
    }
}

TEST(SharedIdleClock, AWatchedProcessThatWorksOrIsHeldStopsTheTime)
{
    testing_support::TempDir dir;
    testing_support::SharedIdleClock clock(dir.file("clock"), 1000);
    auto busy = platform::ChildProcess::start({ "sh", "-c", "while :; do :; done" }, false);
    ASSERT_TRUE(busy) << busy.error().message;
    clock.watch(busy.value().pid());
    // A process that never sleeps: a few looks of the clock find it
    // running, and the time moves on by a few looks at most.
    auto before = clock.now();
    std::this_thread::sleep_for(200ms);
    EXPECT_LT(clock.now() - before, 200ms * 1000 / 4) << "the time passed while a watched process worked";
    // Held still, it holds the time altogether.
    ASSERT_EQ(::kill(busy.value().pid(), SIGSTOP), 0);
    std::this_thread::sleep_for(20ms);
    before = clock.now();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(clock.now(), before) << "the time passed while a watched process was held";
    busy.value().kill();
    // Gone, it holds nothing.
    EXPECT_TRUE(testing_support::eventually([&] { return clock.now() - before > 10s; }));
}

TEST(SharedIdleClock, StandsStillFromTheMomentAskedForUntilToldToGo)
{
    testing_support::TempDir dir;
    testing_support::SharedIdleClock clock(dir.file("clock"), 1000);
    const auto start = clock.now();
    clock.stopWhen([&] { return clock.now() - start > 5s; });
    ASSERT_TRUE(testing_support::eventually([&] { return clock.stopped(); }));
    const auto stoppedAt = clock.now();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(clock.now(), stoppedAt);
    clock.go();
    EXPECT_TRUE(testing_support::eventually([&] { return clock.now() > stoppedAt; }));
}

} // namespace
