#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {

using Duration = std::chrono::nanoseconds;
using TimePoint = std::chrono::steady_clock::time_point;
using WallTime = std::chrono::system_clock::time_point;

// Source of time for everything the system times. Core code never calls
// sleep_for or time() itself, so tests can run timed behaviour in virtual or
// scaled time.
class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic time.
    virtual TimePoint now() const = 0;
    // Local wall time (log rows, file stamps).
    virtual WallTime wallNow() const = 0;
    // Blocks the caller for the given time (or advances virtual time).
    virtual void sleepFor(Duration duration) = 0;

    // Waits on a condition with a time limit measured on this clock.
    // Returns the predicate's final value. The lock must be held.
    template <typename Predicate>
    bool waitFor(
        std::condition_variable& condition, std::unique_lock<std::mutex>& lock, Duration limit, Predicate predicate);

    std::int64_t millisecondsSince(TimePoint start) const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(now() - start).count();
    }

protected:
    // How long to block in real time for a slice of this clock's time.
    virtual Duration realSlice(Duration clockTime) const { return clockTime; }
    // Called while waiting; a virtual clock advances itself here.
    virtual void idleAdvance(Duration) { }
};

// The machine's clocks.
class RealClock final : public Clock {
public:
    TimePoint now() const override;
    WallTime wallNow() const override;
    void sleepFor(Duration duration) override;
    static RealClock& instance();
};

// Manually driven virtual time. sleepFor() advances the clock by the requested
// amount at once, so single-threaded code that sleeps runs in no real time.
// Thread safe.
class FakeClock final : public Clock {
public:
    explicit FakeClock(TimePoint start = TimePoint {} + std::chrono::hours(1),
        WallTime wallStart = WallTime {} + std::chrono::hours(24 * 365 * 50));
    TimePoint now() const override;
    WallTime wallNow() const override;
    void sleepFor(Duration duration) override;
    void advance(Duration duration);
    void setWall(WallTime wall);

protected:
    Duration realSlice(Duration) const override { return std::chrono::microseconds(200); }
    void idleAdvance(Duration step) override { advance(step); }

private:
    mutable std::mutex m_mutex; // protects m_now and m_wall
    TimePoint m_now;
    WallTime m_wall;
};

// Real time sped up by a factor: a 2-second wait takes 2 ms at factor 1000.
// For multi-threaded code where virtual time cannot be stepped by one owner.
class ScaledClock final : public Clock {
public:
    explicit ScaledClock(double factor);
    TimePoint now() const override;
    WallTime wallNow() const override;
    void sleepFor(Duration duration) override;
    double factor() const { return m_factor; }

protected:
    Duration realSlice(Duration clockTime) const override;

private:
    double m_factor;
    std::chrono::steady_clock::time_point m_realStart;
    TimePoint m_start;
};

template <typename Predicate>
bool Clock::waitFor(
    std::condition_variable& condition, std::unique_lock<std::mutex>& lock, Duration limit, Predicate predicate)
{
    const TimePoint deadline = now() + limit;
    while (!predicate()) {
        const TimePoint current = now();
        if (current >= deadline)
            return predicate();
        const Duration remaining = deadline - current;
        const Duration slice = realSlice(remaining);
        condition.wait_for(lock, slice);
        if (!predicate())
            idleAdvance(std::min<Duration>(remaining, std::chrono::milliseconds(10)));
    }
    return true;
}

} // namespace platform
