#include "driver/host/timer.h"

#include "driver/host/sync.h"

#include <algorithm>
#include <optional>

namespace driver::host {

TimerService::TimerService(platform::Clock& clock)
    : m_clock(clock)
{
    m_thread = std::thread([this] { run(); });
}

TimerService::~TimerService()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        ++m_generation;
    }
    m_changed.notify_all();
    m_thread.join();
}

void TimerService::run()
{
    std::unique_lock lock(m_mutex);
    m_threadId = std::this_thread::get_id();
    while (!m_stopping) {
        std::optional<platform::TimePoint> next;
        for (const auto& timer : m_timers) {
            if (timer->armed && (!next || timer->due < *next))
                next = timer->due;
        }
        const std::uint64_t generation = m_generation;
        auto changed = [this, generation] { return m_stopping || m_generation != generation; };
        if (!next) {
            m_changed.wait(lock, changed);
            continue;
        }
        const platform::TimePoint due = *next;
        m_clock.waitFor(m_changed, lock, due - m_clock.now(), [&] { return changed() || m_clock.now() >= due; });
        if (!m_stopping)
            fireDue(lock);
    }
}

void TimerService::fireDue(std::unique_lock<std::mutex>& lock)
{
    for (;;) {
        const platform::TimePoint now = m_clock.now();
        auto due = std::find_if(m_timers.begin(), m_timers.end(),
            [now](const std::shared_ptr<Timer>& timer) { return timer->armed && timer->due <= now; });
        if (due == m_timers.end())
            return;
        std::shared_ptr<Timer> timer = *due;
        timer->armed = false;
        timer->running = true;
        auto procedure = std::move(timer->procedure);
        timer->procedure = nullptr;
        lock.unlock();
        {
            RaisedLevelScope raised;
            if (procedure)
                procedure();
        }
        lock.lock();
        timer->running = false;
        m_changed.notify_all();
    }
}

KernelTimer::KernelTimer(TimerService& service)
    : m_service(service)
    , m_timer(std::make_shared<TimerService::Timer>())
{
    std::lock_guard lock(m_service.m_mutex);
    m_service.m_timers.push_back(m_timer);
}

KernelTimer::~KernelTimer()
{
    std::unique_lock lock(m_service.m_mutex);
    m_timer->armed = false;
    m_timer->procedure = nullptr;
    // A procedure that frees its own timer must not wait for itself.
    if (std::this_thread::get_id() != m_service.m_threadId)
        m_service.m_changed.wait(lock, [this] { return !m_timer->running; });
    auto& timers = m_service.m_timers;
    timers.erase(std::remove(timers.begin(), timers.end(), m_timer), timers.end());
    ++m_service.m_generation;
}

bool KernelTimer::set(platform::Duration due, std::function<void()> procedure)
{
    bool wasArmed = false;
    {
        std::lock_guard lock(m_service.m_mutex);
        wasArmed = m_timer->armed;
        m_timer->armed = true;
        m_timer->due = m_service.m_clock.now() + due;
        m_timer->procedure = std::move(procedure);
        ++m_service.m_generation;
    }
    m_service.m_changed.notify_all();
    return wasArmed;
}

bool KernelTimer::cancel()
{
    bool wasArmed = false;
    {
        std::lock_guard lock(m_service.m_mutex);
        wasArmed = m_timer->armed;
        m_timer->armed = false;
        m_timer->procedure = nullptr;
        ++m_service.m_generation;
    }
    m_service.m_changed.notify_all();
    return wasArmed;
}

bool KernelTimer::armed() const
{
    std::lock_guard lock(m_service.m_mutex);
    return m_timer->armed;
}

} // namespace driver::host
