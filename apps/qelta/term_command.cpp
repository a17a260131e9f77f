#include "apps/qelta/command.h"

#include "platform/com_names.h"
#include "platform/event_loop.h"
#include "platform/seqpacket.h"
#include "platform/termination_signals.h"
#include "platform/text_file.h"
#include "utility/services/terminal_text.h"
#include "utility/services/terminal_view.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <iostream>
#include <thread>

#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace qelta {

namespace {

const char* const kAbout = R"(Opens one serial port as the COM Port Terminal's first terminal does and
prints what arrives on stdout (as the terminal's log shows it: a physical port
at 9600 baud gets the console display). Lines read from stdin are typed into
the terminal key by key, each followed by a carriage return; the terminal's
typing rules apply (spaces and control characters are not sent). Status lines
("Open COM5 successfully.", the auto test's start and stop) go to stderr.
With --as-typed, --eol or --hex, lines go out as they are instead. --log
FILE adds what stdout shows to the end of FILE.)";

const char* const kNotes = R"(Options not given take the first terminal's saved settings (items 21-28 of
Qelta.dat); nothing is saved back.

Exit status: 0 after the port was open and closed again, 1 when it could not
be opened ("Open PORT failed!"), went away while open ("PORT is gone"), the
--log file could not be opened or written, or input read to be sent had not
gone when the terminal ended ("N bytes were not sent"), 2 for bad arguments.)";

const std::array<const char*, 3> kParityNames = { "odd", "even", "none" };
const std::array<const char*, 3> kFlowNames = { "none", "xon", "hardware" };

struct TermOptions {
    std::string port;
    std::optional<std::string> baud, dataBits, parity, stopBits, flow;
    bool echo = false;
    bool autoTest = false;
    int interval = -1, length = -1;
    double duration = -1;
    bool hex = false;
    bool timestamps = false;
    bool asTyped = false;
    std::optional<std::string> eol;
    std::optional<std::string> sendFile;
    std::optional<std::string> log;
    bool localEcho = false;
};

const std::array<const char*, 3> kEolNames = { "cr", "lf", "crlf" };

// "41 42 0d" (or "41420D"): the bytes; nothing when a pair is not hex.
std::optional<std::vector<std::uint8_t>> parseHex(const std::string& text)
{
    std::vector<std::uint8_t> bytes;
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\r')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
        digits += c;
    }
    if (digits.size() % 2 != 0)
        return std::nullopt;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

// Where what the terminal shows goes: stdout, and the end of the log file
// when there is one (opened without following a link, never truncated).
class Shown {
public:
    Shown(bool hex, bool stamps)
        : m_hex(hex)
        , m_stamps(stamps)
    {
    }
    ~Shown()
    {
        if (m_log >= 0)
            ::close(m_log);
    }
    Shown(const Shown&) = delete;
    Shown& operator=(const Shown&) = delete;

    // An empty string when the file is open.
    std::string openLog(const std::string& path)
    {
        // Never waited on: a FIFO nobody reads is refused (ENXIO) at once
        // instead of holding the command before the port is even opened.
        m_log = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
        if (m_log < 0)
            return errno == ENXIO ? std::string("a FIFO that nobody reads") : std::string(std::strerror(errno));
        ::fcntl(m_log, F_SETFL, ::fcntl(m_log, F_GETFL) & ~O_NONBLOCK);
        return {};
    }

    // Bytes received, or sent when local echo is on.
    void bytes(const std::string& data)
    {
        std::string text = m_hex ? utility::services::terminalHexText(data) : data;
        if (m_stamps)
            text = "\n" + utility::services::terminalTimeStamp() + text;
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
        if (m_log < 0)
            return;
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t written = ::write(m_log, text.data() + done, text.size() - done);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0) {
                // Said once; the terminal goes on without its log.
                printStatus(std::string("qelta: the log file cannot be written (") + std::strerror(errno)
                    + "): logging stops.\n");
                ::close(m_log);
                m_log = -1;
                m_logFailed = true;
                return;
            }
            done += static_cast<std::size_t>(written);
        }
    }

    // The log asked for lost some of what was shown: the command fails.
    bool logFailed() const { return m_logFailed; }

private:
    bool m_hex;
    bool m_stamps;
    int m_log = -1;
    bool m_logFailed = false;
};

// What waits to be written: typed keys (the terminal's typing rules) or
// bytes sent as they are.
struct Outgoing {
    std::vector<std::uint8_t> bytes;
    bool raw = false;
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
        ->type_name("N")
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
    command.add_flag("--hex", options->hex,
        "show received bytes as hex pairs, and read stdin lines as hex pairs to send (\"41 54 0d\")");
    command.add_flag("--timestamps", options->timestamps, "begin each received block with the local time");
    command.add_flag("--as-typed", options->asTyped,
        "send stdin lines as they are, spaces and bytes from 0x80 included (the window's typing drops them)");
    command.add_option("--eol", options->eol, "line ending sent after each stdin line: cr (default), lf or crlf")
        ->type_name("E")
        ->check(entryOf(kEolNames, "cr, lf or crlf"));
    command.add_option("--send-file", options->sendFile, "send the bytes of FILE once the port is open")
        ->type_name("FILE")
        ->check(CLI::ExistingFile);
    command.add_option("--log", options->log, "also add what stdout shows to the end of FILE (created when missing)")
        ->type_name("FILE");
    command.add_flag(
        "--local-echo", options->localEcho, "show what is sent, as received data is shown (hex pairs with --hex)");
    return [options](Context& context) { return runTerm(context, *options); };
}

namespace {

int runTerm(Context& context, const TermOptions& options)
{
    using namespace utility::services;
    // Shared with the stdin reader, which may still post a line while the
    // command ends.
    std::shared_ptr<platform::EventLoop> loop = platform::makeEpollLoop();
    // Before the view: its last lines (a close) still reach it.
    Shown shown(options.hex, options.timestamps);
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

    // A log FIFO whose reader leaves, or a stdout pipe that closes, is a
    // write that fails (and is said), not a signal that ends the terminal.
    (void)std::signal(SIGPIPE, SIG_IGN);
    if (options.log) {
        if (const std::string why = shown.openLog(*options.log); !why.empty()) {
            printStatus("qelta: cannot open the log file " + *options.log + ": " + why + "\n");
            return kExitFailure;
        }
    }
    terminal.setLogCallback([&shown](const Terminal::LogChange& change) {
        if (change.kind == Terminal::LogChange::Append && change.received) {
            shown.bytes(change.text);
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
    bool gone = false;
    terminal.setGoneCallback([&] {
        gone = true;
        status = kExitFailure;
        loop->quit(0);
    });
    if (options.echo)
        terminal.setEcho(true);
    if (options.autoTest)
        terminal.setAutoTest(true);

    // What stdin gives goes out in order, each write only when the one
    // before it has been taken up (the terminal keeps one pending write).
    // Keys follow the typing rules one at a time; raw bytes go in blocks.
    // The timer that feeds them runs only while something waits: an idle
    // terminal waits on its port and stdin alone.
    auto queue = std::make_shared<std::deque<Outgoing>>();
    static constexpr int kFeedTimer = 1;
    static constexpr std::size_t kBlock = 1024;
    platform::TimerSet timers(*loop);
    auto feed = std::make_shared<std::function<void()>>();
    Shown* echo = options.localEcho ? &shown : nullptr;
    *feed = [&terminal, queue, &timers, echo, weakFeed = std::weak_ptr(feed)] {
        while (!queue->empty() && !terminal.writePending()) {
            Outgoing& next = queue->front();
            if (echo)
                echo->bytes(next.raw ? std::string(next.bytes.begin(),
                                next.bytes.begin() + static_cast<std::ptrdiff_t>(std::min(kBlock, next.bytes.size())))
                                     : std::string(1, static_cast<char>(next.bytes.front())));
            if (next.raw) {
                const std::size_t size = std::min(kBlock, next.bytes.size());
                terminal.send(next.bytes.data(), size);
                next.bytes.erase(next.bytes.begin(), next.bytes.begin() + static_cast<std::ptrdiff_t>(size));
            } else {
                terminal.type(next.bytes.front());
                next.bytes.erase(next.bytes.begin());
            }
            if (next.bytes.empty())
                queue->pop_front();
        }
        if (queue->empty())
            timers.kill(kFeedTimer);
        else if (!timers.active(kFeedTimer))
            if (auto self = weakFeed.lock())
                timers.start(kFeedTimer, std::chrono::milliseconds(1), *self);
    };
    const std::string eol = !options.eol || *options.eol == "cr" ? "\r" : *options.eol == "lf" ? "\n" : "\r\n";
    if (options.sendFile) {
        auto bytes = platform::readFileBytes(*options.sendFile);
        if (!bytes) {
            printStatus("qelta: cannot read " + *options.sendFile + ": " + bytes.error().message + "\n");
            terminal.clickClose();
            return kExitFailure;
        }
        queue->push_back({ std::vector<std::uint8_t>(bytes->begin(), bytes->end()), true });
        (*feed)();
    }
    const bool raw = options.asTyped || options.hex || options.eol.has_value();
    const bool hexInput = options.hex;
    std::thread([weak = std::weak_ptr<platform::EventLoop>(loop), queue, feed, raw, hexInput, eol] {
        std::string line;
        while (std::getline(std::cin, line)) {
            Outgoing out;
            if (hexInput) {
                auto bytes = parseHex(line);
                if (!bytes) {
                    printStatus("not hex pairs, not sent: " + line + "\n");
                    continue;
                }
                out = { std::move(*bytes), true };
            } else {
                line += raw ? eol : "\r";
                out = { std::vector<std::uint8_t>(line.begin(), line.end()), raw };
            }
            auto alive = weak.lock();
            if (!alive)
                return;
            alive->post([queue, feed, out = std::move(out)] {
                queue->push_back(out);
                (*feed)();
            });
        }
    }).detach();
    if (options.duration >= 0)
        loop->startTimer(std::chrono::milliseconds(static_cast<long long>(options.duration * 1000)),
            [&loop = *loop] { loop.quit(0); });
    loop->run();
    // What was read to be sent and had not gone when the terminal ended (its
    // time was up, Ctrl+C, the port went away) is not lost without a word.
    std::size_t notSent = 0;
    for (const Outgoing& out : *queue)
        notSent += out.bytes.size();
    if (notSent > 0) {
        printStatus("qelta: " + std::to_string(notSent) + " bytes were not sent: the terminal ended first.\n");
        status = kExitFailure;
    }
    if (gone)
        return status; // closed already, and said
    if (terminal.autoTest())
        terminal.setAutoTest(false);
    if (terminal.echo())
        terminal.setEcho(false);
    terminal.clickClose();
    return shown.logFailed() ? kExitFailure : status;
}

} // namespace

} // namespace qelta
