#include "common/serial_ioctl.h"
#include "driver/pacing.h"
#include "tests/driver/port_harness.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace common;
using namespace driver_testing;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

struct Paced {
    platform::Duration took {};
    std::vector<platform::TimePoint> sends;
    platform::TimePoint start {};
};

// A write of `size` bytes on a fresh raw (or framed) port at `baud`, in
// time that only the pacing moves.
Paced pacedWrite(std::uint32_t baud, std::size_t size, std::uint32_t cmdByte = 0, std::uint32_t wireProtocol = 0,
    std::uint32_t refused = 0)
{
    SteppedClock clock;
    PortHarness harness(PortHarness::Options { &clock, {}, true, nullptr, 2 });
    PortSettings settings;
    settings.cmdByte = cmdByte;
    settings.wireProtocol = wireProtocol;
    Paced paced;
    if (harness.addPort("COM5", settings) != kStatusSuccess)
        return paced;
    auto handle = harness.open("COM5");
    if (!handle)
        return paced;
    EXPECT_EQ(handle->deviceIoControl(kIoctlSerialSetBaudRate, le32({ baud }), 0).status, kStatusSuccess);
    if (refused != 0) {
        EXPECT_EQ(
            handle->deviceIoControl(kIoctlSerialSetBaudRate, le32({ refused }), 0).status, kStatusInvalidParameter);
    }
    paced.start = clock.now();
    const auto reply = handle->write(patternBytes(size));
    paced.took = clock.now() - paced.start;
    EXPECT_EQ(reply.information, size);
    for (const auto& send : harness.transports().at(0).dataSends())
        paced.sends.push_back(send.at);
    return paced;
}

} // namespace

TEST(LinePacing, AWriteTakesItsLineTimeToTheMicrosecond)
{
    struct Case {
        std::uint32_t baud;
        std::size_t size;
        std::uint32_t cmdByte;
        std::uint32_t wireProtocol;
    };
    // Ten bit times a byte; no whole-millisecond rounding per chunk (at
    // 921600 baud a 447-byte chunk is 4.85 ms, not 5 or 6).
    const Case cases[] = { { 921600, 1 << 20, 1, 0 }, { 921600, 100000, 0, 0 }, { 115200, 65536, 1, 0 },
        { 9600, 1000, 0, 0 }, { 1200, 450, 1, 0 }, { 250000, 100000, 0, 1 } };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.baud << " baud, " << c.size << " bytes");
        const Paced paced = pacedWrite(c.baud, c.size, c.cmdByte, c.wireProtocol);
        const auto exact = std::chrono::nanoseconds(static_cast<std::int64_t>(c.size) * 10'000'000'000 / c.baud);
        EXPECT_LE(std::chrono::abs(paced.took - exact), 1us) << "took " << paced.took.count() << " ns";
    }
}

TEST(LinePacing, EachChunkGoesWhenTheLineHasCarriedThoseBefore)
{
    const Paced paced = pacedWrite(921600, 2000);
    ASSERT_EQ(paced.sends.size(), 5u); // 450-byte chunks
    for (std::size_t i = 0; i < paced.sends.size(); ++i)
        EXPECT_EQ(paced.sends[i] - paced.start, driver::LinePacer::lineTime(450 * i, 921600)) << "chunk " << i;
}

TEST(LinePacing, ARefusedRateDoesNotPaceTheWrites)
{
    // 250000 has no device-server code: the port stays at 9600 and paces so.
    const Paced paced = pacedWrite(9600, 960, 1, 0, 250000);
    EXPECT_EQ(paced.took, 1s);
}

TEST(LinePacing, LineTimesOfLongWritesDoNotOverflow)
{
    EXPECT_EQ(driver::LinePacer::lineTime(0xFFFFFFFFull, 10), std::chrono::seconds(0xFFFFFFFFull));
    EXPECT_EQ(driver::LinePacer::lineTime(1, 0), driver::LinePacer::lineTime(1, 10)) << "the rate is at least 10";
    EXPECT_EQ(driver::LinePacer::lineTime(3, 3'000'000'000u), 10ns);
}
