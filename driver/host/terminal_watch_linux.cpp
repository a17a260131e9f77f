#include "driver/host/terminal_watch.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace driver::host {

std::unique_ptr<TerminalWatch> TerminalWatch::create(std::string& error)
{
    std::unique_ptr<TerminalWatch> watch(new TerminalWatch);
    watch->m_watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch->m_watch < 0) {
        error = std::string("inotify_init1: ") + std::strerror(errno);
        return nullptr;
    }
    watch->m_stop = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (watch->m_stop < 0) {
        error = std::string("eventfd: ") + std::strerror(errno);
        return nullptr;
    }
    watch->m_thread = std::thread([raw = watch.get()] { raw->run(); });
    return watch;
}

TerminalWatch::~TerminalWatch()
{
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        (void)!::write(m_stop, &one, sizeof one);
        m_thread.join();
    }
    if (m_stop >= 0)
        ::close(m_stop);
    if (m_watch >= 0)
        ::close(m_watch);
}

int TerminalWatch::add(const std::string& path, std::function<void()> opened, std::string& error)
{
    return add(path, std::move(opened), nullptr, error);
}

int TerminalWatch::add(
    const std::string& path, std::function<void()> opened, std::function<void()> closed, std::string& error)
{
    std::lock_guard lock(m_mutex);
    const std::uint32_t mask = IN_OPEN | (closed ? IN_CLOSE : 0u);
    const int id = ::inotify_add_watch(m_watch, path.c_str(), mask);
    if (id < 0) {
        error = "inotify_add_watch " + path + ": " + std::strerror(errno);
        return -1;
    }
    m_callbacks[id] = { std::move(opened), std::move(closed) };
    return id;
}

void TerminalWatch::remove(int id)
{
    std::lock_guard lock(m_mutex);
    if (m_callbacks.erase(id) != 0)
        (void)::inotify_rm_watch(m_watch, id);
}

void TerminalWatch::run()
{
    alignas(inotify_event) std::array<char, 8192> buffer;
    for (;;) {
        pollfd fds[2] = { { m_stop, POLLIN, 0 }, { m_watch, POLLIN, 0 } };
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents)
            return;
        const ssize_t got = ::read(m_watch, buffer.data(), buffer.size());
        if (got <= 0)
            continue;
        std::lock_guard lock(m_mutex);
        for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
            inotify_event event;
            std::memcpy(&event, buffer.data() + offset, sizeof event);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
            if (event.mask & IN_Q_OVERFLOW) {
                // Opens were lost: every terminal looks for itself.
                for (auto& [id, callbacks] : m_callbacks)
                    callbacks.opened();
                continue;
            }
            auto it = m_callbacks.find(event.wd);
            if (it == m_callbacks.end())
                continue;
            // A close told together with a later open comes first.
            if ((event.mask & IN_CLOSE) && it->second.closed)
                it->second.closed();
            if (event.mask & IN_OPEN)
                it->second.opened();
        }
    }
}

} // namespace driver::host
