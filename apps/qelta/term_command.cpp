#include "apps/qelta/command.h"

#include "platform/com_names.h"
#include "platform/event_loop.h"
#include "platform/seqpacket.h"
#include "platform/termination_signals.h"
#include "utility/services/terminal_view.h"

#include <charconv>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <iostream>
#include <thread>

namespace qelta {

namespace {

const char* const kAbout = R"(Opens one serial port as the COM Port Terminal's first terminal does and
prints what arrives on stdout (as the terminal's log shows it: a physical port
at 9600 baud gets the console display). Lines read from stdin are typed into
the terminal key by key, each followed by a carriage return; the terminal's
typing rules apply (spaces and control characters are not sent). Status lines
("Open COM5 successfully.", the auto test's start and stop) go to stderr.)";

const char* const kNotes = R"(Options not given take the first terminal's saved settings (items 21-28 of
Qelta.dat); nothing is saved back.

Exit status: 0 after the port was open and closed again, 1 when it could not
be opened ("Open PORT failed!") or went away while open ("PORT is gone"), 2
for bad arguments.)";

const std::array<const char*, 3> kParityNames = { "odd", "even", "none" };
const std::array<const char*, 3> kFlowNames = { "none", "xon", "hardware" };

struct TermOptions {
    std::string port;
    std::optional<std::string> baud, dataBits, parity, stopBits, flow;
    bool echo = false;
    bool autoTest = false;
    int interval = -1, length = -1;
    double duration = -1;
};

template <std::size_t N> int indexOf(const std::array<const char*, N>& list, const std::string& text)
{
    for (std::size_t i = 0; i < N; ++i)
        if (text == list[i])
            return static_cast<int>(i);
    return -1;
}

// One of the view's list entries, by its text.
template <std::size_t N> CLI::Validator entryOf(const std::array<const char*, N>& list, std::string what)
{
    return CLI::Validator(
        [&list, what](
            std::string& text) { return indexOf(list, text) < 0 ? "'" + text + "' is not " + what : std::string(); },
        "", "");
}

int runTerm(Context& context, const TermOptions& options);

} // namespace

Runner declareTerm(CLI::App& command)
{
    using namespace utility::services;
    auto options = describe<TermOptions>(command, kAbout, kNotes);
    command
        .add_option("PORT", options->port,
            "a device path (/dev/ttyUSB0) or a COM name: vorpild's virtual ports ($VORPIL_RUNTIME_DIR/dev/COMn), "
            "then the COM mapping file, then /dev/ttyS(n-1)")
        ->required();
    command
        .add_option("--baud", options->baud,
            "any rate the port takes, 50..4000000 (the window lists 1200 2400 4800 9600 14400 19200 38400 57600 "
            "115200 921600 and has a field for others)")
        ->type_name("N")
        ->check(cli::wholeNumber(50, 4000000));
    command.add_option("--data-bits", options->dataBits, "8, 7, 6 or 5")
        ->type_name("B")
        ->check(entryOf(kTerminalDataBits, "8, 7, 6 or 5"));
    command.add_option("--parity", options->parity, "none, odd or even")
        ->type_name("P")
        ->check(entryOf(kParityNames, "none, odd or even"));
    command.add_option("--stop-bits", options->stopBits, "1, 1.5 or 2")
        ->type_name("S")
        ->check(entryOf(kTerminalStopBits, "1, 1.5 or 2"));
    command.add_option("--flow", options->flow, "none, xon (0x11/0x13 both ways) or hardware (RTS/CTS)")
        ->type_name("F")
        ->check(entryOf(kFlowNames, "none, xon or hardware"));
    command.add_flag("--echo", options->echo,
        "send received data back on each carriage return, and whatever is pending every second");
    command.add_flag("--auto-test", options->autoTest,
        "send the test pattern (0-9, A-Z, a-z, each line N times followed by CR LF) every interval");
    command
        .add_option("--interval", options->interval,
            "auto test interval, 10..100000 (clamped as the view does; a clamped value is said on stderr)")
        ->type_name("MS")
        ->check(cli::wholeNumber(-999999999, 999999999));
    command
        .add_option("--length", options->length,
            "auto test line length, 1..1472 and at most what the baud rate carries in one interval, baud x MS / "
            "8000 (clamped as the view does; a clamped value is said on stderr)")
        ->type_name("N")
        ->check(cli::wholeNumber(-999999999, 999999999));
    command
        .add_option(
            "--duration", options->duration, "close the port and end after S seconds (default: run until interrupted)")
        ->type_name("S")
        ->check(cli::wholeNumber(0, 999999999));
    return [options](Context& context) { return runTerm(context, *options); };
}

namespace {

int runTerm(Context& context, const TermOptions& options)
{
    using namespace utility::services;
    // Shared with the stdin reader, which may still post a line while the
    // command ends.
    std::shared_ptr<platform::EventLoop> loop = platform::makeEpollLoop();
    TerminalEnvironment environment;
    environment.scanner = TerminalPortScanner::fromEnvironment();
    const std::string runtimeDir = environment.scanner.resolver.runtimeDir;
    // Without the window's navigation tree, vorpild's device directory tells
    // a virtual port from a physical one.
    environment.isVirtualPort = [runtimeDir](const std::string& name) {
        if (runtimeDir.empty())
            return false;
        if (platform::comNumber(name) > 0)
            return std::filesystem::exists(
                platform::vorpilDeviceDir(runtimeDir) + "/COM" + std::to_string(platform::comNumber(name)));
        return name.rfind(runtimeDir + "/", 0) == 0;
    };
    environment.systemLog = [](const std::string& line) { printStatus(line + "\n"); };
    TerminalView view(*loop, std::move(environment));
    Terminal& terminal = view.terminal(0);

    utility::shell::TerminalSettings lists = context.shell.settings().terminal[0];
    lists.echo = false;
    terminal.applySettings(lists);
    if (options.baud)
        terminal.setBaudRate(static_cast<std::uint32_t>(std::stoul(*options.baud)));
    if (options.dataBits)
        terminal.setDataBitsIndex(indexOf(kTerminalDataBits, *options.dataBits));
    if (options.parity)
        terminal.setParityIndex(indexOf(kParityNames, *options.parity));
    if (options.stopBits)
        terminal.setStopBitsIndex(indexOf(kTerminalStopBits, *options.stopBits));
    if (options.flow)
        terminal.setFlowIndex(indexOf(kFlowNames, *options.flow));
    if (options.interval >= 0)
        terminal.setInterval(options.interval);
    if (options.length >= 0)
        terminal.setLength(options.length);
    // The fields clamp what they are given, as the window shows in them; here
    // the result is said, or a test would run with other values unnoticed.
    const auto& used = terminal.lists();
    if (options.interval >= 0 && used.testIntervalMs != options.interval)
        printStatus("--interval " + std::to_string(options.interval) + " is outside "
            + std::to_string(kTerminalMinInterval) + ".." + std::to_string(kTerminalMaxInterval) + ": "
            + std::to_string(used.testIntervalMs) + " ms is used.\n");
    if (options.length >= 0 && used.testDataLength != options.length) {
        const bool range = options.length < 1 || used.testDataLength == kTerminalMaxLength;
        const std::string why = range ? "is outside 1.." + std::to_string(kTerminalMaxLength)
                                      : "is more than " + std::to_string(terminal.baudRate()) + " baud carries in "
                + std::to_string(used.testIntervalMs) + " ms";
        printStatus("--length " + std::to_string(options.length) + " " + why + ": "
            + std::to_string(used.testDataLength) + " bytes are used.\n");
    }

    terminal.setLogCallback([](const Terminal::LogChange& change) {
        if (change.kind == Terminal::LogChange::Append && change.received) {
            std::fwrite(change.text.data(), 1, change.text.size(), stdout);
            std::fflush(stdout);
        } else if (change.kind == Terminal::LogChange::Append) {
            printStatus(change.text);
        } else if (change.kind == Terminal::LogChange::Undo) {
            for (std::size_t i = 0; i < change.text.size(); ++i)
                std::fputs("\b \b", stdout);
            std::fflush(stdout);
        }
    });

    terminal.choosePort(options.port);
    terminal.clickOpen();
    if (!terminal.isOpen()) {
        // The view's line says only that it failed; here the reason follows.
        if (!terminal.openError().empty())
            printStatus(terminal.openError() + "\n");
        return kExitFailure;
    }
    if (!platform::quitOnTerminationSignals(*loop))
        return kExitFailure;
    // A port that goes away ends the command with status 1, said on stderr.
    int status = kExitOk;
    terminal.setGoneCallback([&] {
        status = kExitFailure;
        loop->quit(0);
    });
    if (options.echo)
        terminal.setEcho(true);
    if (options.autoTest)
        terminal.setAutoTest(true);

    // Keys from stdin, one at a time: the terminal keeps one pending write,
    // so a key goes out only when the one before it has been taken up. The
    // timer that feeds them runs only while keys wait: an idle terminal
    // waits on its port and stdin alone.
    auto keys = std::make_shared<std::deque<std::uint8_t>>();
    constexpr int kKeyTimer = 1;
    platform::TimerSet timers(*loop);
    auto feed = std::make_shared<std::function<void()>>();
    *feed = [&terminal, keys, &timers, feed = std::weak_ptr(feed)] {
        while (!keys->empty() && !terminal.writePending()) {
            const std::uint8_t key = keys->front();
            keys->pop_front();
            terminal.type(key);
            // Unsent keys (spaces, control characters) leave nothing pending.
            if (terminal.writePending())
                break;
        }
        if (keys->empty())
            timers.kill(kKeyTimer);
        else if (!timers.active(kKeyTimer))
            if (auto self = feed.lock())
                timers.start(kKeyTimer, std::chrono::milliseconds(1), *self);
    };
    std::thread([weak = std::weak_ptr<platform::EventLoop>(loop), keys, feed] {
        std::string line;
        while (std::getline(std::cin, line)) {
            line += '\r';
            auto alive = weak.lock();
            if (!alive)
                return;
            alive->post([keys, line, feed] {
                keys->insert(keys->end(), line.begin(), line.end());
                (*feed)();
            });
        }
    }).detach();
    if (options.duration >= 0)
        loop->startTimer(std::chrono::milliseconds(static_cast<long long>(options.duration * 1000)),
            [&loop = *loop] { loop.quit(0); });
    loop->run();
    if (status != kExitOk)
        return status; // closed already, and said
    if (terminal.autoTest())
        terminal.setAutoTest(false);
    if (terminal.echo())
        terminal.setEcho(false);
    terminal.clickClose();
    return kExitOk;
}

} // namespace

} // namespace qelta
