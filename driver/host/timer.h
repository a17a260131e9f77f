#pragma once

#include "platform/clock.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace driver::host {

// Runs the deferred procedures of one-shot timers on its own thread, at
// raised level, measuring due times on the host's clock.
class TimerService {
public:
    explicit TimerService(platform::Clock& clock);
    ~TimerService();
    TimerService(const TimerService&) = delete;
    TimerService& operator=(const TimerService&) = delete;

    platform::Clock& clock() { return m_clock; }

private:
    friend class KernelTimer;
    struct Timer {
        platform::TimePoint due {};
        std::function<void()> procedure;
        bool armed = false;
        bool running = false;
    };
    void run();
    // Fires every armed timer that is due; called with m_mutex held.
    void fireDue(std::unique_lock<std::mutex>& lock);

    platform::Clock& m_clock;
    std::mutex m_mutex; // protects m_timers, every Timer in it, m_generation and m_stopping
    std::condition_variable m_changed;
    std::vector<std::shared_ptr<Timer>> m_timers;
    std::uint64_t m_generation = 0;
    bool m_stopping = false;
    std::thread::id m_threadId;
    std::thread m_thread;
};

// A one-shot timer with a deferred procedure. Destroying it cancels it and
// waits for a procedure that is running, so a device's timers can be freed
// with the device.
class KernelTimer {
public:
    explicit KernelTimer(TimerService& service);
    ~KernelTimer();
    KernelTimer(const KernelTimer&) = delete;
    KernelTimer& operator=(const KernelTimer&) = delete;

    // Arms the timer `due` from now with `procedure`; true when it was already
    // armed (the earlier setting is replaced).
    bool set(platform::Duration due, std::function<void()> procedure);
    // Disarms the timer; true when it was armed.
    bool cancel();
    bool armed() const;

private:
    TimerService& m_service;
    std::shared_ptr<TimerService::Timer> m_timer;
};

} // namespace driver::host
