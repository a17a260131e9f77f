#include "utility/devmgmt/protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace utility::devmgmt;

namespace {

const MacAddress kMac = { 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E };

template <typename Container> std::vector<std::uint8_t> slice(const Container& data, std::size_t at, std::size_t count)
{
    return { data.begin() + at, data.begin() + at + count };
}

std::vector<std::uint8_t> header(std::uint8_t code) { return { 'Z', 'O', 'R', 'V', 'V', 'R', 'O', 'Z', code }; }

std::vector<std::uint8_t> statusReply(const std::string& version)
{
    std::vector<std::uint8_t> reply = header(0x11);
    reply.push_back(0xB0); // modem status
    std::vector<std::uint8_t> field(12, 0);
    std::copy(version.begin(), version.end(), field.begin());
    reply.insert(reply.end(), field.begin(), field.end());
    reply.insert(reply.end(), { 0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0xFF, 0xFE });
    return reply;
}

} // namespace

TEST(Requests, QueryAndStatusQueryAreBareHeaders)
{
    const auto query = buildQuery();
    EXPECT_EQ(std::vector<std::uint8_t>(query.begin(), query.end()), header(0x00));
    const auto status = buildStatusQuery();
    EXPECT_EQ(std::vector<std::uint8_t>(status.begin(), status.end()), header(0x10));
}

TEST(Requests, RestoreAndRebootIdentifyTheDevice)
{
    struct Case {
        std::array<std::uint8_t, kRecordSize> (*build)(std::string_view, const MacAddress&);
        std::uint8_t code;
        std::uint8_t byte9;
    };
    for (const auto& [build, code, byte9] : { Case { buildRestore, 0x08, 0x01 }, Case { buildReboot, 0x0B, 0x00 } }) {
        const auto request = build("Gate-7", kMac);
        static_assert(sizeof(request) == 438);
        EXPECT_EQ(slice(request, 0, 9), header(code));
        EXPECT_EQ(request[9], byte9);
        EXPECT_EQ(slice(request, 10, 16),
            (std::vector<std::uint8_t> { 'G', 'a', 't', 'e', '-', '7', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0 }));
        EXPECT_EQ(slice(request, 26, 6), std::vector<std::uint8_t>(kMac.begin(), kMac.end()));
        EXPECT_EQ(slice(request, 32, 406), std::vector<std::uint8_t>(406, 0));

        // A 16-character name fills its field; a longer one is cut and never reaches the MAC.
        const auto full = build("ABCDEFGHIJKLMNOPQR", kMac);
        EXPECT_EQ(slice(full, 10, 16), slice(std::string("ABCDEFGHIJKLMNOP"), 0, 16));
        EXPECT_EQ(slice(full, 26, 6), std::vector<std::uint8_t>(kMac.begin(), kMac.end()));
    }
}

TEST(Requests, UpgradeLayout)
{
    const auto upgrade = buildUpgrade("Gate-7", kMac, 0xC0A80064, "runtime.bin");
    static_assert(sizeof(upgrade) == 164);
    EXPECT_EQ(slice(upgrade, 0, 9), header(0x05));
    EXPECT_EQ(upgrade[9], 0x00);
    EXPECT_EQ(slice(upgrade, 10, 7), (std::vector<std::uint8_t> { 'G', 'a', 't', 'e', '-', '7', 0 }));
    EXPECT_EQ(slice(upgrade, 26, 6), std::vector<std::uint8_t>(kMac.begin(), kMac.end()));
    EXPECT_EQ(slice(upgrade, 32, 4), (std::vector<std::uint8_t> { 192, 168, 0, 100 }));
    EXPECT_EQ(slice(upgrade, 36, 11), slice(std::string("runtime.bin"), 0, 11));
    EXPECT_EQ(slice(upgrade, 47, 117), std::vector<std::uint8_t>(117, 0));

    const auto longName = buildUpgrade("x", kMac, 0, std::string(128, 'a') + "tail");
    EXPECT_EQ(slice(longName, 36, 128), std::vector<std::uint8_t>(128, 'a'));
}

TEST(Requests, ConnectNoticeLayout)
{
    const auto notice = buildConnectNotice(0xC0A80005, 4001);
    const std::vector<std::uint8_t> expected
        = { 'Z', 'O', 'R', 'V', 'V', 'R', 'O', 'Z', 0x12, 0x00, 192, 168, 0, 5, 0x0F, 0xA1 };
    EXPECT_EQ(std::vector<std::uint8_t>(notice.begin(), notice.end()), expected);
}

TEST(Replies, TypeIsTheLowNibbleOfByte8)
{
    auto reply = header(0x11);
    EXPECT_EQ(recordType(reply), 1) << "0x11 counts as a QueryReply";
    reply[8] = 0x03;
    EXPECT_EQ(recordType(reply), 3);
    EXPECT_EQ(recordType(std::vector<std::uint8_t>(8, 'Z')), -1);
    EXPECT_TRUE(hasSignature(reply));
    reply[7] = 'z';
    EXPECT_FALSE(hasSignature(reply));
    EXPECT_FALSE(hasSignature(std::vector<std::uint8_t> { 'Z', 'O', 'R' }));
}

TEST(StatusReplyReader, ReadsTheFieldsOfAFullReply)
{
    auto datagram = statusReply("V1.2.3");
    datagram.resize(200, 0xEE); // a longer reply: only the first 128 bytes count
    const auto reply = parseStatusReply(datagram);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->modemStatus, 0xB0);
    EXPECT_EQ(reply->firmwareVersion, "V1.2.3");
    EXPECT_EQ(reply->bytesSent, 0x01020304u);
    EXPECT_EQ(reply->bytesReceived, 0xFFFFFFFEu);
}

TEST(StatusReplyReader, VersionEndsAtZeroOrAfterTwelveBytes)
{
    auto reply = parseStatusReply(statusReply("ABCDEFGHIJKL"));
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->firmwareVersion, "ABCDEFGHIJKL");
    EXPECT_EQ(reply->bytesSent, 0x01020304u);

    auto datagram = statusReply("1.0");
    datagram[14] = 'X'; // after the terminator
    reply = parseStatusReply(datagram);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->firmwareVersion, "1.0");
}

TEST(StatusReplyReader, RefusesShortOrForeignDatagrams)
{
    auto datagram = statusReply("1.0");
    ASSERT_EQ(datagram.size(), 30u);
    EXPECT_TRUE(parseStatusReply(datagram).has_value());
    EXPECT_FALSE(parseStatusReply(std::span(datagram).first(29)).has_value());
    EXPECT_FALSE(parseStatusReply({}).has_value());
    auto queryReply = datagram;
    queryReply[8] = 0x01;
    EXPECT_FALSE(parseStatusReply(queryReply).has_value());
    auto foreign = datagram;
    foreign[0] = 'X';
    EXPECT_FALSE(parseStatusReply(foreign).has_value());
}
