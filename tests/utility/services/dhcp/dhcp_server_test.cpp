#include "platform/net.h"
#include "utility/services/dhcp_server.h"

#include <gtest/gtest.h>

#include <vector>

namespace utility::services {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr MacAddress kMacA { 0x00, 0x11, 0x22, 0x33, 0x44, 0x55 };
constexpr MacAddress kMacB { 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x0F };

std::uint32_t ip(const char* text) { return *platform::parseIpv4(text); }

// A request as a client sends it: op 1, Ethernet, the cookie and the given
// options from offset 240.
Bytes request(const MacAddress& mac, Bytes options, std::size_t length = 300)
{
    Bytes b(length, 0);
    b[0] = 1;
    b[1] = 1;
    b[2] = 6;
    b[4] = 0xDE; // xid
    b[7] = 0x01;
    for (std::size_t i = 0; i < 6; ++i)
        b[28 + i] = mac[i];
    // The magic cookie, as far as the datagram reaches.
    const std::uint8_t cookie[] = { 99, 130, 83, 99 };
    for (std::size_t i = 0; i < 4 && 236 + i < b.size(); ++i)
        b[236 + i] = cookie[i];
    for (std::size_t i = 0; i < options.size() && 240 + i < b.size(); ++i)
        b[240 + i] = options[i];
    return b;
}
Bytes discover(const MacAddress& mac) { return request(mac, { 53, 1, 1, 255 }); }
Bytes dhcpRequest(const MacAddress& mac) { return request(mac, { 53, 1, 3, 255 }); }
Bytes bootp(const MacAddress& mac) { return request(mac, { 255 }); }

std::uint32_t get32(std::span<const std::uint8_t> b, std::size_t at)
{
    return std::uint32_t(b[at]) << 24 | std::uint32_t(b[at + 1]) << 16 | std::uint32_t(b[at + 2]) << 8 | b[at + 3];
}

DhcpFields fields(const char* start, const char* end)
{
    return { ip(start), ip(end), ip("192.168.0.1"), ip("255.255.255.0"), ip("192.168.0.53"), ip("192.168.0.2"),
        "zv.bin" };
}

DhcpServer running(const char* start, const char* end, std::vector<DhcpMapping> rows = {})
{
    DhcpServer server;
    server.setFields(fields(start, end));
    server.setServerIdentifier(ip("192.168.0.9"));
    server.setRows(std::move(rows));
    server.buildPool();
    return server;
}

struct ClassifyCase {
    const char* name;
    Bytes datagram;
    DhcpKind kind;
};

TEST(DhcpClassify, KindsByHeaderAndFirstOption)
{
    auto with = [](Bytes b, std::size_t at, std::uint8_t value) {
        b[at] = value;
        return b;
    };
    const std::vector<ClassifyCase> cases = {
        { "discover", discover(kMacA), DhcpKind::Discover },
        { "request", dhcpRequest(kMacA), DhcpKind::Request },
        { "bootp: end option first", bootp(kMacA), DhcpKind::Bootp },
        { "release is bootp", request(kMacA, { 53, 1, 7, 255 }), DhcpKind::Bootp },
        { "decline is bootp", request(kMacA, { 53, 1, 4, 255 }), DhcpKind::Bootp },
        { "type 0 is bootp", request(kMacA, { 53, 1, 0, 255 }), DhcpKind::Bootp },
        { "offer ignored", request(kMacA, { 53, 1, 2, 255 }), DhcpKind::Ignore },
        { "ack ignored", request(kMacA, { 53, 1, 5, 255 }), DhcpKind::Ignore },
        { "option 61 first", request(kMacA, { 61, 7, 1, 0, 0x11, 0x22, 0x33, 0x44, 0x55, 53, 1, 1, 255 }),
            DhcpKind::Ignore },
        { "pad first", request(kMacA, { 0, 53, 1, 1, 255 }), DhcpKind::Ignore },
        { "type with length 2", request(kMacA, { 53, 2, 1, 0, 255 }), DhcpKind::Ignore },
        { "reply op", with(discover(kMacA), 0, 2), DhcpKind::Ignore },
        { "htype 6", with(discover(kMacA), 1, 6), DhcpKind::Ignore },
        { "hlen 16", with(discover(kMacA), 2, 16), DhcpKind::Ignore },
        { "wrong cookie", with(discover(kMacA), 239, 98), DhcpKind::Ignore },
        { "ends at the cookie", request(kMacA, {}, 240), DhcpKind::Ignore },
        { "ends after the end option", request(kMacA, { 255 }, 241), DhcpKind::Bootp },
        { "ends before the cookie", request(kMacA, {}, 239), DhcpKind::Ignore },
        { "empty", Bytes {}, DhcpKind::Ignore },
    };
    for (const auto& c : cases)
        EXPECT_EQ(classifyDhcp(c.datagram), c.kind) << c.name;
}

TEST(DhcpReply, OfferCarriesEveryOptionAtItsFixedOffset)
{
    auto server = running("192.168.0.100", "192.168.0.110");
    auto in = discover(kMacA);
    in[108] = 'x'; // a name the client asked for does not trail behind ours
    in[150] = 'y';
    in[44] = 's'; // sname stays
    in[299] = 0x77; // padding past the options is cleared
    const auto outcome = server.handle(in);
    ASSERT_EQ(outcome.reply.size(), 300u);
    const auto r = outcome.reply;
    EXPECT_EQ(r[0], 2);
    EXPECT_EQ(r[4], 0xDE);
    EXPECT_EQ(r[7], 0x01);
    EXPECT_EQ(r[44], 's');
    EXPECT_EQ(get32(r, 16), ip("192.168.0.100"));
    EXPECT_EQ(get32(r, 20), ip("192.168.0.2"));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r[108])), "zv.bin");
    EXPECT_EQ(r[150], 0);
    const Bytes expected = { 53, 1, 2, 54, 4, 192, 168, 0, 9, 1, 4, 255, 255, 255, 0, 3, 4, 192, 168, 0, 1, 6, 4, 192,
        168, 0, 53, 51, 4, 0, 2, 0xA3, 0, 58, 4, 0, 1, 0x51, 0x80, 59, 4, 0, 1, 0x51, 0x80, 255 };
    EXPECT_EQ(Bytes(r.begin() + 240, r.begin() + 286), expected);
    EXPECT_EQ(r[299], 0);
    EXPECT_EQ(outcome.log, "Received a DHCP request from device with MAC 00-11-22-33-44-55\r\n");
    EXPECT_TRUE(server.pending());
}

TEST(DhcpReply, LengthFollowsTheRequestButNeverEndsInsideTheOptions)
{
    for (std::size_t length : { 241u, 285u, 286u, 300u, 548u, 1500u, 2000u }) {
        auto server = running("10.0.0.1", "10.0.0.9");
        const auto outcome = server.handle(request(kMacA, { 255 }, length));
        const std::size_t expected = length < 286 ? 300 : std::min<std::size_t>(length, 1500);
        ASSERT_EQ(outcome.reply.size(), expected) << length;
        EXPECT_EQ(outcome.reply[285], 255) << length;
        EXPECT_EQ(outcome.reply[242], 2) << "BOOTP is answered with an offer type";
    }
}

TEST(DhcpExchange, OfferThenAckListsTheDeviceOnce)
{
    auto server = running("192.168.0.100", "192.168.0.110");
    ASSERT_EQ(server.pool().size(), 11u);
    EXPECT_EQ(server.pool().back().address, ip("192.168.0.110"));
    server.handle(discover(kMacA));
    ASSERT_EQ(server.rows(), (std::vector<DhcpMapping> { { "192.168.0.100", "00-11-22-33-44-55" } }));
    const auto ack = server.handle(dhcpRequest(kMacA));
    ASSERT_FALSE(ack.reply.empty());
    EXPECT_EQ(ack.reply[242], 5);
    EXPECT_TRUE(ack.acked);
    EXPECT_EQ(get32(ack.reply, 16), ip("192.168.0.100"));
    EXPECT_EQ(ack.log, "Assigned IP 192.168.0.100 to device with MAC 00-11-22-33-44-55\r\n\r\n");
    EXPECT_FALSE(server.pending());
    EXPECT_EQ(server.rows().size(), 1u);
    // The next device gets the next address.
    server.handle(bootp(kMacB));
    EXPECT_EQ(server.rows().back(), (DhcpMapping { "192.168.0.101", "AA-BB-CC-DD-EE-0F" }));
}

TEST(DhcpExchange, PendingOfferBlocksDiscoverAndBootpUntilAnyRequest)
{
    auto server = running("192.168.0.100", "192.168.0.110");
    EXPECT_TRUE(server.handle(dhcpRequest(kMacA)).reply.empty()) << "no offer pending";
    server.handle(discover(kMacA));
    for (const auto& ignored : { discover(kMacB), bootp(kMacB) }) {
        const auto outcome = server.handle(ignored);
        EXPECT_TRUE(outcome.reply.empty());
        EXPECT_TRUE(outcome.log.empty());
    }
    // Another device's REQUEST ends the pending state, acked for its own MAC.
    const auto ack = server.handle(dhcpRequest(kMacB));
    EXPECT_EQ(get32(ack.reply, 16), ip("192.168.0.101"));
    EXPECT_FALSE(server.pending());
    const auto release = server.handle(request(kMacA, { 53, 1, 7, 255 }));
    EXPECT_EQ(release.log, "Received a BOOTP request from device with MAC 00-11-22-33-44-55\r\n");
    EXPECT_EQ(get32(release.reply, 16), ip("192.168.0.100"));
    EXPECT_EQ(release.reply[242], 2);
}

TEST(DhcpExchange, RangesThatGiveNoOffer)
{
    struct Case {
        const char* start;
        const char* end;
        std::size_t pool;
    };
    for (const Case& c : { Case { "10.0.0.250", "10.0.1.5", 0 }, Case { "10.0.0.7", "10.0.0.7", 1 } }) {
        auto server = running(c.start, c.end);
        EXPECT_EQ(server.pool().size(), c.pool) << c.start;
        const bool answers = ip(c.start) < ip(c.end);
        EXPECT_EQ(!server.handle(bootp(kMacA)).reply.empty(), answers) << c.start;
        const auto offer = server.handle(discover(kMacA));
        EXPECT_EQ(!offer.reply.empty(), answers) << c.start;
        if (answers) {
            EXPECT_EQ(get32(offer.reply, 16), ip(c.start)) << "empty pool gives the start address";
        }
        EXPECT_TRUE(server.rows().empty());
        // A REQUEST while pending is still acked.
        EXPECT_FALSE(server.handle(dhcpRequest(kMacA)).reply.empty()) << c.start;
    }
}

TEST(DhcpAllocation, ListedDeviceKeepsItsAddressEvenOutsideTheRange)
{
    auto server = running("192.168.0.100", "192.168.0.102",
        { { "10.9.8.7", "aa-bb-cc-dd-ee-0f" }, { "192.168.0.101", "01-02-03-04-05-06" },
            { "junk", "00-11-22-33-44-55" } });
    EXPECT_EQ(server.allocate(kMacB), ip("10.9.8.7")) << "case does not matter";
    EXPECT_TRUE(server.pool()[1].inUse);
    // A listed MAC with an unusable address cell is served as a new device.
    EXPECT_EQ(server.allocate(kMacA), ip("192.168.0.100"));
    EXPECT_EQ(server.allocate({ 9, 9, 9, 9, 9, 1 }), ip("192.168.0.102"));
    const std::size_t rows = server.rows().size();
    EXPECT_EQ(server.allocate({ 9, 9, 9, 9, 9, 2 }), ip("192.168.0.100")) << "exhausted: the start address";
    EXPECT_EQ(server.rows().size(), rows) << "without a new row";
}

TEST(DhcpAllocation, DeleteFreesThePoolEntry)
{
    auto server = running("192.168.0.100", "192.168.0.101");
    server.allocate(kMacA);
    server.allocate(kMacB);
    ASSERT_TRUE(server.deleteRow(0));
    EXPECT_FALSE(server.deleteRow(5));
    EXPECT_EQ(server.allocate({ 1, 1, 1, 1, 1, 1 }), ip("192.168.0.100"));
    server.deleteAll();
    EXPECT_TRUE(server.rows().empty());
    for (const auto& entry : server.pool())
        EXPECT_FALSE(entry.inUse);
    EXPECT_EQ(server.allocate(kMacB), ip("192.168.0.100"));
}

TEST(DhcpFile, ParseAndFormat)
{
    struct Case {
        const char* text;
        std::vector<DhcpMapping> rows;
    };
    const std::vector<Case> cases = {
        { "", {} },
        { "10.0.0.5$00-11-22-33-44-55$", { { "10.0.0.5", "00-11-22-33-44-55" } } },
        { "10.0.0.5$00-11-22-33-44-55$10.0.0.6$AA-BB-CC-DD-EE-FF$",
            { { "10.0.0.5", "00-11-22-33-44-55" }, { "10.0.0.6", "AA-BB-CC-DD-EE-FF" } } },
        { "10.0.0.5$00-11-22-33-44-55", { { "10.0.0.5", "" } } }, // last MAC without its "$" is lost
        { "10.0.0.5$00-11$10.0.0.6$", { { "10.0.0.5", "00-11" }, { "10.0.0.6", "" } } }, // odd field count
        { "$$$", { { "", "" }, { "", "" } } },
        { "no dollar at all", {} },
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseDhcpFile(c.text), c.rows) << c.text;
    const std::string text = "10.0.0.5$00-11-22-33-44-55$";
    EXPECT_EQ(formatDhcpFile(parseDhcpFile(text)), text);
    EXPECT_EQ(formatDhcpFile(parseDhcpFile(text)).size(), 27u);
}

TEST(DhcpFile, MacTextNeedsSixHexPairsAtFixedPositions)
{
    EXPECT_EQ(parseMacText("00-11-22-33-44-55"), kMacA);
    EXPECT_EQ(parseMacText("aa:bb:cc:dd:ee:0f"), kMacB) << "separators are not examined";
    EXPECT_FALSE(parseMacText("00-11-22-33-44-5"));
    EXPECT_FALSE(parseMacText("00-11-22-33-44-5G"));
    EXPECT_FALSE(parseMacText(""));
    EXPECT_EQ(formatMac(kMacB), "AA-BB-CC-DD-EE-0F");
}

} // namespace
} // namespace utility::services
