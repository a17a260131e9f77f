// A clock for whole runs of several threads (the window, the sequence, the
// simulated board): its time passes only while every thread of the process
// sleeps, so a thread that is working or waits for a processor holds it.
// However busy the machine, no thread ever finds that time went by while it
// could not act, and a wait is as long, counted in the others' steps, as on
// an idle machine.
#pragma once

#include "platform/clock.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace kellan_window {

class IdleTimeClock final : public platform::Clock {
public:
    // `factor`: clock time per real time slept by everyone.
    explicit IdleTimeClock(double factor);
    ~IdleTimeClock() override;
    IdleTimeClock(const IdleTimeClock&) = delete;
    IdleTimeClock& operator=(const IdleTimeClock&) = delete;

    // The time never passes what `limit` answers (when it answers) until
    // the answer moves on: a simulated board's next reply is due then, and
    // is sent on time however long its thread takes to wake.
    void setLimit(std::function<std::optional<platform::TimePoint>()> limit);

    platform::TimePoint now() const override;
    platform::WallTime wallNow() const override;
    void sleepFor(platform::Duration duration) override;

protected:
    platform::Duration realSlice(platform::Duration clockTime) const override;

private:
    void drive();

    double m_factor;
    std::mutex m_limitMutex; // protects m_limit
    std::function<std::optional<platform::TimePoint>()> m_limit;
    std::atomic<platform::TimePoint::rep> m_now;
    std::atomic<bool> m_stop { false };
    std::thread m_driver;
};

// True when no thread of this process but the caller is running or waiting
// to run (nor in an uninterruptible wait).
bool everyOtherThreadSleeps();

} // namespace kellan_window
