// Whole production runs of the Test page against the board simulator behind a
// real pseudo-terminal, with the boot loader's BOOTP and TFTP client on real
// sockets (ports 67 and 69 of the test's own network namespace). The page
// and the board share one clock whose time passes only while every thread of
// the test sleeps, ten times faster than real time: the fixed waits of a run
// (erase, self tests, EEPROM) take a tenth of their time, and however busy the
// machine, neither side finds that time went by while it could not act.

#include "mfg/station_records.h"
#include "mfg/test_page.h"
#include "platform/text_file.h"
#include "sim/boardsim/pty_board.h"
#include "tests/mfg/gui/idle_time_clock.h"
#include "tests/support/scripted_prompter.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

using namespace std::chrono_literals;

namespace {

constexpr double kSpeedUp = 10;

std::string pattern(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    for (auto& byte : bytes) {
        seed = seed * 1103515245 + 12345;
        byte = static_cast<char>(seed >> 16);
    }
    return bytes;
}

// 34 words at addresses 0..33, values 0x1100 + k.
std::string eepromFile()
{
    std::string text;
    for (int k = 0; k < 34; ++k) {
        char lines[32];
        std::snprintf(lines, sizeof lines, "[%04X]\n%04X ; word %d\n", k, 0x1100 + k, k);
        text += lines;
    }
    return text;
}

class ProductionRun : public testing::Test {
protected:
    ProductionRun()
    {
        // Time does not pass a reply the board has queued until it is sent.
        clock.setLimit([this]() -> std::optional<platform::TimePoint> {
            sim::boardsim::Board* serving = current.load();
            return serving ? serving->nextDue() : std::nullopt;
        });
    }
    ~ProductionRun() override { clock.setLimit({}); }

    void prepare(const std::string& boardOptions, int itemMask, const std::string& macStart = "00A0B0C0D0E0",
        const std::string& macEnd = "00A0B0C0D0FF")
    {
        sim::boardsim::BoardOptions options;
        ASSERT_TRUE(sim::boardsim::BoardOptions::parse("erase-ms=300," + boardOptions, options));
        auto started = sim::boardsim::PtyBoard::start(clock, options);
        ASSERT_TRUE(started) << started.error().message;
        board = std::move(started.value());
        current = &board->board();
        dir.write("com-ports", "COM3 " + board->path() + "\n");
        resolver.mappingFile = dir.file("com-ports");
        dir.write("loader.bin", loader);
        dir.write("test.bin", testFirmware);
        dir.write("prod.bin", productionFirmware);
        dir.write("eeprom.ini", eepromFile());
        dir.write("Option.dat",
            dir.file("loader.bin") + "\n" + dir.file("test.bin") + "\n" + dir.file("prod.bin") + "\n"
                + dir.file("eeprom.ini") + "\n" + dir.file("fail.log") + "\n127.0.0.2\n" + macStart + "\n" + macEnd
                + "\n0\n");
        dir.write("com.dat", "COM3\n921.6K");
        dir.write("item.dat", std::to_string(itemMask) + "\n");
        loop = platform::makeEpollLoop(clock);
        mfg::TestPage::Environment environment { *loop, clock, prompter, trace,
            mfg::systemSerialOpener(clock, resolver), dir.path(), nullptr, {}, {} };
        environment.endProgram = [this] { loop->quit(2); };
        environment.forgetNeighbour = [this](const std::string& address) { forgotten.push_back(address); };
        environment.recorder = recorder.get();
        page = std::make_unique<mfg::TestPage>(environment);
        page->create();
        page->activate();
        page->onRunFinished = [this] { loop->quit(0); };
    }

    // Presses START and runs the loop until the run has ended.
    int run()
    {
        page->start();
        return page->programEnded() ? 2 : loop->run();
    }

    std::vector<mfg::RowMark> marks() const
    {
        std::vector<mfg::RowMark> result;
        for (const auto& row : page->rows())
            result.push_back(row.mark);
        return result;
    }

    kellan_window::IdleTimeClock clock { kSpeedUp };
    std::atomic<sim::boardsim::Board*> current { nullptr };
    testing_support::TempDir dir;
    platform::ComNameResolver resolver;
    testing_support::ScriptedPrompter prompter;
    mfg::DebugOutput trace;
    std::unique_ptr<sim::boardsim::PtyBoard> board;
    std::unique_ptr<platform::EventLoop> loop;
    std::unique_ptr<mfg::TestPage> page;
    std::vector<std::string> forgotten;
    std::unique_ptr<mfg::RunRecorder> recorder; // set before prepare()
    const std::string loader = pattern(3000, 1);
    const std::string testFirmware = pattern(1500, 2);
    const std::string productionFirmware = pattern(1024, 3);
};

using mfg::RowMark;

TEST_F(ProductionRun, PassingBoardGoesThroughAllEightItems)
{
    prepare("", 255);
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(page->picture(), mfg::ResultPicture::Pass) << page->ResultMessage;
    EXPECT_EQ(marks(), std::vector<RowMark>(8, RowMark::Passed));
    EXPECT_EQ(page->ResultMessage, "");
    // Flash, both firmware files and the EEPROM as the board holds them.
    const auto flash = board->board().flashBytes(0, loader.size());
    EXPECT_EQ(std::string(flash.begin(), flash.end()), loader);
    const auto downloads = board->board().downloads();
    ASSERT_EQ(downloads.size(), 2u);
    EXPECT_EQ(std::string(downloads[0].bytes.begin(), downloads[0].bytes.end()), testFirmware);
    EXPECT_FALSE(downloads[0].production);
    EXPECT_EQ(std::string(downloads[1].bytes.begin(), downloads[1].bytes.end()), productionFirmware);
    EXPECT_TRUE(downloads[1].production);
    EXPECT_EQ(downloads[1].announcedBlocks, 3);
    const auto words = board->board().eeprom();
    for (int k = 0; k < 34; ++k) {
        const std::uint16_t macByte = k >= 6 && k <= 11
            ? static_cast<std::uint16_t>((0x00A0B0C0D0E0ull >> (8 * (k - 6))) & 0xFF)
            : static_cast<std::uint16_t>((0x1100 + k) & 0xFF);
        EXPECT_EQ(words[k], ((0x1100 + k) & 0xFF00) | macByte) << "word " << k;
    }
    EXPECT_EQ(board->board().commands().back(), "rst");
    // The next board gets the next address; nothing was logged.
    EXPECT_NE(dir.read("Option.dat").find("\n00A0B0C0D0E1\n00A0B0C0D0FF\n0\n"), std::string::npos);
    EXPECT_FALSE(platform::fileExists(dir.file("fail.log")));
    EXPECT_EQ(forgotten, std::vector<std::string>({ "127.0.0.2", "127.0.0.2" }));
    // The board sits on a pseudo-terminal, not a USB adapter: no warning about a slow port.
    EXPECT_EQ(prompter.messages(),
        std::vector<std::string>(
            { "1. Please turn off power and switch device from ISP mode to Normal mode.\n2. Press 'OK' then turn on "
              "power." }));
}

// A failing item ends the run: later rows stay grey, the reason is shown and
// logged under the address the board was to get, and the address stays free.
struct FailingBoard {
    const char* name;
    const char* boardOptions;
    const char* macStart;
    int failedRow;
    std::string resultMessage;
    std::vector<std::string> boxes; // after the loader's two boxes
};

bool asksTheRamTestAgain(const FailingBoard& board)
{
    return std::string(board.boardOptions) == "fail-r" || std::string(board.boardOptions) == "bare-r";
}

class FailingBoards : public ProductionRun, public testing::WithParamInterface<FailingBoard> { };

TEST_P(FailingBoards, EndTheRunWithTheirReasonLogged)
{
    const FailingBoard& c = GetParam();
    prepare(c.boardOptions, 255, c.macStart);
    const std::string optionBefore = dir.read("Option.dat");
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(page->picture(), mfg::ResultPicture::Fail);
    std::vector<RowMark> expected(8, RowMark::Initial);
    for (int row = 0; row < c.failedRow; ++row)
        expected[row] = RowMark::Passed;
    expected[c.failedRow] = RowMark::Failed;
    EXPECT_EQ(marks(), expected);
    EXPECT_EQ(page->ResultMessage, c.resultMessage);
    EXPECT_EQ(page->errorMessage(), c.resultMessage);
    EXPECT_EQ(dir.read("fail.log"), "[" + std::string(c.macStart) + "]\n" + c.resultMessage + "\n\n");
    EXPECT_EQ(dir.read("Option.dat"), optionBefore);
    auto boxes = prompter.messages();
    ASSERT_GE(boxes.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(boxes.begin() + 2, boxes.end()), c.boxes);
    if (asksTheRamTestAgain(c)) {
        // The RAM test asked again and again within its five seconds (a
        // second before each ask, a second for the reply).
        const auto commands = board->board().commands();
        EXPECT_GE(std::count(commands.begin(), commands.end(), "r"), 3);
        EXPECT_LE(std::count(commands.begin(), commands.end(), "r"), 5);
    }
}

const std::string kNoReset = "Device can not be reset automatically.\nPlease try again !!\n";
// A board that failed once it held its address shares it with the next one.
const std::string kHoldsE0 = "This board holds 00A0B0C0D0E0, which the next board will get: test it again.\n";
const std::string kTestFirmwareFailed = "Download test firmware failed.\nPlease check:\n * Ethernet connection\n * IP "
                                        "address or Port\n * Disable I2C boot if EEPROM is NULL.\n";

INSTANTIATE_TEST_SUITE_P(AtEachItem, FailingBoards,
    testing::Values(
        FailingBoard { "RamReplyWithoutMark", "fail-r", "00A0B0C0D0E0", 2, "RAM test failed.\n", { "aaaaa" } },
        // The mark alone is not the fifth byte of a reply: repeated until 5 s pass.
        FailingBoard { "RamMarkAlone", "bare-r", "00A0B0C0D0E0", 2, "RAM test failed.\n", { "aaaaa" } },
        FailingBoard { "CpuReplyWithoutMark", "fail-c", "00A0B0C0D0E0", 3, "CPU test failed.\n", {} },
        FailingBoard { "HsuartSilent", "mute-hsiloop", "00A0B0C0D0E0", 5, "HSUARTS test failed.\n", {} },
        FailingBoard { "NoBannerAfterReset", "no-banner", "00A0B0C0D0E0", 7, kNoReset + kHoldsE0, {} },
        FailingBoard { "ResetIgnored", "no-reset", "00A0B0C0D0E0", 7, kNoReset + kHoldsE0, {} },
        FailingBoard { "TftpSilence", "tftp-silent", "00A0B0C0D0E0", 1, "TFTP timeout !!\n" + kTestFirmwareFailed, {} },
        // The box goes with its number and its reason into the log entry: a
        // board that ignores writes and one that cannot read its EEPROM end
        // with the same box but not the same entry.
        FailingBoard { "EepromKeepsOldWords", "eeprom-ro", "00A0B0C0D0E0", 6,
            "EEPROM read-back failed (9): the board does not keep what is written: read back MAC FFFFFFFFFFFF, "
            "wrote 00A0B0C0D0E0\n"
                + kHoldsE0,
            { "Failed to read EEPROM data from the COM port! (9)" } },
        FailingBoard { "EepromReadError", "fail-er", "00A0B0C0D0E0", 6,
            "EEPROM read-back failed (9): the board answered \"EEPROM: read error\" instead of its EEPROM words\n"
                + kHoldsE0,
            { "Failed to read EEPROM data from the COM port! (9)" } },
        FailingBoard { "EepromDumpNeverComes", "mute-er", "00A0B0C0D0E0", 6,
            "EEPROM read-back failed (4): the board did not answer the dump command (er) within 3 s\n" + kHoldsE0,
            { "Failed to send command to the COM port! (4)" } }),
    [](const testing::TestParamInfo<FailingBoard>& info) { return info.param.name; });

TEST_F(ProductionRun, AUsedUpRangeFailsTheBoardBeforeItsFlashIsTouched)
{
    prepare("", 255, "00A0B0C0D100");
    const std::string optionBefore = dir.read("Option.dat");
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(page->picture(), mfg::ResultPicture::Fail);
    std::vector<RowMark> expected(8, RowMark::Initial);
    expected[6] = RowMark::Failed;
    EXPECT_EQ(marks(), expected);
    EXPECT_EQ(page->ResultMessage, "The MAC address is out of range now !!\n");
    EXPECT_EQ(dir.read("fail.log"), "[00A0B0C0D100]\nThe MAC address is out of range now !!\n\n\n");
    EXPECT_EQ(dir.read("Option.dat"), optionBefore);
    // Neither the loader's boxes nor a command: the board was not touched.
    EXPECT_TRUE(prompter.messages().empty());
    EXPECT_TRUE(board->board().commands().empty());
}

TEST_F(ProductionRun, SilentIspModeFailsTheLoaderDownload)
{
    prepare("no-sync", 255);
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(page->ResultMessage, "Download boot loader failed.\n");
    EXPECT_EQ(prompter.messages(),
        std::vector<std::string>({ "Usb_Com_Check(): Wait ERR_2.\r\n", "Usb_Com_Check(): Wait ERR_2.\r\n" }));
    EXPECT_EQ(marks()[0], RowMark::Failed);
    EXPECT_EQ(dir.read("fail.log"), "[00A0B0C0D0E0]\nDownload boot loader failed.\n\n\n");
}

TEST_F(ProductionRun, TwoAddressRangeServesTwoBoardsAndRefusesTheThird)
{
    prepare("test-firmware", 64, "00A0B0C0D0E0", "00A0B0C0D0E1");
    std::vector<std::string> macs;
    for (int board = 0; board < 3; ++board) {
        ASSERT_EQ(run(), 0);
        macs.push_back(page->picture() == mfg::ResultPicture::Pass ? page->settings().currentMac : page->ResultMessage);
    }
    EXPECT_EQ(
        macs, std::vector<std::string>({ "00A0B0C0D0E1", "00A0B0C0D0E2", "The MAC address is out of range now !!\n" }));
    EXPECT_EQ(dir.read("fail.log"), "[00A0B0C0D0E2]\nThe MAC address is out of range now !!\n\n\n");
    EXPECT_NE(dir.read("Option.dat").find("\n00A0B0C0D0E2\n00A0B0C0D0E1\n"), std::string::npos);
    // The second board's address is what the EEPROM holds now.
    EXPECT_EQ(board->board().eeprom()[6] & 0xFF, 0xE1);
}

TEST_F(ProductionRun, ASharedRangeServesTwoBoardsAndLeavesOptionDatShowingIt)
{
    // The store is made before the page, with the range Option.dat names.
    dir.write("Option.dat", "x\nx\nx\nx\nx\n127.0.0.2\n00A0B0C0D0E0\n00A0B0C0D0E1\n0\n");
    auto opened = mfg::openStationRecords(dir.path(), "sqlite:" + dir.file("line.db"));
    ASSERT_TRUE(opened) << opened.error().message;
    ASSERT_TRUE(opened.value().shared);
    recorder = std::make_unique<mfg::RunRecorder>(
        mfg::RunRecorder::Setup { opened.value().store.get(), true, "st1", "ana", "1.8.1", {} }, clock);
    prepare("test-firmware", 64, "00A0B0C0D0E0", "00A0B0C0D0E1");
    const std::string option = dir.read("Option.dat");
    std::vector<std::string> outcomes;
    for (int board = 0; board < 3; ++board) {
        ASSERT_EQ(run(), 0);
        outcomes.push_back(page->picture() == mfg::ResultPicture::Pass ? page->consumedMac() : page->ResultMessage);
    }
    EXPECT_EQ(outcomes,
        std::vector<std::string>({ "00A0B0C0D0E0", "00A0B0C0D0E1", "The MAC address is out of range now !!\n" }));
    EXPECT_EQ(dir.read("Option.dat"), option) << "the store keeps the range, not Option.dat";
    EXPECT_EQ(board->board().eeprom()[6] & 0xFF, 0xE1);
    const auto range = opened.value().store->macRange().value().value();
    EXPECT_EQ(range.used, 2);
    EXPECT_EQ(range.leased, 0);
    auto runs = opened.value().store->runsSince("").value();
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[2].outcome, mfg::records::Outcome::Fail);
    EXPECT_EQ(runs[2].items.at(0).name, "Write Data Into EEPROM");
    EXPECT_EQ(page->today().value().runs, 3);
    EXPECT_EQ(page->today().value().passed, 2);
}

TEST_F(ProductionRun, AnUnreachableSharedStoreFailsTheBoardInsteadOfUsingOptionDat)
{
    recorder = std::make_unique<mfg::RunRecorder>(
        mfg::RunRecorder::Setup { nullptr, true, "st1", "ana", "1.8.1", "server gone" }, clock);
    prepare("test-firmware", 64);
    const std::string option = dir.read("Option.dat");
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(page->picture(), mfg::ResultPicture::Fail);
    EXPECT_EQ(page->ResultMessage, "No MAC address from the records store: server gone\n");
    EXPECT_EQ(dir.read("Option.dat"), option);
    EXPECT_TRUE(board->board().commands().empty()) << "the EEPROM was written";
}

TEST_F(ProductionRun, NoItemSelectedRunsThroughToPass)
{
    prepare("test-firmware", 0);
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(page->picture(), mfg::ResultPicture::Pass);
    EXPECT_TRUE(page->rows().empty());
    EXPECT_TRUE(board->board().commands().empty());
    // No range was parsed in this program run: the address stays.
    EXPECT_NE(dir.read("Option.dat").find("\n00A0B0C0D0E0\n"), std::string::npos);
}

TEST_F(ProductionRun, PortThatCannotOpenEndsTheProgram)
{
    prepare("", 4);
    dir.write("com.dat", "COM7\n115.2K");
    page->activate();
    EXPECT_EQ(run(), 2);
    EXPECT_TRUE(page->programEnded());
    EXPECT_EQ(prompter.messages(),
        std::vector<std::string>({ "usb: hCOM == INVALID_HANDLE_VALUE",
            "Could not open COM7.\nProgram will be closed, please check COM port and restart program." }));
}

TEST_F(ProductionRun, LoaderAndProductionOnlyWaitForTheLoaderWithoutRst)
{
    prepare("", 0x81);
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(page->picture(), mfg::ResultPicture::Pass) << page->ResultMessage;
    EXPECT_EQ(marks(), std::vector<RowMark>(2, RowMark::Passed));
    // The board came up by itself after its power cycle: no command was sent.
    EXPECT_TRUE(board->board().commands().empty());
    const auto downloads = board->board().downloads();
    ASSERT_EQ(downloads.size(), 1u);
    EXPECT_TRUE(downloads[0].production);
    EXPECT_EQ(std::string(downloads[0].bytes.begin(), downloads[0].bytes.end()), productionFirmware);
}

TEST_F(ProductionRun, LoaderOnCom1At115200ShowsNoSpeedWarning)
{
    prepare("", 1);
    dir.write("com-ports", "COM1 " + board->path() + "\n");
    dir.write("com.dat", "COM1\n115.2K");
    page->activate();
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(page->picture(), mfg::ResultPicture::Pass) << page->ResultMessage;
    EXPECT_EQ(prompter.messages(),
        std::vector<std::string>({ "1. Please turn off power and switch device from ISP mode to Normal mode.\n2. "
                                   "Press 'OK' then turn on power." }));
    const auto flash = board->board().flashBytes(0, loader.size());
    EXPECT_EQ(std::string(flash.begin(), flash.end()), loader);
}

} // namespace
