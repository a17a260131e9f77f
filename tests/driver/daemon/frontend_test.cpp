// A port's front end in-process, over a real pty and the port driver: what
// becomes of a program's bytes while someone else holds the port, and when
// the port is let go.
#include "common/control_protocol.h"
#include "driver/daemon/control_service.h"
#include "driver/daemon/port_frontend.h"
#include "driver/host/pty_port.h"
#include "driver/port_device.h"
#include "driver/port_internal.h"
#include "driver/vorpil_driver.h"
#include "tests/support/eventually.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace common;
using namespace std::chrono_literals;

namespace {

using testing_support::eventually;

class FrontEndTest : public ::testing::Test {
protected:
    FrontEndTest()
    {
        m_host.registerDriver(driver::kHardwareId, m_driver);
        (void)m_host.start();
        ControlWriter install;
        install.text(driver::kHardwareId);
        install.text("COM5");
        ControlResponse response;
        EXPECT_TRUE(decodeResponse(
            m_service.handle(m_session, encodeRequest(ControlOp::InstallNode, install.payload())), response));
        EXPECT_TRUE(ntSuccess(response.status));
        EXPECT_TRUE(eventually([&] { return m_host.names().linkTarget("\\DosDevices\\COM5").has_value(); }));
        m_deviceName = m_host.names().linkTarget("\\DosDevices\\COM5").value_or("");
        std::unique_ptr<driver::host::PtyPort> pty;
        std::string error;
        EXPECT_TRUE(ntSuccess(driver::host::PtyPort::create(pty, -1, error))) << error;
        m_frontEnd = std::make_unique<driver::daemon::PortFrontEnd>(m_host, m_deviceName, std::move(pty));
    }

    // A program opens the terminal (the watch's part is played here).
    int openTerminal()
    {
        const int fd = ::open(m_frontEnd->terminalPath().c_str(), O_RDWR | O_NOCTTY);
        m_frontEnd->programOpened();
        return fd;
    }

    // Bytes from the network, as the port's network thread hands them over.
    void arrive(const std::string& bytes)
    {
        auto device = m_host.names().resolve(m_deviceName);
        ASSERT_TRUE(device);
        auto* port = device->extensionAs<driver::PortDevice>();
        ASSERT_NE(port, nullptr);
        (void)driver::appendReceived(*port, { reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size() });
    }

    // What the program reads: all there is now, or (with `end`) until what
    // it read ends so or the terminal stayed silent for a while.
    static std::string readTerminal(int fd, const std::string& end = "")
    {
        std::string got;
        char buffer[4096];
        while (end.empty() || !got.ends_with(end)) {
            pollfd in { fd, POLLIN, 0 };
            if (::poll(&in, 1, end.empty() ? 0 : 5000) <= 0)
                break;
            const ssize_t count = ::read(fd, buffer, sizeof buffer);
            if (count <= 0)
                break;
            got.append(buffer, static_cast<std::size_t>(count));
        }
        return got;
    }

    driver::VorpilDriver m_driver;
    driver::host::Host m_host;
    driver::daemon::ControlService m_service { m_host, nullptr };
    driver::daemon::ControlSession m_session;
    std::string m_deviceName;
    std::unique_ptr<driver::daemon::PortFrontEnd> m_frontEnd;
};

} // namespace

TEST_F(FrontEndTest, AProgramHasThePortUntilItsLastCloseAndThenItIsFree)
{
    const int program = openTerminal();
    ASSERT_GE(program, 0);
    ASSERT_TRUE(eventually([&] { return m_frontEnd->attached(); }));
    std::unique_ptr<driver::host::FileHandle> handle;
    EXPECT_EQ(m_host.open(m_deviceName, handle), kStatusInvalidDeviceState);
    const int copy = ::dup(program);
    ::close(program);
    EXPECT_TRUE(m_frontEnd->settle(2s));
    EXPECT_TRUE(m_frontEnd->attached()) << "a descriptor is still open";
    ::close(copy);
    EXPECT_TRUE(m_frontEnd->settle(2s));
    EXPECT_FALSE(m_frontEnd->attached());
    EXPECT_EQ(m_host.open(m_deviceName, handle), kStatusSuccess);
}

TEST_F(FrontEndTest, BytesWrittenWhileThePortIsHeldElsewhereWaitForIt)
{
    std::unique_ptr<driver::host::FileHandle> holder;
    ASSERT_EQ(m_host.open(m_deviceName, holder), kStatusSuccess);
    const int program = openTerminal();
    ASSERT_GE(program, 0);
    ASSERT_EQ(::write(program, "abc", 3), 3);
    ::close(program);
    EXPECT_TRUE(m_frontEnd->settle(2s));
    std::this_thread::sleep_for(300ms); // a retry or two of the open
    auto status = m_frontEnd->status();
    EXPECT_EQ(status.bytesNotSent, 0u) << "the bytes were dropped while the port was held";
    EXPECT_EQ(status.lastError, "port held by another program");
    ASSERT_TRUE(ntSuccess(holder->close()));
    // The port is free: the bytes go to it (which, unconnected, refuses them).
    ASSERT_TRUE(eventually([&] { return m_frontEnd->status().bytesNotSent == 3; }));
    status = m_frontEnd->status();
    EXPECT_NE(status.lastError.find("not connected"), std::string::npos) << status.lastError;
    // Then the port is let go (the program has left).
    holder.reset();
    EXPECT_TRUE(eventually([&] { return m_host.open(m_deviceName, holder) == kStatusSuccess; }));
    EXPECT_FALSE(m_frontEnd->attached());
}

// An open told late, of a program that came and went without a byte or a
// setting: the front end leaves the port to whoever holds it.
TEST_F(FrontEndTest, AnOpenToldLateOfAProgramThatLeftNothingNeedsNoPort)
{
    const int program = ::open(m_frontEnd->terminalPath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(program, 0);
    ::close(program);
    std::unique_ptr<driver::host::FileHandle> holder;
    ASSERT_EQ(m_host.open(m_deviceName, holder), kStatusSuccess);
    m_frontEnd->programOpened();
    EXPECT_TRUE(m_frontEnd->settle(2s));
    EXPECT_EQ(m_frontEnd->status().lastError, "") << "it tried to take the port";
    ASSERT_TRUE(ntSuccess(holder->close()));
    holder.reset();
    EXPECT_TRUE(m_frontEnd->settle(2s));
    EXPECT_FALSE(m_frontEnd->attached());
    EXPECT_EQ(m_host.open(m_deviceName, holder), kStatusSuccess);
}

// A program's input flush is told to the front end late. Bytes that arrived
// after the flush are the program's, and so is all the port holds behind
// them; what the port held before the flush is dropped, unless newer bytes
// came behind it (the port cannot tell them apart).
TEST_F(FrontEndTest, AFlushToldLateDropsOnlyWhatCameBeforeIt)
{
    std::string stream;
    for (std::size_t i = 0; i < 200000; ++i)
        stream.push_back(static_cast<char>('a' + (i * 7 + i / 251) % 26));
    struct Case {
        const char* name;
        std::string before; // arrives before the flush (more than the terminal takes)
        std::string after; // arrives after it, before the front end is told
        bool readBeforeTold; // the program reads the terminal empty meanwhile
        std::string expected; // what the program reads in all, "TAIL" arriving last
        bool olderMayStay; // some of `before` may come first
    };
    const Case cases[] = {
        { "arrivals after the flush, read before it is told", "", stream, true, stream + "TAIL", false },
        { "arrivals before the flush, held by the port", stream, "", false, "TAIL", false },
        { "newer arrivals behind older ones in the port", stream, "NEWER", false, "NEWERTAIL", true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int program = openTerminal();
        ASSERT_GE(program, 0);
        ASSERT_TRUE(eventually([&] { return m_frontEnd->attached(); }));
        ASSERT_TRUE(m_frontEnd->settle(5s));
        ASSERT_TRUE(m_frontEnd->holdEvents(true));
        arrive(c.before);
        ASSERT_EQ(::tcflush(program, TCIFLUSH), 0);
        arrive(c.after);
        std::string got;
        if (c.readBeforeTold) {
            got = readTerminal(program);
            ASSERT_FALSE(got.empty());
            ASSERT_LT(got.size(), c.after.size()) << "the port held nothing back";
        }
        EXPECT_TRUE(m_frontEnd->holdEvents(false));
        ASSERT_TRUE(m_frontEnd->settle(5s));
        arrive("TAIL");
        got += readTerminal(program, "TAIL");
        ASSERT_TRUE(got.ends_with(c.expected))
            << got.size() << " bytes read, ending " << got.substr(got.size() - std::min<std::size_t>(got.size(), 20));
        const std::string older = got.substr(0, got.size() - c.expected.size());
        if (c.olderMayStay)
            EXPECT_TRUE(c.before.ends_with(older)) << "a hole in what stayed of the older bytes";
        else
            EXPECT_EQ(older.size(), 0u) << "older bytes stayed, or newer ones were cut";
        ::close(program);
        ASSERT_TRUE(m_frontEnd->settle(5s));
        ASSERT_TRUE(eventually([&] { return !m_frontEnd->attached(); }));
    }
}
