#pragma once

#include "platform/clock.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

namespace platform {

using TimerId = std::uint64_t;

enum IoEvents : unsigned {
    kIoRead = 1u << 0,
    kIoWrite = 1u << 1,
    kIoError = 1u << 2, // error or hang-up
};

// One thread's message loop: periodic timers, fd readiness and posted calls.
// Timers behave like the window timers the system was written for: a timer
// keeps firing every period until it is killed. Everything except post() and
// quit() must be called on the loop's own thread.
class EventLoop {
public:
    using Callback = std::function<void()>;
    using IoCallback = std::function<void(unsigned events)>;

    virtual ~EventLoop() = default;

    // Starts a periodic timer and returns its id (never 0).
    virtual TimerId startTimer(Duration period, Callback callback) = 0;
    // Kills a timer; unknown or already killed ids are ignored. A timer may
    // kill itself (or any other timer) from its own callback.
    virtual void killTimer(TimerId id) = 0;
    virtual bool timerActive(TimerId id) const = 0;

    // Watches an fd for the given IoEvents; a second call replaces the watch.
    virtual void watchFd(int fd, unsigned events, IoCallback callback) = 0;
    virtual void unwatchFd(int fd) = 0;

    // Queues a call to run on the loop's thread. Safe from any thread.
    virtual void post(Callback callback) = 0;

    // Runs until quit(); returns the code given to quit().
    virtual int run() = 0;
    // Safe from any thread.
    virtual void quit(int code = 0) = 0;

    virtual Clock& clock() = 0;
};

// Timers of one owner keyed by the owner's own small ids, as a view keeps its
// window timers: starting an id that runs restarts it with the new period.
class TimerSet {
public:
    explicit TimerSet(EventLoop& loop)
        : m_loop(loop)
    {
    }
    ~TimerSet() { killAll(); }
    TimerSet(const TimerSet&) = delete;
    TimerSet& operator=(const TimerSet&) = delete;

    void start(int id, Duration period, EventLoop::Callback callback);
    void kill(int id);
    bool active(int id) const;
    void killAll();

private:
    EventLoop& m_loop;
    std::map<int, TimerId> m_timers;
};

// epoll-based loop on the real clock (or any clock given), for daemons and
// command-line programs.
std::unique_ptr<EventLoop> makeEpollLoop(Clock& clock = RealClock::instance());

// Virtual-time loop for tests. Time moves only through advance()/runFor():
// due timers fire in time order, and between them ready fds are polled
// without blocking, so real sockets still deliver.
class VirtualLoop final : public EventLoop {
public:
    explicit VirtualLoop(FakeClock& clock);
    ~VirtualLoop() override;

    TimerId startTimer(Duration period, Callback callback) override;
    void killTimer(TimerId id) override;
    bool timerActive(TimerId id) const override;
    void watchFd(int fd, unsigned events, IoCallback callback) override;
    void unwatchFd(int fd) override;
    void post(Callback callback) override;
    int run() override;
    void quit(int code = 0) override;
    Clock& clock() override;

    // Runs posted calls and ready fds, without moving time.
    void processPending();
    // Moves virtual time forward, firing every timer that falls due.
    void advance(Duration duration);
    // Advances in steps of `step` until the predicate holds or `limit` of
    // virtual time has passed; returns the predicate's value.
    bool runUntil(const std::function<bool()>& predicate, Duration limit, Duration step = std::chrono::milliseconds(1));
    bool quitRequested() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace platform
