// The tty side of the serial character device: which ioctls it knows and
// how their arguments travel, and termios as a serial line's settings.
#include "driver/host/cuse_tty.h"

#include <gtest/gtest.h>

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>

using namespace driver::host;

namespace {

constexpr tcflag_t kOtherRate = 0010000; // BOTHER: the rate is in c_ospeed

TtyLine line(std::uint32_t rate, std::uint8_t bits, TtyParity parity, bool twoStop)
{
    TtyLine out;
    out.baudRate = rate;
    out.dataBits = bits;
    out.parity = parity;
    out.twoStopBits = twoStop;
    return out;
}

} // namespace

// What pyserial, picocom, minicom, stty and screen ask of a serial port, and
// the bytes the kernel must fetch from (or return to) the program for each.
TEST(TtyIoctls, EveryRequestSerialProgramsUseIsKnownWithItsArgumentSize)
{
    struct Case {
        unsigned long code;
        TtyIoctl request;
        std::size_t in;
        std::size_t out;
    };
    const Case cases[] = {
        { TCGETS, TtyIoctl::GetTermios, 0, 36 },
        { TCSETS, TtyIoctl::SetTermios, 36, 0 },
        { TCSETSW, TtyIoctl::SetTermiosDrain, 36, 0 },
        { TCSETSF, TtyIoctl::SetTermiosFlush, 36, 0 },
        { 0x802C542A, TtyIoctl::GetTermios2, 0, 44 }, // TCGETS2
        { 0x402C542B, TtyIoctl::SetTermios2, 44, 0 }, // TCSETS2
        { 0x402C542C, TtyIoctl::SetTermios2Drain, 44, 0 },
        { 0x402C542D, TtyIoctl::SetTermios2Flush, 44, 0 },
        { TIOCMGET, TtyIoctl::ModemGet, 0, sizeof(int) },
        { TIOCMSET, TtyIoctl::ModemSet, sizeof(int), 0 },
        { TIOCMBIS, TtyIoctl::ModemBitsOn, sizeof(int), 0 },
        { TIOCMBIC, TtyIoctl::ModemBitsOff, sizeof(int), 0 },
        { TIOCMIWAIT, TtyIoctl::ModemWait, 0, 0 },
        { TIOCGICOUNT, TtyIoctl::Counts, 0, sizeof(serial_icounter_struct) },
        { TCSBRK, TtyIoctl::Break, 0, 0 },
        { TCSBRKP, TtyIoctl::BreakTenths, 0, 0 },
        { TIOCSBRK, TtyIoctl::BreakOn, 0, 0 },
        { TIOCCBRK, TtyIoctl::BreakOff, 0, 0 },
        { TCFLSH, TtyIoctl::Flush, 0, 0 },
        { TCXONC, TtyIoctl::FlowControl, 0, 0 },
        { FIONREAD, TtyIoctl::InputCount, 0, sizeof(int) },
        { TIOCINQ, TtyIoctl::InputCount, 0, sizeof(int) },
        { TIOCOUTQ, TtyIoctl::OutputCount, 0, sizeof(int) },
        { TIOCEXCL, TtyIoctl::Exclusive, 0, 0 },
        { TIOCNXCL, TtyIoctl::NotExclusive, 0, 0 },
        { TIOCGSERIAL, TtyIoctl::GetSerial, 0, sizeof(serial_struct) },
        { TIOCGWINSZ, TtyIoctl::WindowSize, 0, 0 },
    };
    for (const Case& c : cases) {
        const TtyIoctlInfo* info = findTtyIoctl(static_cast<unsigned int>(c.code));
        ASSERT_NE(info, nullptr) << std::hex << c.code;
        EXPECT_EQ(info->request, c.request) << info->name;
        EXPECT_EQ(info->inSize, c.in) << info->name;
        EXPECT_EQ(info->outSize, c.out) << info->name;
    }
    // A request a serial port has no business with is not guessed at.
    for (unsigned long code : { 0x5412UL /* TIOCSTI */, 0x540EUL /* TIOCSCTTY */, 0x5414UL /* TIOCSWINSZ */, 0UL })
        EXPECT_EQ(findTtyIoctl(static_cast<unsigned int>(code)), nullptr) << std::hex << code;
}

TEST(TtyTermios, LineSettingsSurviveTheTripThroughTermios)
{
    const TtyLine cases[] = {
        line(9600, 7, TtyParity::Even, false), // 7E1
        line(115200, 8, TtyParity::None, false),
        line(300, 5, TtyParity::Odd, true),
        line(2400, 6, TtyParity::Mark, false),
        line(19200, 8, TtyParity::Space, true),
        line(250000, 8, TtyParity::None, false), // no B-constant: BOTHER
        line(4000000, 8, TtyParity::Even, false),
    };
    for (const TtyLine& wanted : cases) {
        TtyTermios termios = defaultTermios();
        applyLine(termios, wanted);
        std::uint8_t bytes[kTermios2Size] = {};
        termiosToBytes(termios, bytes, sizeof(bytes));
        EXPECT_EQ(lineOf(termiosFromBytes(bytes, sizeof(bytes))), wanted) << wanted.baudRate;
    }
}

// The bits as the C library and the kernel define them: 7E1 at 9600 is what
// `stty cs7 parenb -parodd 9600` sets.
TEST(TtyTermios, CflagCarriesTheLineAsTheKernelSpellsIt)
{
    TtyTermios termios = defaultTermios();
    applyLine(termios, line(9600, 7, TtyParity::Even, false));
    EXPECT_EQ(termios.cflag & (CBAUD | CSIZE | PARENB | PARODD | CSTOPB | CMSPAR), B9600 | CS7 | PARENB);
    EXPECT_TRUE(termios.cflag & CREAD);
    applyLine(termios, line(250000, 8, TtyParity::Odd, true));
    EXPECT_EQ(termios.cflag & (CBAUD | CSIZE | PARENB | PARODD | CSTOPB), kOtherRate | CS8 | PARENB | PARODD | CSTOPB);
    EXPECT_EQ(termios.ospeed, 250000u);

    // An old termios has no rate numbers: the B-constant decides.
    TtyTermios old;
    old.cflag = B38400 | CS8 | CRTSCTS;
    old.iflag = IXON | IXOFF;
    old.cc[VSTART] = 0x01;
    old.cc[VSTOP] = 0x02;
    const TtyLine got = lineOf(old);
    EXPECT_EQ(got.baudRate, 38400u);
    EXPECT_TRUE(got.rtsCts);
    EXPECT_TRUE(got.xonOutput);
    EXPECT_TRUE(got.xonInput);
    EXPECT_EQ(got.xonChar, 0x01);
    EXPECT_EQ(got.xoffChar, 0x02);
    old.cflag = B0 | CS8;
    EXPECT_EQ(lineOf(old).baudRate, 0u) << "B0 is a hang-up, not 9600";
}

TEST(TtyModemLines, BitsAndWaitsFollowTheKernelsNames)
{
    const TtyModem all { true, true, true, true, true, true };
    EXPECT_EQ(modemBits(all), unsigned(TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG));
    EXPECT_EQ(modemOfBits(TIOCM_CTS | TIOCM_CAR), (TtyModem { false, false, true, false, true, false }));
    EXPECT_EQ(modemOfBits(modemBits(TtyModem { true, false, false, true, false, true })),
        (TtyModem { true, false, false, true, false, true }));

    struct Case {
        unsigned int watched;
        TtyCounts now;
        bool done;
    };
    const TtyCounts before { 1, 1, 1, 1, 0, 0, 0 };
    const Case cases[] = {
        { TIOCM_CTS, { 2, 1, 1, 1, 0, 0, 0 }, true },
        { TIOCM_CTS, { 1, 2, 1, 1, 0, 0, 0 }, false }, // DSR moved, CTS was watched
        { TIOCM_DSR | TIOCM_CAR, { 1, 1, 1, 2, 0, 0, 0 }, true }, { TIOCM_RNG, { 1, 1, 2, 1, 0, 0, 0 }, true },
        { TIOCM_RNG, { 1, 1, 1, 1, 50, 50, 1 }, false }, // bytes and breaks are no modem change
    };
    for (const Case& c : cases)
        EXPECT_EQ(modemWaitDone(c.watched, before, c.now), c.done) << c.watched;
}

TEST(TtyArguments, FlushAndFlowArgumentsAreTheKernelsOnly)
{
    EXPECT_EQ(flushOf(TCIFLUSH), TtyFlush::Input);
    EXPECT_EQ(flushOf(TCOFLUSH), TtyFlush::Output);
    EXPECT_EQ(flushOf(TCIOFLUSH), TtyFlush::Both);
    EXPECT_EQ(flushOf(7), TtyFlush::Invalid);
    EXPECT_EQ(flowOf(TCOOFF), TtyFlow::OutputOff);
    EXPECT_EQ(flowOf(TCOON), TtyFlow::OutputOn);
    EXPECT_EQ(flowOf(TCIOFF), TtyFlow::SendStop);
    EXPECT_EQ(flowOf(TCION), TtyFlow::SendStart);
    EXPECT_EQ(flowOf(9), TtyFlow::Invalid);
}
