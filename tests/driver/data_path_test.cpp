#include "common/serial_ioctl.h"
#include "driver/pacing.h"
#include "driver/port_internal.h"
#include "tests/driver/port_harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>

using namespace common;
using namespace driver_testing;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

// A started, open COM5 on a recording transport, in time that moves only
// when the test or a pacing delay moves it.
class DataPath : public testing::Test {
protected:
    void open(const PortSettings& settings = {})
    {
        ASSERT_EQ(m_harness.addPort("COM5", settings), kStatusSuccess);
        m_handle = m_harness.open("COM5");
        ASSERT_NE(m_handle, nullptr);
    }
    driver::host::Reply ioctl(std::uint32_t code, const Bytes& input = {}, std::size_t output = 0)
    {
        return m_handle->deviceIoControl(code, input, output);
    }
    RecordingTransport& transport() { return m_harness.transports().at(0); }
    driver::PortDevice& port() { return *m_harness.port(11); }
    void receive(const Bytes& bytes) { (void)driver::appendReceived(port(), bytes); }
    std::uint32_t unread() { return wordAt(ioctl(kIoctlSerialGetCommStatus, {}, kSerialStatusSize).output, 8); }
    void setReadIntervalTimeout(std::uint32_t value) { ioctl(kIoctlSerialSetTimeouts, le32({ value, 0, 0, 0, 0 })); }
    static Bytes payloadOf(const driver::host::Reply& reply)
    {
        return Bytes(reply.output.begin(), reply.output.begin() + static_cast<std::ptrdiff_t>(reply.information));
    }

    SteppedClock m_clock;
    PortHarness m_harness { PortHarness::Options { &m_clock, {}, true, nullptr, 2 } };
    std::unique_ptr<driver::host::FileHandle> m_handle;
};

} // namespace

TEST_F(DataPath, WritesAreCutIntoPacketsAndPacedToTheBaudRate)
{
    struct Case {
        std::uint32_t cmdByte;
        std::uint32_t baud;
        std::vector<std::size_t> chunks;
    };
    // 1000 bytes with MaxPacketLen 450: framed chunks leave room for the header.
    const Case cases[] = { { 1, 9600, { 447, 447, 106 } }, { 0, 9600, { 450, 450, 100 } },
        { 1, 115200, { 447, 447, 106 } }, { 0, 921600, { 450, 450, 100 } } };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "CmdByte " << c.cmdByte << " baud " << c.baud);
        PortSettings settings;
        settings.cmdByte = c.cmdByte;
        SteppedClock clock;
        PortHarness harness(PortHarness::Options { &clock, {}, true, nullptr, 2 });
        ASSERT_EQ(harness.addPort("COM5", settings), kStatusSuccess);
        auto handle = harness.open("COM5");
        ASSERT_EQ(handle->deviceIoControl(kIoctlSerialSetBaudRate, le32({ c.baud }), 0).status, kStatusSuccess);

        const Bytes data = patternBytes(1000);
        const auto start = clock.now();
        const auto reply = handle->write(data);
        const auto end = clock.now();
        EXPECT_EQ(reply.status, kStatusSuccess);
        EXPECT_EQ(reply.information, 1000u);

        const auto sends = harness.transports().at(0).dataSends();
        ASSERT_EQ(sends.size(), c.chunks.size());
        Bytes carried;
        auto expectedAt = start;
        std::size_t before = 0; // the bytes the line has carried by then
        for (std::size_t i = 0; i < sends.size(); ++i) {
            const Bytes& bytes = sends[i].bytes;
            std::size_t header = 0;
            if (c.cmdByte) {
                header = 3;
                ASSERT_GE(bytes.size(), 3u);
                EXPECT_EQ(bytes[0], 0x32);
                EXPECT_EQ(bytes[1] << 8 | bytes[2], static_cast<int>(c.chunks[i]));
            }
            EXPECT_EQ(bytes.size(), header + c.chunks[i]);
            carried.insert(carried.end(), bytes.begin() + static_cast<std::ptrdiff_t>(header), bytes.end());
            // Each chunk goes out after the previous one's delay.
            EXPECT_EQ(sends[i].at, expectedAt) << "chunk " << i;
            before += c.chunks[i];
            expectedAt = start + driver::LinePacer::lineTime(before, c.baud);
        }
        EXPECT_EQ(carried, data);
        EXPECT_EQ(end, expectedAt) << "the last chunk is paced too";
    }
}

TEST_F(DataPath, UnpacedWritesOverAStreamGoInOneSendWithEveryPacketWhole)
{
    struct Case {
        const char* name;
        std::uint32_t protocol; // 0 TCP, 1 UDP
        std::uint32_t cmdByte;
        std::uint32_t wireProtocol;
        std::vector<std::size_t> sends; // the bytes of each send, headers included
    };
    // 1000 bytes with MaxPacketLen 450. A datagram holds one packet.
    const Case cases[] = {
        { "framed TCP", 0, 1, 0, { 450 + 450 + 109 } },
        { "raw TCP", 0, 0, 0, { 1000 } },
        { "RFC 2217", 0, 0, 2, { 1000 } },
        { "framed UDP", 1, 1, 0, { 450, 450, 109 } },
        { "raw UDP", 1, 0, 0, { 450, 450, 100 } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PortSettings settings;
        settings.protocol = c.protocol;
        settings.cmdByte = c.cmdByte;
        settings.wireProtocol = c.wireProtocol;
        settings.pacing = 0;
        SteppedClock clock;
        PortHarness harness(PortHarness::Options { &clock, {}, true, nullptr, 2 });
        ASSERT_EQ(harness.addPort("COM5", settings), kStatusSuccess);
        auto handle = harness.open("COM5");
        ASSERT_EQ(handle->deviceIoControl(kIoctlSerialSetBaudRate, le32({ 9600 }), 0).status, kStatusSuccess);
        const Bytes data = patternBytes(1000);
        const auto start = clock.now();
        const auto reply = handle->write(data);
        EXPECT_EQ(reply.status, kStatusSuccess);
        EXPECT_EQ(reply.information, 1000u);
        EXPECT_EQ(clock.now(), start) << "unpaced";
        const auto sends = harness.transports().at(0).dataSends();
        ASSERT_EQ(sends.size(), c.sends.size());
        Bytes carried;
        for (std::size_t i = 0; i < sends.size(); ++i) {
            const Bytes& bytes = sends[i].bytes;
            ASSERT_EQ(bytes.size(), c.sends[i]) << "send " << i;
            // Each packet behind its own header, as a paced write sends them.
            for (std::size_t at = 0; at < bytes.size();) {
                const std::size_t header = c.cmdByte && c.wireProtocol == 0 ? 3 : 0;
                std::size_t length = std::min<std::size_t>(bytes.size() - at, 450);
                if (header) {
                    ASSERT_EQ(bytes[at], 0x32);
                    length = static_cast<std::size_t>(bytes[at + 1] << 8 | bytes[at + 2]);
                    ASSERT_LE(length, 447u);
                }
                carried.insert(carried.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at + header),
                    bytes.begin() + static_cast<std::ptrdiff_t>(at + header + length));
                at += header + length;
            }
        }
        EXPECT_EQ(carried, data);
    }
}

TEST_F(DataPath, AGatheredSendCutShortCountsTheWholePacketsThatWent)
{
    struct Case {
        std::uint32_t cmdByte;
        std::size_t taken; // of the one send of 1000 bytes (framed: 1009)
        std::size_t information;
    };
    const Case cases[] = {
        { 1, 0, 0 },
        { 1, 449, 0 },
        { 1, 450, 447 },
        { 1, 950, 894 },
        // A raw stream counts every byte that went.
        { 0, 0, 0 },
        { 0, 451, 451 },
        { 0, 999, 999 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "CmdByte " << c.cmdByte << " taken " << c.taken);
        PortSettings settings;
        settings.cmdByte = c.cmdByte;
        settings.pacing = 0;
        PortHarness harness { PortHarness::Options { &m_clock, {}, true, nullptr, 2 } };
        ASSERT_EQ(harness.addPort("COM5", settings), kStatusSuccess);
        auto handle = harness.open("COM5");
        RecordingTransport& recording = harness.transports().at(0);
        recording.failNthDataSend(1, kStatusConnectionReset, c.taken);
        const auto reply = handle->write(patternBytes(1000));
        EXPECT_EQ(reply.status, kStatusConnectionReset);
        EXPECT_EQ(reply.information, c.information);
        EXPECT_EQ(recording.abandons(), 1);
        handle->close();
    }
}

TEST_F(DataPath, PacingMatchesTheWorkedExample)
{
    PortSettings settings;
    settings.cmdByte = 0;
    open(settings);
    ioctl(kIoctlSerialSetBaudRate, le32({ 9600 }));
    // Ten bit times a byte, to the nanosecond.
    auto start = m_clock.now();
    m_handle->write(patternBytes(450));
    EXPECT_EQ(m_clock.now() - start, 468750us);
    ioctl(kIoctlSerialSetBaudRate, le32({ 115200 }));
    start = m_clock.now();
    m_handle->write(patternBytes(450));
    EXPECT_EQ(m_clock.now() - start, 39062500ns);
}

TEST_F(DataPath, PacketLengthsThatLeaveNoRoomForDataAreRefused)
{
    struct Case {
        std::uint32_t cmdByte;
        std::uint32_t maxPacketLen;
        NtStatus status;
        std::size_t sends;
    };
    const Case cases[] = { { 1, 0, kStatusInvalidParameter, 0 }, { 1, 3, kStatusInvalidParameter, 0 },
        { 0, 0, kStatusInvalidParameter, 0 }, { 1, 4, kStatusSuccess, 5 }, { 0, 1, kStatusSuccess, 5 },
        // Beyond the 16-bit length field a framed chunk is held to 0xFFFF bytes.
        { 1, 0x20000, kStatusSuccess, 2 } };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "CmdByte " << c.cmdByte << " MaxPacketLen " << c.maxPacketLen);
        PortSettings settings;
        settings.cmdByte = c.cmdByte;
        settings.maxPacketLen = c.maxPacketLen;
        SteppedClock clock;
        PortHarness harness(PortHarness::Options { &clock, {}, true, nullptr, 2 });
        ASSERT_EQ(harness.addPort("COM5", settings), kStatusSuccess);
        auto handle = harness.open("COM5");
        const std::size_t length = c.maxPacketLen == 0x20000 ? 0x10000 : 5;
        EXPECT_EQ(handle->write(patternBytes(length)).status, c.status);
        const auto sends = harness.transports().at(0).dataSends();
        EXPECT_EQ(sends.size(), c.sends);
        if (c.maxPacketLen == 0x20000 && sends.size() == 2) {
            EXPECT_EQ(sends[0].bytes.size(), 3u + 0xFFFF);
            EXPECT_EQ(sends[0].bytes[1] << 8 | sends[0].bytes[2], 0xFFFF);
            EXPECT_EQ(sends[1].bytes.size(), 3u + 1);
        }
    }
}

TEST_F(DataPath, AFailedChunkEndsTheWriteAndTheStreamWhichReportsOnlyWhatWent)
{
    struct Case {
        std::uint32_t cmdByte;
        int failingSend; // 0: none fails
        NtStatus status;
        std::size_t takenOfFailed; // bytes of the failing send the network took
        std::size_t information;
        std::size_t sends;
    };
    // 1000 bytes with MaxPacketLen 450: framed 447, 447, 106; raw 450, 450, 100.
    const Case cases[] = {
        { 1, 0, kStatusSuccess, 0, 1000, 3 },
        { 1, 1, kStatusConnectionReset, 0, 0, 1 },
        // A packet cut short is not passed on by the device server: none of it counts.
        { 1, 2, kStatusConnectionDisconnected, 100, 447, 2 },
        { 1, 3, kStatusCancelled, 0, 894, 3 },
        { 1, 3, kStatusCancelled, 50, 894, 3 },
        { 0, 2, kStatusConnectionReset, 100, 550, 2 },
        { 0, 3, kStatusCancelled, 99, 999, 3 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "CmdByte " << c.cmdByte << " failing send " << c.failingSend);
        PortSettings settings;
        settings.cmdByte = c.cmdByte;
        PortHarness harness { PortHarness::Options { &m_clock, {}, true, nullptr, 2 } };
        ASSERT_EQ(harness.addPort("COM5", settings), kStatusSuccess);
        auto handle = harness.open("COM5");
        ASSERT_NE(handle, nullptr);
        RecordingTransport& recording = harness.transports().at(0);
        if (c.failingSend > 0)
            recording.failNthDataSend(c.failingSend, c.status, c.takenOfFailed);
        const auto reply = handle->write(patternBytes(1000));
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.information, c.information);
        EXPECT_EQ(recording.dataSends().size(), c.sends) << "nothing goes out after a failed send";
        // Whatever failed, a connection that still lives is not trusted with
        // the next bytes: they would follow a hole, or a packet cut short.
        EXPECT_EQ(recording.abandons(), c.failingSend > 0 ? 1 : 0);
        EXPECT_FALSE(c.failingSend > 0 && recording.connected()) << "the stream goes on after a hole";
        if (c.failingSend > 0) {
            // The next write starts on a new connection, with whole packets.
            EXPECT_EQ(handle->write(patternBytes(10)).status, kStatusSuccess);
            EXPECT_EQ(recording.reconnects(), 1);
        }
        handle->close();
    }
}

TEST_F(DataPath, WritesNeedAConnectionAndReconnectFirst)
{
    open();
    transport().setConnected(false);
    EXPECT_EQ(m_handle->write(patternBytes(10)).status, kStatusInvalidDeviceState);
    EXPECT_TRUE(transport().dataSends().empty());
    EXPECT_EQ(m_handle->write({}).status, kStatusSuccess) << "an empty write needs nothing";

    transport().dropConnection(true);
    const auto reply = m_handle->write(patternBytes(10));
    EXPECT_EQ(reply.status, kStatusSuccess);
    EXPECT_EQ(transport().reconnects(), 1);
    EXPECT_EQ(transport().dataSends().size(), 1u);

    transport().dropConnection(false);
    EXPECT_EQ(m_handle->write(patternBytes(10)).status, kStatusInvalidDeviceState);
    EXPECT_EQ(transport().dataSends().size(), 1u);

    // Immediate characters take the same way but carry no data.
    transport().setConnected(true);
    EXPECT_EQ(ioctl(kIoctlSerialImmediateChar, {}, 0).status, kStatusSuccess);
    EXPECT_EQ(ioctl(kIoctlSerialImmediateChar, {}, 1).status, kStatusInvalidParameter);
    transport().setConnected(false);
    EXPECT_EQ(ioctl(kIoctlSerialImmediateChar, {}, 1).status, kStatusInvalidDeviceState);
    EXPECT_EQ(transport().dataSends().size(), 1u);
}

TEST_F(DataPath, ReadsTakeWhatIsUnreadOrWaitOneMillisecond)
{
    open();
    receive({ 1, 2, 3, 4 });
    auto reply = m_handle->read(10);
    EXPECT_EQ(reply.status, kStatusSuccess);
    EXPECT_EQ(payloadOf(reply), (Bytes { 1, 2, 3, 4 }));
    EXPECT_EQ(m_handle->read(10).information, 0u) << "no interval timeout: nothing, at once";
    EXPECT_EQ(m_handle->read(0).status, kStatusSuccess);

    setReadIntervalTimeout(0xFFFFFFFF);
    auto pending = driver::host::Request::makeRead(10);
    EXPECT_EQ(m_handle->submit(pending), kStatusPending);
    EXPECT_EQ(m_handle->read(10).status, kStatusInvalidDeviceRequest) << "one read at a time";
    receive({ 7, 8 });
    EXPECT_FALSE(pending->finished());
    m_clock.advance(1ms);
    EXPECT_EQ(pending->wait(), kStatusSuccess);
    EXPECT_EQ(pending->information(), 2u);
    EXPECT_EQ(pending->output()[0], 7);

    // With nothing arriving the timer completes it empty.
    pending = driver::host::Request::makeRead(10);
    EXPECT_EQ(m_handle->submit(pending), kStatusPending);
    m_clock.advance(1ms);
    EXPECT_EQ(pending->wait(), kStatusSuccess);
    EXPECT_EQ(pending->information(), 0u);
}

TEST_F(DataPath, ReadsWrapAroundTheRing)
{
    open();
    receive(patternBytes(0x3FF00));
    EXPECT_EQ(m_handle->read(0x3FF00).information, 0x3FF00u);
    const Bytes across = patternBytes(0x200, 9);
    receive(across);
    EXPECT_EQ(payloadOf(m_handle->read(0x1000)), across);
}

TEST_F(DataPath, OverflowLosesTheOldestBytes)
{
    const Bytes data = patternBytes(0x40010);
    struct Case {
        std::size_t firstPiece;
    };
    for (const Case& c : { Case { 0x40010 }, Case { 0x40000 }, Case { 0x10 }, Case { 0x20000 } }) {
        SCOPED_TRACE(c.firstPiece);
        PortHarness harness(PortHarness::Options { &m_clock, {}, true, nullptr, 2 });
        ASSERT_EQ(harness.addPort("COM5"), kStatusSuccess);
        auto handle = harness.open("COM5");
        auto& target = *harness.port(11);
        (void)driver::appendReceived(target, std::span(data).first(c.firstPiece));
        (void)driver::appendReceived(target, std::span(data).subspan(c.firstPiece));
        const auto reply = handle->read(0x50000);
        ASSERT_EQ(reply.information, 0x40000u);
        EXPECT_TRUE(std::equal(data.begin() + 16, data.end(), reply.output.begin())) << "the first 16 bytes are lost";
    }
}

TEST_F(DataPath, ArrivalsAndWritesRaiseTheirEvents)
{
    open();
    ioctl(kIoctlSerialSetWaitMask, le32({ kSerialEvRxChar }));
    auto wait = driver::host::Request::makeDeviceControl(kIoctlSerialWaitOnMask, {}, 4);
    ASSERT_EQ(m_handle->submit(wait), kStatusPending);
    receive({ 0x41 });
    EXPECT_EQ(wait->wait(), kStatusSuccess);
    EXPECT_EQ(wait->information(), 4u);
    EXPECT_EQ(wordAt(Bytes(wait->output().begin(), wait->output().end())), 0x21u);
    EXPECT_EQ(ioctl(kIoctlSerialGetCommStatus, {}, kSerialStatusSize).output[16], 1) << "EofReceived";

    receive({ 0x42 });
    EXPECT_EQ(wordAt(ioctl(kIoctlSerialWaitOnMask, {}, 4).output), 0x21u) << "kept while no wait was pending";

    ioctl(kIoctlSerialSetWaitMask, le32({ kSerialEvTxEmpty }));
    receive({ 0x43 });
    m_handle->write(Bytes { 1, 2, 3 });
    const auto events = ioctl(kIoctlSerialWaitOnMask, {}, 4);
    EXPECT_EQ(events.status, kStatusSuccess);
    EXPECT_EQ(wordAt(events.output), kSerialEvTxEmpty) << "arrivals are not in this mask";
}

TEST_F(DataPath, PurgeEmptiesTheReceiveBufferWhateverItsFlags)
{
    open();
    receive(patternBytes(100));
    constexpr std::uint32_t kPurgeTxClear = 0x4;
    const auto reply = ioctl(kIoctlSerialPurge, le32({ kPurgeTxClear }));
    EXPECT_EQ(reply.status, kStatusSuccess);
    EXPECT_EQ(reply.information, 4u);
    EXPECT_EQ(unread(), 0u);
    EXPECT_EQ(m_handle->read(10).information, 0u);
}

TEST_F(DataPath, ADrainingReadSendsTheResumeOnce)
{
    open();
    ioctl(kIoctlSerialSetChars, { 0, 0, 0, 0, 0x11, 0x13 });
    receive(patternBytes(0x20000));
    {
        std::lock_guard lock(port().dataLock);
        port().receiveFlow.stopSent = true;
        port().receiveFlow.deviceStopped = true; // as once the stop went out
    }
    m_handle->read(0x8000); // 0x18000 left: still above the resume level
    m_harness.settle();
    EXPECT_TRUE(transport().packets().empty());
    m_handle->read(0x8001);
    m_harness.settle();
    m_handle->read(0x100);
    m_harness.settle();
    EXPECT_EQ(transport().packets(), (std::vector<Bytes> { { 0x33, 0x00, 0x02, 0x22, 0x11 } }));
}
