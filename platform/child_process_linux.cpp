#include "platform/child_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {
namespace {

Error errnoError(const std::string& what, int code = errno)
{
    return Error { what + ": " + std::strerror(code), code };
}

} // namespace

ChildProcess::~ChildProcess() { kill(); }

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : m_pid(other.m_pid)
    , m_output(other.m_output)
    , m_pending(std::move(other.m_pending))
{
    other.m_pid = -1;
    other.m_output = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept
{
    if (this != &other) {
        kill();
        m_pid = other.m_pid;
        m_output = other.m_output;
        m_pending = std::move(other.m_pending);
        other.m_pid = -1;
        other.m_output = -1;
    }
    return *this;
}

Result<ChildProcess> ChildProcess::start(const std::vector<std::string>& argv, bool captureOutput)
{
    if (argv.empty())
        return Error { "no program to start", EINVAL };
    int pipeFds[2] = { -1, -1 };
    if (captureOutput && ::pipe2(pipeFds, O_CLOEXEC) != 0)
        return errnoError("pipe");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (captureOutput)
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);

    // The child starts with default handlers and nothing blocked, whatever
    // this process did with its own signals.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> args;
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    pid_t pid = -1;
    const int status = ::posix_spawnp(&pid, argv[0].c_str(), &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (captureOutput)
        ::close(pipeFds[1]);
    if (status != 0) {
        if (captureOutput)
            ::close(pipeFds[0]);
        return errnoError("cannot start " + argv[0], status);
    }
    ChildProcess child;
    child.m_pid = pid;
    child.m_output = captureOutput ? pipeFds[0] : -1;
    return child;
}

Result<std::string> ChildProcess::readLine(Duration limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        const auto newline = m_pending.find('\n');
        if (newline != std::string::npos) {
            std::string line = m_pending.substr(0, newline);
            m_pending.erase(0, newline + 1);
            return line;
        }
        if (m_output < 0)
            return Error { "no output to read", EBADF };
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return Error { "timed out waiting for a line", ETIMEDOUT };
        pollfd entry { m_output, POLLIN, 0 };
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR)
            return errnoError("poll");
        if (ready <= 0)
            continue;
        char buffer[4096];
        const ssize_t count = ::read(m_output, buffer, sizeof buffer);
        if (count < 0 && errno != EINTR)
            return errnoError("read");
        if (count == 0)
            return Error { "output ended", EPIPE };
        if (count > 0)
            m_pending.append(buffer, static_cast<std::size_t>(count));
    }
}

bool ChildProcess::terminate() { return m_pid > 0 && ::kill(m_pid, SIGTERM) == 0; }

bool ChildProcess::interrupt() { return m_pid > 0 && ::kill(m_pid, SIGINT) == 0; }

std::optional<int> ChildProcess::wait(Duration limit)
{
    if (m_pid <= 0)
        return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        int status = 0;
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            m_pid = -1;
            if (WIFEXITED(status))
                return WEXITSTATUS(status);
            if (WIFSIGNALED(status))
                return 128 + WTERMSIG(status);
            return -1;
        }
        if (done < 0 && errno != EINTR)
            return std::nullopt;
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void ChildProcess::kill()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) { }
        m_pid = -1;
    }
    if (m_output >= 0) {
        ::close(m_output);
        m_output = -1;
    }
}

} // namespace platform
