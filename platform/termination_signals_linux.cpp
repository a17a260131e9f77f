#include "platform/termination_signals.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace platform {
namespace {

// Write end of the self-pipe; the handler may only do async-signal-safe work.
volatile std::sig_atomic_t g_wakeFd = -1;

extern "C" void onTerminationSignal(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    if (g_wakeFd >= 0) [[maybe_unused]]
        auto ignored = ::write(g_wakeFd, &byte, 1);
    errno = savedErrno;
}

} // namespace

bool quitOnTerminationSignals(EventLoop& loop)
{
    static int readFd = -1;
    if (readFd < 0) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
            return false;
        readFd = fds[0];
        g_wakeFd = fds[1];
    }
    struct sigaction action { };
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // A closed terminal (SIGHUP) ends a program as Ctrl+C does: what it
    // saves on the way out is saved then too.
    for (const int signal : { SIGINT, SIGTERM, SIGHUP })
        if (::sigaction(signal, &action, nullptr) != 0)
            return false;
    const int fd = readFd;
    loop.watchFd(fd, kIoRead, [&loop, fd](unsigned) {
        char buffer[64];
        while (::read(fd, buffer, sizeof buffer) > 0) { }
        loop.quit(0);
    });
    return true;
}

} // namespace platform
