#include "platform/event_loop.h"
#include "platform/timer_queue.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace platform {
namespace {

unsigned toEpoll(unsigned events)
{
    unsigned result = 0;
    if (events & kIoRead)
        result |= EPOLLIN;
    if (events & kIoWrite)
        result |= EPOLLOUT;
    return result;
}

unsigned fromEpoll(unsigned events)
{
    unsigned result = 0;
    if (events & (EPOLLIN | EPOLLPRI))
        result |= kIoRead;
    if (events & EPOLLOUT)
        result |= kIoWrite;
    if (events & (EPOLLERR | EPOLLHUP))
        result |= kIoError;
    return result;
}

class EpollLoop final : public EventLoop {
public:
    explicit EpollLoop(Clock& clock)
        : m_clock(clock)
    {
        m_epoll = epoll_create1(EPOLL_CLOEXEC);
        m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        epoll_event event {};
        event.events = EPOLLIN;
        event.data.fd = m_wake;
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &event);
    }

    ~EpollLoop() override
    {
        if (m_wake >= 0)
            ::close(m_wake);
        if (m_epoll >= 0)
            ::close(m_epoll);
    }

    TimerId startTimer(Duration period, Callback callback) override
    {
        return m_timers.start(m_clock.now(), period, std::move(callback));
    }
    void killTimer(TimerId id) override { m_timers.kill(id); }
    bool timerActive(TimerId id) const override { return m_timers.active(id); }

    void watchFd(int fd, unsigned events, IoCallback callback) override
    {
        epoll_event event {};
        event.events = toEpoll(events);
        event.data.fd = fd;
        auto known = m_watches.find(fd);
        if (known != m_watches.end()) {
            known->second = std::make_shared<IoCallback>(std::move(callback));
            // Watches are level-triggered: the same mask again changes
            // nothing the kernel needs to know (callers renew their watch
            // after every read or write).
            if (m_masks[fd] != event.events) {
                m_masks[fd] = event.events;
                if (epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &event) != 0 && errno == ENOENT)
                    epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
            }
            return;
        }
        m_watches.emplace(fd, std::make_shared<IoCallback>(std::move(callback)));
        m_masks[fd] = event.events;
        if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0)
            epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &event);
    }

    void unwatchFd(int fd) override
    {
        m_masks.erase(fd);
        if (m_watches.erase(fd) != 0)
            epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    }

    void post(Callback callback) override
    {
        {
            std::lock_guard lock(m_postMutex);
            m_posted.push_back(std::move(callback));
        }
        wake();
    }

    int run() override
    {
        m_quit = false;
        std::vector<epoll_event> events(64);
        while (!m_quit.load()) {
            runPosted();
            while (!m_quit.load() && m_timers.fireOneDue(m_clock.now())) { }
            if (m_quit.load())
                break;
            int timeoutMs = -1;
            if (auto due = m_timers.nextDue()) {
                const auto wait = *due - m_clock.now();
                const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
                timeoutMs = static_cast<int>(std::clamp<long long>(ms, 0, 60'000));
            }
            {
                std::lock_guard lock(m_postMutex);
                if (!m_posted.empty())
                    timeoutMs = 0;
            }
            const int count = epoll_wait(m_epoll, events.data(), static_cast<int>(events.size()), timeoutMs);
            if (count < 0) {
                if (errno == EINTR)
                    continue;
                return -1;
            }
            for (int i = 0; i < count && !m_quit.load(); ++i) {
                const int fd = events[i].data.fd;
                if (fd == m_wake) {
                    std::uint64_t value = 0;
                    [[maybe_unused]] auto ignored = ::read(m_wake, &value, sizeof value);
                    continue;
                }
                auto it = m_watches.find(fd);
                if (it == m_watches.end())
                    continue;
                // Keep the callback alive even if it unwatches its own fd.
                auto callback = it->second;
                (*callback)(fromEpoll(events[i].events));
            }
        }
        return m_exitCode.load();
    }

    void quit(int code) override
    {
        m_exitCode = code;
        m_quit = true;
        wake();
    }

    Clock& clock() override { return m_clock; }

private:
    void wake()
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto ignored = ::write(m_wake, &one, sizeof one);
    }

    void runPosted()
    {
        // Most rounds find nothing posted: no batch is made for them (a
        // deque allocates even when empty).
        std::unique_lock lock(m_postMutex);
        if (m_posted.empty())
            return;
        std::deque<Callback> batch;
        batch.swap(m_posted);
        lock.unlock();
        for (auto& callback : batch)
            callback();
    }

    Clock& m_clock;
    int m_epoll = -1;
    int m_wake = -1;
    detail::TimerQueue m_timers;
    std::unordered_map<int, std::shared_ptr<IoCallback>> m_watches;
    std::unordered_map<int, std::uint32_t> m_masks; // the epoll mask each watch has
    std::mutex m_postMutex; // protects m_posted
    std::deque<Callback> m_posted;
    std::atomic<bool> m_quit { false };
    std::atomic<int> m_exitCode { 0 };
};

} // namespace

std::unique_ptr<EventLoop> makeEpollLoop(Clock& clock) { return std::make_unique<EpollLoop>(clock); }

} // namespace platform
