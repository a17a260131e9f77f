// Datagrams on port 67 come from anyone: the classifier and the reply built
// in place must take any bytes of any length and option layout. The first
// byte chooses the server's state (pending flag, address range); the rest is
// the datagram, handled twice so that both pending states meet it.
#include "utility/services/dhcp_server.h"

#include <cstdlib>
#include <span>

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
    require(outcome.reply[0] == 2 && outcome.reply[240] == 53 && outcome.reply[285] == 255);
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
        { 0x0A0000FA, 0x0A000105 }, // across a third-byte boundary: no pool
        { 0x0A000007, 0x0A000007 }, // start = end: no offers
        { 0x0A000009, 0x0A000001 }, // reversed
    };
    DhcpServer server;
    const auto& range = ranges[(mode >> 1) & 3];
    server.setFields({ range[0], range[1], 1, 2, 3, 4, std::string((mode >> 3) & 31, 'f') });
    server.setRows({ { "192.168.0.101", "00-11-22-33-44-55" }, { "not an address", "junk" } });
    server.buildPool();
    server.setPending(mode & 1);

    const DhcpKind kind = classifyDhcp(datagram);
    const auto first = server.handle(datagram);
    require(first.kind == kind);
    check(first, datagram.size());
    check(server.handle(datagram), datagram.size());
    require(server.pool().size() <= kDhcpPoolSize);
    return 0;
}
