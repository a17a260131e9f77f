#include "driver/framing.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

namespace {

class RecordingSink final : public driver::FrameSink {
public:
    void data(std::span<const std::uint8_t> payload) override
    {
        received.insert(received.end(), payload.begin(), payload.end());
    }
    void control(std::span<const std::uint8_t> packet) override { controls.emplace_back(packet.begin(), packet.end()); }
    Bytes received;
    std::vector<Bytes> controls;
};

Bytes packet(std::uint8_t type, const Bytes& payload)
{
    Bytes out { type, static_cast<std::uint8_t>(payload.size() >> 8), static_cast<std::uint8_t>(payload.size()) };
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// Feeds `stream` in pieces cut at `cuts`.
RecordingSink parse(const Bytes& stream, std::vector<std::size_t> cuts)
{
    static std::array<std::uint8_t, 0x40000> pending;
    std::uint32_t fill = 0;
    RecordingSink sink;
    std::size_t from = 0;
    cuts.push_back(stream.size());
    for (std::size_t cut : cuts) {
        driver::parseFramed(std::span(stream).subspan(from, cut - from), pending, fill, sink);
        from = cut;
    }
    EXPECT_EQ(fill, 0u) << "nothing left over after whole packets";
    return sink;
}

} // namespace

TEST(Framing, APacketSplitAcrossDeliveriesYieldsItsPayloadOnce)
{
    const Bytes payload { 'a', 'b', 'c', 'd', 'e', 'f', 'g' };
    const Bytes stream = packet(0x32, payload);
    // Header and two payload bytes first, as a device server's segments may fall.
    EXPECT_EQ(parse(stream, { 5 }).received, payload);
    EXPECT_EQ(parse(stream, { 1 }).received, payload);
    EXPECT_EQ(parse(stream, { 1, 2, 3, 4 }).received, payload);
}

TEST(Framing, EveryCutOfAMixedStreamGivesTheSameResult)
{
    const Bytes modem { 0x33, 0x00, 0x03, 0x81, 0x31, 0x03 };
    const Bytes stream = concat({ packet(0x32, { 1, 2, 3 }), modem, packet(0x31, {}), packet(0x32, { 4 }),
        packet(0x30, {}), packet(0x33, { 0xA3, 0x10 }), packet(0x32, { 5, 6 }) });
    for (std::size_t first = 0; first <= stream.size(); ++first) {
        for (std::size_t second = first; second <= stream.size(); second += 3) {
            const auto sink = parse(stream, { first, second });
            EXPECT_EQ(sink.received, (Bytes { 1, 2, 3, 4, 5, 6 })) << first << "," << second;
            ASSERT_EQ(sink.controls.size(), 2u) << first << "," << second;
            EXPECT_EQ(sink.controls[0], modem);
        }
    }
}

TEST(Framing, LongControlPacketsAreSkippedAndParsingGoesOn)
{
    const Bytes eight { 0x81, 1, 2, 3, 4, 5, 6, 7 }; // n = 8
    const Bytes seven { 0x81, 0x31, 3, 0, 0, 0, 0 }; // n = 7, the largest a modem report may have
    const Bytes five { 0x81, 0x31, 3, 0, 0 }; // n = 5
    const Bytes stream = concat({ packet(0x33, eight), packet(0x32, { 9 }), packet(0x33, { 0xA3, 0x20, 0, 0 }),
        packet(0x33, five), packet(0x33, seven) });
    const auto sink = parse(stream, {});
    EXPECT_EQ(sink.received, Bytes { 9 });
    ASSERT_EQ(sink.controls.size(), 3u) << "n of 4, 5 and 7 are modem reports; only n = 8 is skipped";
    EXPECT_EQ(sink.controls[0].size(), 7u);
    EXPECT_EQ(sink.controls[1].size(), 8u);
    EXPECT_EQ(sink.controls[2].size(), 10u);
}

TEST(Framing, DeliveriesBeyondSixteenBitsLoseNothing)
{
    Bytes payload(0xFFFF);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<std::uint8_t>(i * 7);
    Bytes expected;
    Bytes stream;
    for (int i = 0; i < 3; ++i) {
        payload[0] = static_cast<std::uint8_t>(i);
        stream = concat({ stream, packet(0x32, payload) });
        expected = concat({ expected, payload });
    }
    // One delivery of 0x3000C bytes, and one that leaves a packet cut past 0xFFFF bytes in.
    EXPECT_EQ(parse(stream, {}).received, expected);
    EXPECT_EQ(parse(stream, { 0x18000 }).received, expected);
    EXPECT_EQ(parse(stream, { 2, 0x2FFFF }).received, expected);
}
