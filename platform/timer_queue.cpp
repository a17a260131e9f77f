#include "platform/timer_queue.h"

namespace platform::detail {

TimerId TimerQueue::start(TimePoint now, Duration period, EventLoop::Callback callback)
{
    if (period <= Duration::zero())
        period = std::chrono::milliseconds(1);
    const TimerId id = m_nextId++;
    Timer timer { period, now + period, m_nextSequence++, std::move(callback) };
    m_order.insert({ timer.due, timer.sequence, id });
    m_timers.emplace(id, std::move(timer));
    return id;
}

void TimerQueue::kill(TimerId id)
{
    auto it = m_timers.find(id);
    if (it == m_timers.end())
        return;
    m_order.erase({ it->second.due, it->second.sequence, id });
    m_timers.erase(it);
}

std::optional<TimePoint> TimerQueue::nextDue() const
{
    if (m_order.empty())
        return std::nullopt;
    return std::get<0>(*m_order.begin());
}

bool TimerQueue::fireOneDue(TimePoint now)
{
    if (m_order.empty())
        return false;
    auto first = m_order.begin();
    const auto [due, sequence, id] = *first;
    if (due > now)
        return false;
    m_order.erase(first);
    Timer& timer = m_timers.at(id);
    TimePoint next = due + timer.period;
    if (next <= now)
        next = now + timer.period;
    timer.due = next;
    timer.sequence = m_nextSequence++;
    m_order.insert({ timer.due, timer.sequence, id });
    // Copy: the callback may kill its own timer.
    EventLoop::Callback callback = timer.callback;
    callback();
    return true;
}

} // namespace platform::detail

namespace platform {

void TimerSet::start(int id, Duration period, EventLoop::Callback callback)
{
    kill(id);
    m_timers[id] = m_loop.startTimer(period, std::move(callback));
}

void TimerSet::kill(int id)
{
    auto it = m_timers.find(id);
    if (it == m_timers.end())
        return;
    m_loop.killTimer(it->second);
    m_timers.erase(it);
}

bool TimerSet::active(int id) const
{
    auto it = m_timers.find(id);
    return it != m_timers.end() && m_loop.timerActive(it->second);
}

void TimerSet::killAll()
{
    for (auto& [id, timer] : m_timers)
        m_loop.killTimer(timer);
    m_timers.clear();
}

} // namespace platform
