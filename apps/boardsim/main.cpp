// boardsim: a Kellan board in ISP mode behind a pseudo-terminal.
//
//   boardsim [--options "erase-ms=2000,sync-bytes=2,..."] [--link PATH] [--time-scale N] [--events]
//
// Prints the pseudo-terminal's path on the first line of standard output
// (and makes PATH a symbolic link to it, e.g. a COM mapping target), then
// serves until SIGINT or SIGTERM.

#include "apps/cli/command_line.h"
#include "platform/event_loop.h"
#include "platform/file_clock.h"
#include "platform/termination_signals.h"
#include "sim/boardsim/pty_board.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

namespace {

const char* const kAbout = "A board in ISP mode behind a pseudo-terminal. Prints the terminal's path on\n"
                           "the first line of standard output, then serves until SIGINT or SIGTERM.";

const char* const kNotes = "keys (numbers in C notation: 0x for hexadecimal):\n"
                           "  flash-size=N        flash size in bytes, 1..67108864 (default 524288)\n"
                           "  erase-ms=N|never    chip erase time in ms; never: the erase never completes\n"
                           "  no-sync             IspSync frames get no reply\n"
                           "  sync-bytes=1|2      sync reply 05, or 01 05\n"
                           "  sync-value=N        the last sync reply byte (default 5)\n"
                           "  bus-bytes=1|2       reply bytes per IspBusWrite\n"
                           "  bad-readback=ADDR   programming this flash address leaves bit 0 set\n"
                           "  line-error-frame=N  the reply to frame N (from 1) is lost to a line error\n"
                           "  slow-frame=N        the reply to frame N (from 1) takes slow-ms longer\n"
                           "  slow-ms=N           the extra time of slow-frame, in ms\n"
                           "  delay-ms=N          every reply waits N ms\n"
                           "  wire-time           replies take the time their bytes need on the line\n"
                           "  any-line            accept bytes whatever the line settings (default: only\n"
                           "                      8E1 at 115200 or 921600 baud)\n"
                           "  base=N              I/O base of the register-level UART (default 0x3F8)\n"
                           "\n"
                           "normal mode (boot loader and test firmware after the flashed loader runs):\n"
                           "  normal              start in normal mode; test-firmware: with the test firmware\n"
                           "  power-cycle-ms=N    pause standing in for the operator's power cycle\n"
                           "  menu-ms=N           how long the boot loader waits for \"3\" CR LF\n"
                           "  no-banner           no 0x41 after a reset; no-reset: rst is ignored\n"
                           "  eeprom-ro           EEPROM writes are lost\n"
                           "  fail-CMD, mute-CMD  a failing or silent reply to CMD (r, c, et, hsiloop, er)\n"
                           "  bare-CMD            a reply to CMD of its mark alone (r, c, et, hsiloop)\n"
                           "  net-start-ms=N, bootp-retry-ms=N, tftp-retry-ms=N   network timings\n"
                           "  no-bootp, tftp-silent, dup-ack, stop-ack-after=N   network faults\n"
                           "  interface=NAME      the interface of the boot loader's broadcasts (default lo)\n"
                           "\n"
                           "Exit status: 0 after a signal, 1 when the terminal cannot be made, 2 for bad\n"
                           "arguments.";

} // namespace

int main(int argc, char** argv)
{
    std::string optionText;
    std::string link;
    double timeScale = 1;
    bool events = false;
    std::string clockFile;
    CLI::App app(kAbout, "boardsim");
    cli::setUp(app);
    app.footer(kNotes);
    app.add_option("--options", optionText,
           "board settings and faults: key=value pairs separated by commas or blanks; a key without a value means "
           "key=1")
        ->type_name("LIST")
        ->check(CLI::Validator(
            [](std::string& text) {
                sim::boardsim::BoardOptions ignored;
                std::string error;
                return sim::boardsim::BoardOptions::parse(text, ignored, &error) ? std::string() : error;
            },
            "", "LIST"));
    app.add_option("--link", link, "also make PATH a symbolic link to the terminal")->type_name("PATH");
    app.add_option("--time-scale", timeScale,
           "the board's own times run N times faster, 0.001..1000 (for simulated runs with kellan-mp's "
           "KELLAN_MP_TIME_SCALE=N; "
           "tests only)")
        ->type_name("N")
        ->check(cli::number(0.001, 1000));
    app.add_option("--clock-file", clockFile,
           "the board's time is read from PATH, which a test moves on for the board and kellan-mp "
           "(KELLAN_MP_CLOCK_FILE=PATH) together (tests only)")
        ->type_name("PATH")
        ->excludes("--time-scale");
    app.add_flag("--events", events,
        "print each test-firmware command on standard output as \"command LINE\"; an EEPROM dump (er) adds \" mac "
        "MAC\", the address the board holds");
    cli::addExamples(app,
        {
            { "boardsim --link /tmp/board", "a good board; /tmp/board leads to its terminal" },
            { "boardsim --options erase-ms=never,bad-readback=0x100",
                "a board whose erase never ends and whose flash keeps a bit" },
            { "boardsim --options normal,eeprom-ro --events", "a board in normal mode that ignores EEPROM writes" },
        });
    if (const int status = cli::parse(app, argc, argv); status != cli::kContinue)
        return status;
    sim::boardsim::BoardOptions options;
    (void)sim::boardsim::BoardOptions::parse(optionText, options, nullptr);
    std::unique_ptr<platform::Clock> scaled;
    if (!clockFile.empty()) {
        auto opened = platform::FileClock::open(clockFile);
        if (!opened) {
            std::fprintf(stderr, "boardsim: %s\n", opened.error().message.c_str());
            return 1;
        }
        scaled = std::move(opened.value());
    } else if (timeScale != 1) {
        scaled = std::make_unique<platform::ScaledClock>(timeScale);
    }
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
    std::size_t commandsShown = 0;
    if (events) {
        loop->startTimer(std::chrono::milliseconds(5), [&board, &commandsShown] {
            const auto commands = board.value()->board().commands();
            for (; commandsShown < commands.size(); ++commandsShown) {
                const std::string& line = commands[commandsShown];
                if (line == "er")
                    std::printf("command er mac %s\n", board.value()->board().macAddress().c_str());
                else
                    std::printf("command %s\n", line.c_str());
            }
            std::fflush(stdout);
        });
    }
    const int code = loop->run();
    if (!link.empty()) {
        std::error_code ignored;
        std::filesystem::remove(link, ignored);
    }
    return code;
}
