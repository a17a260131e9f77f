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
    std::vector<PtyEvent> unread;
    pty->discardTerminalInput(unread);
    ASSERT_EQ(kinds(unread), std::vector { PtyEventKind::Data }) << "the program's own bytes are kept";
    EXPECT_EQ(unread[0].data, (std::vector<std::uint8_t> { 'k', 'e', 'p', 't' }));
    program = ::open(pty->slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(program, 0);
    char buffer[16];
    EXPECT_EQ(::read(program, buffer, sizeof buffer), -1) << "stale bytes reached the next program";
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
