#include "platform/event_loop.h"
#include "platform/timer_queue.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

#include <poll.h>

namespace platform {

struct VirtualLoop::Impl {
    explicit Impl(FakeClock& c)
        : clock(c)
    {
    }
    FakeClock& clock;
    detail::TimerQueue timers;
    std::unordered_map<int, std::pair<unsigned, std::shared_ptr<IoCallback>>> watches;
    std::mutex postMutex; // protects posted
    std::deque<Callback> posted;
    std::atomic<bool> quit { false };
    std::atomic<int> exitCode { 0 };

    bool runPosted()
    {
        std::deque<Callback> batch;
        {
            std::lock_guard lock(postMutex);
            batch.swap(posted);
        }
        for (auto& callback : batch)
            callback();
        return !batch.empty();
    }

    // Polls every watched fd once without blocking and dispatches the ready ones.
    bool pollFds()
    {
        if (watches.empty())
            return false;
        std::vector<pollfd> fds;
        fds.reserve(watches.size());
        for (const auto& [fd, watch] : watches) {
            short events = 0;
            if (watch.first & kIoRead)
                events |= POLLIN;
            if (watch.first & kIoWrite)
                events |= POLLOUT;
            fds.push_back({ fd, events, 0 });
        }
        if (::poll(fds.data(), fds.size(), 0) <= 0)
            return false;
        bool any = false;
        for (const auto& entry : fds) {
            if (entry.revents == 0)
                continue;
            auto it = watches.find(entry.fd);
            if (it == watches.end())
                continue;
            unsigned events = 0;
            if (entry.revents & (POLLIN | POLLPRI))
                events |= kIoRead;
            if (entry.revents & POLLOUT)
                events |= kIoWrite;
            if (entry.revents & (POLLERR | POLLHUP | POLLNVAL))
                events |= kIoError;
            auto callback = it->second.second;
            (*callback)(events);
            any = true;
        }
        return any;
    }

    void settle()
    {
        // Bounded so that an fd that stays readable cannot hang a test.
        for (int round = 0; round < 1000; ++round) {
            const bool posted = runPosted();
            const bool io = pollFds();
            if (!posted && !io)
                return;
        }
    }
};

VirtualLoop::VirtualLoop(FakeClock& clock)
    : m_impl(std::make_unique<Impl>(clock))
{
}
VirtualLoop::~VirtualLoop() = default;

TimerId VirtualLoop::startTimer(Duration period, Callback callback)
{
    return m_impl->timers.start(m_impl->clock.now(), period, std::move(callback));
}
void VirtualLoop::killTimer(TimerId id) { m_impl->timers.kill(id); }
bool VirtualLoop::timerActive(TimerId id) const { return m_impl->timers.active(id); }

void VirtualLoop::watchFd(int fd, unsigned events, IoCallback callback)
{
    m_impl->watches[fd] = { events, std::make_shared<IoCallback>(std::move(callback)) };
}
void VirtualLoop::unwatchFd(int fd) { m_impl->watches.erase(fd); }

void VirtualLoop::post(Callback callback)
{
    std::lock_guard lock(m_impl->postMutex);
    m_impl->posted.push_back(std::move(callback));
}

int VirtualLoop::run()
{
    // Runs until quit, stepping virtual time from timer to timer.
    m_impl->quit = false;
    while (!m_impl->quit.load()) {
        m_impl->settle();
        if (m_impl->quit.load())
            break;
        auto due = m_impl->timers.nextDue();
        if (!due)
            break;
        const auto now = m_impl->clock.now();
        if (*due > now)
            m_impl->clock.advance(*due - now);
        m_impl->timers.fireOneDue(m_impl->clock.now());
    }
    return m_impl->exitCode.load();
}

void VirtualLoop::quit(int code)
{
    m_impl->exitCode = code;
    m_impl->quit = true;
}

Clock& VirtualLoop::clock() { return m_impl->clock; }

void VirtualLoop::processPending() { m_impl->settle(); }

void VirtualLoop::advance(Duration duration)
{
    const TimePoint end = m_impl->clock.now() + duration;
    m_impl->settle();
    while (true) {
        auto due = m_impl->timers.nextDue();
        if (!due || *due > end)
            break;
        const auto now = m_impl->clock.now();
        if (*due > now)
            m_impl->clock.advance(*due - now);
        m_impl->timers.fireOneDue(m_impl->clock.now());
        m_impl->settle();
    }
    const auto now = m_impl->clock.now();
    if (end > now)
        m_impl->clock.advance(end - now);
    m_impl->settle();
}

bool VirtualLoop::runUntil(const std::function<bool()>& predicate, Duration limit, Duration step)
{
    const TimePoint end = m_impl->clock.now() + limit;
    m_impl->settle();
    while (!predicate()) {
        if (m_impl->clock.now() >= end)
            return predicate();
        advance(step);
    }
    return true;
}

bool VirtualLoop::quitRequested() const { return m_impl->quit.load(); }

} // namespace platform
