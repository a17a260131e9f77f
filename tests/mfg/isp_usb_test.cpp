// Serial-driver ISP against the board simulator on an in-process serial
// port, in virtual time.

#include "mfg/isp.h"
#include "sim/boardsim/memory_serial_port.h"
#include "tests/support/scripted_prompter.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

class UsbIspTest : public testing::Test {
protected:
    void start(const std::string& options)
    {
        sim::boardsim::BoardOptions parsed;
        parsed.eraseTime = 1s;
        ASSERT_TRUE(sim::boardsim::BoardOptions::parse(options, parsed));
        board = std::make_unique<sim::boardsim::Board>(clock, parsed);
        link = std::make_unique<mfg::SerialLink>(
            [this](const std::string& name) -> platform::Result<std::unique_ptr<platform::SerialPort>> {
                opened.push_back(name);
                auto created = std::make_unique<sim::boardsim::MemorySerialPort>(clock, *board);
                port = created.get();
                return std::unique_ptr<platform::SerialPort>(std::move(created));
            },
            prompter);
        ASSERT_TRUE(link->OpenUsbPort(2, "COM3", false));
    }

    int download(const std::vector<std::uint8_t>& image, int eraseSeconds = 9)
    {
        return isp.Usb_DownloadLoader(*link, true, eraseSeconds, image.size(), image.data(), stage);
    }

    // Frames the board saw with this command byte.
    std::vector<sim::boardsim::FrameRecord> framesOf(std::uint8_t command) const
    {
        std::vector<sim::boardsim::FrameRecord> result;
        for (const auto& frame : board->frames()) {
            if (frame.command == command)
                result.push_back(frame);
        }
        return result;
    }

    // Sizes of the writes that carried program blocks.
    std::vector<std::size_t> blockWrites() const
    {
        std::vector<std::size_t> sizes;
        for (const auto& write : port->writes()) {
            if (write.size() > 5)
                sizes.push_back(write.size());
        }
        return sizes;
    }

    static std::vector<std::uint8_t> image(std::size_t size)
    {
        std::vector<std::uint8_t> bytes(size);
        for (std::size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<std::uint8_t>(i * 31 + 7);
        return bytes;
    }

    platform::FakeClock clock;
    testing_support::ScriptedPrompter prompter;
    mfg::DebugOutput trace;
    mfg::IspSession isp { clock, prompter, trace };
    std::unique_ptr<sim::boardsim::Board> board;
    std::unique_ptr<mfg::SerialLink> link;
    sim::boardsim::MemorySerialPort* port = nullptr;
    std::vector<std::string> opened;
    int stage = 0;
};

struct BlockCase {
    std::size_t imageSize;
    std::vector<std::size_t> blocks;
};

class UsbBlocks : public UsbIspTest, public testing::WithParamInterface<BlockCase> { };

TEST_P(UsbBlocks, ImageGoesOutInBlocksOfFortyPairsAndLandsInFlash)
{
    start("");
    const auto bytes = image(GetParam().imageSize);
    ASSERT_EQ(download(bytes), mfg::kDownloadOk);
    EXPECT_EQ(stage, 3);
    EXPECT_EQ(blockWrites(), GetParam().blocks);
    EXPECT_EQ(board->flashBytes(0, bytes.size()), bytes);
    EXPECT_FALSE(board->flashInUnlockBypass());
    EXPECT_TRUE(prompter.messages().empty());
    // Unlock bypass is entered (0x555/0x20) and left (0x90, 0xF0) even
    // when there is nothing to program.
    const auto frames = board->frames();
    const auto last = frames.size();
    ASSERT_GE(last, 2u);
    EXPECT_EQ(frames[last - 2].data, 0x90);
    EXPECT_EQ(frames[last - 1].data, 0xF0);
    int bypassEntries = 0;
    for (const auto& frame : frames)
        bypassEntries += frame.command == 0x80 && frame.address == 0x555 && frame.data == 0x20;
    EXPECT_EQ(bypassEntries, 1);
}

INSTANTIATE_TEST_SUITE_P(Sizes, UsbBlocks,
    testing::Values(BlockCase { 0, {} }, BlockCase { 40, { 400 } }, BlockCase { 41, { 400, 10 } },
        BlockCase { 81, { 400, 400, 10 } }));

TEST_F(UsbIspTest, ProgramAddressesCountAcrossBlocks)
{
    start("");
    ASSERT_EQ(download(image(41)), mfg::kDownloadOk);
    const auto programs = framesOf(0xC0);
    ASSERT_EQ(programs.size(), 41u);
    for (std::size_t i = 0; i < programs.size(); ++i)
        EXPECT_EQ(programs[i].address, i);
    const auto& lastBlock = port->writes()[port->writes().size() - 3];
    ASSERT_EQ(lastBlock.size(), 10u);
    EXPECT_EQ(std::vector<std::uint8_t>(lastBlock.begin() + 5, lastBlock.begin() + 9),
        std::vector<std::uint8_t>({ 0xC0, 0x28, 0x00, 0x00 }));
}

struct ReadBackCase {
    const char* options;
    std::vector<std::string> messages;
};

class UsbReadBack : public UsbIspTest, public testing::WithParamInterface<ReadBackCase> { };

TEST_P(UsbReadBack, WrongReadBackFailsProgramming)
{
    start(GetParam().options);
    EXPECT_EQ(download(image(41)), mfg::kDownloadProgramFailed);
    EXPECT_EQ(stage, 3);
    EXPECT_EQ(prompter.messages(), GetParam().messages);
    // Bypass left, then the reset cycle.
    const auto frames = board->frames();
    EXPECT_EQ(frames[frames.size() - 2].data, 0x90);
    EXPECT_EQ(frames.back().data, 0xF0);
    EXPECT_EQ(framesOf(0xC0).size(), 40u); // the second block never went out
}

INSTANTIATE_TEST_SUITE_P(Replies, UsbReadBack,
    testing::Values(ReadBackCase { "bad-readback=5", { "Usb_BlockWrite(): Check ERR_2.\r\n" } },
        ReadBackCase { "bad-readback=5,bus-bytes=2", {} }));

TEST_F(UsbIspTest, BlockReplyOfOtherLengthFailsWithCheckErr3)
{
    // The second pair's program frame is one the board does not know, so the
    // reply holds 3 + 1 bytes for two pairs.
    start("");
    std::vector<std::uint8_t> block = { 0x80, 0x33, 0x03, 0x00, 0xA0, 0xC0, 0x00, 0x00, 0x00, 0x12, 0x80, 0x33, 0x03,
        0x00, 0xA0 }; // half a pair: the reply is 3 + 1 bytes for n = 2
    block.resize(20, 0x00);
    block[15] = 0x7E; // not a frame the board knows: no reply
    EXPECT_FALSE(isp.Usb_BlockWrite(*link, 2, block.data(), true));
    EXPECT_EQ(prompter.messages().back(), "Usb_BlockWrite(): Check ERR_3.\r\n");
}

TEST_F(UsbIspTest, BlankCheckIsRepeatedOnceThenEraseFails)
{
    start("erase-ms=never");
    EXPECT_EQ(download(image(10)), mfg::kDownloadEraseFailed);
    EXPECT_EQ(stage, 2);
    const auto reads = framesOf(0x00);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].address, 0x6000u);
    EXPECT_EQ(reads[1].address, 0x6000u);
    EXPECT_NE(isp.readBackByte(), 0xFF);
    EXPECT_EQ(board->frames().back().command, 0x80);
    EXPECT_EQ(board->frames().back().data, 0xF0);
    EXPECT_TRUE(framesOf(0xC0).empty());
    EXPECT_TRUE(prompter.messages().empty());
}

TEST_F(UsbIspTest, EraseWaitsTheConfiguredSeconds)
{
    start("erase-ms=7000");
    const platform::TimePoint begin = clock.now();
    EXPECT_EQ(download(image(4), 6), mfg::kDownloadEraseFailed);
    start("erase-ms=7000");
    EXPECT_EQ(download(image(4), 7), mfg::kDownloadOk);
    EXPECT_GE(clock.now() - begin, 13s);
}

struct EraseRetryCase {
    const char* options;
    int result;
    int firstCycles; // 0x555/0xAA frames that start a chip erase
};

class UsbEraseRetry : public UsbIspTest, public testing::WithParamInterface<EraseRetryCase> { };

TEST_P(UsbEraseRetry, FirstEraseCycleRetriedOnlyWithBytesWaiting)
{
    // The reply to the first erase cycle (frame 2) comes too late; with
    // two-byte replies the reset cycle's own reply is then left waiting.
    start(GetParam().options);
    const int result = download(image(3));
    EXPECT_EQ(result, GetParam().result);
    EXPECT_EQ(prompter.messages().front(), "Usb_WriteSequenceRspOne(): Wait ERR_2.\r\n");
    const auto frames = board->frames();
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(frames[2].address, 0x333u);
    EXPECT_EQ(frames[2].data, 0xF0);
    int starts = 0;
    for (std::size_t i = 0; i + 1 < frames.size(); ++i)
        starts += frames[i].address == 0x555 && frames[i].data == 0xAA && frames[i + 1].data == 0x55
            && frames[i].command == 0x80 && i + 2 < frames.size() && frames[i + 2].data == 0x80;
    EXPECT_EQ(starts, GetParam().firstCycles);
}

INSTANTIATE_TEST_SUITE_P(Cases, UsbEraseRetry,
    testing::Values(EraseRetryCase { "slow-frame=2,slow-ms=6000,bus-bytes=2,erase-ms=0", mfg::kDownloadOk, 1 },
        EraseRetryCase { "slow-frame=2,slow-ms=6000,erase-ms=0", mfg::kDownloadEraseFailed, 0 }));

TEST_F(UsbIspTest, TwoFailedSyncsGiveMinusOneAndSendNothingElse)
{
    start("no-sync");
    const platform::TimePoint begin = clock.now();
    EXPECT_EQ(download(image(10)), mfg::kDownloadNoSync);
    EXPECT_EQ(stage, 1);
    EXPECT_EQ(board->frames().size(), 2u);
    EXPECT_EQ(framesOf(0x01).size(), 2u);
    EXPECT_EQ(prompter.messages(), std::vector<std::string>(2, "Usb_Com_Check(): Wait ERR_2.\r\n"));
    // Two 5-second waits for the reply and a 500 ms pause after each.
    EXPECT_GE(clock.now() - begin, 11s);
}

struct SyncCase {
    const char* options;
    bool ok;
    const char* message;
};

class UsbSync : public UsbIspTest, public testing::WithParamInterface<SyncCase> { };

TEST_P(UsbSync, SyncReplyJudged)
{
    start(GetParam().options);
    EXPECT_EQ(isp.Usb_Com_Check(*link), GetParam().ok);
    if (GetParam().message)
        EXPECT_EQ(prompter.messages(), std::vector<std::string>({ GetParam().message }));
    else
        EXPECT_TRUE(prompter.messages().empty());
}

INSTANTIATE_TEST_SUITE_P(Replies, UsbSync,
    testing::Values(SyncCase { "", true, nullptr }, SyncCase { "sync-bytes=2", true, nullptr },
        SyncCase { "sync-value=6", false, "Usb_Com_Check(): Check ERR_2.\r\n" },
        SyncCase { "sync-bytes=2,sync-value=6", false, "Usb_Com_Check(): Check ERR_1.\r\n" }));

struct LineErrorCase {
    int routine; // 0 sync check, 1 bus write, 2 flash read
    const char* message;
};

class UsbLineError : public UsbIspTest, public testing::WithParamInterface<LineErrorCase> { };

TEST_P(UsbLineError, LineErrorEndsExchangeWithUnknownErr)
{
    start("line-error-frame=1");
    bool ok = true;
    switch (GetParam().routine) {
    case 0:
        ok = isp.Usb_Com_Check(*link);
        break;
    case 1:
        ok = isp.Usb_WriteSequenceRspOne(*link, 0x555, 0xAA);
        break;
    default:
        ok = isp.Usb_ReadFlash(*link, 0x6000);
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(prompter.messages(), std::vector<std::string>({ GetParam().message }));
    // The error state was cleared: the next exchange works.
    EXPECT_TRUE(isp.Usb_Com_Check(*link));
}

INSTANTIATE_TEST_SUITE_P(Routines, UsbLineError,
    testing::Values(LineErrorCase { 0, "Usb_Com_Check(): Unknown ERR.\r\n" },
        LineErrorCase { 1, "Usb_WriteSequenceRspOne(): Unknown ERR.\r\n" },
        LineErrorCase { 2, "Usb_ReadFlash(): Unknown ERR_1.\r\n" }));

TEST_F(UsbIspTest, SecondOpenOfAnOpenLinkFailsAndKeepsThePort)
{
    start("");
    platform::SerialPort* first = link->port();
    EXPECT_FALSE(link->OpenUsbPort(1, "COM4", false));
    EXPECT_EQ(prompter.messages(), std::vector<std::string>({ "usb: Error HANDLE value for COM\r\n" }));
    EXPECT_EQ(link->port(), first);
    EXPECT_EQ(opened, std::vector<std::string>({ "COM3" }));
    EXPECT_TRUE(isp.Usb_Com_Check(*link));
}

TEST_F(UsbIspTest, TraceShowsBlocksAndReceivedBytesOnFailure)
{
    trace.toMemory();
    start("bad-readback=1");
    EXPECT_EQ(download(image(2)), mfg::kDownloadProgramFailed);
    const std::string& text = trace.captured();
    EXPECT_NE(text.find("TxBuf: 80 33 03 00 A0 c0 00 00 00 07\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("nBlk: 2\r\n"), std::string::npos);
    EXPECT_NE(text.find("s_chTxBuf: 0726"), std::string::npos);
    EXPECT_NE(text.find("nByte: 6\r\n"), std::string::npos);
    EXPECT_NE(text.find("RxBuf: A0 C0 07 A0\r\n C0 27\r\n"), std::string::npos) << text;
}

TEST(LegacyBase, FromComIndex)
{
    const std::pair<int, std::uint16_t> cases[]
        = { { 0, 0x3F8 }, { 1, 0x2F8 }, { 2, 0x3E8 }, { 3, 0x2E8 }, { 4, 0x3F8 }, { 200, 0x3F8 }, { -1, 0x3F8 } };
    for (auto [index, base] : cases)
        EXPECT_EQ(mfg::legacyBaseForIndex(index), base) << index;
}

TEST(OpenLegacyPort, IndexFourOrMoreOpensCom1)
{
    testing_support::ScriptedPrompter prompter;
    std::vector<std::string> names;
    mfg::SerialLink link(
        [&](const std::string& name) -> platform::Result<std::unique_ptr<platform::SerialPort>> {
            names.push_back(name);
            return platform::Error { "absent", 2 };
        },
        prompter);
    for (int index : { 0, 1, 2, 3, 4, 9 })
        EXPECT_FALSE(link.OpenLegacyPort(true, index));
    EXPECT_EQ(names, std::vector<std::string>({ "COM1", "COM2", "COM3", "COM4", "COM1", "COM1" }));
    EXPECT_TRUE(prompter.messages().empty());
}

} // namespace
