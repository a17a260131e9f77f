#include "platform/privileges.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform {
namespace {

Error failure(const std::string& what, int code = errno) { return Error { what + ": " + std::strerror(code), code }; }

// No capability in any set: nothing to bind, trace or bypass with.
bool clearCapabilities()
{
    __user_cap_header_struct header {};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    header.pid = 0;
    __user_cap_data_struct data[2] {};
    return ::syscall(SYS_capset, &header, data) == 0;
}

std::string describe(uid_t uid)
{
    const passwd* entry = ::getpwuid(uid);
    return std::string(entry ? entry->pw_name : "?") + " (uid " + std::to_string(uid) + ")";
}

// The worker's pid for the signal handler that passes signals on.
volatile pid_t g_worker = 0;

extern "C" void passOn(int signal)
{
    if (g_worker > 0)
        ::kill(g_worker, signal);
}

} // namespace

Result<DroppedPrivileges> dropPrivileges(const std::string& user, const std::string& jail)
{
    // Nothing the process runs from here may gain what it gave up.
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return failure("PR_SET_NO_NEW_PRIVS");
    if (::geteuid() != 0) {
        if (!clearCapabilities())
            return failure("capset");
        return DroppedPrivileges { describe(::getuid()), false };
    }
    errno = 0;
    const passwd* entry = ::getpwnam(user.c_str());
    if (!entry)
        return Error { "no user named '" + user + "'", errno ? errno : ENOENT };
    const uid_t uid = entry->pw_uid;
    const gid_t gid = entry->pw_gid;
    // Named now: inside the jail there is no user database.
    const std::string who = std::string(entry->pw_name) + " (uid " + std::to_string(uid) + ")";
    if (!jail.empty()) {
        if (::chdir(jail.c_str()) != 0)
            return failure("chdir " + jail);
        if (::chroot(".") != 0)
            return failure("chroot " + jail);
        if (::chdir("/") != 0)
            return failure("chdir /");
    }
    if (::setgroups(0, nullptr) != 0)
        return failure("setgroups");
    if (::setresgid(gid, gid, gid) != 0)
        return failure("setresgid " + std::to_string(gid));
    if (::setresuid(uid, uid, uid) != 0)
        return failure("setresuid " + std::to_string(uid));
    if (!clearCapabilities())
        return failure("capset");
    // Root's way back must be shut for good.
    if (uid != 0 && ::setuid(0) == 0)
        return Error { "the process could become root again", EPERM };
    return DroppedPrivileges { who, !jail.empty() };
}

Result<PrivilegeSplit> PrivilegeSplit::start()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return failure("pipe");
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int code = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        return failure("fork", code);
    }
    if (pid == 0) {
        ::close(fds[0]);
        // The worker does not outlive the parent that writes for it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM, 0, 0, 0);
        if (::getppid() == 1)
            std::_Exit(1);
        return PrivilegeSplit(0, fds[1]);
    }
    ::close(fds[1]);
    return PrivilegeSplit(pid, fds[0]);
}

PrivilegeSplit::PrivilegeSplit(PrivilegeSplit&& other) noexcept
    : m_pid(other.m_pid)
    , m_fd(other.m_fd)
{
    other.m_fd = -1;
    other.m_pid = -1;
}

PrivilegeSplit::~PrivilegeSplit()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool PrivilegeSplit::send(std::string_view message)
{
    if (!isWorker() || m_fd < 0)
        return false;
    // A length, then the bytes: messages of any size keep their bounds.
    const std::uint32_t length = static_cast<std::uint32_t>(message.size());
    std::string frame(reinterpret_cast<const char*>(&length), sizeof length);
    frame.append(message);
    std::size_t done = 0;
    while (done < frame.size()) {
        const ssize_t written = ::write(m_fd, frame.data() + done, frame.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

int PrivilegeSplit::serve(const std::function<void(const std::string&)>& handle)
{
    if (isWorker() || m_pid < 0)
        return 1;
    g_worker = m_pid;
    struct sigaction action { };
    action.sa_handler = passOn;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : { SIGINT, SIGTERM, SIGHUP })
        ::sigaction(signal, &action, nullptr);
    auto readAll = [this](char* into, std::size_t size) {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t got = ::read(m_fd, into + done, size - done);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            done += static_cast<std::size_t>(got);
        }
        return true;
    };
    constexpr std::uint32_t kLargest = 16u << 20;
    std::uint32_t length = 0;
    while (readAll(reinterpret_cast<char*>(&length), sizeof length) && length <= kLargest) {
        std::string message(length, '\0');
        if (!readAll(message.data(), length))
            break;
        handle(message);
    }
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) { }
    g_worker = 0;
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

void PrivilegeSplit::exitWorker(int status)
{
    std::fflush(nullptr);
    std::_Exit(status);
}

} // namespace platform
