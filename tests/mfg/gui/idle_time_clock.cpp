#include "tests/mfg/gui/idle_time_clock.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kellan_window {
namespace {

using namespace std::chrono;

// Real time between two looks at the threads, and the most one look adds:
// a driver that could not look for longer does not know what the others did.
constexpr auto kLook = microseconds(500);
constexpr auto kMostPerLook = milliseconds(10);

// The state letter of /proc/self/task/TID/stat: after the name in brackets,
// which may itself hold blanks and brackets.
char threadState(const char* tid)
{
    const std::string path = std::string("/proc/self/task/") + tid + "/stat";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 'X'; // gone meanwhile
    char text[512];
    const ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (got <= 0)
        return 'X';
    text[got] = '\0';
    const char* close = std::strrchr(text, ')');
    return close && close[1] == ' ' ? close[2] : 'R';
}

} // namespace

bool everyOtherThreadSleeps()
{
    DIR* tasks = ::opendir("/proc/self/task");
    if (!tasks)
        return false;
    const std::string self = std::to_string(::gettid());
    bool sleeping = true;
    while (const dirent* entry = ::readdir(tasks)) {
        if (entry->d_name[0] == '.' || self == entry->d_name)
            continue;
        const char state = threadState(entry->d_name);
        if (state == 'R' || state == 'D') {
            sleeping = false;
            break;
        }
    }
    ::closedir(tasks);
    return sleeping;
}

IdleTimeClock::IdleTimeClock(double factor)
    : m_factor(factor > 0 ? factor : 1.0)
    , m_now((steady_clock::now().time_since_epoch()).count())
{
    m_driver = std::thread([this] { drive(); });
}

IdleTimeClock::~IdleTimeClock()
{
    m_stop = true;
    m_driver.join();
}

void IdleTimeClock::setLimit(std::function<std::optional<platform::TimePoint>()> limit)
{
    std::lock_guard lock(m_limitMutex);
    m_limit = std::move(limit);
}

platform::TimePoint IdleTimeClock::now() const { return platform::TimePoint(platform::Duration(m_now.load())); }

platform::WallTime IdleTimeClock::wallNow() const { return system_clock::now(); }

void IdleTimeClock::sleepFor(platform::Duration duration)
{
    // Asleep, the caller lets the time it waits for pass.
    const platform::TimePoint until = now() + duration;
    while (now() < until)
        std::this_thread::sleep_for(realSlice(until - now()));
}

platform::Duration IdleTimeClock::realSlice(platform::Duration clockTime) const
{
    const auto real = duration_cast<platform::Duration>(clockTime / m_factor);
    return std::clamp<platform::Duration>(real, microseconds(50), milliseconds(1));
}

void IdleTimeClock::drive()
{
    auto last = steady_clock::now();
    while (!m_stop.load()) {
        std::this_thread::sleep_for(kLook);
        const auto looked = steady_clock::now();
        const auto slept = std::min<platform::Duration>(looked - last, kMostPerLook);
        last = looked;
        if (!everyOtherThreadSleeps())
            continue;
        auto next = m_now.load() + duration_cast<platform::Duration>(slept * m_factor).count();
        {
            std::lock_guard lock(m_limitMutex);
            if (m_limit) {
                if (const auto limit = m_limit())
                    next = std::max(m_now.load(), std::min(next, limit->time_since_epoch().count()));
            }
        }
        m_now = next;
    }
}

} // namespace kellan_window
