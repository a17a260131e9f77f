// The serial character device's front end over the port driver, without the
// kernel: what a program's open, ioctls, writes and reads become on the port
// and what reaches the device server.
#include "common/serial_ioctl.h"
#include "driver/daemon/cuse_frontend.h"
#include "driver/daemon/cuse_records.h"
#include "driver/port_internal.h"
#include "driver/vorpil_driver.h"
#include "platform/termios2_linux.h"
#include "tests/driver/port_harness.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include <sys/ioctl.h>
#include <termios.h>

using namespace common;
using namespace driver_testing;
using driver::host::TtyIoctl;
using Bytes = std::vector<std::uint8_t>;

namespace {

class CuseFrontEndTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(m_harness.addPort("COM5"), kStatusSuccess);
        const auto target = m_harness.host().names().linkTarget("\\DosDevices\\COM5");
        ASSERT_TRUE(target.has_value());
        m_frontEnd = std::make_unique<driver::daemon::CuseFrontEnd>(m_harness.host(), *target);
    }
    driver::host::CuseHandler& program() { return m_frontEnd->handler(); }
    RecordingTransport& transport() { return m_harness.transports().at(0); }
    driver::PortDevice& port() { return *m_harness.port(11); }

    int ioctl(unsigned long code, const Bytes& in, Bytes& out, unsigned long arg = 0)
    {
        const auto* info = driver::host::findTtyIoctl(static_cast<unsigned int>(code));
        EXPECT_NE(info, nullptr);
        return info ? program().ioctl(*info, arg, in, out) : ENOTTY;
    }
    int ioctl(unsigned long code, unsigned long arg = 0)
    {
        Bytes out;
        return ioctl(code, {}, out, arg);
    }
    driver::host::TtyTermios getTermios()
    {
        Bytes out;
        EXPECT_EQ(ioctl(TCGETS, {}, out), 0);
        EXPECT_EQ(out.size(), driver::host::kTermiosSize);
        return driver::host::termiosFromBytes(out.data(), out.size());
    }
    int setTermios(const driver::host::TtyTermios& termios, unsigned long code = TCSETS)
    {
        Bytes in(driver::host::kTermiosSize);
        driver::host::termiosToBytes(termios, in.data(), in.size());
        Bytes out;
        return ioctl(code, in, out);
    }
    static Bytes intArg(unsigned int value)
    {
        Bytes bytes(sizeof(int));
        std::memcpy(bytes.data(), &value, sizeof(int));
        return bytes;
    }
    unsigned int modemLines()
    {
        Bytes out;
        EXPECT_EQ(ioctl(TIOCMGET, {}, out), 0);
        unsigned int bits = 0;
        std::memcpy(&bits, out.data(), std::min(out.size(), sizeof(bits)));
        return bits;
    }
    // The control packets' codes sent since the last clear().
    std::vector<std::uint8_t> codes()
    {
        std::vector<std::uint8_t> out;
        for (const auto& packet : transport().packets())
            out.push_back(packet.at(3));
        return out;
    }

    PortHarness m_harness;
    std::unique_ptr<driver::daemon::CuseFrontEnd> m_frontEnd;
};

} // namespace

TEST_F(CuseFrontEndTest, TheDeviceAdmitsOneOpenAndItsReleaseFreesThePortAtOnce)
{
    ASSERT_EQ(program().open(), 0);
    EXPECT_TRUE(m_frontEnd->status().attached);
    EXPECT_EQ(program().open(), EBUSY);
    NtStatus status = kStatusSuccess;
    EXPECT_EQ(m_harness.open("COM5", &status), nullptr);
    EXPECT_EQ(status, kStatusInvalidDeviceState) << "a control-socket client got the port the program holds";
    program().release();
    EXPECT_FALSE(m_frontEnd->status().attached);
    auto client = m_harness.open("COM5");
    ASSERT_NE(client, nullptr) << "the release did not free the port";
    EXPECT_EQ(program().open(), EBUSY) << "the port is held by the control-socket client";
    ASSERT_TRUE(ntSuccess(client->close()));
    client.reset();
    EXPECT_EQ(program().open(), 0);
    EXPECT_EQ(m_frontEnd->status().kind, "cuse");
}

// 7E1 is what a pty cannot carry: here the device server gets the line
// control with 7 data bits and even parity, the rate with it.
TEST_F(CuseFrontEndTest, TermiosReachesTheDeviceServerAsBaudAndLineControl)
{
    ASSERT_EQ(program().open(), 0);
    transport().clear();
    driver::host::TtyTermios termios = getTermios();
    termios.cflag = (termios.cflag & ~(CBAUD | CSIZE | PARODD | CSTOPB)) | B19200 | CS7 | PARENB;
    ASSERT_EQ(setTermios(termios), 0);
    // 19200 is rate code 4 of the baud packet; LCR 7 bits + parity + even = 0x1A.
    const auto packets = transport().packets();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0], (Bytes { 0x33, 0x00, 0x03, 0x15, 0x04, 0x1A }));
    EXPECT_EQ(packets[1].at(3), 0x24) << "the first settings of an open go whole, flow control too";
    const auto back = getTermios();
    EXPECT_EQ(back.cflag & (CBAUD | CSIZE | PARENB | PARODD), B19200 | CS7 | PARENB);

    // Only the line control changes: no rate goes with it.
    transport().clear();
    termios.cflag = (termios.cflag & ~CSIZE) | CS8 | PARODD | CSTOPB;
    ASSERT_EQ(setTermios(termios, TCSETSW), 0);
    EXPECT_EQ(codes(), (std::vector<std::uint8_t> { 0x19 }));
    EXPECT_EQ(transport().packets()[0].back(), 0x0F); // 8 bits, 2 stop, odd parity

    // Hardware flow control is a handflow change (flow-control code).
    transport().clear();
    termios.cflag |= CRTSCTS;
    ASSERT_EQ(setTermios(termios), 0);
    EXPECT_EQ(codes(), (std::vector<std::uint8_t> { 0x24 }));
    EXPECT_TRUE(getTermios().cflag & CRTSCTS);
}

// Two programs one right after the other, each configuring and then writing:
// on the character device each program's bytes go at its own rate, the next
// program's rate after them (a pty cannot be as exact; see the docs).
TEST_F(CuseFrontEndTest, EachProgramsBytesGoAtItsOwnSettingsOneRightAfterTheOther)
{
    transport().clear();
    struct Program {
        unsigned int rate;
        std::uint8_t code; // the rate's code in the baud packet
        std::uint8_t byte;
    };
    const Program programs[] = { { B19200, 4, 'a' }, { B38400, 3, 'b' }, { B19200, 4, 'c' } };
    for (const Program& p : programs) {
        ASSERT_EQ(program().open(), 0);
        driver::host::TtyTermios termios = getTermios();
        termios.cflag = (termios.cflag & ~CBAUD) | p.rate;
        ASSERT_EQ(setTermios(termios), 0);
        std::size_t written = 0;
        ASSERT_EQ(program().write(Bytes(20, p.byte), written), 0);
        program().release();
    }
    // The data payload's first byte tells the program; the last rate packet
    // before it must be that program's.
    int rateCode = -1;
    std::vector<std::pair<int, std::uint8_t>> seen; // (rate code in force, program byte)
    for (const auto& bytes : transport().wire()) {
        if (bytes.size() >= 5 && bytes[0] == 0x33 && bytes[3] == 0x15)
            rateCode = bytes[4];
        else if (bytes.size() > 3 && bytes[0] == 0x32)
            seen.emplace_back(rateCode, bytes[3]);
    }
    ASSERT_EQ(seen.size(), 3u);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].second, programs[i].byte);
        EXPECT_EQ(seen[i].first, programs[i].code) << "program " << i << "'s bytes went at another rate";
    }
}

// The device server may hold another rate than the port: a program's first
// settings tell it the rate too, even one the port had already.
TEST_F(CuseFrontEndTest, TheFirstSettingsOfAnOpenReachTheDeviceServerWhole)
{
    ASSERT_EQ(program().open(), 0);
    driver::host::TtyTermios termios = getTermios();
    const std::uint32_t rate = driver::host::lineOf(termios).baudRate;
    ASSERT_EQ(rate, 9600u);
    transport().clear();
    termios.cflag = (termios.cflag & ~CSIZE) | CS7 | PARENB;
    ASSERT_EQ(setTermios(termios), 0);
    ASSERT_FALSE(transport().packets().empty());
    EXPECT_EQ(transport().packets()[0], (Bytes { 0x33, 0x00, 0x03, 0x15, 0x05, 0x1A })) << "9600 7E1";
    // Later changes send only what changed.
    transport().clear();
    termios.cflag |= CSTOPB;
    ASSERT_EQ(setTermios(termios), 0);
    EXPECT_EQ(codes(), (std::vector<std::uint8_t> { 0x19 }));
    // A new open starts whole again.
    program().release();
    ASSERT_EQ(program().open(), 0);
    transport().clear();
    ASSERT_EQ(setTermios(getTermios()), 0);
    EXPECT_EQ(codes(), (std::vector<std::uint8_t> { 0x15, 0x24 }));
}

// stty -a reads what the port holds, also settings another client made.
TEST_F(CuseFrontEndTest, TermiosShowsWhatThePortHolds)
{
    auto client = m_harness.open("COM5");
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(ntSuccess(client->deviceIoControl(kIoctlSerialSetBaudRate, le32({ 57600 }), 0).status));
    ASSERT_TRUE(ntSuccess(client->deviceIoControl(kIoctlSerialSetLineControl, Bytes { 0, 3, 6 }, 0).status));
    ASSERT_TRUE(ntSuccess(client->close()));
    client.reset();
    ASSERT_EQ(program().open(), 0);
    const auto termios = getTermios();
    const auto line = driver::host::lineOf(termios);
    EXPECT_EQ(line.baudRate, 57600u);
    EXPECT_EQ(line.dataBits, 6);
    EXPECT_EQ(line.parity, driver::host::TtyParity::Mark);
    EXPECT_TRUE(termios.cflag & CREAD);
}

TEST_F(CuseFrontEndTest, ModemLinesTravelBothWays)
{
    ASSERT_EQ(program().open(), 0);
    transport().clear();
    Bytes none;
    EXPECT_EQ(ioctl(TIOCMSET, intArg(TIOCM_DTR), none), 0);
    EXPECT_EQ(codes(), (std::vector<std::uint8_t> { 0x13, 0x12 })) << "DTR on, RTS off";
    transport().clear();
    EXPECT_EQ(ioctl(TIOCMBIS, intArg(TIOCM_RTS), none), 0);
    EXPECT_EQ(ioctl(TIOCMBIC, intArg(TIOCM_DTR), none), 0);
    EXPECT_EQ(codes(), (std::vector<std::uint8_t> { 0x14, 0x11 }));
    EXPECT_EQ(modemLines() & (TIOCM_DTR | TIOCM_RTS), unsigned(TIOCM_RTS));

    // The device server reports CTS, DSR, CD and RI up, each changed: a
    // waiting TIOCMIWAIT sees the change counts move.
    program().watch();
    const Bytes event { 0x33, 0x00, 0x03, 0x81, 0xFF, 0x03 };
    driver::reportModemStatus(port(), event);
    EXPECT_EQ(modemLines() & (TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG),
        unsigned(TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG));
    const auto counts = program().counts();
    EXPECT_TRUE(driver::host::modemWaitDone(TIOCM_CTS, {}, counts));
    EXPECT_TRUE(driver::host::modemWaitDone(TIOCM_RNG, {}, counts));
    Bytes raw;
    EXPECT_EQ(ioctl(TIOCGICOUNT, {}, raw), 0);
    ASSERT_EQ(raw.size(), driver::host::kCountsSize);
    int cts = 0;
    std::memcpy(&cts, raw.data(), sizeof(cts));
    EXPECT_EQ(cts, 1);

    // A status report without change bits changes the lines, not the counts.
    program().watch();
    driver::reportModemStatus(port(), Bytes { 0x33, 0x00, 0x02, 0xA3, 0x00 });
    EXPECT_EQ(modemLines() & (TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG), 0u);
    EXPECT_FALSE(driver::host::modemWaitDone(TIOCM_CTS | TIOCM_DSR, counts, program().counts()));
}

TEST_F(CuseFrontEndTest, BreaksAndFlowRequestsBecomeTheirControlPackets)
{
    ASSERT_EQ(program().open(), 0);
    struct Case {
        unsigned long code;
        unsigned long arg;
        std::vector<std::uint8_t> sent;
    };
    const Case cases[] = {
        { TCSBRK, 0, { 0x17, 0x16 } }, // tcsendbreak: on, then off
        { TCSBRK, 1, {} }, // tcdrain: writes are done when they return
        { TCSBRKP, 3, { 0x17, 0x16 } },
        { TIOCSBRK, 0, { 0x17 } },
        { TIOCCBRK, 0, { 0x16 } },
    };
    for (const Case& c : cases) {
        transport().clear();
        EXPECT_EQ(ioctl(c.code, c.arg), 0) << c.code;
        EXPECT_EQ(codes(), c.sent) << std::hex << c.code << " " << c.arg;
    }
    EXPECT_EQ(ioctl(TCFLSH, 5), EINVAL);
    EXPECT_EQ(ioctl(TCXONC, 9), EINVAL);
    EXPECT_EQ(ioctl(TIOCEXCL), 0);
}

TEST_F(CuseFrontEndTest, WritesGoToThePortAndReadsTakeWhatArrived)
{
    ASSERT_EQ(program().open(), 0);
    const Bytes data = patternBytes(1000);
    std::size_t written = 0;
    EXPECT_EQ(program().write(data, written), 0);
    EXPECT_EQ(written, data.size());
    Bytes sent;
    for (const auto& send : transport().dataSends())
        sent.insert(sent.end(), send.bytes.begin(), send.bytes.end());
    EXPECT_NE(std::search(sent.begin(), sent.end(), data.begin(), data.begin() + 100), sent.end());

    Bytes buffer(64);
    EXPECT_EQ(program().read(buffer), 0u);
    EXPECT_FALSE(program().readable());
    (void)driver::appendReceived(port(), Bytes { 'a', 'b', 'c' });
    EXPECT_TRUE(program().readable());
    Bytes count;
    EXPECT_EQ(ioctl(FIONREAD, {}, count), 0);
    EXPECT_EQ(count, intArg(3));
    ASSERT_EQ(program().read(buffer), 3u);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 3), (Bytes { 'a', 'b', 'c' }));

    // TCFLSH(TCIFLUSH) drops what the program has not read.
    (void)driver::appendReceived(port(), Bytes { 'x' });
    EXPECT_EQ(ioctl(TCFLSH, TCIFLUSH), 0);
    EXPECT_FALSE(program().readable());

    // Unconnected, the write fails and is counted as not sent.
    transport().setConnected(false);
    EXPECT_EQ(program().write(data, written), EIO);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(m_frontEnd->status().bytesNotSent, data.size());
    EXPECT_EQ(m_frontEnd->status().bytesToPort, data.size());
}

TEST_F(CuseFrontEndTest, RequestsOfAClosedDeviceAndUnknownOnesAreRefused)
{
    std::size_t written = 0;
    EXPECT_EQ(program().write(Bytes { 1 }, written), EIO);
    EXPECT_EQ(ioctl(TIOCMBIS, 0), EIO);
    ASSERT_EQ(program().open(), 0);
    Bytes out;
    EXPECT_EQ(ioctl(TIOCGWINSZ, {}, out), ENOTTY);
    EXPECT_EQ(ioctl(TIOCGSERIAL, {}, out), 0);
}

// A rate the port refuses is not what the program reads back, nor what its
// writes are paced at; CS5 with CSTOPB (1.5 stop bits) and IXON alone reach
// the device server.
TEST_F(CuseFrontEndTest, ARefusedRateReadsBackAsThePortHasItAndUncommonLinesReachTheServer)
{
    ASSERT_EQ(program().open(), 0);
    auto termios2 = [&] {
        Bytes out;
        EXPECT_EQ(ioctl(platform::detail::kGetTermios2, {}, out), 0);
        return driver::host::termiosFromBytes(out.data(), out.size());
    };
    driver::host::TtyTermios termios = termios2();
    termios.cflag = (termios.cflag & ~platform::detail::kRateBits) | platform::detail::kOtherRate;
    termios.ispeed = termios.ospeed = 250000;
    Bytes in(driver::host::kTermios2Size);
    driver::host::termiosToBytes(termios, in.data(), in.size());
    Bytes none;
    EXPECT_EQ(ioctl(platform::detail::kSetTermios2, in, none), EINVAL);
    EXPECT_EQ(termios2().ospeed, 9600u) << "the refused rate was kept";
    {
        std::lock_guard lock(port().dataLock);
        EXPECT_EQ(port().serial.baudRate, 9600u) << "writes would be paced at the refused rate";
    }

    transport().clear();
    termios = getTermios();
    termios.cflag = (termios.cflag & ~CSIZE) | CS5 | CSTOPB;
    termios.iflag = (termios.iflag & ~IXOFF) | IXON;
    ASSERT_EQ(setTermios(termios), 0);
    const auto back = getTermios();
    EXPECT_EQ(back.cflag & (CSIZE | CSTOPB), static_cast<std::uint32_t>(CS5 | CSTOPB));
    EXPECT_EQ(back.iflag & (IXON | IXOFF), static_cast<std::uint32_t>(IXON));
    bool lineControl = false;
    bool softwareFlow = false;
    for (const auto& packet : transport().packets()) {
        lineControl = lineControl || (packet.at(3) == 0x19 && packet.at(4) == 0x04); // 5 data bits, 1.5 stop bits
        softwareFlow = softwareFlow || (packet.at(3) == 0x24 && packet.at(4) == 2);
    }
    EXPECT_TRUE(lineControl) << "CS5 with CSTOPB did not reach the device server";
    EXPECT_TRUE(softwareFlow) << "IXON alone reached the device server as no flow control";
}

// As a serial driver: open raises DTR and RTS, the last close drops them
// while HUPCL is set (it is, after open), and TIOCMGET tells the lines as
// they are after a reopen.
TEST_F(CuseFrontEndTest, OpenRaisesDtrAndRtsAndTheLastCloseWithHupclDropsThem)
{
    transport().clear();
    ASSERT_EQ(program().open(), 0);
    EXPECT_EQ(codes(), (std::vector<std::uint8_t> { 0x13, 0x14 })) << "DTR on, RTS on";
    EXPECT_EQ(modemLines() & (TIOCM_DTR | TIOCM_RTS), unsigned(TIOCM_DTR | TIOCM_RTS));
    EXPECT_TRUE(getTermios().cflag & HUPCL) << "HUPCL is set by default";
    transport().clear();
    program().release();
    EXPECT_EQ(codes(), (std::vector<std::uint8_t> { 0x11, 0x12 })) << "DTR off, RTS off";

    ASSERT_EQ(program().open(), 0);
    EXPECT_EQ(modemLines() & (TIOCM_DTR | TIOCM_RTS), unsigned(TIOCM_DTR | TIOCM_RTS)) << "after a reopen";
    // The device server's report of the close comes after the reopen: the
    // lines stay as this open set them.
    driver::reportModemStatus(port(), Bytes { 0x33, 0x00, 0x03, 0x81, 0x00, 0x00 });
    EXPECT_EQ(modemLines() & (TIOCM_DTR | TIOCM_RTS), unsigned(TIOCM_DTR | TIOCM_RTS)) << "a late report";
    auto termios = getTermios();
    termios.cflag &= ~HUPCL;
    ASSERT_EQ(setTermios(termios), 0);
    transport().clear();
    program().release();
    EXPECT_EQ(codes(), std::vector<std::uint8_t> {}) << "without HUPCL the lines stay";

    // B0 is a hang-up: an open at B0 leaves DTR down.
    ASSERT_EQ(program().open(), 0);
    termios = getTermios();
    termios.cflag = (termios.cflag & ~CBAUD) | B0;
    ASSERT_EQ(setTermios(termios), 0);
    EXPECT_EQ(modemLines() & TIOCM_DTR, 0u);
}

// VMIN/VTIME reach the device's reads; canonical mode is refused with EINVAL
// and leaves the settings as they were.
TEST_F(CuseFrontEndTest, ReadRulesFollowTheTermiosAndCanonicalModeIsRefused)
{
    ASSERT_EQ(program().open(), 0);
    EXPECT_EQ(program().readRule(), (driver::host::TtyReadRule { 1, 0 })) << "raw: VMIN 1, VTIME 0";
    auto termios = getTermios();
    termios.cc[VMIN] = 10;
    termios.cc[VTIME] = 3;
    ASSERT_EQ(setTermios(termios), 0);
    EXPECT_EQ(program().readRule(), (driver::host::TtyReadRule { 10, 3 }));

    auto canonical = termios;
    canonical.lflag |= ICANON;
    canonical.cc[VMIN] = 0;
    EXPECT_EQ(setTermios(canonical), EINVAL);
    EXPECT_FALSE(getTermios().lflag & ICANON);
    EXPECT_EQ(program().readRule(), (driver::host::TtyReadRule { 10, 3 }));

    // A write goes a tenth of a second of the line at a time, so a signal ends it that soon.
    EXPECT_EQ(program().writeSlice(), 96u) << "9600 baud";
    termios.cflag = (termios.cflag & ~CBAUD) | B115200;
    ASSERT_EQ(setTermios(termios), 0);
    EXPECT_EQ(program().writeSlice(), 1152u);
}
