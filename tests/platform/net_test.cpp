#include "platform/faults.h"
#include "platform/net.h"
#include "platform/text_file.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

using platform::parseIpv4;

TEST(Ipv4Text, ParsesStrictDottedQuadsOnly)
{
    EXPECT_EQ(parseIpv4("192.168.0.1"), 0xC0A80001u);
    EXPECT_EQ(parseIpv4("0.0.0.0"), 0u);
    EXPECT_EQ(parseIpv4("255.255.255.255"), 0xFFFFFFFFu);
    for (const char* bad : { "", "1.2.3", "1.2.3.4.5", "1.2.3.256", "1..3.4", "a.b.c.d", "1.2.3.4 ", " 1.2.3.4",
             "1.2.3.", ".1.2.3", "1234.1.1.1", "-1.2.3.4" })
        EXPECT_FALSE(parseIpv4(bad).has_value()) << bad;
    EXPECT_EQ(platform::formatIpv4(0x0A00002Cu), "10.0.0.44");
}

namespace {

std::size_t receiveWait(platform::UdpSocket& socket, std::uint8_t* buffer, std::size_t size, platform::Endpoint& from)
{
    for (int i = 0; i < 2000; ++i) {
        auto n = socket.receiveFrom({ buffer, size }, from);
        if (n.ok())
            return *n;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 0;
}

} // namespace

TEST(UdpSocket, SendsAndReceivesWithSenderOnLoopback)
{
    auto a = platform::UdpSocket::open();
    auto b = platform::UdpSocket::open();
    ASSERT_TRUE(a.ok() && b.ok());
    ASSERT_TRUE(a->bind("127.0.0.1", 0).ok());
    ASSERT_TRUE(b->bind("127.0.0.1", 0).ok());
    const std::uint8_t payload[] = { 1, 2, 3, 4, 5 };
    ASSERT_TRUE(a->sendTo("127.0.0.1", b->localEndpoint().port, payload).ok());
    std::uint8_t buffer[3];
    platform::Endpoint from;
    // A datagram longer than the buffer is cut to the buffer.
    EXPECT_EQ(receiveWait(*b, buffer, sizeof buffer, from), 3u);
    EXPECT_EQ(from, a->localEndpoint());
    EXPECT_EQ(buffer[2], 3);
    // Nothing waiting: an EAGAIN error, not a block.
    auto empty = b->receiveFrom(buffer, from);
    ASSERT_FALSE(empty.ok());
    EXPECT_EQ(empty.error().code, EAGAIN);
}

TEST(UdpSocket, InjectedFaultsFailTheNthCall)
{
    platform::faults::failNth(platform::faults::Op::Bind, 2);
    auto a = platform::UdpSocket::open();
    auto b = platform::UdpSocket::open();
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_TRUE(a->bind("127.0.0.1", 0).ok());
    EXPECT_FALSE(b->bind("127.0.0.1", 0).ok());
    EXPECT_TRUE(b->bind("127.0.0.1", 0).ok());
    platform::faults::reset();
}

TEST(UdpSocket, MulticastGroupOnLoopbackReachesMembers)
{
    // The suite runs in a private namespace with a multicast route on lo.
    auto member = platform::UdpSocket::open();
    ASSERT_TRUE(member.ok());
    ASSERT_TRUE(member->setReuseAddress(true).ok());
    ASSERT_TRUE(member->bind("0.0.0.0", 0).ok());
    const auto group = *parseIpv4("225.1.2.3");
    if (!member->joinMulticast(group, *parseIpv4("127.0.0.1")).ok())
        GTEST_SKIP() << "no multicast route (run inside the test namespace)";
    auto sender = platform::UdpSocket::open();
    ASSERT_TRUE(sender.ok());
    ASSERT_TRUE(sender->bind("127.0.0.1", 0).ok());
    ASSERT_TRUE(sender->setMulticastInterface(*parseIpv4("127.0.0.1")).ok());
    ASSERT_TRUE(sender->setMulticastLoopback(true).ok());
    const std::uint8_t payload[] = { 'm' };
    ASSERT_TRUE(sender->sendTo({ group, member->localEndpoint().port }, payload).ok());
    std::uint8_t buffer[8];
    platform::Endpoint from;
    EXPECT_EQ(receiveWait(*member, buffer, sizeof buffer, from), 1u);
    EXPECT_EQ(from, sender->localEndpoint());
}

TEST(Interfaces, LoopbackIsListedWithItsNetmask)
{
    bool found = false;
    for (const auto& item : platform::listInterfaces())
        if (item.loopback) {
            found = true;
            EXPECT_EQ(item.address, "127.0.0.1");
            EXPECT_EQ(item.netmask, "255.0.0.0");
        }
    EXPECT_TRUE(found);
    EXPECT_FALSE(platform::hostAddresses().empty());
}

TEST(Interfaces, EveryAddressOfAnInterfaceIsListedWithItsOwnNetmask)
{
    // This test's own network namespace: the addresses go with it.
    ASSERT_EQ(std::system("ip addr add 127.5.0.1/16 dev lo"), 0);
    std::vector<std::pair<std::string, std::string>> loopback;
    for (const auto& item : platform::listInterfaces())
        if (item.loopback)
            loopback.emplace_back(item.address, item.netmask);
    EXPECT_EQ(loopback,
        (std::vector<std::pair<std::string, std::string>> {
            { "127.0.0.1", "255.0.0.0" }, { "127.5.0.1", "255.255.0.0" } }));
    // Only loopback is up, so the host's addresses are the loopback ones.
    EXPECT_EQ(platform::hostAddresses(), (std::vector<std::string> { "127.0.0.1", "127.5.0.1" }));
}

TEST(TextFile, KeepsBytesExactAndTruncatesOlderLongerContent)
{
    testing_support::TempDir dir;
    const std::string path = dir.file("a.dat");
    ASSERT_TRUE(platform::writeFileBytes(path, std::string("line\r\n\0x\xff", 9)).ok());
    auto read = platform::readFileBytes(path);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(*read, std::string("line\r\n\0x\xff", 9));
    ASSERT_TRUE(platform::writeFileBytes(path, "ab").ok());
    EXPECT_EQ(*platform::readFileBytes(path), "ab");

    ASSERT_TRUE(platform::writeFileAtomic(path, std::string(20, 'z')).ok());
    bool truncated = false;
    auto limited = platform::readFileBytes(path, 10, &truncated);
    ASSERT_TRUE(limited.ok());
    EXPECT_EQ(limited->size(), 10u);
    EXPECT_TRUE(truncated);
    limited = platform::readFileBytes(path, 20, &truncated);
    EXPECT_FALSE(truncated);
    EXPECT_FALSE(platform::readFileBytes(dir.file("missing")).ok());
    EXPECT_EQ(platform::directoryOf("/a/b/Qelta.dat"), "/a/b/");
}
