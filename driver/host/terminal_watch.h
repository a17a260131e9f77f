#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace driver::host {

// Tells when programs open terminals: one watch on the device files of every
// port's terminal, shared by all of them, so the number of ports is not held
// to the system's limit on watch instances per user (128 by default).
// Callbacks run on the watch's own thread and must be quick.
class TerminalWatch {
public:
    // Null, with `error` naming the failed call, when the watch cannot start.
    static std::unique_ptr<TerminalWatch> create(std::string& error);
    ~TerminalWatch();
    TerminalWatch(const TerminalWatch&) = delete;
    TerminalWatch& operator=(const TerminalWatch&) = delete;

    // Calls `opened` whenever a program opens `path` and `closed` (when
    // given) whenever one closes a descriptor of it (events that come
    // quickly may be told once). A number for remove(), or -1 with `error`.
    int add(const std::string& path, std::function<void()> opened, std::string& error);
    int add(const std::string& path, std::function<void()> opened, std::function<void()> closed, std::string& error);
    // Once this returns, the callback given for `id` is not running and
    // will not run again.
    void remove(int id);

private:
    TerminalWatch() = default;
    void run();

    int m_watch = -1;
    int m_stop = -1;
    std::mutex m_mutex; // protects m_callbacks; held while a callback runs
    struct Callbacks {
        std::function<void()> opened;
        std::function<void()> closed;
    };
    std::map<int, Callbacks> m_callbacks; // by watch descriptor
    std::thread m_thread;
};

} // namespace driver::host
