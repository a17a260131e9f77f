#include "platform/clock.h"

#include <thread>

namespace platform {

TimePoint RealClock::now() const { return std::chrono::steady_clock::now(); }
WallTime RealClock::wallNow() const { return std::chrono::system_clock::now(); }
void RealClock::sleepFor(Duration duration)
{
    if (duration > Duration::zero())
        std::this_thread::sleep_for(duration);
}
RealClock& RealClock::instance()
{
    static RealClock clock;
    return clock;
}

FakeClock::FakeClock(TimePoint start, WallTime wallStart)
    : m_now(start)
    , m_wall(wallStart)
{
}

TimePoint FakeClock::now() const
{
    std::lock_guard lock(m_mutex);
    return m_now;
}

WallTime FakeClock::wallNow() const
{
    std::lock_guard lock(m_mutex);
    return m_wall;
}

void FakeClock::sleepFor(Duration duration) { advance(duration); }

void FakeClock::advance(Duration duration)
{
    if (duration <= Duration::zero())
        return;
    std::lock_guard lock(m_mutex);
    m_now += duration;
    m_wall += std::chrono::duration_cast<WallTime::duration>(duration);
}

void FakeClock::setWall(WallTime wall)
{
    std::lock_guard lock(m_mutex);
    m_wall = wall;
}

ScaledClock::ScaledClock(double factor)
    : m_factor(factor > 0 ? factor : 1.0)
    , m_realStart(std::chrono::steady_clock::now())
    , m_start(m_realStart)
{
}

TimePoint ScaledClock::now() const
{
    const auto real = std::chrono::steady_clock::now() - m_realStart;
    return m_start + std::chrono::duration_cast<Duration>(real * m_factor);
}

WallTime ScaledClock::wallNow() const { return std::chrono::system_clock::now(); }

void ScaledClock::sleepFor(Duration duration)
{
    if (duration > Duration::zero())
        std::this_thread::sleep_for(realSlice(duration));
}

Duration ScaledClock::realSlice(Duration clockTime) const
{
    return std::chrono::duration_cast<Duration>(clockTime / m_factor) + Duration(1);
}

} // namespace platform
