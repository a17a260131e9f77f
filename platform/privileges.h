#pragma once

#include "platform/result.h"

#include <functional>
#include <string>
#include <string_view>

namespace platform {

// Gives up what a server needed only to bind its ports: with root, the
// process may first be shut into `jail` (a folder that becomes its "/";
// empty: none), then takes the user's ids (every group dropped, real,
// effective and saved ids alike) and keeps no capability and no way to gain
// one again. Without root the user cannot be changed: the process stays who
// it is and only its capabilities go.
struct DroppedPrivileges {
    std::string user; // who the process is now: "name (uid N)"
    bool jailed = false; // shut into the folder given
};
Result<DroppedPrivileges> dropPrivileges(const std::string& user, const std::string& jail = {});

// A privileged parent and an unprivileged worker: the parent forks, the
// worker drops its privileges and does the work, and the parent, which
// touches nothing from the network, writes what the worker asks it to
// (files the worker may no longer write) until the worker ends.
// Termination signals sent to the parent are passed on to the worker.
class PrivilegeSplit {
public:
    // Forks. Both processes continue from here; isWorker() tells which.
    static Result<PrivilegeSplit> start();
    PrivilegeSplit(PrivilegeSplit&& other) noexcept;
    ~PrivilegeSplit();
    PrivilegeSplit(const PrivilegeSplit&) = delete;
    PrivilegeSplit& operator=(const PrivilegeSplit&) = delete;
    PrivilegeSplit& operator=(PrivilegeSplit&&) = delete;

    bool isWorker() const { return m_pid == 0; }
    // Worker: one message for the parent; false when it could not be sent.
    bool send(std::string_view message);
    // Parent: hands each message of the worker to `handle` until the worker
    // ends; returns its exit status (128 + the signal when a signal ended it).
    int serve(const std::function<void(const std::string&)>& handle);
    // Worker: ends the worker with `status` once its output is flushed,
    // without the parent's way out (which saves the settings).
    [[noreturn]] static void exitWorker(int status);

private:
    PrivilegeSplit(int pid, int fd)
        : m_pid(pid)
        , m_fd(fd)
    {
    }
    int m_pid = -1;
    int m_fd = -1;
};

} // namespace platform
