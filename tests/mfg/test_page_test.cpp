// The Test page over direct UART access, in virtual time: a register-level
// fake UART whose every read lets a millisecond pass.

#include "mfg/test_page.h"
#include "platform/text_file.h"
#include "sim/boardsim/memory_serial_port.h"
#include "tests/support/scripted_prompter.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace std::chrono_literals;

namespace {

constexpr std::uint16_t kBase = 0x3F8;

class FakeUart final : public platform::PortIo {
public:
    explicit FakeUart(platform::FakeClock& clock)
        : m_clock(clock)
    {
    }
    std::uint8_t Inp32(std::uint16_t address) override
    {
        m_clock.advance(1ms);
        if (address == kBase + 5)
            return 0x21; // transmitter empty, data ready
        if (address == kBase)
            return answer ? answer(written) : 0x05;
        return 0xFF;
    }
    void Out32(std::uint16_t address, std::uint8_t value) override
    {
        if (address == kBase)
            written += static_cast<char>(value);
    }
    std::string written; // bytes sent to the transmit register (frames too)
    std::function<std::uint8_t(const std::string&)> answer;

private:
    platform::FakeClock& m_clock;
};

class DirectAccess : public testing::Test {
protected:
    void start(int itemMask)
    {
        dir.write("Option.dat", "\n\n\n\n" + dir.file("fail.log") + "\n127.0.0.2\n00A0B0C0D0E0\n00A0B0C0D0FF\n3\n");
        dir.write("com.dat", "COM1\n115.2K");
        dir.write("item.dat", std::to_string(itemMask));
        mfg::TestPage::Environment environment { loop, clock, prompter, trace,
            [this](const std::string&) -> platform::Result<std::unique_ptr<platform::SerialPort>> {
                ++opens;
                return std::unique_ptr<platform::SerialPort>(
                    std::make_unique<sim::boardsim::MemorySerialPort>(clock, board));
            },
            dir.path(), &uart, {}, [](const std::string&) {} };
        environment.interruptRequested = interrupt;
        page = std::make_unique<mfg::TestPage>(environment);
        page->create();
        page->activate();
        page->onRunFinished = [this] { finished = true; };
        page->start();
        ASSERT_TRUE(loop.runUntil([this] { return finished; }, 10min));
    }

    platform::FakeClock clock;
    platform::VirtualLoop loop { clock };
    sim::boardsim::Board board { clock, {} };
    FakeUart uart { clock };
    testing_support::TempDir dir;
    testing_support::ScriptedPrompter prompter;
    mfg::DebugOutput trace;
    std::unique_ptr<mfg::TestPage> page;
    bool finished = false;
    int opens = 0;
    std::function<bool()> interrupt;
};

std::size_t occurrences(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

TEST_F(DirectAccess, RamTestPassesOnTheMarkInTheReceiveRegister)
{
    uart.answer = [](const std::string& written) -> std::uint8_t {
        return written.size() >= 3 && written.compare(written.size() - 3, 3, "r\r\n") == 0 ? 0x21 : 0x05;
    };
    start(0x04);
    EXPECT_EQ(page->picture(), mfg::ResultPicture::Pass) << page->ResultMessage;
    EXPECT_EQ(occurrences(uart.written, "r\r\n"), 1u);
}

TEST_F(DirectAccess, RamTestWithoutMarkFailsAfterFiveSecondsWithoutMarkerBox)
{
    const auto begin = clock.now();
    start(0x04);
    EXPECT_EQ(page->ResultMessage, "RAM test failed.\n");
    EXPECT_GE(clock.now() - begin, 5s);
    EXPECT_GT(occurrences(uart.written, "r\r\n"), 100u); // sent again at once, over and over
    EXPECT_TRUE(prompter.messages().empty());
}

TEST_F(DirectAccess, FiveSilentResetWaitsEndTheProductionItem)
{
    // The test firmware runs (RAM Test selected and passing), so rst is sent.
    uart.answer = [](const std::string& written) -> std::uint8_t {
        return written.size() >= 3 && written.compare(written.size() - 3, 3, "r\r\n") == 0 ? 0x21 : 0x05;
    };
    const auto begin = clock.now();
    start(0x84);
    EXPECT_EQ(page->ResultMessage, "Device can not be reset automatically.\nPlease try again !!\n");
    EXPECT_EQ(page->ResetRetries, 5);
    EXPECT_GE(clock.now() - begin, 50s);
    // rst before the first wait and after each of the four that were retried.
    EXPECT_EQ(occurrences(uart.written, "rst\r\n"), 5u);
    // The port was looked at again between the waits: a sync frame each time.
    EXPECT_EQ(occurrences(uart.written, std::string("\x01\x00\x00\x00\x00", 5)), 1u + 4u);
    EXPECT_EQ(
        dir.read("fail.log"), "[00A0B0C0D0E0]\nDevice can not be reset automatically.\nPlease try again !!\n\n\n");
}

TEST_F(DirectAccess, InterruptionEndsTheRunBetweenStepsWithoutLogOrMac)
{
    uart.answer = [](const std::string& written) -> std::uint8_t {
        return written.size() >= 3 && written.compare(written.size() - 3, 3, "r\r\n") == 0 ? 0x21 : 0x05;
    };
    // Ctrl+C while the RAM test runs: it is finished, the CPU test never starts.
    interrupt = [this] { return page && !page->rows().empty() && page->rows()[0].mark == mfg::RowMark::Passed; };
    start(0xCC); // RAM, CPU, Write Data Into EEPROM, Update Production Firmware
    EXPECT_TRUE(page->interrupted());
    EXPECT_FALSE(page->macConsumed());
    EXPECT_EQ(occurrences(uart.written, "r\r\n"), 1u);
    EXPECT_EQ(occurrences(uart.written, "c\r\n"), 0u);
    EXPECT_EQ(page->rows()[1].mark, mfg::RowMark::Initial);
    EXPECT_TRUE(page->startEnabled());
    EXPECT_EQ(page->picture(), mfg::ResultPicture::Blank);
    EXPECT_FALSE(platform::fileExists(dir.file("fail.log")));
    EXPECT_NE(dir.read("Option.dat").find("\n00A0B0C0D0E0\n"), std::string::npos);
}

TEST_F(DirectAccess, InterruptionAfterAFailureStillLogsTheBoard)
{
    interrupt = [this] { return page && !page->ResultMessage.empty(); };
    start(0x04);
    EXPECT_FALSE(page->interrupted());
    EXPECT_EQ(page->picture(), mfg::ResultPicture::Fail);
    EXPECT_EQ(dir.read("fail.log"), "[00A0B0C0D0E0]\nRAM test failed.\n\n\n");
}

// Over the serial driver the RAM test asks once a second (and waits a tenth
// for the reply) until five seconds have passed: five asks, the fifth past
// the limit, then the box.
TEST(SerialDriverRamTest, AsksAgainUntilFiveSecondsHavePassed)
{
    for (const char* options : { "test-firmware,fail-r", "test-firmware,bare-r" }) {
        SCOPED_TRACE(options);
        platform::FakeClock clock;
        platform::VirtualLoop loop { clock };
        sim::boardsim::BoardOptions parsed;
        ASSERT_TRUE(sim::boardsim::BoardOptions::parse(options, parsed));
        sim::boardsim::Board board { clock, parsed };
        testing_support::TempDir dir;
        testing_support::ScriptedPrompter prompter;
        mfg::DebugOutput trace;
        dir.write("Option.dat", "\n\n\n\n" + dir.file("fail.log") + "\n127.0.0.2\n00A0B0C0D0E0\n00A0B0C0D0FF\n0\n");
        dir.write("com.dat", "COM3\n921.6K");
        dir.write("item.dat", "4");
        mfg::TestPage::Environment environment { loop, clock, prompter, trace,
            [&](const std::string&) -> platform::Result<std::unique_ptr<platform::SerialPort>> {
                return std::unique_ptr<platform::SerialPort>(
                    std::make_unique<sim::boardsim::MemorySerialPort>(clock, board));
            },
            dir.path(), nullptr, {}, [](const std::string&) {} };
        mfg::TestPage page(environment);
        page.create();
        page.activate();
        bool finished = false;
        page.onRunFinished = [&] { finished = true; };
        const auto begin = clock.now();
        page.start();
        ASSERT_TRUE(loop.runUntil([&] { return finished; }, 10min));
        EXPECT_EQ(page.ResultMessage, "RAM test failed.\n");
        const auto commands = board.commands();
        EXPECT_EQ(std::count(commands.begin(), commands.end(), "r"), 5);
        EXPECT_GE(clock.now() - begin, 5s);
        ASSERT_FALSE(prompter.messages().empty());
        EXPECT_EQ(prompter.messages().back(), "aaaaa");
    }
}

} // namespace
