#include "tests/utility/services/dhcp/dhcp_requests.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace utility::services {
namespace {

struct ClassifyCase {
    const char* name;
    Bytes datagram;
    DhcpKind kind;
};

TEST(DhcpClassify, KindsByHeaderAndMessageType)
{
    auto with = [](Bytes b, std::size_t at, std::uint8_t value) {
        b[at] = value;
        return b;
    };
    const std::vector<ClassifyCase> cases = {
        { "discover", discover(kMacA), DhcpKind::Discover },
        { "request", dhcpRequest(kMacA), DhcpKind::Request },
        { "bootp: end option first", bootp(kMacA), DhcpKind::Bootp },
        { "release", request(kMacA, { 53, 1, 7, 255 }), DhcpKind::Release },
        { "decline", request(kMacA, { 53, 1, 4, 255 }), DhcpKind::Decline },
        { "inform", request(kMacA, { 53, 1, 8, 255 }), DhcpKind::Inform },
        { "type 0 ignored", request(kMacA, { 53, 1, 0, 255 }), DhcpKind::Ignore },
        { "unknown type ignored", request(kMacA, { 53, 1, 9, 255 }), DhcpKind::Ignore },
        { "bootp: no cookie", with(with(bootp(kMacA), 236, 0), 240, 0), DhcpKind::Bootp },
        { "bootp: other options only", request(kMacA, { 1, 4, 255, 255, 255, 0, 255 }), DhcpKind::Bootp },
        { "offer ignored", request(kMacA, { 53, 1, 2, 255 }), DhcpKind::Ignore },
        { "ack ignored", request(kMacA, { 53, 1, 5, 255 }), DhcpKind::Ignore },
        { "option 61 first", request(kMacA, { 61, 7, 1, 0, 0x11, 0x22, 0x33, 0x44, 0x55, 53, 1, 1, 255 }),
            DhcpKind::Discover },
        { "pad first", request(kMacA, { 0, 0, 53, 1, 1, 255 }), DhcpKind::Discover },
        { "pad before end", request(kMacA, { 0, 0, 255 }), DhcpKind::Bootp },
        { "type with length 2", request(kMacA, { 53, 2, 1, 0, 255 }), DhcpKind::Ignore },
        { "option past the end", request(kMacA, { 61, 200, 1 }), DhcpKind::Ignore },
        { "reply op", with(discover(kMacA), 0, 2), DhcpKind::Ignore },
        { "htype 6", with(discover(kMacA), 1, 6), DhcpKind::Ignore },
        { "hlen 16", with(discover(kMacA), 2, 16), DhcpKind::Ignore },
        { "another vendor cookie: BOOTP", with(discover(kMacA), 239, 98), DhcpKind::Bootp },
        { "ends at the cookie", request(kMacA, {}, 240), DhcpKind::Bootp },
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
    EXPECT_TRUE(server.pending(kMacA, {}));
}

TEST(DhcpReply, LengthFollowsTheRequestButNeverEndsInsideTheOptions)
{
    for (std::size_t length : { 241u, 285u, 286u, 300u, 548u, 1500u, 2000u }) {
        auto server = running("192.168.0.100", "192.168.0.109");
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
    EXPECT_FALSE(server.pending(kMacA, {}));
    EXPECT_EQ(server.rows().size(), 1u);
    // The next device gets the next address.
    server.handle(bootp(kMacB));
    EXPECT_EQ(server.rows().back(), (DhcpMapping { "192.168.0.101", "AA-BB-CC-DD-EE-0F" }));
}

TEST(DhcpExchange, AnOfferWaitsPerDeviceAndHoldsUpNoOtherDevice)
{
    using namespace std::chrono_literals;
    const platform::TimePoint t0 {};
    auto server = running("192.168.0.100", "192.168.0.110");
    EXPECT_TRUE(server.handle(dhcpRequest(kMacA), t0).reply.empty()) << "no offer, no address: not answered";
    server.handle(discover(kMacA), t0); // never answered: the device went away
    // Other devices are served meanwhile, DHCP and BOOTP alike.
    const auto offerB = server.handle(discover(kMacB), t0 + 1s);
    ASSERT_FALSE(offerB.reply.empty());
    EXPECT_EQ(get32(offerB.reply, 16), ip("192.168.0.101"));
    const MacAddress macC { 2, 0, 0, 0, 0, 0x0C };
    const auto bootpC = server.handle(bootp(macC), t0 + 1s);
    ASSERT_FALSE(bootpC.reply.empty());
    EXPECT_EQ(get32(bootpC.reply, 16), ip("192.168.0.102"));
    EXPECT_EQ(server.pendingCount(), 2u);
    // B's REQUEST is acked with B's address and ends B's offer only.
    const auto ackB = server.handle(dhcpRequest(kMacB), t0 + 2s);
    ASSERT_FALSE(ackB.reply.empty());
    EXPECT_EQ(ackB.reply[242], 5);
    EXPECT_EQ(get32(ackB.reply, 16), ip("192.168.0.101"));
    EXPECT_FALSE(server.pending(kMacB, t0 + 2s));
    EXPECT_TRUE(server.pending(kMacA, t0 + 2s));
    // A's offer runs out and gives its address back: the next new device
    // gets it.
    EXPECT_FALSE(server.pending(kMacA, t0 + kDhcpOfferHold));
    const MacAddress macD { 2, 0, 0, 0, 0, 0x0D };
    const auto d = server.handle(discover(macD), t0 + kDhcpOfferHold + 1s);
    EXPECT_EQ(get32(d.reply, 16), ip("192.168.0.100"));
    EXPECT_TRUE(d.listChanged) << "A's row went";
    EXPECT_EQ(server.pendingCount(), 1u) << "B's and the old offer of A are gone";
}

// Three strays do not fill a pool of three for good; rows from the file
// (made by hand) and rows a request confirmed stay.
TEST(DhcpExchange, OffersNobodyRequestsGiveTheirAddressesBack)
{
    using namespace std::chrono_literals;
    const platform::TimePoint t0 {};
    auto server = running("192.168.0.100", "192.168.0.103", { { "192.168.0.103", "02-00-00-00-00-09" } });
    for (std::uint8_t i = 1; i <= 3; ++i)
        ASSERT_FALSE(server.handle(discover({ 2, 0, 0, 0, 0, i }), t0).reply.empty());
    ASSERT_FALSE(server.handle(dhcpRequest({ 2, 0, 0, 0, 0, 3 }), t0 + 1s).reply.empty());
    EXPECT_EQ(server.rows().size(), 4u);
    EXPECT_EQ(server.savedRows(),
        (std::vector<DhcpMapping> {
            { "192.168.0.103", "02-00-00-00-00-09" }, { "192.168.0.102", "02-00-00-00-00-03" } }))
        << "offers not yet requested are not saved";
    EXPECT_TRUE(server.handle(discover({ 2, 0, 0, 0, 0, 4 }), t0 + 2s).reply.empty()) << "the pool is full";
    EXPECT_FALSE(server.expire(t0 + kDhcpOfferHold - 1s));
    EXPECT_TRUE(server.expire(t0 + kDhcpOfferHold));
    EXPECT_EQ(server.rows(), server.savedRows());
    EXPECT_EQ(server.rows().size(), 2u);
    const auto late = server.handle(discover({ 2, 0, 0, 0, 0, 4 }), t0 + kDhcpOfferHold + 1s);
    EXPECT_EQ(get32(late.reply, 16), ip("192.168.0.100"));
    // A stray that comes back later and asks for its old offer still gets it
    // while the address is free.
    const auto back = server.handle(
        withAddress(withAddress(request({ 2, 0, 0, 0, 0, 2 }, { 53, 1, 3, 54, 4, 0, 0, 0, 0, 50, 4, 0, 0, 0, 0, 255 }),
                        245, "192.168.0.9"),
            251, "192.168.0.101"),
        t0 + kDhcpOfferHold + 2s);
    ASSERT_FALSE(back.reply.empty());
    EXPECT_EQ(back.reply[242], 5);
    EXPECT_TRUE(back.listChanged);
}

TEST(DhcpExchange, RequestsWithoutAnOfferAreAckedForTheListedAddressOnly)
{
    const MacAddress macC { 2, 0, 0, 0, 0, 0x0C };
    struct Case {
        const char* name;
        Bytes request;
        std::uint8_t type; // 5 ack, 6 nak, 0 no answer
        const char* yiaddr;
        const char* log;
    };
    const std::vector<Case> cases = {
        { "renewing, ciaddr listed for it", renewal(kMacA, "192.168.0.105"), 5, "192.168.0.105",
            "Assigned IP 192.168.0.105 to device with MAC 00-11-22-33-44-55\r\n\r\n" },
        { "rebooting, option 50 listed for it", requestFor(kMacA, "192.168.0.105"), 5, "192.168.0.105", nullptr },
        { "listed outside the range", renewal(kMacB, "192.168.0.50"), 5, "192.168.0.50", nullptr },
        { "listed in another subnet", requestFor(kMacC, "10.9.8.7"), 6, "0.0.0.0", nullptr },
        { "the address of another device", renewal(kMacA, "10.9.8.7"), 6, "0.0.0.0",
            "Refused IP 10.9.8.7 to device with MAC 00-11-22-33-44-55: the address is not assigned to it.\r\n" },
        { "a device not listed: another server's", requestFor(macC, "192.168.0.105"), 0, nullptr, "" },
        { "a device not listed, a free address", requestFor(macC, "192.168.0.101"), 0, nullptr, "" },
        { "option 50 before ciaddr", withAddress(requestFor(kMacA, "192.168.0.105"), 12, "10.9.8.7"), 5,
            "192.168.0.105", nullptr },
        { "no address named", dhcpRequest(kMacA), 0, nullptr, "" },
        { "meant for another server",
            withAddress(withAddress(request(kMacA, { 53, 1, 3, 50, 4, 0, 0, 0, 0, 54, 4, 0, 0, 0, 0, 255 }), 245,
                            "192.168.0.106"),
                251, "192.168.0.77"),
            0, nullptr, "" },
        { "our server identifier",
            withAddress(withAddress(request(kMacA, { 53, 1, 3, 54, 4, 0, 0, 0, 0, 50, 4, 0, 0, 0, 0, 255 }), 251,
                            "192.168.0.105"),
                245, "192.168.0.9"),
            5, "192.168.0.105", nullptr },
    };
    for (const auto& c : cases) {
        auto server = running("192.168.0.100", "192.168.0.110",
            { { "192.168.0.105", "00-11-22-33-44-55" }, { "192.168.0.50", "AA-BB-CC-DD-EE-0F" },
                { "10.9.8.7", "02-00-00-00-00-0E" } });
        const auto outcome = server.handle(c.request);
        if (c.log) {
            EXPECT_EQ(outcome.log, c.log) << c.name;
        }
        if (c.type == 0) {
            EXPECT_TRUE(outcome.reply.empty()) << c.name;
            continue;
        }
        ASSERT_EQ(outcome.reply.size(), 300u) << c.name;
        EXPECT_EQ(outcome.reply[242], c.type) << c.name;
        EXPECT_EQ(get32(outcome.reply, 16), ip(c.yiaddr)) << c.name;
        EXPECT_EQ(outcome.acked, c.type == 5) << c.name;
        EXPECT_EQ(server.rows().size(), 3u) << c.name << ": a request adds no row";
        // A renewing device has its address and is answered there.
        const bool renewing = get32(c.request, 12) != 0 && c.type == 5;
        EXPECT_EQ(outcome.destination, renewing ? get32(c.request, 12) : kDhcpBroadcast) << c.name;
        if (c.type == 6) {
            // A NAK names its server and nothing else.
            EXPECT_EQ(Bytes(outcome.reply.begin() + 240, outcome.reply.begin() + 251),
                (Bytes { 53, 1, 6, 54, 4, 192, 168, 0, 9, 255, 0 }))
                << c.name;
            EXPECT_EQ(get32(outcome.reply, 12), 0u) << c.name;
            EXPECT_EQ(get32(outcome.reply, 20), 0u) << c.name;
            EXPECT_EQ(outcome.reply[108], 0) << c.name << ": no boot file";
        }
    }
}

TEST(DhcpExchange, AUsedUpPoolOffersNothingAndKeepsServingListedDevices)
{
    auto server = running("192.168.0.100", "192.168.0.102");
    std::vector<std::uint32_t> given;
    for (std::uint8_t i = 1; i <= 3; ++i) {
        const MacAddress mac { 2, 0, 0, 0, 0, i };
        const auto offer = server.handle(discover(mac));
        ASSERT_FALSE(offer.reply.empty()) << int(i);
        given.push_back(get32(offer.reply, 16));
        ASSERT_FALSE(server.handle(dhcpRequest(mac)).reply.empty());
    }
    EXPECT_EQ(given, (std::vector<std::uint32_t> { ip("192.168.0.100"), ip("192.168.0.101"), ip("192.168.0.102") }));
    for (const auto& late : { discover({ 2, 0, 0, 0, 0, 4 }), bootp({ 2, 0, 0, 0, 0, 5 }) }) {
        const auto outcome = server.handle(late);
        EXPECT_TRUE(outcome.reply.empty());
        EXPECT_NE(outcome.log.find(": the pool 192.168.0.100 to 192.168.0.102 is exhausted.\r\n"), std::string::npos)
            << outcome.log;
    }
    EXPECT_EQ(server.rows().size(), 3u);
    // The devices that have an address keep getting it.
    const auto again = server.handle(discover({ 2, 0, 0, 0, 0, 2 }));
    EXPECT_EQ(get32(again.reply, 16), ip("192.168.0.101"));
    EXPECT_EQ(server.handle(renewal({ 2, 0, 0, 0, 0, 3 }, "192.168.0.102")).reply[242], 5);
}

TEST(DhcpRange, RangesThatCannotBeServedAreNamed)
{
    struct Case {
        const char* start;
        const char* end;
        const char* netmask;
        std::size_t pool;
        const char* refusal; // "" when the range is served
    };
    const Case cases[] = {
        { "192.168.0.100", "192.168.0.110", "255.255.255.0", 11, "" },
        { "10.0.0.7", "10.0.0.7", "255.255.255.0", 1, "" },
        { "10.0.0.250", "10.0.1.5", "255.255.0.0", 12, "" },
        { "10.0.0.1", "10.0.0.254", "255.255.255.0", 254, "" },
        { "10.0.0.0", "10.0.0.9", "255.255.255.0", 10,
            "The addresses 10.0.0.0 to 10.0.0.9 include the subnet's network address 10.0.0.0." },
        { "10.0.0.200", "10.0.0.255", "255.255.255.0", 56,
            "The addresses 10.0.0.200 to 10.0.0.255 include the subnet's broadcast address 10.0.0.255." },
        { "10.0.0.9", "10.0.0.1", "255.255.255.0", 0, "The start address 10.0.0.9 is above the end address 10.0.0.1." },
        { "10.0.0.250", "10.0.1.5", "255.255.255.0", 12,
            "The addresses 10.0.0.250 to 10.0.1.5 cross the subnet mask 255.255.255.0: both must lie in one subnet." },
        { "10.0.0.1", "10.0.1.1", "255.255.0.0", 0,
            "The addresses 10.0.0.1 to 10.0.1.1 are more than the 256 the pool holds." },
    };
    for (const Case& c : cases) {
        DhcpFields f = fields(c.start, c.end);
        f.netmask = ip(c.netmask);
        EXPECT_EQ(checkDhcpRange(f), c.refusal) << c.start << " " << c.end;
        DhcpServer server;
        server.setFields(f);
        server.buildPool();
        ASSERT_EQ(server.pool().size(), c.pool) << c.start;
        if (c.pool > 0 && std::string(c.refusal).empty()) {
            EXPECT_EQ(server.pool().front().address, ip(c.start));
            EXPECT_EQ(server.pool().back().address, ip(c.end));
            const auto offer = server.handle(discover(kMacA));
            ASSERT_FALSE(offer.reply.empty()) << c.start;
            EXPECT_EQ(get32(offer.reply, 16), ip(c.start));
        }
    }
}

TEST(DhcpAllocation, ListedDeviceKeepsItsAddressEvenOutsideTheRange)
{
    auto server = running("192.168.0.100", "192.168.0.102",
        { { "192.168.0.50", "aa-bb-cc-dd-ee-0f" }, { "192.168.0.101", "01-02-03-04-05-06" },
            { "junk", "00-11-22-33-44-55" } });
    EXPECT_EQ(server.allocate(kMacB), ip("192.168.0.50")) << "case does not matter";
    EXPECT_TRUE(server.pool()[1].inUse);
    // A listed MAC with an unusable address cell is served as a new device.
    EXPECT_EQ(server.allocate(kMacA), ip("192.168.0.100"));
    EXPECT_EQ(server.allocate({ 9, 9, 9, 9, 9, 1 }), ip("192.168.0.102"));
    const std::size_t rows = server.rows().size();
    EXPECT_EQ(server.allocate({ 9, 9, 9, 9, 9, 2 }), std::nullopt) << "exhausted: no address";
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
