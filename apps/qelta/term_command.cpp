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

const std::string_view kTermUsage
    = "PORT [--baud N] [--data-bits 8|7|6|5] [--parity none|odd|even] [--stop-bits 1|1.5|2] "
      "[--flow none|xon|hardware] [--echo] [--auto-test --interval MS --length N] [--duration S]";

const std::string_view kTermHelp = R"(usage: qelta term PORT [options]

Opens one serial port as the COM Port Terminal's first terminal does and
prints what arrives on stdout (as the terminal's log shows it: a physical port
at 9600 baud gets the console display). Lines read from stdin are typed into
the terminal key by key, each followed by a carriage return; the terminal's
typing rules apply (spaces and control characters are not sent). Status lines
("Open COM5 successfully.", the auto test's start and stop) go to stderr.

PORT is a device path (/dev/ttyUSB0) or a COM name: vorpild's virtual ports
($VORPIL_RUNTIME_DIR/dev/COMn), then the COM mapping file, then
/dev/ttyS(n-1).

options:
  --baud N          1200 2400 4800 9600 14400 19200 38400 57600 115200 921600
  --data-bits B     8, 7, 6 or 5
  --parity P        none, odd or even
  --stop-bits S     1, 1.5 or 2
  --flow F          none, xon (0x11/0x13 both ways) or hardware (RTS/CTS)
  --echo            send received data back on each carriage return, and
                    whatever is pending every second
  --auto-test       send the test pattern (0-9, A-Z, a-z, each line N times
                    followed by CR LF) every interval
  --interval MS     auto test interval, 10..100000 (clamped as the view does;
                    a clamped value is said on stderr)
  --length N        auto test line length, 1..1472 and at most what the baud
                    rate carries in one interval, baud x MS / 8000 (clamped
                    as the view does; a clamped value is said on stderr)
  --duration S      close the port and end after S seconds (default: run
                    until interrupted)

Options not given take the first terminal's saved settings (items 21-28 of
Qelta.dat); nothing is saved back.

Exit status: 0 after the port was open and closed again, 1 when it could not
be opened ("Open PORT failed!"), 2 for bad arguments.
)";

namespace {

struct TermOptions {
    std::string port;
    int baud = -1, dataBits = -1, parity = -1, stopBits = -1, flow = -1;
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

bool parseInt(const std::string& text, int& value)
{
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && ptr == text.data() + text.size();
}

std::string parse(const std::vector<std::string>& arguments, TermOptions& options)
{
    using namespace utility::services;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        if (a == "--echo") {
            options.echo = true;
            continue;
        }
        if (a == "--auto-test") {
            options.autoTest = true;
            continue;
        }
        if (a.rfind("--", 0) != 0) {
            if (!options.port.empty())
                return "only one PORT, got '" + a + "'";
            options.port = a;
            continue;
        }
        if (i + 1 >= arguments.size())
            return a + " needs a value";
        const std::string& v = arguments[++i];
        if (a == "--baud") {
            options.baud = indexOf(kTerminalBaudRates, v);
            if (options.baud < 0)
                return "--baud: '" + v + "' is not one of the terminal's baud rates";
        } else if (a == "--data-bits") {
            options.dataBits = indexOf(kTerminalDataBits, v);
            if (options.dataBits < 0)
                return "--data-bits: '" + v + "' is not 8, 7, 6 or 5";
        } else if (a == "--parity") {
            const std::array<const char*, 3> names = { "odd", "even", "none" };
            options.parity = indexOf(names, v);
            if (options.parity < 0)
                return "--parity: '" + v + "' is not none, odd or even";
        } else if (a == "--stop-bits") {
            options.stopBits = indexOf(kTerminalStopBits, v);
            if (options.stopBits < 0)
                return "--stop-bits: '" + v + "' is not 1, 1.5 or 2";
        } else if (a == "--flow") {
            const std::array<const char*, 3> names = { "none", "xon", "hardware" };
            options.flow = indexOf(names, v);
            if (options.flow < 0)
                return "--flow: '" + v + "' is not none, xon or hardware";
        } else if (a == "--interval") {
            if (!parseInt(v, options.interval))
                return "--interval: '" + v + "' is not a number";
        } else if (a == "--length") {
            if (!parseInt(v, options.length))
                return "--length: '" + v + "' is not a number";
        } else if (a == "--duration") {
            int seconds = 0;
            if (!parseInt(v, seconds) || seconds < 0)
                return "--duration: '" + v + "' is not a number of seconds";
            options.duration = seconds;
        } else {
            return "unknown option '" + a + "'";
        }
    }
    if (options.port.empty())
        return "PORT is missing";
    return {};
}

} // namespace

std::string checkTermArguments(const std::vector<std::string>& arguments)
{
    TermOptions options;
    return parse(arguments, options);
}

int runTerm(Context& context)
{
    using namespace utility::services;
    TermOptions options;
    if (!parse(context.arguments, options).empty())
        return kExitBadArguments;

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
    if (options.baud >= 0)
        terminal.setBaudIndex(options.baud);
    if (options.dataBits >= 0)
        terminal.setDataBitsIndex(options.dataBits);
    if (options.parity >= 0)
        terminal.setParityIndex(options.parity);
    if (options.stopBits >= 0)
        terminal.setStopBitsIndex(options.stopBits);
    if (options.flow >= 0)
        terminal.setFlowIndex(options.flow);
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
        const std::string why = range
            ? "is outside 1.." + std::to_string(kTerminalMaxLength)
            : "is more than " + std::string(kTerminalBaudRates[static_cast<std::size_t>(used.baudRateIndex)])
                + " baud carries in " + std::to_string(used.testIntervalMs) + " ms";
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
    if (options.echo)
        terminal.setEcho(true);
    if (options.autoTest)
        terminal.setAutoTest(true);

    // Keys from stdin, one at a time: the terminal keeps one pending write,
    // so a key goes out only when the one before it has been taken up.
    auto keys = std::make_shared<std::deque<std::uint8_t>>();
    std::thread([weak = std::weak_ptr<platform::EventLoop>(loop), keys] {
        std::string line;
        while (std::getline(std::cin, line)) {
            line += '\r';
            auto alive = weak.lock();
            if (!alive)
                return;
            alive->post([keys, line] { keys->insert(keys->end(), line.begin(), line.end()); });
        }
    }).detach();
    loop->startTimer(std::chrono::milliseconds(1), [&terminal, keys] {
        while (!keys->empty() && !terminal.writePending()) {
            const std::uint8_t key = keys->front();
            keys->pop_front();
            terminal.type(key);
            // Unsent keys (spaces, control characters) leave nothing pending.
            if (terminal.writePending())
                break;
        }
    });
    if (options.duration >= 0)
        loop->startTimer(std::chrono::milliseconds(static_cast<long long>(options.duration * 1000)),
            [&loop = *loop] { loop.quit(0); });
    loop->run();
    if (terminal.autoTest())
        terminal.setAutoTest(false);
    if (terminal.echo())
        terminal.setEcho(false);
    terminal.clickClose();
    return kExitOk;
}

} // namespace qelta
