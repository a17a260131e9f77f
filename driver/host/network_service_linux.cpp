// The network thread: one epoll loop for every endpoint's handlers.
#include "driver/host/network.h"

#include "driver/host/network_internal_linux.h"
#include "driver/host/sync.h"

#include <cstdio>
#include <cstdlib>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace driver::host {

using detail::epollEvents;

NetService::NetService(platform::Clock& clock)
    : m_clock(clock)
{
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    m_wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_epoll < 0 || m_wake < 0) {
        std::perror("network service");
        std::abort(); // a host without its network thread cannot run any port
    }
    epoll_event event {};
    event.events = EPOLLIN;
    event.data.u64 = 0;
    epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &event);
    m_thread = std::thread([this] { run(); });
    m_threadId = m_thread.get_id();
}

NetService::~NetService()
{
    m_stopping = true;
    const std::uint64_t one = 1;
    (void)!::write(m_wake, &one, sizeof one);
    m_thread.join();
    ::close(m_wake);
    ::close(m_epoll);
}

bool NetService::watch(int fd, unsigned events, IoHandler handler)
{
    std::lock_guard lock(m_mutex);
    auto entry = std::make_shared<Watch>();
    entry->id = m_nextId++;
    entry->fd = fd;
    entry->events = events;
    entry->handler = std::move(handler);
    epoll_event event {};
    event.events = epollEvents(events);
    event.data.u64 = entry->id;
    if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0)
        return false;
    m_byFd[fd] = entry->id;
    m_watches[entry->id] = std::move(entry);
    return true;
}

void NetService::modify(int fd, unsigned add, unsigned remove)
{
    if (m_modifyHook)
        m_modifyHook(fd, add, remove);
    std::lock_guard lock(m_mutex);
    auto found = m_byFd.find(fd);
    if (found == m_byFd.end())
        return;
    Watch& entry = *m_watches.at(found->second);
    const unsigned events = (entry.events | add) & ~remove;
    if (events == entry.events)
        return;
    entry.events = events;
    epoll_event event {};
    event.events = epollEvents(events);
    event.data.u64 = found->second;
    epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &event);
}

void NetService::unwatch(int fd)
{
    std::unique_lock lock(m_mutex);
    auto found = m_byFd.find(fd);
    if (found == m_byFd.end())
        return;
    auto entry = m_watches[found->second];
    m_watches.erase(found->second);
    m_byFd.erase(found);
    epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    if (!onNetworkThread())
        m_handlerDone.wait(lock, [&] { return !entry->running; });
}

void NetService::run()
{
    constexpr int kBatch = 64;
    epoll_event events[kBatch];
    while (!m_stopping) {
        const int count = epoll_wait(m_epoll, events, kBatch, -1);
        if (count < 0)
            continue; // EINTR
        for (int i = 0; i < count && !m_stopping; ++i) {
            if (events[i].data.u64 == 0) {
                std::uint64_t value = 0;
                (void)!::read(m_wake, &value, sizeof value);
                continue;
            }
            std::shared_ptr<Watch> entry;
            {
                std::lock_guard lock(m_mutex);
                auto found = m_watches.find(events[i].data.u64);
                if (found == m_watches.end())
                    continue; // unwatched after this batch was collected
                entry = found->second;
                entry->running = true;
            }
            unsigned bits = 0;
            if (events[i].events & (EPOLLIN | EPOLLRDHUP))
                bits |= kNetReadable;
            if (events[i].events & EPOLLOUT)
                bits |= kNetWritable;
            if (events[i].events & (EPOLLHUP | EPOLLERR))
                bits |= kNetHangUp;
            {
                RaisedLevelScope raised;
                entry->handler(bits);
            }
            std::lock_guard lock(m_mutex);
            entry->running = false;
            m_handlerDone.notify_all();
        }
    }
}

} // namespace driver::host
