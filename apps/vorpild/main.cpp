// vorpild: hosts the virtual serial port driver in user space.
#include "apps/cli/command_line.h"
#include "driver/daemon/daemon.h"
#include "platform/background.h"
#include "platform/event_loop.h"
#include "platform/seqpacket.h"
#include "platform/termination_signals.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    bool foreground = false;
    driver::daemon::DaemonOptions options;
    CLI::App app("Hosts the virtual serial port driver in user space.", "vorpild");
    cli::setUp(app);
    app.footer("The runtime directory must belong to the daemon's user and be writable by\n"
               "nobody else; otherwise the daemon refuses to start.");
    app.add_flag("--foreground", foreground, "stay attached to the terminal (for service managers and tests)");
    app.add_option("--runtime-dir", options.runtimeDir,
           "control socket DIR/control and device links DIR/dev (default $VORPIL_RUNTIME_DIR, /run/vorpil for "
           "root, $XDG_RUNTIME_DIR/vorpil otherwise)")
        ->type_name("DIR");
    app.add_option("--state-dir", options.stateDir,
           "registry DIR/registry.reg (default /var/lib/vorpil for root, $XDG_STATE_HOME/vorpil otherwise)")
        ->type_name("DIR");
    app.add_option("--group", options.group,
           "members of group NAME may use the control socket and open the ports (default: only the daemon's user)")
        ->type_name("NAME");
    app.add_option("--frontend", options.frontEnd,
           "how programs reach a port: pty (a pseudo-terminal, the default), cuse (a serial character device "
           "/dev/NAME/COMn, needs /dev/cuse) or auto (cuse when /dev/cuse opens)")
        ->type_name("pty|cuse|auto")
        ->check(cli::oneOf({ "pty", "cuse", "auto" }));
    app.add_option("--cuse-dir", options.cuseDir, "the character devices' folder below /dev (default vorpil)")
        ->type_name("NAME")
        ->check(CLI::Validator(
            [](std::string& text) {
                return text.empty() || text.find("..") != std::string::npos || text.front() == '/'
                    ? "'" + text + "' is not a folder name below /dev"
                    : std::string();
            },
            "", ""));
    unsigned stopWait = 30;
    app.add_option("--stop-wait", stopWait,
           "on SIGTERM, SIGINT or SIGHUP, wait at most SECONDS in all for the ports to send what programs wrote "
           "(default 30; 0: drop it)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0u, 3600u));
    cli::setExitStatus(app,
        "0 stopped by SIGTERM, SIGINT or SIGHUP, 1 when it could not start (the reason on stderr), 2 bad "
        "arguments.");
    cli::addExamples(app,
        {
            { "vorpild", "start the user's own driver host in the background" },
            { "vorpild --foreground --frontend cuse --group dialout",
                "as a service: character devices /dev/vorpil/COMn for the group dialout" },
            { "vorpild --foreground --runtime-dir /tmp/vorpil --state-dir /tmp/vorpil-state",
                "a driver host of its own for a test" },
        });
    if (const int status = cli::parse(app, argc, argv); status != cli::kContinue)
        return status;
    options.stopWait = std::chrono::seconds(stopWait);
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
