#include "platform/serial_port.h"
#include "sim/boardsim/board.h"
#include "sim/boardsim/flash.h"
#include "sim/boardsim/pty_board.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using sim::boardsim::Board;
using sim::boardsim::BoardOptions;
using sim::boardsim::JedecFlash;

namespace {

void busWrite(JedecFlash& flash, std::initializer_list<std::pair<std::uint32_t, std::uint8_t>> cycles)
{
    for (auto [address, data] : cycles)
        flash.write(address, data);
}

void chipErase(JedecFlash& flash)
{
    busWrite(flash,
        { { 0x555, 0xAA }, { 0x2AA, 0x55 }, { 0x555, 0x80 }, { 0x555, 0xAA }, { 0x2AA, 0x55 }, { 0x555, 0x10 } });
}

platform::SerialSettings ispLine()
{
    platform::SerialSettings line;
    line.baud = 921600;
    line.parity = platform::Parity::Even;
    return line;
}

} // namespace

TEST(JedecFlash, ChipEraseTakesItsTimeAndReadsFFAfterwards)
{
    platform::FakeClock clock;
    JedecFlash flash(clock, 64 * 1024, 2s);
    ASSERT_NE(flash.read(0x6000), 0xFF);
    chipErase(flash);
    EXPECT_TRUE(flash.busy());
    EXPECT_NE(flash.read(0x6000), 0xFF);
    EXPECT_EQ(flash.read(0x6000) & 0x80, 0); // data polling
    clock.advance(2s);
    EXPECT_EQ(flash.read(0x6000), 0xFF);
    EXPECT_EQ(flash.chipErases(), 1);
}

TEST(JedecFlash, UnlockBypassProgramsUntilLeft)
{
    platform::FakeClock clock;
    JedecFlash flash(clock, 64 * 1024, 0s);
    chipErase(flash);
    busWrite(flash, { { 0x555, 0xAA }, { 0x2AA, 0x55 }, { 0x555, 0x20 } });
    EXPECT_TRUE(flash.inUnlockBypass());
    busWrite(flash, { { 0x333, 0xA0 }, { 0x10, 0x5A }, { 0x333, 0xA0 }, { 0x11, 0xF0 } });
    EXPECT_EQ(flash.read(0x10), 0x5A);
    EXPECT_EQ(flash.read(0x11), 0xF0); // a program cycle's data, not a reset
    busWrite(flash, { { 0x333, 0x90 }, { 0x333, 0xF0 } });
    EXPECT_FALSE(flash.inUnlockBypass());
    busWrite(flash, { { 0x12, 0x00 } }); // a plain bus write programs nothing
    EXPECT_EQ(flash.read(0x12), 0xFF);
}

TEST(JedecFlash, ProgrammingOnlyClearsBitsAndWeakCellKeepsBitZero)
{
    platform::FakeClock clock;
    JedecFlash flash(clock, 1024, 0s);
    flash.setDefectiveAddress(7);
    chipErase(flash);
    busWrite(flash, { { 0x555, 0xAA }, { 0x2AA, 0x55 }, { 0x555, 0xA0 }, { 0x3, 0x0F } });
    busWrite(flash, { { 0x555, 0xAA }, { 0x2AA, 0x55 }, { 0x555, 0xA0 }, { 0x3, 0xF0 } });
    EXPECT_EQ(flash.read(0x3), 0x00);
    busWrite(flash, { { 0x555, 0xAA }, { 0x2AA, 0x55 }, { 0x555, 0xA0 }, { 0x7, 0x42 } });
    EXPECT_EQ(flash.read(0x7), 0x43);
}

TEST(JedecFlash, NeverEndingEraseStaysBusy)
{
    platform::FakeClock clock;
    JedecFlash flash(clock, 1024, 1s);
    flash.setEraseNeverFinishes(true);
    chipErase(flash);
    clock.advance(1h);
    EXPECT_TRUE(flash.busy());
    EXPECT_NE(flash.read(0), 0xFF);
}

TEST(BoardOptions, ParsesFaultSwitchesAndRefusesUnknownOnes)
{
    BoardOptions options;
    ASSERT_TRUE(BoardOptions::parse("erase-ms=never, sync-bytes=2,bus-bytes=2 bad-readback=0x28,delay-ms=7", options));
    EXPECT_TRUE(options.eraseNeverFinishes);
    EXPECT_EQ(options.syncReplyBytes, 2);
    EXPECT_EQ(options.busWriteReplyBytes, 2);
    EXPECT_EQ(options.wrongReadBackAt, 0x28);
    EXPECT_EQ(options.replyDelay, 7ms);
    std::string error;
    EXPECT_FALSE(BoardOptions::parse("sync-bytes=3", options, &error));
    EXPECT_FALSE(BoardOptions::parse("frobnicate=1", options, &error));
    EXPECT_EQ(error, "unknown option frobnicate=1");
}

struct ReplyCase {
    const char* name;
    const char* options;
    std::vector<std::uint8_t> frame;
    std::vector<std::uint8_t> reply;
};

class BoardReplies : public testing::TestWithParam<ReplyCase> { };

TEST_P(BoardReplies, AnswersFrameAsConfigured)
{
    platform::FakeClock clock;
    BoardOptions options;
    ASSERT_TRUE(BoardOptions::parse(GetParam().options, options));
    Board board(clock, options);
    board.setLine(ispLine());
    board.receive(GetParam().frame.data(), GetParam().frame.size());
    std::vector<std::uint8_t> out;
    board.takeDue(out);
    EXPECT_EQ(out, GetParam().reply);
}

INSTANTIATE_TEST_SUITE_P(Frames, BoardReplies,
    testing::Values(ReplyCase { "Sync", "", { 0x01, 0, 0, 0, 0 }, { 0x05 } },
        ReplyCase { "SyncTwoBytes", "sync-bytes=2", { 0x01, 0, 0, 0, 0 }, { 0x01, 0x05 } },
        ReplyCase { "SyncIgnored", "no-sync", { 0x01, 0, 0, 0, 0 }, {} },
        ReplyCase { "BusWrite", "", { 0x80, 0x55, 0x05, 0, 0xAA }, { 0xAA } },
        ReplyCase { "BusWriteTwoBytes", "bus-bytes=2", { 0x80, 0x55, 0x05, 0, 0xAA }, { 0x80, 0xAA } },
        ReplyCase { "UnknownCommand", "", { 0x7E, 0, 0, 0, 0 }, {} }),
    [](const testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

TEST(Board, IgnoresBytesAtWrongSpeedOrFraming)
{
    platform::FakeClock clock;
    Board board(clock, {});
    platform::SerialSettings line = ispLine();
    line.parity = platform::Parity::None;
    board.setLine(line);
    const std::uint8_t sync[5] = { 0x01, 0, 0, 0, 0 };
    board.receive(sync, 5);
    EXPECT_EQ(board.queuedReplies(), 0u);
    EXPECT_EQ(board.ignoredBytes(), 5u);
}

TEST(Board, DelayedReplyFallsDueLater)
{
    platform::FakeClock clock;
    BoardOptions options;
    options.replyDelay = 30ms;
    Board board(clock, options);
    const std::uint8_t sync[5] = { 0x01, 0, 0, 0, 0 };
    board.receive(sync, 5);
    std::vector<std::uint8_t> out;
    board.takeDue(out);
    EXPECT_TRUE(out.empty());
    clock.advance(30ms);
    board.takeDue(out);
    EXPECT_EQ(out, std::vector<std::uint8_t>({ 0x05 }));
}

TEST(PtyBoard, AnswersSyncOverPseudoTerminalOnlyAtIspSettings)
{
    auto board = sim::boardsim::PtyBoard::start(platform::RealClock::instance(), {});
    ASSERT_TRUE(board) << board.error().message;
    auto port = platform::openSerialPort(board.value()->path(), platform::RealClock::instance());
    ASSERT_TRUE(port) << port.error().message;
    platform::SerialTimeouts timeouts;
    timeouts.readInterval = 20;
    timeouts.readConstant = 500;
    ASSERT_TRUE(port.value()->setTimeouts(timeouts));
    const std::uint8_t sync[5] = { 0x01, 0, 0, 0, 0 };
    std::uint8_t reply[2] = {};

    platform::SerialSettings wrong;
    wrong.baud = 9600;
    ASSERT_TRUE(port.value()->configure(wrong));
    ASSERT_EQ(port.value()->write(sync, 5).count, 5u);
    EXPECT_EQ(port.value()->read(reply, 1, 2s).count, 0u);

    ASSERT_TRUE(port.value()->configure(ispLine()));
    ASSERT_EQ(port.value()->write(sync, 5).count, 5u);
    const auto got = port.value()->read(reply, 1, 2s);
    ASSERT_EQ(got.count, 1u);
    EXPECT_EQ(reply[0], 0x05);
}

namespace {

// ---- Normal mode: boot loader and test firmware ----

platform::SerialSettings firmwareLine()
{
    platform::SerialSettings line;
    line.baud = 9600;
    return line;
}

std::string say(Board& board, const std::string& text)
{
    board.receive(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    std::vector<std::uint8_t> out;
    board.takeDue(out);
    return std::string(out.begin(), out.end());
}

TEST(TestFirmware, JudgedByteCarriesThePassMarkOnlyWhenNotFailing)
{
    struct Case {
        const char* command;
        std::size_t judged;
        char mark;
    };
    for (const char* options : { "test-firmware", "test-firmware,fail-r,fail-c,fail-et,fail-hsiloop" }) {
        BoardOptions parsed;
        ASSERT_TRUE(BoardOptions::parse(options, parsed));
        platform::FakeClock clock;
        Board board(clock, parsed);
        board.setLine(firmwareLine());
        for (const Case& c : { Case { "r\r\n", 4, '!' }, Case { "c\r\n", 4, '@' }, Case { "et\r\n", 5, '#' },
                 Case { "hsiloop\r\n", 10, '@' } }) {
            const std::string reply = say(board, c.command);
            ASSERT_GT(reply.size(), c.judged) << c.command;
            EXPECT_EQ(reply[c.judged] == c.mark, parsed.failingCommands.empty()) << options << " " << c.command;
        }
    }
}

TEST(TestFirmware, EepromWordsShowInTheDumpAndRstStartsTheLoader)
{
    BoardOptions parsed;
    ASSERT_TRUE(BoardOptions::parse("test-firmware,mute-c", parsed));
    platform::FakeClock clock;
    Board board(clock, parsed);
    board.setLine(firmwareLine());
    EXPECT_EQ(say(board, "c\r\n"), "");
    say(board, "ew 0006 12ab\r\n");
    const std::string dump = say(board, "er\r\n");
    const std::size_t colon = dump.find(':');
    ASSERT_NE(colon, std::string::npos);
    EXPECT_EQ(dump.substr(colon + 1 + 3 * 6, 3), " ab");
    EXPECT_EQ(dump.substr(colon + 1 + 3 * 5, 3), " ff");
    EXPECT_EQ(board.eeprom()[6], 0x12ab);
    // A reset answers with the loader's banner only, its first byte 'A'.
    const std::string banner = say(board, "rst\r\n");
    ASSERT_FALSE(banner.empty());
    EXPECT_EQ(banner[0], 'A');
    EXPECT_EQ(board.mode(), Board::Mode::BootLoader);
    EXPECT_EQ(board.commands(), std::vector<std::string>({ "c", "ew 0006 12ab", "er", "rst" }));
}

TEST(BoardOptions, NormalModeSwitchesParse)
{
    BoardOptions parsed;
    ASSERT_TRUE(BoardOptions::parse(
        "normal,menu-ms=50,no-banner,fail-et,mute-er,tftp-silent,stop-ack-after=3,interface=eth9", parsed));
    EXPECT_TRUE(parsed.startInNormalMode);
    EXPECT_EQ(parsed.bootMenu, 50ms);
    EXPECT_TRUE(parsed.noBanner);
    EXPECT_EQ(parsed.failingCommands, std::set<std::string>({ "et" }));
    EXPECT_EQ(parsed.muteCommands, std::set<std::string>({ "er" }));
    EXPECT_TRUE(parsed.network.tftpSilent);
    EXPECT_EQ(parsed.network.stopAckAfter, 3);
    EXPECT_EQ(parsed.network.interfaceName, "eth9");
    EXPECT_FALSE(BoardOptions::parse("fail-x", parsed));
}

} // namespace
