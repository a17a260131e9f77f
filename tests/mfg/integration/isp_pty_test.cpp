// The loader download through real pseudo-terminals to the board simulator,
// and through the simulator's port-I/O module loaded at run time.

#include "mfg/isp.h"
#include "platform/port_io.h"
#include "sim/boardsim/pty_board.h"
#include "tests/support/scripted_prompter.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

using namespace std::chrono_literals;

namespace {

std::vector<std::uint8_t> image(std::size_t size)
{
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t state = 12345;
    for (auto& byte : bytes) {
        state = state * 1103515245 + 12345;
        byte = static_cast<std::uint8_t>(state >> 16);
    }
    return bytes;
}

class PtyIsp : public testing::Test {
protected:
    void start(platform::Clock& clock, const std::string& options)
    {
        sim::boardsim::BoardOptions parsed;
        ASSERT_TRUE(sim::boardsim::BoardOptions::parse(options, parsed));
        auto started = sim::boardsim::PtyBoard::start(clock, parsed);
        ASSERT_TRUE(started) << started.error().message;
        board = std::move(started.value());
        resolver.mappingFile = dir.file("com-ports");
        dir.write("com-ports", "COM3 " + board->path() + "\n");
        link = std::make_unique<mfg::SerialLink>(mfg::systemSerialOpener(clock, resolver), prompter);
        isp = std::make_unique<mfg::IspSession>(clock, prompter, trace);
    }

    platform::FakeClock fakeClock; // outlives the board thread
    testing_support::TempDir dir;
    platform::ComNameResolver resolver;
    testing_support::ScriptedPrompter prompter;
    mfg::DebugOutput trace;
    std::unique_ptr<sim::boardsim::PtyBoard> board;
    std::unique_ptr<mfg::SerialLink> link;
    std::unique_ptr<mfg::IspSession> isp;
    int stage = 0;
};

TEST_F(PtyIsp, FullLoaderDownloadOf64KiBVerifiedByteForByte)
{
    start(platform::RealClock::instance(), "erase-ms=0");
    ASSERT_TRUE(link->OpenUsbPort(2, "COM3", false));
    const auto bytes = image(64 * 1024);
    const auto begin = std::chrono::steady_clock::now();
    const int result = isp->Usb_DownloadLoader(*link, true, 0, bytes.size(), bytes.data(), stage);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::printf("64 KiB loader download over a pty at 921600 baud settings: %.2f s\n", seconds);
    ASSERT_EQ(result, mfg::kDownloadOk) << testing::PrintToString(prompter.messages());
    EXPECT_EQ(board->board().flashBytes(0, bytes.size()), bytes);
    EXPECT_TRUE(prompter.messages().empty());
}

TEST_F(PtyIsp, FortyOneBytesAsTwoBlocksWithFourByteReplies)
{
    start(platform::RealClock::instance(), "erase-ms=0,bus-bytes=2,sync-bytes=2");
    ASSERT_TRUE(link->OpenUsbPort(1, "COM3", false));
    const auto bytes = image(41);
    ASSERT_EQ(isp->Usb_DownloadLoader(*link, false, 0, bytes.size(), bytes.data(), stage), mfg::kDownloadOk);
    EXPECT_EQ(board->board().flashBytes(0, 41), bytes);
    std::vector<std::uint32_t> addresses;
    for (const auto& frame : board->board().frames()) {
        if (frame.command == 0xC0)
            addresses.push_back(frame.address);
    }
    ASSERT_EQ(addresses.size(), 41u);
    EXPECT_EQ(addresses.back(), 0x28u);
}

TEST_F(PtyIsp, WrongReadBackInThreeByteReplyFailsWithCheckErr2)
{
    start(platform::RealClock::instance(), "erase-ms=0,bad-readback=3");
    ASSERT_TRUE(link->OpenUsbPort(2, "COM3", false));
    const auto bytes = image(41);
    EXPECT_EQ(isp->Usb_DownloadLoader(*link, true, 0, bytes.size(), bytes.data(), stage), mfg::kDownloadProgramFailed);
    EXPECT_EQ(prompter.messages(), std::vector<std::string>({ "Usb_BlockWrite(): Check ERR_2.\r\n" }));
}

TEST_F(PtyIsp, BlankCheckFailureGivesMinusTwoAndResetCycle)
{
    start(platform::RealClock::instance(), "erase-ms=never");
    ASSERT_TRUE(link->OpenUsbPort(2, "COM3", false));
    const auto bytes = image(8);
    EXPECT_EQ(isp->Usb_DownloadLoader(*link, true, 0, bytes.size(), bytes.data(), stage), mfg::kDownloadEraseFailed);
    const auto frames = board->board().frames();
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[frames.size() - 2].command, 0x00);
    EXPECT_EQ(frames.back().data, 0xF0);
}

TEST_F(PtyIsp, SilentBoardGivesMinusOneInVirtualTime)
{
    platform::FakeClock& clock = fakeClock;
    start(clock, "no-sync");
    ASSERT_TRUE(link->OpenUsbPort(2, "COM3", false));
    const auto bytes = image(8);
    const auto begin = clock.now();
    EXPECT_EQ(isp->Usb_DownloadLoader(*link, true, 9, bytes.size(), bytes.data(), stage), mfg::kDownloadNoSync);
    EXPECT_EQ(stage, 1);
    EXPECT_GE(clock.now() - begin, 11s);
    EXPECT_EQ(board->board().frames().size(), 2u);
}

TEST_F(PtyIsp, WrongSpeedMakesTheBoardDeaf)
{
    start(fakeClock, "");
    ASSERT_TRUE(link->OpenUsbPort(0, "COM3", true)); // 9600 8N1: the test firmware's settings
    EXPECT_FALSE(isp->Usb_Com_Check(*link));
    EXPECT_EQ(prompter.messages(), std::vector<std::string>({ "Usb_Com_Check(): Wait ERR_2.\r\n" }));
}

// ---- Direct access through the simulator's port-I/O module ----

class ModuleIsp : public testing::Test {
protected:
    void SetUp() override
    {
        auto loaded = platform::PortIoModule::load(testing_support::programPath("portio_boardsim.so"));
        ASSERT_TRUE(loaded) << loaded.error().message;
        module = std::move(loaded.value());
        configure = reinterpret_cast<int (*)(const char*)>(module->symbol("BoardSim_Configure"));
        readFlash = reinterpret_cast<unsigned long (*)(unsigned long, unsigned char*, unsigned long)>(
            module->symbol("BoardSim_ReadFlash"));
        frameCount = reinterpret_cast<unsigned long (*)()>(module->symbol("BoardSim_FrameCount"));
        ASSERT_TRUE(configure && readFlash && frameCount);
        isp.setPortIo(module.get());
    }

    std::vector<std::uint8_t> flash(std::size_t size)
    {
        std::vector<std::uint8_t> bytes(size);
        readFlash(0, bytes.data(), size);
        return bytes;
    }

    std::unique_ptr<platform::PortIoModule> module;
    int (*configure)(const char*) = nullptr;
    unsigned long (*readFlash)(unsigned long, unsigned char*, unsigned long) = nullptr;
    unsigned long (*frameCount)() = nullptr;
    platform::FakeClock clock;
    testing_support::ScriptedPrompter prompter;
    mfg::DebugOutput trace;
    mfg::IspSession isp { clock, prompter, trace };
    mfg::SerialLink link { [](const std::string&) -> platform::Result<std::unique_ptr<platform::SerialPort>> {
                              return platform::Error { "no legacy port here", 2 };
                          },
        prompter };
    int stage = 0;
};

TEST_F(ModuleIsp, DownloadThroughRegistersLandsInFlash)
{
    ASSERT_EQ(configure("erase-ms=0"), 1);
    mfg::InitUart(*module, 0x3F8, true);
    const auto bytes = image(300);
    int progress = 0;
    ASSERT_EQ(isp.Io_DownloadLoader(9, 0x3F8, bytes.size(), bytes.data(), stage, &progress), mfg::kDownloadOk);
    EXPECT_EQ(flash(bytes.size()), bytes);
    EXPECT_EQ(progress, 300);
    EXPECT_TRUE(prompter.messages().empty());
}

TEST_F(ModuleIsp, DetectChoosesDirectAccessOnlyWhenTheUartAnswers)
{
    ASSERT_EQ(configure(""), 1);
    isp.DetectUsbPort(link, 0);
    EXPECT_FALSE(link.UsbPort());
    ASSERT_EQ(configure("no-sync"), 1);
    isp.DetectUsbPort(link, 0);
    EXPECT_TRUE(link.UsbPort());
    EXPECT_EQ(isp.IspErrorText(), "2.The FLASH does not have any response.\nPlease check device or serial line.\n");
    // COM2's UART lives at 0x2F8, where this board is not.
    ASSERT_EQ(configure(""), 1);
    isp.DetectUsbPort(link, 1);
    EXPECT_TRUE(link.UsbPort());
}

TEST_F(ModuleIsp, WrongReadBackNamesAddressAndData)
{
    ASSERT_EQ(configure("erase-ms=0,bad-readback=5"), 1);
    mfg::InitUart(*module, 0x3F8, true);
    std::vector<std::uint8_t> bytes(8, 0x10);
    EXPECT_EQ(isp.Io_DownloadLoader(9, 0x3F8, bytes.size(), bytes.data(), stage), mfg::kDownloadProgramFailed);
    EXPECT_EQ(stage, 3);
    EXPECT_EQ(isp.IspErrorText(), "Program 0x5 with Data 0x10 Failed !!\n");
}

TEST_F(ModuleIsp, SilentBoardGivesMinusOneWithoutFurtherFrames)
{
    ASSERT_EQ(configure("no-sync"), 1);
    mfg::InitUart(*module, 0x3F8, true);
    const auto bytes = image(4);
    EXPECT_EQ(isp.Io_DownloadLoader(9, 0x3F8, bytes.size(), bytes.data(), stage), mfg::kDownloadNoSync);
    EXPECT_EQ(frameCount(), 2u);
}

TEST_F(ModuleIsp, SlowUartAt9600IsNotUnderstood)
{
    ASSERT_EQ(configure(""), 1);
    mfg::InitUart(*module, 0x3F8, false);
    EXPECT_FALSE(isp.Io_Com_Check(0x3F8));
}

TEST(PortIoModule, MissingModuleMeansSerialDriverAccess)
{
    auto loaded = platform::PortIoModule::load("/nonexistent/portio.so");
    EXPECT_FALSE(loaded);
    platform::FakeClock clock;
    testing_support::ScriptedPrompter prompter;
    mfg::DebugOutput trace;
    mfg::IspSession isp(clock, prompter, trace);
    int opens = 0;
    mfg::SerialLink link(
        [&](const std::string&) -> platform::Result<std::unique_ptr<platform::SerialPort>> {
            ++opens;
            return platform::Error { "absent", 2 };
        },
        prompter);
    isp.DetectUsbPort(link, 0);
    EXPECT_TRUE(link.UsbPort());
    EXPECT_EQ(opens, 0);
}

} // namespace
