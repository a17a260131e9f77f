// Datagrams on port 67 come from anyone: the classifier and the reply built
// in place must take any bytes of any length and option layout. The first
// byte chooses the server's state (an offer waiting for the sender or not,
// address range); the rest is the datagram, handled twice so that it meets
// the state its first handling left, then once more after every offer has
// run out.
#include "utility/services/dhcp_server.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <span>
#include <vector>

using namespace utility::services;

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

void check(const DhcpServer::Outcome& outcome, std::size_t length)
{
    if (outcome.reply.empty())
        return;
    require(outcome.kind != DhcpKind::Ignore);
    const std::size_t cut = length < kDhcpBufferSize ? length : kDhcpBufferSize;
    require(outcome.reply.size() == (cut < kDhcpOptionsEnd ? kBootpMinimumSize : cut));
    require(outcome.reply[0] == 2 && outcome.reply[240] == 53);
    if (outcome.reply[242] == 6) {
        // A NAK gives no address and no parameters.
        require(outcome.kind == DhcpKind::Request && !outcome.acked && outcome.reply[249] == 255);
        for (std::size_t i = 12; i < 24; ++i)
            require(outcome.reply[i] == 0);
        return;
    }
    require(outcome.reply[285] == 255);
    require(outcome.reply[242] == 2 || outcome.reply[242] == 5);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::uint8_t mode = data[0];
    const std::span<const std::uint8_t> datagram(data + 1, size - 1);

    static const std::uint32_t ranges[4][2] = {
        { 0xC0A80064, 0xC0A8006E }, // a pool of 11
        { 0x0A0000FA, 0x0A000105 }, // across a third-byte boundary
        { 0x0A000007, 0x0A000007 }, // one address, soon used up
        { 0x0A000009, 0x0A000001 }, // reversed: no pool
    };
    DhcpServer server;
    const auto& range = ranges[(mode >> 1) & 3];
    server.setFields({ range[0], range[1], 1, 2, 3, 4, std::string((mode >> 3) & 31, 'f') });
    server.setRows({ { "192.168.0.101", "00-11-22-33-44-55" }, { "not an address", "junk" } });
    server.buildPool();
    const platform::TimePoint t0 {};
    if (mode & 1) {
        // An offer waiting for the datagram's sender.
        std::vector<std::uint8_t> discover(300, 0);
        discover[0] = 1;
        discover[1] = 1;
        discover[2] = 6;
        for (std::size_t i = 0; i < 6 && 28 + i < datagram.size(); ++i)
            discover[28 + i] = datagram[28 + i];
        const std::uint8_t tail[] = { 99, 130, 83, 99, 53, 1, 1, 255 };
        std::copy(std::begin(tail), std::end(tail), discover.begin() + 236);
        check(server.handle(discover, t0), discover.size());
    }

    const DhcpKind kind = classifyDhcp(datagram);
    const auto first = server.handle(datagram, t0);
    require(first.kind == kind);
    check(first, datagram.size());
    check(server.handle(datagram, t0), datagram.size());
    check(server.handle(datagram, t0 + 2 * kDhcpOfferHold), datagram.size());
    require(server.pendingCount() <= 1);
    require(server.pool().size() <= kDhcpPoolSize);
    // Never one address for two devices: the rows the pool handed out are
    // all different.
    std::vector<std::string> given;
    for (const auto& row : server.rows())
        given.push_back(row.address);
    std::sort(given.begin(), given.end());
    require(std::adjacent_find(given.begin(), given.end()) == given.end());
    return 0;
}
