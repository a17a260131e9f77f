// boardsim: a Kellan board in ISP mode behind a pseudo-terminal.
//
//   boardsim [--options "erase-ms=2000,sync-bytes=2,..."] [--link PATH] [--time-scale N]
//
// Prints the pseudo-terminal's path on the first line of standard output
// (and makes PATH a symbolic link to it, e.g. a COM mapping target), then
// serves until SIGINT or SIGTERM.

#include "platform/event_loop.h"
#include "platform/termination_signals.h"
#include "sim/boardsim/pty_board.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

namespace {

void usage()
{
    std::fprintf(stderr,
        "usage: boardsim [--options LIST] [--link PATH] [--time-scale N]\n"
        "options: flash-size, erase-ms (or never), no-sync, sync-bytes, sync-value, bus-bytes,\n"
        "         bad-readback, line-error-frame, delay-ms, wire-time, any-line\n"
        "normal mode: normal, test-firmware, power-cycle-ms, menu-ms, no-banner, no-reset, eeprom-ro,\n"
        "         fail-CMD, mute-CMD, bare-CMD (CMD: r, c, et, hsiloop, er), net-start-ms, bootp-retry-ms,\n"
        "         tftp-retry-ms, no-bootp, tftp-silent, dup-ack, stop-ack-after, interface=NAME\n"
        "--time-scale N runs the board's own times N times faster (with kellan-mp's\n"
        "         KELLAN_MP_TIME_SCALE=N for fast simulated runs)\n");
}

} // namespace

int main(int argc, char** argv)
{
    std::string optionText;
    std::string link;
    double timeScale = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--options" && i + 1 < argc) {
            optionText = argv[++i];
        } else if (arg == "--time-scale" && i + 1 < argc) {
            timeScale = std::atof(argv[++i]);
            if (timeScale <= 0) {
                usage();
                return 2;
            }
        } else if (arg == "--link" && i + 1 < argc) {
            link = argv[++i];
        } else {
            usage();
            return 2;
        }
    }
    sim::boardsim::BoardOptions options;
    std::string error;
    if (!sim::boardsim::BoardOptions::parse(optionText, options, &error)) {
        std::fprintf(stderr, "boardsim: %s\n", error.c_str());
        return 2;
    }
    std::unique_ptr<platform::Clock> scaled;
    if (timeScale != 1)
        scaled = std::make_unique<platform::ScaledClock>(timeScale);
    platform::Clock& clock = scaled ? *scaled : platform::RealClock::instance();
    auto loop = platform::makeEpollLoop();
    platform::quitOnTerminationSignals(*loop);
    auto board = sim::boardsim::PtyBoard::start(clock, options);
    if (!board) {
        std::fprintf(stderr, "boardsim: %s\n", board.error().message.c_str());
        return 1;
    }
    if (!link.empty()) {
        std::error_code ignored;
        std::filesystem::remove(link, ignored);
        std::filesystem::create_symlink(board.value()->path(), link, ignored);
        if (ignored) {
            std::fprintf(stderr, "boardsim: cannot link %s: %s\n", link.c_str(), ignored.message().c_str());
            return 1;
        }
    }
    std::printf("%s\n", board.value()->path().c_str());
    std::fflush(stdout);
    const int code = loop->run();
    if (!link.empty()) {
        std::error_code ignored;
        std::filesystem::remove(link, ignored);
    }
    return code;
}
