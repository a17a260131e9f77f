#include "common/serial_ioctl.h"
#include "driver/port_internal.h"
#include "tests/driver/port_harness.h"

#include <gtest/gtest.h>

#include <functional>

using namespace common;
using namespace driver_testing;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

const Bytes kStop { 0x33, 0x00, 0x02, 0x21, 0x11 };
const Bytes kResume { 0x33, 0x00, 0x02, 0x22, 0x11 };

// Receive flow control on a recording transport: whatever empties the
// receive buffer lets a stopped device server send again, and the device
// server is never left stopped with nothing to read.
class ReceiveFlow : public testing::Test {
public:
    void SetUp() override
    {
        ASSERT_EQ(m_harness.addPort("COM5"), kStatusSuccess);
        m_handle = m_harness.open("COM5");
        ASSERT_NE(m_handle, nullptr);
        ioctl(kIoctlSerialSetChars, { 0, 0, 0, 0, 0x11, 0x13 });
    }
    driver::host::Reply ioctl(std::uint32_t code, const Bytes& input = {}, std::size_t output = 0)
    {
        return m_handle->deviceIoControl(code, input, output);
    }
    driver::PortDevice& port() { return *m_harness.port(11); }
    RecordingTransport& transport() { return m_harness.transports().at(0); }
    // The buffer reaches the stop level as the transport sees it.
    void fill(std::size_t bytes)
    {
        (void)driver::appendReceived(port(), patternBytes(bytes));
        driver::flowThresholdReached(port());
        m_harness.settle();
    }

    SteppedClock m_clock;
    PortHarness m_harness { PortHarness::Options { &m_clock, {}, true, nullptr, 2 } };
    std::unique_ptr<driver::host::FileHandle> m_handle;
};

} // namespace

TEST_F(ReceiveFlow, EveryWayOfDrainingSendsTheResume)
{
    struct Way {
        const char* name;
        std::function<void(ReceiveFlow&)> drain;
    };
    const Way ways[] = {
        { "a read", [](ReceiveFlow& t) { EXPECT_EQ(t.m_handle->read(0x30000).information, 0x30000u); } },
        { "a purge", [](ReceiveFlow& t) { t.ioctl(kIoctlSerialPurge, le32({ 0x8 })); } },
        { "a read completed by its timer",
            [](ReceiveFlow& t) {
                // A read waiting for its timer takes what arrived meanwhile.
                t.m_handle->read(0x30000);
                t.ioctl(kIoctlSerialSetTimeouts, le32({ 0xFFFFFFFF, 0, 0, 0, 0 }));
                auto pending = driver::host::Request::makeRead(0x30000);
                EXPECT_EQ(t.m_handle->submit(pending), kStatusPending);
                t.fill(0x30000);
                t.transport().clear(); // its stop is not what this case looks at
                t.m_clock.advance(1ms);
                EXPECT_EQ(pending->wait(), kStatusSuccess);
                EXPECT_EQ(pending->information(), 0x30000u);
            } },
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        transport().clear();
        fill(0x30000);
        EXPECT_EQ(transport().packets(), (std::vector<Bytes> { kStop }));
        transport().clear();
        way.drain(*this);
        m_harness.settle();
        EXPECT_EQ(transport().packets(), (std::vector<Bytes> { kResume }));
        ioctl(kIoctlSerialPurge, le32({ 0x8 }));
        m_harness.settle();
    }
}

TEST_F(ReceiveFlow, AStopDecidedAfterTheProgramReadEverythingIsNotSent)
{
    // The network thread saw the level; the program read all before the
    // stop was taken up: with nothing left to read, nothing would resume it.
    (void)driver::appendReceived(port(), patternBytes(0x30000));
    EXPECT_EQ(m_handle->read(0x30000).information, 0x30000u);
    driver::flowThresholdReached(port());
    m_harness.settle();
    EXPECT_TRUE(transport().packets().empty());

    // Still above the resume level: the stop goes, and a later read resumes.
    (void)driver::appendReceived(port(), patternBytes(0x30000));
    EXPECT_EQ(m_handle->read(0x10000).information, 0x10000u);
    driver::flowThresholdReached(port());
    m_harness.settle();
    EXPECT_EQ(transport().packets(), (std::vector<Bytes> { kStop }));
    EXPECT_EQ(m_handle->read(0x10001).information, 0x10001u);
    m_harness.settle();
    EXPECT_EQ(transport().packets(), (std::vector<Bytes> { kStop, kResume }));
}
