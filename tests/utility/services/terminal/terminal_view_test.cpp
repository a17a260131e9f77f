// The terminal controller on real pseudo-terminals: the test holds the
// device end of each pair. Timers run in virtual time; only the reader
// thread's real I/O is waited for in real time.
#include "platform/event_loop.h"
#include "platform/pty.h"
#include "tests/support/temp_dir.h"
#include "utility/services/terminal_view.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

using namespace std::chrono_literals;
using utility::services::Terminal;
using utility::services::TerminalEnvironment;
using utility::services::TerminalView;

namespace {

constexpr int kBaud9600 = 3;
constexpr int kBaud115200 = 8;

struct Fixture {
    platform::FakeClock clock;
    platform::VirtualLoop loop { clock };
    testing_support::TempDir dir;
    std::unique_ptr<platform::Pty> device = std::move(*platform::Pty::open());
    std::vector<std::string> systemLog;
    bool virtualPort = false;
    std::unique_ptr<TerminalView> view;

    Fixture()
    {
        // The pty stands in as COM5 of a driver host.
        std::filesystem::create_directories(dir.path() + "/dev");
        std::filesystem::create_symlink(device->slavePath(), dir.path() + "/dev/COM5");
        TerminalEnvironment environment;
        environment.scanner.devDir = dir.path() + "/nodev";
        environment.scanner.resolver.runtimeDir = dir.path();
        environment.isVirtualPort = [this](const std::string&) { return virtualPort; };
        environment.systemLog = [this](const std::string& line) { systemLog.push_back(line); };
        view = std::make_unique<TerminalView>(loop, std::move(environment));
    }

    Terminal& term(int i = 0) { return view->terminal(i); }

    // Opens terminal i on COM5 with the given baud index.
    void open(int baudIndex, int i = 0)
    {
        utility::shell::AppSettings settings;
        settings.terminal[0].baudRateIndex = baudIndex;
        settings.terminal[1].baudRateIndex = baudIndex;
        view->firstShown(settings);
        term(i).choosePort("COM5");
        term(i).clickOpen();
        ASSERT_TRUE(term(i).isOpen()) << term(i).log();
    }

    // Lets the reader's hand-overs run until the condition holds.
    bool pump(const std::function<bool()>& condition)
    {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            loop.processPending();
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    void send(const std::string& bytes)
    {
        ASSERT_TRUE(device->write(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()).ok());
    }
    // Sends one block and waits until the terminal has handled it.
    void sendBlock(const std::string& bytes, int i = 0)
    {
        const auto before = term(i).bytesReceived();
        send(bytes);
        ASSERT_TRUE(pump([&] { return term(i).bytesReceived() >= before + bytes.size(); }));
        loop.processPending();
    }

    // What the device receives within `wait` (real time).
    std::string receive(std::size_t expected, std::chrono::milliseconds wait = 3000ms)
    {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (got.size() < expected && std::chrono::steady_clock::now() < deadline) {
            std::uint8_t buffer[4096];
            auto n = device->read(buffer, sizeof buffer, 20ms);
            if (n.ok())
                got.append(reinterpret_cast<char*>(buffer), *n);
        }
        return got;
    }
};

std::string packet(char fill, int length) { return std::string(static_cast<std::size_t>(length), fill) + "\r\n"; }

} // namespace

TEST(Terminal, AutoTestSendsThePatternOnePacketPerInterval)
{
    Fixture f;
    f.open(kBaud115200);
    f.term().setInterval(1000);
    f.term().setLength(10);
    f.term().setAutoTest(true);
    EXPECT_EQ(f.systemLog, std::vector<std::string> { "COM5 Auto Test function starts." });
    EXPECT_EQ(f.receive(12), packet('0', 10));
    f.loop.advance(999ms);
    EXPECT_EQ(f.receive(1, 100ms), "") << "nothing before the interval";
    const std::string order = "123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123";
    f.loop.advance(1ms);
    for (char fill : order) {
        ASSERT_EQ(f.receive(12), packet(fill, 10)) << "fill " << fill;
        f.loop.advance(1000ms);
    }
    f.receive(12);
    EXPECT_FALSE(f.term().closeEnabled());
    EXPECT_FALSE(f.term().echoEnabled());
    EXPECT_FALSE(f.term().intervalEnabled());
    f.term().setAutoTest(false);
    EXPECT_EQ(f.systemLog.back(), "COM5 Auto Test function stoped.");
    f.loop.advance(5000ms);
    EXPECT_EQ(f.receive(1, 100ms), "");
    EXPECT_TRUE(f.term().closeEnabled());
}

TEST(Terminal, FieldsClampIntervalAndLengthToWhatTheBaudRateCarries)
{
    struct Case {
        int baudIndex, interval, length, shownInterval, shownLength;
    };
    const Case cases[] = {
        { 0, 10, 1472, 10, 1 }, // 1200 baud, 10 ms
        { 0, 10, 500, 10, 1 }, { 9, 100, 5000, 100, 1472 }, // 921600 baud, 100 ms
        { 9, 100, 1472, 100, 1472 }, { 8, 5, 0, 10, 1 }, // 5 shown as 10; 0 becomes 1
        { 8, 200000, 1400, 100000, 1400 }, { 3, 1000, 2000, 1000, 1200 }, // 9600 baud carries 1200 bytes a second
    };
    for (const Case& c : cases) {
        Fixture f;
        f.term().setBaudIndex(c.baudIndex);
        f.term().setInterval(c.interval);
        f.term().setLength(c.length);
        EXPECT_EQ(f.term().lists().testIntervalMs, c.shownInterval) << c.baudIndex << " " << c.interval;
        EXPECT_EQ(f.term().lists().testDataLength, c.shownLength) << c.baudIndex << " " << c.length;
    }
}

TEST(Terminal, LongestAutoTestPacketGoesOutWhole)
{
    Fixture f;
    f.open(9); // 921600
    f.term().setInterval(100);
    f.term().setLength(1472);
    f.term().setAutoTest(true);
    EXPECT_EQ(f.receive(1474), packet('0', 1472));
}

TEST(Terminal, EchoReturnsALineOnCarriageReturnAndTheRestWithinASecond)
{
    Fixture f;
    f.open(kBaud115200);
    f.term().setEcho(true);
    EXPECT_FALSE(f.term().closeEnabled());
    EXPECT_FALSE(f.term().purgeEnabled());
    EXPECT_FALSE(f.term().autoTestEnabled());
    f.sendBlock("ab");
    EXPECT_EQ(f.receive(1, 200ms), "") << "held until the carriage return";
    f.sendBlock("\r");
    EXPECT_EQ(f.receive(3), "ab\r");

    f.sendBlock("cd");
    EXPECT_EQ(f.receive(1, 200ms), "");
    f.loop.advance(1000ms);
    EXPECT_EQ(f.receive(2), "cd");
    // Binary data goes back as it came, zero bytes included.
    f.sendBlock(std::string("x\0y\r", 4));
    EXPECT_EQ(f.receive(4), std::string("x\0y\r", 4));
}

TEST(Terminal, ConsoleDisplayOnAPhysicalPortAt9600)
{
    Fixture f;
    f.open(kBaud9600);
    EXPECT_FALSE(f.term().rawDisplay());
    const std::string before = f.term().log(); // "Open COM5 successfully.\r\n"
    f.sendBlock("\nhidden");
    EXPECT_EQ(f.term().log(), before);
    f.sendBlock("prompt>");
    f.term().type('l');
    EXPECT_EQ(f.receive(1), "l");
    f.sendBlock("l");
    EXPECT_EQ(f.term().log(), before + "prompt>l");
    f.term().type('\b');
    EXPECT_EQ(f.receive(1), "\b");
    f.sendBlock("\b");
    EXPECT_EQ(f.term().log(), before + "prompt>") << "the device's backspace takes the last block back";
    f.sendBlock(" ");
    EXPECT_EQ(f.term().log(), before + "prompt>") << "the blank of backspace-blank-backspace";
    // A carriage return shows a line break only after a line feed block.
    f.sendBlock("\r");
    EXPECT_EQ(f.term().log(), before + "prompt>");
    f.sendBlock("\n");
    f.sendBlock("\r");
    EXPECT_EQ(f.term().log(), before + "prompt>\r\n");
}

TEST(Terminal, VirtualPortAt9600KeepsRawDisplay)
{
    Fixture f;
    f.virtualPort = true;
    f.open(kBaud9600);
    EXPECT_TRUE(f.term().rawDisplay());
    f.sendBlock("\nshown");
    EXPECT_NE(f.term().log().find("\nshown"), std::string::npos);
}

TEST(Terminal, TypingSendsPrintablesAndCarriageReturnOnly)
{
    Fixture f;
    f.open(kBaud115200);
    // One pending write at a time: each key is waited for so that none
    // replaces another.
    const struct {
        std::uint8_t key;
        const char* sent;
        int typed;
    } keys[] = { { '\b', "", 0 }, { ' ', "", 0 }, { 0x01, "", 0 }, { 0x80, "", 0 }, { 'a', "a", 1 }, { '\b', "\b", 2 },
        { 0x7F, "\x7f", 3 }, { '\r', "\r", 0 }, { '\b', "", 0 } };
    for (const auto& k : keys) {
        f.term().type(k.key);
        EXPECT_EQ(f.receive(std::strlen(k.sent), 100ms), k.sent) << int(k.key);
        EXPECT_EQ(f.term().typedCount(), k.typed) << int(k.key);
    }
}

TEST(Terminal, SecondTerminalCannotOpenThePortTheFirstHolds)
{
    Fixture f;
    f.open(kBaud115200, 0);
    ASSERT_EQ(f.term(0).openPortName(), "COM5");
    f.term(1).refillPorts();
    for (const auto& port : f.term(1).ports())
        EXPECT_NE(port.name, "COM5");
    EXPECT_FALSE(f.term(1).openEnabled());
    f.term(1).choosePort("COM5");
    f.term(1).clickOpen();
    EXPECT_FALSE(f.term(1).isOpen());
    EXPECT_EQ(f.term(1).log(), "Open COM5 failed!\r\n");
    // Refilling leaves an open terminal's list alone.
    f.view->refreshPortLists();
    EXPECT_EQ(f.term(0).portText(), "COM5");
    // Once the first lets go, the port is back in the second's list.
    f.term(0).clickClose();
    f.view->refreshPortLists();
    ASSERT_EQ(f.term(1).ports().size(), 1u);
    EXPECT_EQ(f.term(1).ports()[0].name, "COM5");
    EXPECT_TRUE(f.term(1).openEnabled());
}

TEST(Terminal, CloseByNameStopsTheAutoTestAndClosesAsTheButtonDoes)
{
    Fixture f;
    f.open(kBaud115200);
    f.term().setAutoTest(true);
    f.receive(12);
    EXPECT_FALSE(f.view->closeByName("COM6"));
    EXPECT_TRUE(f.view->closeByName("COM5"));
    EXPECT_FALSE(f.term().isOpen());
    EXPECT_FALSE(f.term().autoTest());
    EXPECT_TRUE(f.term().openEnabled());
    EXPECT_TRUE(f.term().listsEnabled());
    EXPECT_NE(f.term().log().find("COM5 closed.\r\n"), std::string::npos);
    f.loop.advance(5000ms);
    EXPECT_EQ(f.receive(1, 100ms), "");
}

TEST(Terminal, DataArrivingWhileAWriteIsPendingIsKept)
{
    Fixture f;
    f.open(kBaud115200);
    // The reader waits for the window to take block one; meanwhile block two
    // arrives and a write is issued.
    f.send("one");
    std::this_thread::sleep_for(100ms);
    f.send("two");
    std::this_thread::sleep_for(50ms);
    f.term().type('x');
    ASSERT_TRUE(f.pump([&] { return f.term().bytesReceived() >= 6; })) << f.term().log();
    EXPECT_EQ(f.receive(1), "x");
    f.loop.processPending();
    EXPECT_EQ(f.term().log(), "Open COM5 successfully.\r\nonetwo");
}

TEST(Terminal, SettingsAreAppliedAndHandedBack)
{
    Fixture f;
    utility::shell::AppSettings settings;
    settings.terminal[1] = { 9, 1, 0, 2, 1, true, 250, 20 };
    settings.terminal[0].baudRateIndex = 42; // a damaged file must not break the list
    f.view->firstShown(settings);
    EXPECT_EQ(f.term(1).lists(), settings.terminal[1]);
    EXPECT_EQ(f.term(0).lists().baudRateIndex, 9);
    f.term(0).setFlowIndex(2);
    utility::shell::AppSettings out;
    f.view->handOver(out);
    EXPECT_EQ(out.terminal[1], settings.terminal[1]);
    EXPECT_EQ(out.terminal[0].flowControlIndex, 2);
}

TEST(Terminal, LogsAreEmptiedAtTheirLimits)
{
    struct Case {
        std::string before;
        bool emptied;
    };
    const Case cases[] = {
        { std::string(1000, '\n'), true }, // 1001 lines
        { std::string(999, '\n'), false }, // 1000 lines
        { std::string(60001, 'x'), true },
        { std::string(60000, 'x'), false },
    };
    for (const Case& c : cases) {
        Fixture f;
        f.term().receive(reinterpret_cast<const std::uint8_t*>(c.before.data()), c.before.size());
        f.term().receive(reinterpret_cast<const std::uint8_t*>("end"), 3);
        EXPECT_EQ(f.term().log(), c.emptied ? "end" : c.before + "end") << c.before.size();
    }
    // Status lines: more than 2000 lines empty the log before the next one.
    Fixture f;
    for (int i = 0; i < 2000; ++i)
        f.term().clickOpen(); // no port chosen: "Open  failed!"
    EXPECT_EQ(f.term().log().size(), 2000u * 15);
    f.term().clickOpen();
    EXPECT_EQ(f.term().log(), "Open  failed!\r\n");
}

TEST(Terminal, ConsoleDisplayLastsUntilTheNextButtonIsUsed)
{
    Fixture f;
    f.open(kBaud9600);
    ASSERT_FALSE(f.term().rawDisplay());
    f.term().type('a'); // typing is not a button
    EXPECT_FALSE(f.term().rawDisplay());
    f.term().clickClearLog();
    EXPECT_TRUE(f.term().rawDisplay());
    f.sendBlock("\nnow shown");
    EXPECT_EQ(f.term().log(), "\nnow shown");
}

TEST(TerminalPorts, CandidatesAreNamedByComNumberFirstThenByPath)
{
    testing_support::TempDir dir;
    namespace fs = std::filesystem;
    fs::create_directories(dir.path() + "/dev/serial/by-id");
    fs::create_directories(dir.path() + "/run/dev");
    for (const char* name : { "ttyUSB0", "ttyACM1", "ttyS2", "ttyX", "ttyUSBx" })
        dir.write(std::string("dev/") + name, "");
    fs::create_symlink("../../ttyUSB0", dir.path() + "/dev/serial/by-id/usb-Maker_Cable-if00");
    fs::create_symlink(dir.path() + "/dev/ttyACM1", dir.path() + "/run/dev/COM12");
    dir.write("run/dev/COM3", "");
    dir.write("com-ports", "COM7 " + dir.path() + "/dev/ttyUSB0\n");

    utility::services::TerminalPortScanner scanner;
    scanner.devDir = dir.path() + "/dev";
    scanner.resolver.runtimeDir = dir.path() + "/run";
    scanner.resolver.mappingFile = dir.file("com-ports");
    const std::vector<utility::services::TerminalPortEntry> expected = {
        { "COM3", dir.path() + "/run/dev/COM3" }, // vorpild's COM3 wins over ttyS2
        { "COM7", dir.path() + "/dev/ttyUSB0" }, // from the mapping file; its by-id link is the same device
        { "COM12", dir.path() + "/run/dev/COM12" }, // ttyACM1 is listed once, by its COM name
        { dir.path() + "/dev/ttyS2", dir.path() + "/dev/ttyS2" },
    };
    EXPECT_EQ(scanner.candidates(), expected);
    EXPECT_EQ(scanner.deviceFor("COM12"), dir.path() + "/run/dev/COM12");
    EXPECT_EQ(scanner.deviceFor("/dev/ttyUSB9"), "/dev/ttyUSB9");
    // None of these files is a terminal, so none can be opened.
    EXPECT_TRUE(scanner.openable().empty());
}

TEST(Terminal, EchoKeptFromTheSettingsRunsOnOpenAndEndsWithCloseByName)
{
    Fixture f;
    utility::shell::AppSettings settings;
    settings.terminal[0].baudRateIndex = kBaud115200;
    settings.terminal[0].echo = true;
    f.view->firstShown(settings);
    EXPECT_FALSE(f.term().echoEnabled()) << "closed";
    f.term().choosePort("COM5");
    f.term().clickOpen();
    ASSERT_TRUE(f.term().isOpen());
    EXPECT_FALSE(f.term().closeEnabled()) << "Echo locks Close Port";
    f.sendBlock("hi");
    EXPECT_TRUE(f.view->closeByName("COM5"));
    EXPECT_FALSE(f.term().echo());
    EXPECT_TRUE(f.term().openEnabled());
}

// A device that stops reading holds the terminal's write, not what it sends:
// its bytes are shown while the write waits, and once it reads again every
// byte of the write arrives in order.
TEST(Terminal, ADeviceThatStopsReadingIsStillHeardAndGetsTheWholeWrite)
{
    Fixture f;
    f.open(kBaud115200);
    std::string big(1 << 20, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 23);
    f.term().send(reinterpret_cast<const std::uint8_t*>(big.data()), big.size());
    ASSERT_TRUE(f.pump([&] { return !f.term().writePending(); }));
    // The device reads nothing: the write has filled the terminal's queue.
    f.send("tick");
    ASSERT_TRUE(f.pump([&] { return f.term().bytesReceived() >= 4; }))
        << "what the device sent is held behind the write";
    f.loop.processPending();
    EXPECT_EQ(f.term().log(), "Open COM5 successfully.\r\ntick");
    const std::string got = f.receive(big.size(), 20000ms);
    ASSERT_EQ(got.size(), big.size());
    EXPECT_TRUE(got == big) << "the write arrived changed";
}
