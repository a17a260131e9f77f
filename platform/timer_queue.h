#pragma once

#include "platform/event_loop.h"

#include <map>
#include <optional>
#include <set>
#include <utility>

namespace platform::detail {

// Periodic timers ordered by due time; ties fire in the order they were
// started. Shared by the loop implementations.
class TimerQueue {
public:
    TimerId start(TimePoint now, Duration period, EventLoop::Callback callback);
    void kill(TimerId id);
    bool active(TimerId id) const { return m_timers.count(id) != 0; }
    std::optional<TimePoint> nextDue() const;
    // Fires the earliest timer if it is due at `now`; returns false if none was.
    // The timer is rescheduled one period after its due time (missed periods
    // collapse into one firing, as window timers do).
    bool fireOneDue(TimePoint now);
    bool empty() const { return m_timers.empty(); }

private:
    struct Timer {
        Duration period;
        TimePoint due;
        std::uint64_t sequence;
        EventLoop::Callback callback;
    };
    using Key = std::tuple<TimePoint, std::uint64_t, TimerId>;
    std::map<TimerId, Timer> m_timers;
    std::set<Key> m_order;
    TimerId m_nextId = 1;
    std::uint64_t m_nextSequence = 1;
};

} // namespace platform::detail
