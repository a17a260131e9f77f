// A port's pseudo-terminal as programs use it: what they do arrives in
// order, a close is the terminal hanging up whoever held it, and one watch
// serves many terminals.
#include "driver/host/pty_port.h"
#include "driver/host/terminal_watch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using driver::host::PtyEvent;
using driver::host::PtyEventKind;
using driver::host::PtyPort;
using driver::host::PtyWait;
using driver::host::TerminalWatch;

namespace {

std::unique_ptr<PtyPort> makePty()
{
    std::unique_ptr<PtyPort> pty;
    std::string error;
    EXPECT_TRUE(common::ntSuccess(PtyPort::create(pty, -1, error))) << error;
    return pty;
}

// Events until `last` arrives (or a few seconds pass).
std::vector<PtyEvent> eventsUntil(PtyPort& pty, PtyEventKind last, const PtyWait& wait)
{
    std::vector<PtyEvent> events;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        PtyWait bounded = wait;
        bounded.limitMs = 100;
        const std::size_t before = events.size();
        EXPECT_TRUE(pty.waitEvents(events, bounded));
        for (std::size_t i = before; i < events.size(); ++i)
            if (events[i].kind == last)
                return events;
    }
    return events;
}

std::vector<PtyEventKind> kinds(const std::vector<PtyEvent>& events)
{
    std::vector<PtyEventKind> out;
    for (const auto& event : events)
        if (event.kind != PtyEventKind::Woken)
            out.push_back(event.kind);
    return out;
}

} // namespace

TEST(PtyPort, OpenSettingsBytesAndCloseArriveInTheOrderTheProgramGaveThem)
{
    auto pty = makePty();
    std::string error;
    auto watch = TerminalWatch::create(error);
    ASSERT_TRUE(watch) << error;
    ASSERT_GE(watch->add(
                  pty->slavePath(), [&] { pty->noteOpened(); }, error),
        0)
        << error;

    const int program = ::open(pty->slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(program, 0);
    auto opened = eventsUntil(*pty, PtyEventKind::Opened, { -1, false, false, false });
    ASSERT_EQ(kinds(opened), std::vector { PtyEventKind::Opened });
    EXPECT_TRUE(pty->programPresent());

    termios attributes {};
    ASSERT_EQ(::tcgetattr(program, &attributes), 0);
    ::cfsetospeed(&attributes, B19200);
    ASSERT_EQ(::tcsetattr(program, TCSANOW, &attributes), 0);
    ASSERT_EQ(::write(program, "abc", 3), 3);
    ASSERT_EQ(::close(program), 0);

    PtyWait reading;
    reading.hangUp = true;
    const auto events = eventsUntil(*pty, PtyEventKind::Closed, reading);
    ASSERT_EQ(kinds(events), (std::vector { PtyEventKind::Settings, PtyEventKind::Data, PtyEventKind::Closed }));
    EXPECT_EQ(events[0].settings.baudRate, 19200u);
    EXPECT_EQ(events[1].data, (std::vector<std::uint8_t> { 'a', 'b', 'c' }));
    EXPECT_FALSE(pty->programPresent());
}

// The holder runs as another user, whose descriptors this process need not
// be able to see: the terminal itself says when it is gone.
TEST(PtyPort, AHolderOfAnotherUserIsPresentUntilItsLastClose)
{
    auto pty = makePty();
    ASSERT_EQ(::chmod(pty->slavePath().c_str(), 0666), 0);
    int release[2];
    ASSERT_EQ(::pipe(release), 0);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(3);
        const int fd = ::open(pty->slavePath().c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0)
            ::_exit(4);
        const int copy = ::dup(fd); // two descriptors: only the last close counts
        char byte = 1;
        (void)!::write(ready[1], &byte, 1);
        (void)!::read(release[0], &byte, 1);
        ::close(fd);
        (void)!::read(release[0], &byte, 1);
        ::close(copy);
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    EXPECT_TRUE(pty->programPresent());
    ASSERT_EQ(::write(release[1], "x", 1), 1);
    PtyWait watching;
    watching.hangUp = true;
    std::vector<PtyEvent> events;
    ASSERT_TRUE(pty->waitEvents(events, { 200, true, true, false }));
    EXPECT_TRUE(kinds(events).empty()) << "one descriptor is still open";
    EXPECT_TRUE(pty->programPresent());
    ASSERT_EQ(::write(release[1], "x", 1), 1);
    events = eventsUntil(*pty, PtyEventKind::Closed, watching);
    EXPECT_EQ(kinds(events), std::vector { PtyEventKind::Closed });
    int status = 0;
    ASSERT_EQ(::waitpid(holder, &status, 0), holder);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    for (int fd : { release[0], release[1], ready[0], ready[1] })
        ::close(fd);
}

TEST(PtyPort, WhatOneProgramLeftUnreadIsNotTheNextOnes)
{
    auto pty = makePty();
    int program = ::open(pty->slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(program, 0);
    const std::vector<std::uint8_t> stale { 's', 't', 'a', 'l', 'e' };
    ASSERT_EQ(pty->writeSome(stale), stale.size());
    ASSERT_EQ(::write(program, "kept", 4), 4);
    ::close(program);
    pty->discardTerminalInput();
    std::vector<PtyEvent> unread;
    pty->pendingEvents(unread);
    ASSERT_EQ(kinds(unread), (std::vector { PtyEventKind::Data, PtyEventKind::Closed }))
        << "the program's own bytes are kept, and the flush is not the program's";
    EXPECT_EQ(unread[0].data, (std::vector<std::uint8_t> { 'k', 'e', 'p', 't' }));
    program = ::open(pty->slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(program, 0);
    char buffer[16];
    EXPECT_EQ(::read(program, buffer, sizeof buffer), -1) << "stale bytes reached the next program";
    ::close(program);
}

// One program writes and closes, the next opens and changes the rate before
// the first one's bytes were read: those bytes were written before the
// change, and come before it, once the watch has told the close.
TEST(PtyPort, BytesLeftByAProgramThatClosedComeBeforeTheNextOnesSettings)
{
    auto pty = makePty();
    std::string error;
    auto watch = TerminalWatch::create(error);
    ASSERT_TRUE(watch) << error;
    std::atomic<int> closes { 0 };
    ASSERT_GE(watch->add(
                  pty->slavePath(), [] {},
                  [&] {
                      pty->noteClosed();
                      ++closes;
                  },
                  error),
        0)
        << error;
    const int first = ::open(pty->slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(first, 0);
    termios raw {};
    ASSERT_EQ(::tcgetattr(first, &raw), 0);
    ::cfmakeraw(&raw);
    ASSERT_EQ(::tcsetattr(first, TCSANOW, &raw), 0);
    std::vector<PtyEvent> setup;
    pty->pendingEvents(setup);
    ASSERT_EQ(::write(first, "first", 5), 5);
    ASSERT_EQ(::close(first), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (closes.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GT(closes.load(), 0) << "the watch told no close";

    const int second = ::open(pty->slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(second, 0);
    termios attributes {};
    ASSERT_EQ(::tcgetattr(second, &attributes), 0);
    ::cfsetospeed(&attributes, B19200);
    ASSERT_EQ(::tcsetattr(second, TCSANOW, &attributes), 0);
    ASSERT_EQ(::write(second, "second", 6), 6);

    std::vector<PtyEvent> events;
    pty->pendingEvents(events);
    ASSERT_EQ(kinds(events), (std::vector { PtyEventKind::Data, PtyEventKind::Settings, PtyEventKind::Data }));
    EXPECT_EQ(events[0].data, (std::vector<std::uint8_t> { 'f', 'i', 'r', 's', 't' }));
    EXPECT_EQ(events[1].settings.baudRate, 19200u);
    EXPECT_EQ(events[2].data, (std::vector<std::uint8_t> { 's', 'e', 'c', 'o', 'n', 'd' }));
    ::close(second);
}

// A second program blocked writing to a full terminal holds the terminal's
// write lock until its bytes are read; dropping what the first one left
// unread must not wait for that lock.
TEST(PtyPort, DiscardingTheInputDoesNotWaitForAProgramBlockedInAWrite)
{
    auto pty = makePty();
    const int program = ::open(pty->slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(program, 0);
    termios raw {};
    ASSERT_EQ(::tcgetattr(program, &raw), 0);
    ::cfmakeraw(&raw);
    ASSERT_EQ(::tcsetattr(program, TCSANOW, &raw), 0);
    std::vector<PtyEvent> settings;
    pty->pendingEvents(settings);
    std::atomic<bool> written { false };
    std::thread writer([&] {
        const std::vector<char> block(1 << 20, 'w');
        std::size_t done = 0;
        while (done < block.size()) {
            const ssize_t count = ::write(program, block.data() + done, block.size() - done);
            if (count <= 0)
                break;
            done += static_cast<std::size_t>(count);
        }
        written = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the writer fills the terminal and blocks
    ASSERT_FALSE(written.load());

    std::atomic<bool> discarded { false };
    std::thread discarding([&] {
        pty->discardTerminalInput();
        discarded = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!discarded && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(discarded.load()) << "the discard waited for the blocked writer";

    // Reading the program's bytes lets the writer (and a stuck discard) go.
    std::size_t received = 0;
    while (!written || !discarded) {
        std::vector<PtyEvent> events;
        pty->waitEvents(events, { 100, true, true, false });
        for (const auto& event : events)
            if (event.kind == PtyEventKind::Data)
                received += event.data.size();
    }
    writer.join();
    discarding.join();
    std::vector<PtyEvent> rest;
    pty->pendingEvents(rest);
    for (const auto& event : rest) {
        EXPECT_NE(event.kind, PtyEventKind::FlushInput) << "our own flush was told as the program's";
        if (event.kind == PtyEventKind::Data)
            received += event.data.size();
    }
    EXPECT_EQ(received, 1u << 20) << "the program's bytes are all read, none discarded";
    ::close(program);
}

// More terminals than the default limit of watch instances per user.
TEST(TerminalWatch, OneWatchTellsTheOpensOfTwoHundredTerminals)
{
    std::string error;
    auto watch = TerminalWatch::create(error);
    ASSERT_TRUE(watch) << error;
    constexpr int kTerminals = 200;
    std::vector<std::unique_ptr<PtyPort>> ptys;
    std::vector<std::atomic<int>> opens(kTerminals);
    for (int i = 0; i < kTerminals; ++i) {
        ptys.push_back(makePty());
        ASSERT_GE(watch->add(
                      ptys.back()->slavePath(), [&opens, i] { ++opens[i]; }, error),
            0)
            << error;
    }
    for (auto& pty : ptys) {
        const int fd = ::open(pty->slavePath().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto all = [&] {
        for (auto& count : opens)
            if (count.load() == 0)
                return false;
        return true;
    };
    while (!all() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(all());
}
