#include "common/serial_ioctl.h"
#include "tests/driver/port_harness.h"

#include <gtest/gtest.h>

using namespace common;
using namespace driver_testing;
using Bytes = std::vector<std::uint8_t>;

namespace {

// A started, open COM5 whose transport reports itself connected and framed.
class SerialPort : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(m_harness.addPort("COM5"), kStatusSuccess);
        m_handle = m_harness.open("COM5");
        ASSERT_NE(m_handle, nullptr);
    }
    driver::host::Reply ioctl(std::uint32_t code, const Bytes& input = {}, std::size_t output = 0)
    {
        return m_handle->deviceIoControl(code, input, output);
    }
    RecordingTransport& transport() { return m_harness.transports().at(0); }
    driver::PortDevice& port() { return *m_harness.port(11); }

    PortHarness m_harness;
    std::unique_ptr<driver::host::FileHandle> m_handle;
};

Bytes lineControl(std::uint8_t stopBits, std::uint8_t parity, std::uint8_t wordLength)
{
    return { stopBits, parity, wordLength };
}

} // namespace

TEST_F(SerialPort, BaudRateTravelsWithTheNextLineControl)
{
    EXPECT_EQ(ioctl(kIoctlSerialSetBaudRate, le32({ 115200 })).status, kStatusSuccess);
    EXPECT_TRUE(transport().packets().empty());
    EXPECT_EQ(ioctl(kIoctlSerialSetLineControl, lineControl(0, 0, 8)).status, kStatusSuccess);
    EXPECT_EQ(transport().packets(), (std::vector<Bytes> { { 0x33, 0x00, 0x03, 0x15, 0x01, 0x03 } }));
    transport().clear();
    EXPECT_EQ(ioctl(kIoctlSerialSetLineControl, lineControl(2, 2, 7)).status, kStatusSuccess);
    EXPECT_EQ(transport().packets(), (std::vector<Bytes> { { 0x33, 0x00, 0x02, 0x19, 0x1E } }));
}

TEST_F(SerialPort, ARefusedRateIsNotKept)
{
    ASSERT_EQ(ioctl(kIoctlSerialSetBaudRate, le32({ 115200 })).status, kStatusSuccess);
    for (const std::uint32_t refused : { 300u, 250000u, 5u, 0u }) {
        EXPECT_EQ(ioctl(kIoctlSerialSetBaudRate, le32({ refused })).status, kStatusInvalidParameter) << refused;
        EXPECT_EQ(wordAt(ioctl(kIoctlSerialGetBaudRate, {}, 4).output), 115200u) << refused;
    }
    // The device server learns the rate the port has.
    ioctl(kIoctlSerialSetLineControl, lineControl(0, 0, 8));
    EXPECT_EQ(transport().packets(), (std::vector<Bytes> { { 0x33, 0x00, 0x03, 0x15, 0x01, 0x03 } }));
}

TEST(SerialRfc2217Port, AnyRateIsTaken)
{
    PortHarness harness;
    PortSettings settings;
    settings.wireProtocol = 1;
    ASSERT_EQ(harness.addPort("COM5", settings), kStatusSuccess);
    auto handle = harness.open("COM5");
    ASSERT_NE(handle, nullptr);
    for (const std::uint32_t rate : { 250000u, 230400u, 460800u, 31250u, 0x7FFFFFFFu, 9600u }) {
        EXPECT_EQ(handle->deviceIoControl(kIoctlSerialSetBaudRate, le32({ rate }), 0).status, kStatusSuccess) << rate;
        EXPECT_EQ(wordAt(handle->deviceIoControl(kIoctlSerialGetBaudRate, {}, 4).output), rate);
    }
    EXPECT_EQ(handle->deviceIoControl(kIoctlSerialSetBaudRate, le32({ 0 }), 0).status, kStatusInvalidParameter);
    EXPECT_EQ(wordAt(handle->deviceIoControl(kIoctlSerialGetBaudRate, {}, 4).output), 9600u);
}

TEST_F(SerialPort, LineControlByteFollowsTheLineControlRegister)
{
    struct Case {
        Bytes input;
        int expected; // -1: rejected
    };
    // Two stop bits with five data bits are the 1.5 a UART gives (CS5 with CSTOPB).
    const Case cases[]
        = { { lineControl(0, 0, 8), 0x03 }, { lineControl(2, 2, 7), 0x1E }, { lineControl(1, 0, 5), 0x04 },
              { lineControl(1, 4, 5), 0x3C }, { lineControl(0, 1, 6), 0x09 }, { lineControl(0, 3, 8), 0x2B },
              { lineControl(2, 0, 5), 0x04 }, { lineControl(1, 0, 8), -1 }, { lineControl(3, 0, 8), -1 },
              { lineControl(0, 5, 8), -1 }, { lineControl(0, 0, 9), -1 }, { lineControl(0, 0, 4), -1 } };
    Bytes held = lineControl(0, 0, 8); // the default
    for (const Case& c : cases) {
        transport().clear();
        const auto reply = ioctl(kIoctlSerialSetLineControl, c.input);
        const auto stored = ioctl(kIoctlSerialGetLineControl, {}, 3);
        if (c.expected >= 0)
            held = c.input;
        EXPECT_EQ(Bytes(stored.output.begin(), stored.output.begin() + 3), held) << "a refused one is not kept";
        if (c.expected < 0) {
            EXPECT_EQ(reply.status, kStatusInvalidParameter);
            EXPECT_TRUE(transport().packets().empty());
        } else {
            EXPECT_EQ(reply.status, kStatusSuccess);
            ASSERT_EQ(transport().packets().size(), 1u);
            EXPECT_EQ(transport().packets()[0].back(), c.expected);
        }
    }
}

TEST_F(SerialPort, HandflowSendsItsFlowControlCode)
{
    struct Case {
        std::uint32_t handShake;
        std::uint32_t flowReplace;
        std::uint8_t code;
    };
    // 0x41: XON/XOFF obeyed on output only (IXON alone), which is what a
    // device server's software flow control does; 0x42 (IXOFF alone) is not.
    for (const Case& c : { Case { 8, 0x80, 1 }, Case { 1, 0x43, 2 }, Case { 1, 0x40, 0 }, Case { 0x80000009, 0, 1 },
             Case { 0, 0x80000083, 2 }, Case { 1, 0x41, 2 }, Case { 1, 0x42, 0 } }) {
        transport().clear();
        EXPECT_EQ(ioctl(kIoctlSerialSetHandflow, le32({ c.handShake, c.flowReplace, 0, 0 })).status, kStatusSuccess);
        EXPECT_EQ(transport().packets(), (std::vector<Bytes> { { 0x33, 0x00, 0x02, 0x24, c.code } }));
        EXPECT_EQ(ioctl(kIoctlSerialGetHandflow, {}, 16).output, le32({ c.handShake, c.flowReplace, 0, 0 }));
    }
}

TEST_F(SerialPort, InvalidHandflowIsRejectedAndNothingSent)
{
    const std::uint32_t negative = 0xFFFFFFFF;
    for (const Bytes& input : { le32({ 0x4, 0, 0, 0 }), le32({ 0x80, 0, 0, 0 }), le32({ 0, 0x20, 0, 0 }),
             le32({ 3, 0, 0, 0 }), le32({ 0, 0, negative, 0 }), le32({ 0, 0, 0, negative }), le32({ 0, 0, 0x40001, 0 }),
             le32({ 0, 0, 0, 0x40001 }) }) {
        EXPECT_EQ(ioctl(kIoctlSerialSetHandflow, input).status, kStatusInvalidParameter);
    }
    EXPECT_TRUE(transport().packets().empty());
}

TEST_F(SerialPort, XonLimitAboveTheQueueSizeFailsUntilTheQueueGrows)
{
    const Bytes handflow = le32({ 0, 0, 0x50000, 0 });
    EXPECT_EQ(ioctl(kIoctlSerialSetHandflow, handflow).status, kStatusInvalidParameter);
    EXPECT_EQ(ioctl(kIoctlSerialSetQueueSize, le32({ 0x1000, 0 })).status, kStatusSuccess); // never shrinks
    EXPECT_EQ(ioctl(kIoctlSerialSetHandflow, handflow).status, kStatusInvalidParameter);
    EXPECT_EQ(ioctl(kIoctlSerialSetQueueSize, le32({ 0x50000, 0 })).status, kStatusSuccess);
    EXPECT_EQ(ioctl(kIoctlSerialSetHandflow, handflow).status, kStatusSuccess);
}

TEST_F(SerialPort, SettingRequestsSendTheirPackets)
{
    ioctl(kIoctlSerialSetChars, { 0, 0, 0, 0, 0x11, 0x13 });
    struct Case {
        std::uint32_t code;
        Bytes input;
        Bytes packet;
    };
    const Case cases[] = { { kIoctlSerialSetDtr, {}, { 0x33, 0, 1, 0x13 } },
        { kIoctlSerialClrDtr, {}, { 0x33, 0, 1, 0x11 } }, { kIoctlSerialSetRts, {}, { 0x33, 0, 1, 0x14 } },
        { kIoctlSerialClrRts, {}, { 0x33, 0, 1, 0x12 } }, { kIoctlSerialSetBreakOn, {}, { 0x33, 0, 1, 0x17 } },
        { kIoctlSerialSetBreakOff, {}, { 0x33, 0, 1, 0x16 } }, { kIoctlSerialSetXoff, {}, { 0x33, 0, 2, 0x21, 0x13 } },
        { kIoctlSerialSetXon, {}, { 0x33, 0, 2, 0x22, 0x11 } },
        { kIoctlSerialSetModemControl, le32({ 0x1234 }), { 0x33, 0, 2, 0x1A, 0x34 } },
        { kIoctlSerialSetFifoControl, le32({ 0xC7 }), { 0x33, 0, 2, 0x18, 0xC7 } } };
    for (const Case& c : cases) {
        transport().clear();
        EXPECT_EQ(ioctl(c.code, c.input).status, kStatusSuccess);
        EXPECT_EQ(transport().packets(), std::vector<Bytes> { c.packet });
    }
}

TEST_F(SerialPort, AFailedSendIsTheStatusButTheSettingStays)
{
    transport().failSends(kStatusIoTimeout);
    EXPECT_EQ(ioctl(kIoctlSerialSetDtr).status, kStatusIoTimeout);
    EXPECT_EQ(wordAt(ioctl(kIoctlSerialGetDtrRts, {}, 4).output), kSerialDtrState);
}

TEST_F(SerialPort, UnframedPortSendsNothing)
{
    port().config.cmdByte = 0;
    EXPECT_EQ(ioctl(kIoctlSerialSetDtr).status, kStatusSuccess);
    EXPECT_TRUE(transport().packets().empty());
}

TEST(SerialUnconnected, DtrAndRtsLoopBackLocallyAndNothingIsSent)
{
    PortHarness harness({ nullptr, "", false });
    ASSERT_EQ(harness.addPort("COM5"), kStatusSuccess);
    auto handle = harness.open("COM5");
    EXPECT_EQ(handle->deviceIoControl(kIoctlSerialSetDtr, {}, 0).status, kStatusSuccess);
    EXPECT_EQ(wordAt(handle->deviceIoControl(kIoctlSerialGetModemStatus, {}, 4).output), 0x20u);
    EXPECT_EQ(wordAt(handle->deviceIoControl(kIoctlSerialGetDtrRts, {}, 4).output), 1u);
    EXPECT_EQ(handle->deviceIoControl(kIoctlSerialSetRts, {}, 0).status, kStatusSuccess);
    EXPECT_EQ(wordAt(handle->deviceIoControl(kIoctlSerialGetModemStatus, {}, 4).output), 0x30u);
    EXPECT_EQ(handle->deviceIoControl(kIoctlSerialClrDtr, {}, 0).status, kStatusSuccess);
    EXPECT_EQ(wordAt(handle->deviceIoControl(kIoctlSerialGetModemStatus, {}, 4).output), 0x10u);
    EXPECT_EQ(wordAt(handle->deviceIoControl(kIoctlSerialGetDtrRts, {}, 4).output), 2u);
    EXPECT_TRUE(harness.transports().at(0).packets().empty());

    // A handshake that owns the line refuses the request.
    handle->deviceIoControl(kIoctlSerialSetHandflow, le32({ 2, 0x80, 0, 0 }), 0);
    EXPECT_EQ(handle->deviceIoControl(kIoctlSerialSetDtr, {}, 0).status, kStatusInvalidParameter);
    EXPECT_EQ(handle->deviceIoControl(kIoctlSerialClrRts, {}, 0).status, kStatusInvalidParameter);
}

TEST_F(SerialPort, ModemEventCompletesAPendingWait)
{
    ASSERT_EQ(ioctl(kIoctlSerialSetWaitMask, le32({ kSerialEvCts | kSerialEvDsr })).status, kStatusSuccess);
    auto wait = driver::host::Request::makeDeviceControl(kIoctlSerialWaitOnMask, {}, 4);
    ASSERT_EQ(m_handle->submit(wait), kStatusPending);
    EXPECT_EQ(ioctl(kIoctlSerialWaitOnMask, {}, 4).status, kStatusInvalidParameter) << "one wait at a time";

    const std::uint8_t report[] = { 0x33, 0x00, 0x03, 0x81, 0x11, 0x03 };
    {
        driver::host::RaisedLevelScope transportContext;
        driver::reportModemStatus(port(), report);
    }
    ASSERT_TRUE(wait->finished());
    EXPECT_EQ(wait->status(), kStatusSuccess);
    EXPECT_EQ(wait->information(), 4u);
    EXPECT_EQ(wordAt(Bytes(wait->output().begin(), wait->output().end())), 0x8u);
    EXPECT_EQ(wordAt(ioctl(kIoctlSerialGetModemStatus, {}, 4).output), 0x11u);
    EXPECT_EQ(wordAt(ioctl(kIoctlSerialGetDtrRts, {}, 4).output), 3u);
}

TEST_F(SerialPort, ModemEventWithoutAWaitIsKeptForTheNextWait)
{
    ioctl(kIoctlSerialSetWaitMask, le32({ kSerialEvCts | kSerialEvRing }));
    const std::uint8_t cts[] = { 0x33, 0x00, 0x03, 0x81, 0x11, 0x00 };
    const std::uint8_t ring[] = { 0x33, 0x00, 0x03, 0x81, 0x44, 0x00 };
    const std::uint8_t dsrOnly[] = { 0x33, 0x00, 0x03, 0x81, 0x22, 0x00 }; // not in the mask
    driver::reportModemStatus(port(), cts);
    driver::reportModemStatus(port(), dsrOnly);
    driver::reportModemStatus(port(), ring);
    auto reply = ioctl(kIoctlSerialWaitOnMask, {}, 4);
    EXPECT_EQ(reply.status, kStatusSuccess);
    EXPECT_EQ(wordAt(reply.output), kSerialEvCts | kSerialEvRing);
    auto next = driver::host::Request::makeDeviceControl(kIoctlSerialWaitOnMask, {}, 4);
    EXPECT_EQ(m_handle->submit(next), kStatusPending) << "the events were handed out";
    m_handle->close();
    EXPECT_EQ(next->status(), kStatusSuccess) << "cleanup completes the wait";
    EXPECT_EQ(wordAt(Bytes(next->output().begin(), next->output().end())), 0u);
}

TEST_F(SerialPort, StatusReportsAndShortOrUnknownReportsAreHandledSafely)
{
    ioctl(kIoctlSerialSetWaitMask, le32({ kSerialEvAllBits }));
    const Bytes reports[] = { { 0x33, 0x00, 0x02, 0xA3, 0xB0 }, { 0x33, 0x00, 0x01, 0x81 },
        { 0x33, 0x00, 0x02, 0x81, 0x0F }, { 0x33, 0x00, 0x03, 0xA1, 0x0F, 0x00 }, { 0x33 } };
    for (const Bytes& report : reports)
        driver::reportModemStatus(port(), report);
    EXPECT_EQ(wordAt(ioctl(kIoctlSerialGetModemStatus, {}, 4).output), 0xB0u);
    auto wait = driver::host::Request::makeDeviceControl(kIoctlSerialWaitOnMask, {}, 4);
    EXPECT_EQ(m_handle->submit(wait), kStatusPending) << "status reports raise no events";
}

TEST_F(SerialPort, NewWaitMaskCompletesThePendingWaitWithNoEvents)
{
    ioctl(kIoctlSerialSetWaitMask, le32({ kSerialEvCts }));
    auto wait = driver::host::Request::makeDeviceControl(kIoctlSerialWaitOnMask, {}, 4);
    ASSERT_EQ(m_handle->submit(wait), kStatusPending);
    EXPECT_EQ(ioctl(kIoctlSerialSetWaitMask, le32({ 0x2000 })).status, kStatusInvalidParameter);
    EXPECT_FALSE(wait->finished());
    EXPECT_EQ(ioctl(kIoctlSerialSetWaitMask, le32({ kSerialEvDsr })).status, kStatusSuccess);
    ASSERT_TRUE(wait->finished());
    EXPECT_EQ(wordAt(Bytes(wait->output().begin(), wait->output().end())), 0u);
    EXPECT_EQ(wordAt(ioctl(kIoctlSerialGetWaitMask, {}, 4).output), kSerialEvDsr);
}

TEST_F(SerialPort, ShortBuffersAreRefusedBeforeAnythingChanges)
{
    struct Case {
        std::uint32_t code;
        std::size_t input;
        std::size_t output;
    };
    const Case cases[] = { { kIoctlSerialSetBaudRate, 4, 0 }, { kIoctlSerialSetQueueSize, 8, 0 },
        { kIoctlSerialSetLineControl, 3, 0 }, { kIoctlSerialSetTimeouts, 20, 0 }, { kIoctlSerialGetTimeouts, 0, 20 },
        { kIoctlSerialGetWaitMask, 0, 4 }, { kIoctlSerialSetWaitMask, 4, 0 }, { kIoctlSerialWaitOnMask, 0, 4 },
        { kIoctlSerialPurge, 4, 0 }, { kIoctlSerialGetBaudRate, 0, 4 }, { kIoctlSerialGetLineControl, 0, 3 },
        { kIoctlSerialGetChars, 0, 6 }, { kIoctlSerialSetChars, 6, 0 }, { kIoctlSerialGetHandflow, 0, 16 },
        { kIoctlSerialSetHandflow, 16, 0 }, { kIoctlSerialGetModemStatus, 0, 4 }, { kIoctlSerialGetCommStatus, 0, 20 },
        { kIoctlSerialXoffCounter, 12, 0 }, { kIoctlSerialGetProperties, 0, 64 }, { kIoctlSerialGetDtrRts, 0, 4 },
        { kIoctlSerialLsrMstInsert, 1, 0 }, { kIoctlSerialConfigSize, 0, 4 }, { kIoctlSerialGetStats, 0, 24 },
        { kIoctlSerialSetModemControl, 4, 0 }, { kIoctlSerialSetFifoControl, 4, 0 } };
    for (const Case& c : cases) {
        const Bytes input(c.input ? c.input - 1 : 0, 0xFF);
        const auto reply = ioctl(c.code, input, c.output ? c.output - 1 : 0);
        EXPECT_EQ(reply.status, 0xC0000023u) << std::hex << c.code;
        EXPECT_EQ(reply.information, 0u);
    }
    EXPECT_EQ(wordAt(ioctl(kIoctlSerialGetBaudRate, {}, 4).output), 9600u);
    EXPECT_TRUE(transport().packets().empty());
}

TEST_F(SerialPort, FixedAnswersAndUnknownRequests)
{
    auto properties = ioctl(kIoctlSerialGetProperties, {}, 64);
    ASSERT_EQ(properties.information, 64u);
    const Bytes& p = properties.output;
    EXPECT_EQ(p[0] | p[1] << 8, 64);
    EXPECT_EQ(p[2] | p[3] << 8, 2);
    EXPECT_EQ(wordAt(p, 4), 1u);
    EXPECT_EQ(wordAt(p, 20), 0x10000000u);
    EXPECT_EQ(wordAt(p, 24), 1u);
    EXPECT_EQ(wordAt(p, 28), 0xFFu);
    EXPECT_EQ(wordAt(p, 32), 0x7Fu);
    EXPECT_EQ(wordAt(p, 36), 0x7FFFFu);
    EXPECT_EQ(p[40] | p[41] << 8, 0x000F);
    EXPECT_EQ(p[42] | p[43] << 8, 0x1F07);
    EXPECT_EQ(wordAt(p, 48), 0x40000u);

    EXPECT_EQ(ioctl(kIoctlSerialGetCommConfig, {}, 64).status, 0xC0000010u);
    EXPECT_EQ(ioctl(kIoctlSerialSetCommConfig, Bytes(64, 0)).status, 0xC0000010u);
    EXPECT_EQ(ioctl(0x222000, Bytes(32, 0)).status, 0xC0000010u) << "no control request of that code";
    EXPECT_EQ(ioctl(kIoctlSerialGetModemControl, {}, 4).information, 0u);
    EXPECT_EQ(ioctl(kIoctlSerialConfigSize, {}, 4).output, le32({ 0 }));
    EXPECT_EQ(ioctl(kIoctlSerialGetStats, {}, 24).output, Bytes(24, 0));
    EXPECT_EQ(ioctl(kIoctlSerialResetDevice).status, kStatusSuccess);
    EXPECT_EQ(ioctl(kIoctlSerialImmediateChar).status, kStatusSuccess);
    EXPECT_TRUE(transport().packets().empty());
}

TEST_F(SerialPort, TimeoutsXoffCounterAndEscapeCharacterChecks)
{
    const Bytes timeouts = le32({ 1, 2, 3, 4, 5 });
    EXPECT_EQ(ioctl(kIoctlSerialSetTimeouts, timeouts).status, kStatusSuccess);
    EXPECT_EQ(ioctl(kIoctlSerialSetTimeouts, le32({ 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0 })).status,
        kStatusInvalidParameter);
    EXPECT_EQ(ioctl(kIoctlSerialGetTimeouts, {}, 20).output, timeouts);
    EXPECT_EQ(ioctl(kIoctlSerialSetTimeouts, le32({ 0xFFFFFFFF, 0, 0, 0, 0 })).status, kStatusSuccess);

    EXPECT_EQ(ioctl(kIoctlSerialXoffCounter, le32({ 100, 0, 0x13 })).status, kStatusInvalidParameter);
    EXPECT_EQ(ioctl(kIoctlSerialXoffCounter, le32({ 100, 0xFFFFFFFF, 0x13 })).status, kStatusInvalidParameter);
    EXPECT_EQ(ioctl(kIoctlSerialXoffCounter, le32({ 0, 1, 0x13 })).status, kStatusSuccess);

    ioctl(kIoctlSerialSetChars, { 0, 0, 0, 0, 0x11, 0x13 });
    EXPECT_EQ(ioctl(kIoctlSerialLsrMstInsert, { 0 }).status, kStatusSuccess);
    EXPECT_EQ(ioctl(kIoctlSerialLsrMstInsert, { 0x11 }).status, kStatusInvalidParameter);
    EXPECT_EQ(ioctl(kIoctlSerialLsrMstInsert, { 0x13 }).status, kStatusInvalidParameter);
    EXPECT_EQ(ioctl(kIoctlSerialLsrMstInsert, { 0xFF }).status, kStatusSuccess);
    ioctl(kIoctlSerialSetHandflow, le32({ 0, kSerialErrorChar, 0, 0 }));
    EXPECT_EQ(ioctl(kIoctlSerialLsrMstInsert, { 0xFF }).status, kStatusInvalidParameter);
}

TEST(SerialStopped, RequestsOnAPortThatIsNotStartedAreRefused)
{
    PortHarness harness;
    ASSERT_EQ(harness.addPort("COM5"), kStatusSuccess);
    auto handle = harness.open("COM5");
    auto* device = harness.port(11)->self;
    handle->close();
    ASSERT_EQ(harness.host().stopNode("ROOT\\PORTS\\0000"), kStatusSuccess);
    auto request = driver::host::Request::makeDeviceControl(kIoctlSerialGetBaudRate, {}, 4);
    EXPECT_EQ(harness.host().callDriver(*device, request), 0xC0000184u);
}
