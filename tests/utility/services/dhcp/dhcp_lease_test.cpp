// What a device says about its address after the offer: it declines it,
// releases it, or only asks for the settings.
#include "tests/utility/services/dhcp/dhcp_requests.h"

#include <chrono>

namespace utility::services {
namespace {

using namespace std::chrono_literals;

// DECLINE and RELEASE carry the address in option 50 and ciaddr.
Bytes decline(const MacAddress& mac, const char* address)
{
    return withAddress(
        withAddress(request(mac, { 53, 1, 4, 54, 4, 0, 0, 0, 0, 50, 4, 0, 0, 0, 0, 255 }), 245, "192.168.0.9"), 251,
        address);
}
Bytes release(const MacAddress& mac, const char* address)
{
    return withAddress(
        withAddress(request(mac, { 53, 1, 7, 54, 4, 0, 0, 0, 0, 255 }), 245, "192.168.0.9"), 12, address);
}

// A device that finds its address in use gets another one, and the
// address rests for a while instead of being offered again at once.
TEST(DhcpLease, ADeclinedAddressRestsAndTheDeviceGetsAnother)
{
    const platform::TimePoint t0 {};
    auto server = running("192.168.0.100", "192.168.0.101");
    ASSERT_EQ(get32(server.handle(discover(kMacA), t0).reply, 16), ip("192.168.0.100"));
    ASSERT_EQ(server.handle(dhcpRequest(kMacA), t0).reply[242], 5);
    const auto declined = server.handle(decline(kMacA, "192.168.0.100"), t0 + 1s);
    EXPECT_TRUE(declined.reply.empty()) << "a DECLINE is not answered";
    EXPECT_EQ(declined.log,
        "Device with MAC 00-11-22-33-44-55 declined IP 192.168.0.100: the address is in use; it is not offered "
        "for 10 minutes.\r\n");
    EXPECT_TRUE(declined.listChanged);
    EXPECT_TRUE(server.rows().empty());
    const auto next = server.handle(discover(kMacA), t0 + 2s);
    EXPECT_EQ(next.reply[242], 2);
    EXPECT_EQ(get32(next.reply, 16), ip("192.168.0.101"));
    EXPECT_TRUE(server.handle(discover(kMacB), t0 + 3s).reply.empty()) << ".100 rests, .101 is offered";
    EXPECT_EQ(get32(server.handle(discover(kMacB), t0 + kDhcpDeclineHold + 2s).reply, 16), ip("192.168.0.100"));
    // A DECLINE for another server's offer changes nothing here.
    auto other = decline(kMacA, "192.168.0.101");
    other[248] = 77;
    EXPECT_TRUE(server.handle(other, t0 + kDhcpDeclineHold + 3s).log.empty());
}

// A device can decline only the address it was given: another's DECLINE
// (a stray or a forged one) leaves the holder its address, and the address
// is never given to a second device.
TEST(DhcpLease, ADeclineFromADeviceWithoutTheAddressChangesNothing)
{
    const platform::TimePoint t0 {};
    auto server = running("192.168.0.100", "192.168.0.101");
    ASSERT_EQ(get32(server.handle(discover(kMacA), t0).reply, 16), ip("192.168.0.100"));
    ASSERT_EQ(server.handle(dhcpRequest(kMacA), t0).reply[242], 5);
    const auto stranger = server.handle(decline(kMacB, "192.168.0.100"), t0 + 1s);
    EXPECT_TRUE(stranger.log.empty());
    EXPECT_FALSE(stranger.listChanged);
    ASSERT_EQ(server.rows().size(), 1u);
    EXPECT_EQ(server.rows()[0].mac, "00-11-22-33-44-55");
    // The holder renews as before; a newcomer gets the other address, then
    // none, long after a decline's rest would have run out.
    const auto renewal = server.handle(
        withAddress(request(kMacA, { 53, 1, 3, 50, 4, 0, 0, 0, 0, 255 }), 245, "192.168.0.100"), t0 + 2s);
    ASSERT_FALSE(renewal.reply.empty());
    EXPECT_EQ(renewal.reply[242], 5);
    EXPECT_EQ(get32(server.handle(discover(kMacB), t0 + kDhcpDeclineHold + 2s).reply, 16), ip("192.168.0.101"));
    EXPECT_TRUE(server.handle(discover(kMacC), t0 + kDhcpDeclineHold + 3s).reply.empty());
}

TEST(DhcpLease, AReleasedAddressIsFreeAndNotAnswered)
{
    auto server = running("192.168.0.100", "192.168.0.100");
    server.handle(discover(kMacA));
    server.handle(dhcpRequest(kMacA));
    // Only the device that holds the address can give it back.
    const auto stranger = server.handle(release(kMacB, "192.168.0.100"));
    EXPECT_TRUE(stranger.reply.empty());
    EXPECT_EQ(server.rows().size(), 1u);
    const auto released = server.handle(release(kMacA, "192.168.0.100"));
    EXPECT_TRUE(released.reply.empty());
    EXPECT_EQ(released.log, "Device with MAC 00-11-22-33-44-55 released IP 192.168.0.100.\r\n");
    EXPECT_TRUE(released.listChanged);
    EXPECT_TRUE(server.rows().empty());
    EXPECT_EQ(get32(server.handle(discover(kMacB)).reply, 16), ip("192.168.0.100"));
}

// INFORM: a device with an address asks for the rest; it gets an ACK
// without an address and without a lease, at its own address.
TEST(DhcpLease, InformIsAckedWithoutAnAddress)
{
    auto server = running("192.168.0.100", "192.168.0.100");
    const auto informed = server.handle(withAddress(request(kMacA, { 53, 1, 8, 255 }), 12, "192.168.0.77"));
    ASSERT_EQ(informed.reply.size(), 300u);
    const auto r = informed.reply;
    EXPECT_EQ(r[242], 5);
    EXPECT_EQ(get32(r, 16), 0u) << "no yiaddr";
    EXPECT_EQ(get32(r, 12), ip("192.168.0.77")) << "ciaddr kept";
    EXPECT_EQ(Bytes(r.begin() + 261, r.begin() + 268), (Bytes { 6, 4, 192, 168, 0, 53, 255 })) << "no lease time";
    EXPECT_EQ(informed.destination, ip("192.168.0.77"));
    EXPECT_TRUE(server.rows().empty());
    EXPECT_TRUE(server.pool().front().inUse == false) << "the pool keeps .100";
    EXPECT_TRUE(server.handle(request(kMacA, { 53, 1, 8, 255 })).reply.empty()) << "INFORM without ciaddr";
}

// The server never gives out its own address, the subnet's network or
// broadcast address or one of another subnet, even when a row of the list
// (edited by hand) names it.
TEST(DhcpLease, AddressesNoDeviceMayHaveAreNeverOffered)
{
    for (const char* forbidden : { "192.168.0.9", "192.168.0.0", "192.168.0.255", "10.1.1.1" }) {
        auto server = running("192.168.0.100", "192.168.0.101", { { forbidden, "00-11-22-33-44-55" } });
        EXPECT_FALSE(server.offerable(ip(forbidden))) << forbidden;
        const auto offer = server.handle(discover(kMacA));
        EXPECT_EQ(get32(offer.reply, 16), ip("192.168.0.100")) << forbidden;
        EXPECT_EQ(server.handle(requestFor(kMacA, forbidden)).reply[242], 6) << forbidden;
    }
    DhcpFields f = fields("192.168.0.5", "192.168.0.20");
    EXPECT_EQ(checkDhcpRange(f, ip("192.168.0.9")),
        "The addresses 192.168.0.5 to 192.168.0.20 include this server's own address 192.168.0.9.");
    EXPECT_EQ(checkDhcpRange(f, ip("10.0.0.9")),
        "The addresses 192.168.0.5 to 192.168.0.20 lie outside the subnet of this server's address 10.0.0.9 (mask "
        "255.255.255.0).");
    EXPECT_EQ(checkDhcpRange(f, ip("192.168.0.21")), "");
}

// A client that picks another server's offer tells everyone (option 54):
// ours is withdrawn and its address is free again.
TEST(DhcpLease, ARequestForAnotherServerWithdrawsOurOffer)
{
    auto server = running("192.168.0.100", "192.168.0.100");
    server.handle(discover(kMacA));
    auto elsewhere = withAddress(
        withAddress(request(kMacA, { 53, 1, 3, 54, 4, 0, 0, 0, 0, 50, 4, 0, 0, 0, 0, 255 }), 245, "192.168.0.77"), 251,
        "192.168.0.100");
    EXPECT_TRUE(server.handle(elsewhere).reply.empty());
    EXPECT_FALSE(server.pending(kMacA, {}));
    EXPECT_TRUE(server.rows().empty());
    EXPECT_EQ(get32(server.handle(discover(kMacB)).reply, 16), ip("192.168.0.100"));
}

// A BOOTP client without the cookie is answered like any other.
TEST(DhcpLease, BootpWithoutTheCookieIsAnswered)
{
    auto server = running("192.168.0.100", "192.168.0.100");
    Bytes plain = bootp(kMacA);
    std::fill(plain.begin() + 236, plain.end(), 0);
    const auto outcome = server.handle(plain);
    ASSERT_EQ(outcome.reply.size(), 300u);
    EXPECT_EQ(get32(outcome.reply, 16), ip("192.168.0.100"));
    EXPECT_TRUE(outcome.listChanged) << "a BOOTP assignment is kept at once";
}

} // namespace
} // namespace utility::services
