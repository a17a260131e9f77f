// The devsim program itself, on the fixed ports, queried with plain sockets.
#include "platform/child_process.h"
#include "platform/net.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

struct Listed {
    std::string mac;
    std::string name;
};

std::vector<std::uint8_t> query()
{
    const std::string text("ZORVVROZ\0", 9);
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::string macOf(const std::vector<std::uint8_t>& reply)
{
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", reply[26], reply[27], reply[28], reply[29],
        reply[30], reply[31]);
    return text;
}

// Gathers QueryReplies until every listed address has answered (or 5 s pass).
std::map<platform::Ipv4, std::vector<std::uint8_t>> gather(
    platform::UdpSocket& socket, const std::map<platform::Ipv4, Listed>& devices)
{
    std::map<platform::Ipv4, std::vector<std::uint8_t>> replies;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (replies.size() < devices.size() && std::chrono::steady_clock::now() < deadline) {
        std::vector<std::uint8_t> buffer(2048);
        platform::Endpoint from;
        auto received = socket.receiveFrom(buffer, from);
        if (!received.ok()) {
            std::this_thread::sleep_for(1ms);
            continue;
        }
        buffer.resize(*received);
        // Other simulators may share the namespace; only ours count.
        if (devices.count(from.address))
            replies[from.address] = buffer;
    }
    return replies;
}

void checkReplies(
    const std::map<platform::Ipv4, std::vector<std::uint8_t>>& replies, const std::map<platform::Ipv4, Listed>& devices)
{
    ASSERT_EQ(replies.size(), devices.size());
    for (const auto& [address, reply] : replies) {
        SCOPED_TRACE(platform::formatIpv4(address));
        ASSERT_EQ(reply.size(), 438u);
        EXPECT_EQ(std::string(reply.begin(), reply.begin() + 8), "ZORVVROZ");
        EXPECT_EQ(reply[8], 0x01);
        const platform::Ipv4 recorded
            = (platform::Ipv4 { reply[34] } << 24) | (reply[35] << 16) | (reply[36] << 8) | reply[37];
        EXPECT_EQ(recorded, address);
        EXPECT_EQ(macOf(reply), devices.at(address).mac);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&reply[10])), devices.at(address).name);
    }
}

} // namespace

TEST(DevsimProgram, FiveDevicesAnswerUnicastAndBroadcastQueries)
{
    auto started = platform::ChildProcess::start(
        { testing_support::programPath("devsim"), "--devices", "5", "--first-address", "127.0.0.10" });
    ASSERT_TRUE(started.ok()) << started.error().message;
    platform::ChildProcess program = std::move(*started);

    std::map<platform::Ipv4, Listed> devices;
    for (int i = 0; i < 5; ++i) {
        auto line = program.readLine(10s);
        ASSERT_TRUE(line.ok()) << line.error().message;
        std::istringstream fields(*line);
        std::string address;
        Listed listed;
        fields >> address >> listed.mac >> listed.name;
        EXPECT_EQ(address, "127.0.0." + std::to_string(10 + i)) << *line;
        auto parsed = platform::parseIpv4(address);
        ASSERT_TRUE(parsed.has_value()) << *line;
        devices[*parsed] = listed;
    }
    std::map<std::string, int> macs;
    std::map<std::string, int> names;
    for (const auto& [address, listed] : devices) {
        ++macs[listed.mac];
        ++names[listed.name];
    }
    EXPECT_EQ(macs.size(), 5u);
    EXPECT_EQ(names.size(), 5u);

    auto socket = platform::UdpSocket::open();
    ASSERT_TRUE(socket.ok());
    ASSERT_TRUE(socket->setBroadcast(true).ok());
    ASSERT_TRUE(socket->bind("127.0.0.1", 0).ok());

    for (const auto& [address, listed] : devices)
        ASSERT_TRUE(socket->sendTo({ address, 25124 }, query()).ok());
    checkReplies(gather(*socket, devices), devices);

    ASSERT_TRUE(socket->sendTo({ *platform::parseIpv4("255.255.255.255"), 25122 }, query()).ok());
    checkReplies(gather(*socket, devices), devices);

    ASSERT_TRUE(socket->setMulticastInterface(*platform::parseIpv4("127.0.0.1")).ok());
    ASSERT_TRUE(socket->sendTo({ *platform::parseIpv4("225.1.2.3"), 25123 }, query()).ok());
    checkReplies(gather(*socket, devices), devices);

    ASSERT_TRUE(program.terminate());
    EXPECT_EQ(program.wait(10s), 0);
}

TEST(DevsimProgram, RefusesBadArgumentsWithoutStarting)
{
    auto started = platform::ChildProcess::start({ testing_support::programPath("devsim"), "--devices", "many" });
    ASSERT_TRUE(started.ok());
    EXPECT_EQ(started->wait(10s), 2);
}
