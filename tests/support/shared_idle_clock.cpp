#include "tests/support/shared_idle_clock.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace testing_support {
namespace {

using namespace std::chrono;

// Real time between two looks at the threads, and the most one look adds:
// a driver that could not look for longer does not know what the others did.
constexpr auto kLook = microseconds(500);
constexpr auto kMostPerLook = milliseconds(10);

// The state letter of a /proc/PID/task/TID/stat: after the name in
// brackets, which may itself hold blanks and brackets. 'X' when gone.
char threadState(const std::string& statPath)
{
    const int fd = ::open(statPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 'X';
    char text[512];
    const ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (got <= 0)
        return 'X';
    text[got] = '\0';
    const char* close = std::strrchr(text, ')');
    return close && close[1] == ' ' ? close[2] : 'R';
}

bool holdsTime(char state)
{
    // Running or runnable, in a disk wait, stopped or traced.
    return state == 'R' || state == 'D' || state == 'T' || state == 't';
}

} // namespace

bool processTreeActive(int pid, bool* gone)
{
    const std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
    DIR* tasks = ::opendir(taskDir.c_str());
    if (gone)
        *gone = tasks == nullptr;
    if (!tasks)
        return false;
    std::vector<std::string> threads;
    while (const dirent* entry = ::readdir(tasks)) {
        if (entry->d_name[0] != '.')
            threads.emplace_back(entry->d_name);
    }
    ::closedir(tasks);
    for (const auto& tid : threads) {
        if (holdsTime(threadState(taskDir + "/" + tid + "/stat")))
            return true;
    }
    for (const auto& tid : threads) {
        std::ifstream children(taskDir + "/" + tid + "/children");
        int child = 0;
        while (children >> child) {
            if (processTreeActive(child))
                return true;
        }
    }
    return false;
}

SharedIdleClock::SharedIdleClock(std::string path, double factor)
    : m_path(std::move(path))
    , m_factor(factor > 0 ? factor : 1.0)
{
    const int fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0 || ::ftruncate(fd, sizeof(std::int64_t)) != 0)
        throw std::runtime_error("cannot create the clock file " + m_path + ": " + std::strerror(errno));
    void* mapped = ::mmap(nullptr, sizeof(std::int64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (mapped == MAP_FAILED)
        throw std::runtime_error("cannot map the clock file " + m_path + ": " + std::strerror(errno));
    m_time = static_cast<std::int64_t*>(mapped);
    __atomic_store_n(m_time, steady_clock::now().time_since_epoch().count(), __ATOMIC_RELEASE);
    m_driver = std::thread([this] { drive(); });
}

SharedIdleClock::~SharedIdleClock()
{
    m_stop = true;
    m_driver.join();
    ::munmap(m_time, sizeof(std::int64_t));
}

void SharedIdleClock::watch(int pid)
{
    std::lock_guard lock(m_mutex);
    m_watched.push_back(pid);
}

platform::TimePoint SharedIdleClock::now() const
{
    return platform::TimePoint(platform::Duration(__atomic_load_n(m_time, __ATOMIC_ACQUIRE)));
}

void SharedIdleClock::stopWhen(std::function<bool()> condition)
{
    std::lock_guard lock(m_mutex);
    m_stopCondition = std::move(condition);
    m_stopped = false;
}

bool SharedIdleClock::stopped()
{
    std::lock_guard lock(m_mutex);
    return m_stopped;
}

void SharedIdleClock::go()
{
    std::lock_guard lock(m_mutex);
    m_stopCondition = {};
    m_stopped = false;
}

bool SharedIdleClock::timeMayPass()
{
    std::lock_guard lock(m_mutex);
    if (m_stopCondition && (m_stopped || m_stopCondition())) {
        m_stopped = true;
        return false;
    }
    bool sleeping = true;
    std::erase_if(m_watched, [&sleeping](int pid) {
        bool gone = false;
        if (sleeping && processTreeActive(pid, &gone))
            sleeping = false;
        return gone;
    });
    return sleeping;
}

void SharedIdleClock::drive()
{
    auto last = steady_clock::now();
    while (!m_stop.load()) {
        std::this_thread::sleep_for(kLook);
        const auto looked = steady_clock::now();
        const auto slept = std::min<platform::Duration>(looked - last, kMostPerLook);
        last = looked;
        if (!timeMayPass())
            continue;
        const auto step = duration_cast<platform::Duration>(slept * m_factor).count();
        __atomic_store_n(m_time, __atomic_load_n(m_time, __ATOMIC_RELAXED) + step, __ATOMIC_RELEASE);
    }
}

} // namespace testing_support
