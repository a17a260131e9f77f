#include "mfg/serial_link.h"
#include "platform/clock.h"
#include "platform/pty.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

// Only a USB serial adapter is the slow port the Test page warns about. The
// device tree is a made-up copy of the kernel's, with the links it has for
// each kind of port.
TEST(SerialKind, OnlyAPortBelowAUsbInterfaceIsAUsbAdapter)
{
    testing_support::TempDir sys;
    namespace fs = std::filesystem;
    const struct {
        unsigned major, minor;
        const char* device; // empty: no entry for the numbers
        bool usb;
    } cases[] = {
        { 188, 0, "devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0", true },
        { 166, 0, "devices/pci0000:00/0000:00:14.0/usb3/3-1/3-1:1.0/tty/ttyACM0", true },
        { 4, 64, "devices/platform/serial8250/tty/ttyS0", false }, { 4, 65, "devices/pnp0/00:05/tty/ttyS1", false },
        { 5, 2, "devices/virtual/tty/ptmx", false }, { 136, 3, "", false }, // a pseudo-terminal's slave
    };
    fs::create_directories(sys.path() + "/dev/char");
    for (const auto& c : cases) {
        const std::string numbers = std::to_string(c.major) + ":" + std::to_string(c.minor);
        if (*c.device) {
            fs::create_directories(sys.path() + "/" + c.device);
            fs::create_directory_symlink(std::string("../../") + c.device, sys.path() + "/dev/char/" + numbers);
        }
        EXPECT_EQ(mfg::usbSerialDevice(c.major, c.minor, sys.path()), c.usb) << numbers;
    }
}

// A real pseudo-terminal, opened as the program opens its COM port.
TEST(SerialKind, APseudoTerminalIsNoUsbAdapter)
{
    auto pty = platform::Pty::open();
    ASSERT_TRUE(pty.ok());
    EXPECT_FALSE(mfg::usbSerialDevice(pty.value()->slavePath()));
    auto opened = platform::openSerialPort(pty.value()->slavePath(), platform::RealClock::instance());
    ASSERT_TRUE(opened.ok());
    EXPECT_EQ(opened.value()->devicePath(), pty.value()->slavePath());
    EXPECT_FALSE(mfg::usbSerialDevice("/nonexistent/ttyUSB0"));
    EXPECT_FALSE(mfg::usbSerialDevice("/dev/null"));
}

} // namespace
