#include "sim/devsim/framing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace sim::devsim;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Seen {
    std::uint8_t type;
    Bytes payload;
    bool operator==(const Seen&) const = default;
};

Bytes frame(std::uint8_t type, const Bytes& payload)
{
    Bytes bytes { type, static_cast<std::uint8_t>(payload.size() >> 8), static_cast<std::uint8_t>(payload.size()) };
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

// Feeds the stream in pieces of the given sizes (the rest in one piece).
std::vector<Seen> parseInPieces(const Bytes& stream, const std::vector<std::size_t>& pieces)
{
    FrameParser parser;
    std::vector<Seen> seen;
    auto handler = [&](std::uint8_t type, std::span<const std::uint8_t> payload) {
        seen.push_back({ type, Bytes(payload.begin(), payload.end()) });
    };
    std::size_t at = 0;
    for (std::size_t piece : pieces) {
        const std::size_t size = std::min(piece, stream.size() - at);
        parser.feed(std::span<const std::uint8_t>(stream).subspan(at, size), handler);
        at += size;
    }
    parser.feed(std::span<const std::uint8_t>(stream).subspan(at), handler);
    EXPECT_EQ(parser.pending(), 0u);
    return seen;
}

} // namespace

TEST(FrameParser, EveryCutOfAStreamGivesEachPacketOnce)
{
    Bytes big(0xFFFF);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>(i * 13);
    const std::vector<Seen> expected = {
        { 0x32, { 'a', 'b' } },
        { 0x33, { 0x15, 0x01, 0x03 } },
        { 0x31, {} },
        { 0x32, big },
        { 0x32, { 'z' } },
    };
    Bytes stream;
    for (const auto& packet : expected) {
        const Bytes bytes = frame(packet.type, packet.payload);
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    // Two pieces cut at every offset of the small packets and around the big one.
    for (std::size_t cut = 0; cut <= 20; ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        EXPECT_EQ(parseInPieces(stream, { cut }), expected);
    }
    for (std::size_t cut : { 19u, 20u, 21u, 100u, 0xFFFFu + 16u, 0xFFFFu + 17u, 0xFFFFu + 18u }) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        EXPECT_EQ(parseInPieces(stream, { cut }), expected);
    }
    // One byte at a time, and in pieces of 4000.
    EXPECT_EQ(parseInPieces(stream, std::vector<std::size_t>(stream.size(), 1)), expected);
    EXPECT_EQ(parseInPieces(stream, std::vector<std::size_t>(stream.size() / 4000 + 1, 4000)), expected);
}

TEST(FrameParser, IncompletePacketWaitsAndNeverHoldsMoreThanOnePacket)
{
    FrameParser parser;
    int packets = 0;
    auto count = [&](std::uint8_t, std::span<const std::uint8_t>) { ++packets; };
    // A header announcing the largest payload, then a long wait for it.
    const Bytes header { 0x32, 0xFF, 0xFF };
    parser.feed(header, count);
    Bytes filler(0xFFFF + 10, 0x55); // the payload and the next packet's start
    parser.feed(filler, count);
    EXPECT_EQ(packets, 1);
    EXPECT_EQ(parser.pending(), 10u) << "the rest starts the next packet";
    parser.reset();
    EXPECT_EQ(parser.pending(), 0u);
}

TEST(LineControl, DecodesWordLengthStopBitsAndParity)
{
    struct Case {
        std::uint8_t byte;
        int dataBits;
        StopBits stop;
        ParityMode parity;
    };
    const Case cases[] = {
        { 0x03, 8, StopBits::One, ParityMode::None }, { 0x1E, 7, StopBits::Two, ParityMode::Even },
        { 0x04, 5, StopBits::OneAndHalf, ParityMode::None }, { 0x0D, 6, StopBits::Two, ParityMode::Odd },
        { 0x2B, 8, StopBits::One, ParityMode::Mark }, { 0x38, 5, StopBits::One, ParityMode::Space },
        { 0x13, 8, StopBits::One, ParityMode::None }, // parity bits without enable: none
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.byte));
        SerialState state;
        applyLineControl(state, c.byte);
        EXPECT_EQ(state.dataBits, c.dataBits);
        EXPECT_EQ(state.stopBits, c.stop);
        EXPECT_EQ(state.parity, c.parity);
    }
}

TEST(ModemStatus, ChangesAddDeltaBitsUntilReported)
{
    struct Case {
        std::uint8_t before;
        std::uint8_t lines;
        std::uint8_t after;
    };
    const Case cases[] = {
        { 0x00, 0x10, 0x11 }, // CTS rises
        { 0x30, 0x10, 0x12 }, // DSR falls
        { 0x40, 0x00, 0x04 }, // RI falls: trailing edge
        { 0x00, 0x40, 0x40 }, // RI rises: no change bit
        { 0x00, 0x80, 0x88 }, // DCD rises
        { 0x11, 0x00, 0x01 }, // CTS back before the report: still one change
        { 0xB0, 0xB0, 0xB0 }, // nothing changes
        { 0x00, 0x3F, 0x33 }, // only the upper bits are lines
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.before) + " -> " + std::to_string(c.lines));
        EXPECT_EQ(nextModemStatus(c.before, c.lines), c.after);
    }
}

TEST(Packets, ControlPacketEncodesCodeAndArguments)
{
    const std::uint8_t arguments[] = { 0x31, 0x03 };
    EXPECT_EQ(encodeControl(0x81, arguments), (Bytes { 0x33, 0x00, 0x03, 0x81, 0x31, 0x03 }));
    EXPECT_EQ(encodePacket(0x31, {}), (Bytes { 0x31, 0x00, 0x00 }));
}
