// vorpild: hosts the virtual serial port driver in user space.
#include "driver/daemon/daemon.h"
#include "platform/background.h"
#include "platform/event_loop.h"
#include "platform/seqpacket.h"
#include "platform/termination_signals.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr const char* kUsage = "usage: vorpild [--foreground] [--runtime-dir DIR] [--state-dir DIR] [--group NAME]\n"
                               "               [--frontend cuse|pty|auto] [--cuse-dir NAME]\n"
                               "  --foreground       stay attached to the terminal (for service managers and tests)\n"
                               "  --runtime-dir DIR  control socket DIR/control and device links DIR/dev\n"
                               "                     (default $VORPIL_RUNTIME_DIR, /run/vorpil for root,\n"
                               "                     $XDG_RUNTIME_DIR/vorpil otherwise)\n"
                               "  --state-dir DIR    registry DIR/registry.reg (default /var/lib/vorpil for root,\n"
                               "                     $XDG_STATE_HOME/vorpil otherwise)\n"
                               "  --group NAME       members of group NAME may use the control socket and open\n"
                               "                     the ports (default: only the daemon's user)\n"
                               "  --frontend KIND    how programs reach a port: pty (a pseudo-terminal, the\n"
                               "                     default), cuse (a serial character device /dev/NAME/COMn,\n"
                               "                     needs /dev/cuse) or auto (cuse when /dev/cuse opens)\n"
                               "  --cuse-dir NAME    the character devices' folder below /dev (default vorpil)\n"
                               "The runtime directory must belong to the daemon's user and be writable by\n"
                               "nobody else; otherwise the daemon refuses to start.\n";

} // namespace

int main(int argc, char** argv)
{
    bool foreground = false;
    driver::daemon::DaemonOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--foreground") {
            foreground = true;
        } else if ((argument == "--runtime-dir" || argument == "--state-dir") && i + 1 < argc) {
            (argument == "--runtime-dir" ? options.runtimeDir : options.stateDir) = argv[++i];
        } else if (argument == "--group" && i + 1 < argc) {
            options.group = argv[++i];
        } else if (argument == "--frontend" && i + 1 < argc) {
            options.frontEnd = argv[++i];
            if (options.frontEnd != "cuse" && options.frontEnd != "pty" && options.frontEnd != "auto") {
                std::fprintf(stderr, "vorpild: --frontend takes cuse, pty or auto\n%s", kUsage);
                return 2;
            }
        } else if (argument == "--cuse-dir" && i + 1 < argc) {
            options.cuseDir = argv[++i];
            if (options.cuseDir.empty() || options.cuseDir.find("..") != std::string::npos
                || options.cuseDir.front() == '/') {
                std::fprintf(stderr, "vorpild: --cuse-dir takes a folder name below /dev\n%s", kUsage);
                return 2;
            }
        } else if (argument == "--help" || argument == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "vorpild: unknown argument %s\n%s", argument.c_str(), kUsage);
            return 2;
        }
    }
    if (options.runtimeDir.empty())
        options.runtimeDir = platform::vorpilRuntimeDir();
    if (options.stateDir.empty())
        options.stateDir = platform::vorpilStateDir();

    if (!foreground) {
        if (auto detached = platform::runInBackground(); !detached.ok()) {
            std::fprintf(stderr, "vorpild: %s\n", detached.error().message.c_str());
            return 1;
        }
    }
    // Write pacing sleeps a millisecond or so; the default timer slack would
    // add 50 us to every one of them.
    platform::useFineTimerSlack();
    // Every port keeps a terminal, a wake-up descriptor and its connections.
    if (const unsigned long limit = platform::raiseDescriptorLimit(); limit != 0 && limit < 4096)
        std::fprintf(stderr, "vorpild: at most %lu open descriptors: fewer ports than 256 may fit\n", limit);
    auto loop = platform::makeEpollLoop();
    if (!platform::quitOnTerminationSignals(*loop)) {
        std::fputs("vorpild: cannot install signal handlers\n", stderr);
        return 1;
    }
    driver::daemon::Daemon daemon(options);
    std::string error;
    if (!daemon.start(error)) {
        std::fprintf(stderr, "vorpild: %s\n", error.c_str());
        return 1;
    }
    const int code = loop->run();
    std::fputs("vorpild: stopping\n", stderr);
    daemon.stop();
    return code;
}
