// Rates on a pseudo-terminal, which takes any rate a program sets, as the
// virtual ports do: those with a B-constant and those set as numbers. (A
// pseudo-terminal keeps 8 data bits without parity whatever it is told.)
#include "platform/serial_port.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

namespace platform {
namespace {

class PtyLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(::grantpt(master), 0);
        ASSERT_EQ(::unlockpt(master), 0);
        char name[128];
        ASSERT_EQ(::ptsname_r(master, name, sizeof name), 0);
        auto port = openSerialPort(name, RealClock::instance());
        ASSERT_TRUE(port.ok()) << port.error().message;
        serial = std::move(*port);
    }
    void TearDown() override
    {
        serial.reset();
        if (master >= 0)
            ::close(master);
    }
    int master = -1;
    std::unique_ptr<SerialPort> serial;
};

TEST_F(PtyLine, APurgeKeepsWhatTheOtherSideHasNotReadYet)
{
    // What this side wrote has left it: on a real line it is on the wire,
    // and a purge must not take it back from the board that reads it.
    const std::uint8_t command[] = { 'e', 'w', '1', ';' };
    ASSERT_TRUE(serial->write(command, sizeof command).ok());
    ASSERT_TRUE(serial->purge().ok());
    pollfd ready { master, POLLIN, 0 };
    ASSERT_EQ(::poll(&ready, 1, 2000), 1) << "the command was purged before the board read it";
    std::uint8_t got[16] {};
    ASSERT_EQ(::read(master, got, sizeof got), static_cast<ssize_t>(sizeof command));
    EXPECT_EQ(std::string(got, got + sizeof command), std::string(command, command + sizeof command));
}

TEST_F(PtyLine, EveryRateTheDeviceTakesIsSetAndReadBack)
{
    // 14400 and 28800 have no B-constant; the others have.
    for (std::uint32_t baud : { 14400u, 1200u, 28800u, 115200u, 250000u, 921600u, 76800u, 9600u }) {
        auto settings = serial->settings();
        ASSERT_TRUE(settings.ok());
        SerialSettings wanted = *settings;
        wanted.baud = baud;
        wanted.stopBits = 2;
        const auto configured = serial->configure(wanted);
        ASSERT_TRUE(configured.ok()) << baud << ": " << configured.error().message;
        auto got = serial->settings();
        ASSERT_TRUE(got.ok());
        EXPECT_EQ(got->baud, baud);
        EXPECT_EQ(got->stopBits, 2) << baud << ": the other settings go in too";
    }
}

TEST_F(PtyLine, ARateOfZeroIsRefusedWithItsNumber)
{
    auto settings = serial->settings();
    ASSERT_TRUE(settings.ok());
    SerialSettings wanted = *settings;
    wanted.baud = 0;
    const auto configured = serial->configure(wanted);
    ASSERT_FALSE(configured.ok());
    EXPECT_NE(configured.error().message.find("does not take 0 baud"), std::string::npos) << configured.error().message;
}

} // namespace
} // namespace platform
