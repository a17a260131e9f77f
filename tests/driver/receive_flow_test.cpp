#include "common/serial_ioctl.h"
#include "driver/port_internal.h"
#include "tests/driver/port_harness.h"
#include "tests/support/eventually.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

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

TEST(ReceiveFlowAcrossPorts, PortsWhoseControlSendsHangNeverHoldBackAnotherPortsStop)
{
    // Two ports behind device servers that read nothing: each has a stop
    // waiting to be sent and a resume waiting behind it, as many workers as
    // one port may take. A third port's stop still goes out at once.
    SteppedClock clock;
    PortHarness harness { PortHarness::Options { &clock, {}, true, nullptr, 4 } };
    std::vector<std::unique_ptr<driver::host::FileHandle>> handles;
    for (const char* name : { "COM5", "COM6", "COM7" }) {
        ASSERT_EQ(harness.addPort(name), kStatusSuccess);
        handles.push_back(harness.open(name));
        ASSERT_NE(handles.back(), nullptr);
        (void)handles.back()->deviceIoControl(kIoctlSerialSetChars, Bytes { 0, 0, 0, 0, 0x11, 0x13 }, 0);
    }
    const auto job = [&](std::uint32_t number) -> driver::host::WorkItem& {
        return *harness.port(number)->jobs[static_cast<std::size_t>(driver::PortJob::FlowControl)].item;
    };
    for (std::size_t i = 0; i < 2; ++i) {
        driver::PortDevice& port = *harness.port(11 + static_cast<std::uint32_t>(i));
        RecordingTransport& transport = harness.transports().at(i);
        transport.holdControlSends(true);
        (void)driver::appendReceived(port, patternBytes(0x30000));
        driver::flowThresholdReached(port);
        ASSERT_TRUE(testing_support::eventually([&] { return transport.heldControlSends() == 1; }, 20s));
        // The program reads: the resume's job runs beside the stop's and waits for it.
        EXPECT_EQ(handles[i]->read(0x30000).information, 0x30000u);
        ASSERT_TRUE(testing_support::eventually([&] { return !job(port.portNumber).queued(); }, 20s));
    }

    driver::PortDevice& other = *harness.port(13);
    (void)driver::appendReceived(other, patternBytes(0x30000));
    driver::flowThresholdReached(other);
    EXPECT_TRUE(testing_support::eventually(
        [&] { return harness.transports().at(2).packets() == std::vector<Bytes> { kStop }; }, 20s))
        << "the third port's stop waited for the others' sends";

    for (std::size_t i = 0; i < 2; ++i)
        harness.transports().at(i).holdControlSends(false);
    harness.settle();
    for (std::size_t i = 0; i < 2; ++i)
        EXPECT_EQ(harness.transports().at(i).packets(), (std::vector<Bytes> { kStop, kResume }));
}
