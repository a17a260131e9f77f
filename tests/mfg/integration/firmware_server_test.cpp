// The firmware server on ports 67 and 69 of the test's network namespace,
// against a scripted boot loader on real sockets in a thread of its own.

#include "mfg/firmware_server.h"
#include "platform/child_process.h"
#include "tests/support/scripted_prompter.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr platform::Ipv4 kLoopback = 0x7F000001;

// What the scripted boot loader saw.
struct Seen {
    std::vector<std::uint8_t> offer;
    std::vector<std::vector<std::uint8_t>> data; // every DATA packet, in order of arrival
};

struct LoaderScript {
    std::uint8_t requestOp = 1;
    std::uint8_t dhcpType = 1; // 1 discover, 3 request
    bool sendRrq = true;
    bool duplicateFirstAck = false;
    std::string fileName = "anything.bin";
};

platform::UdpSocket boundSocket(std::uint16_t port)
{
    auto opened = platform::UdpSocket::open();
    EXPECT_TRUE(opened);
    platform::UdpSocket socket = std::move(opened.value());
    EXPECT_TRUE(socket.setBroadcast(true));
    EXPECT_TRUE(socket.bind(0, port));
    return socket;
}

std::optional<std::vector<std::uint8_t>> receive(
    platform::UdpSocket& socket, platform::Endpoint& from, std::chrono::milliseconds limit = 3000ms)
{
    std::array<std::uint8_t, 1024> buffer {};
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (auto got = socket.receiveFrom(buffer, from))
            return std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + static_cast<long>(got.value()));
        std::this_thread::sleep_for(1ms);
    }
    return std::nullopt;
}

Seen runLoader(const LoaderScript& script)
{
    Seen seen;
    platform::UdpSocket bootp = boundSocket(0);
    std::vector<std::uint8_t> request(300, 0);
    request[0] = script.requestOp;
    request[1] = 1;
    request[2] = 6;
    request[4] = 0x12;
    request[28] = 0xAA; // chaddr
    request[44] = 'S'; // sname
    const std::uint8_t options[] = { 99, 130, 83, 99, 53, 1, script.dhcpType, 255 };
    std::copy(std::begin(options), std::end(options), request.begin() + 236);
    platform::Endpoint from;
    std::optional<std::vector<std::uint8_t>> offer;
    for (int attempt = 0; attempt < 30 && !offer; ++attempt) {
        (void)bootp.sendTo({ kLoopback, 67 }, request);
        offer = receive(bootp, from, 100ms);
    }
    if (!offer)
        return seen;
    seen.offer = *offer;
    if (!script.sendRrq)
        return seen;
    platform::UdpSocket tftp = boundSocket(0);
    std::vector<std::uint8_t> rrq = { 0, 1 };
    rrq.insert(rrq.end(), script.fileName.begin(), script.fileName.end());
    rrq.insert(rrq.end(), { 0, 'o', 'c', 't', 'e', 't', 0 });
    (void)tftp.sendTo({ kLoopback, 69 }, rrq);
    for (;;) {
        auto data = receive(tftp, from);
        if (!data)
            return seen;
        seen.data.push_back(*data);
        const std::vector<std::uint8_t> ack = { 0, 4, (*data)[2], (*data)[3] };
        (void)tftp.sendTo(from, ack);
        if (script.duplicateFirstAck && seen.data.size() == 1)
            (void)tftp.sendTo(from, ack);
        if (data->size() < 516 && !script.duplicateFirstAck)
            return seen;
        if (data->size() < 516 && seen.data.size() > 2)
            return seen;
    }
}

class FirmwareServing : public testing::Test {
protected:
    bool serve(platform::Clock& clock, const std::string& file, const LoaderScript& script, Seen& seen)
    {
        auto loader = std::async(std::launch::async, [&] { return runLoader(script); });
        mfg::FirmwareServer server(clock, prompter);
        mfg::FirmwareServer::Setup setup;
        setup.clientAddress = "127.0.0.2";
        setup.ServerAddress = kLoopback;
        const bool ok = server.ServeFirmware(file, setup, result);
        seen = loader.get();
        return ok;
    }

    std::string writeFile(std::size_t size)
    {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<char>(i * 7 + 3);
        dir.write("fw.bin", bytes);
        return bytes;
    }

    testing_support::TempDir dir;
    testing_support::ScriptedPrompter prompter;
    std::string result;
};

TEST_F(FirmwareServing, OfferIsTheRequestChangedInPlace)
{
    writeFile(1000);
    Seen seen;
    ASSERT_TRUE(serve(platform::RealClock::instance(), dir.file("fw.bin"), {}, seen)) << result;
    const auto& offer = seen.offer;
    ASSERT_EQ(offer.size(), 516u);
    EXPECT_EQ(offer[0], 2);
    EXPECT_EQ(offer[4], 0x12); // xid kept
    EXPECT_EQ(std::vector<std::uint8_t>(offer.begin() + 16, offer.begin() + 24),
        std::vector<std::uint8_t>({ 127, 0, 0, 2, 127, 0, 0, 1 }));
    EXPECT_EQ(offer[28], 0xAA);
    EXPECT_EQ(offer[44], 'S');
    const std::string path = dir.file("fw.bin");
    EXPECT_EQ(std::string(offer.begin() + 108, offer.begin() + 108 + static_cast<long>(path.size())), path);
    EXPECT_EQ(offer[108 + path.size()], 0);
    EXPECT_EQ(std::vector<std::uint8_t>(offer.begin() + 236, offer.begin() + 266),
        std::vector<std::uint8_t>({ 99, 130, 83, 99, 0x35, 1, 2, 0x36, 4, 127, 0, 0, 1, 1, 4, 255, 255, 255, 0, 3, 4, 0,
            0, 0, 0, 0x0D, 2, 0, 2, 0xFF }));
    EXPECT_EQ(std::vector<std::uint8_t>(offer.begin() + 266, offer.end()), std::vector<std::uint8_t>(250, 0));
    // 1000 bytes: 512 and 488.
    ASSERT_EQ(seen.data.size(), 2u);
    EXPECT_EQ(seen.data[0].size(), 516u);
    EXPECT_EQ(seen.data[1].size(), 492u);
}

TEST_F(FirmwareServing, ExactMultipleEndsWithAnEmptyBlock)
{
    const std::string bytes = writeFile(1024);
    Seen seen;
    LoaderScript script;
    script.requestOp = 1;
    script.dhcpType = 3; // a DHCP request gets the same offer
    ASSERT_TRUE(serve(platform::RealClock::instance(), dir.file("fw.bin"), script, seen)) << result;
    EXPECT_EQ(seen.offer[263], 0);
    EXPECT_EQ(seen.offer[264], 3);
    ASSERT_EQ(seen.data.size(), 3u);
    std::string received;
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(seen.data[i][1], 3);
        EXPECT_EQ(seen.data[i][3], i + 1);
        received.append(seen.data[i].begin() + 4, seen.data[i].end());
    }
    EXPECT_EQ(seen.data[2].size(), 4u);
    EXPECT_EQ(received, bytes);
}

TEST_F(FirmwareServing, DuplicatedAckBringsTheNextBlock)
{
    writeFile(1500);
    Seen seen;
    LoaderScript script;
    script.duplicateFirstAck = true;
    ASSERT_TRUE(serve(platform::RealClock::instance(), dir.file("fw.bin"), script, seen)) << result;
    ASSERT_GE(seen.data.size(), 3u);
    EXPECT_EQ(seen.data[1][3], 2);
    EXPECT_EQ(seen.data[2][3], 3);
}

TEST_F(FirmwareServing, SilenceAfterTheOfferTimesOutInVirtualTime)
{
    writeFile(100);
    platform::FakeClock clock;
    const auto begin = clock.now();
    LoaderScript script;
    script.sendRrq = false;
    Seen seen;
    EXPECT_FALSE(serve(clock, dir.file("fw.bin"), script, seen));
    EXPECT_EQ(result, "TFTP timeout !!\n");
    EXPECT_GE(clock.now() - begin, 20s);
    // The ports are free again for the next board.
    result.clear();
    EXPECT_TRUE(serve(platform::RealClock::instance(), dir.file("fw.bin"), {}, seen)) << result;
}

TEST_F(FirmwareServing, MissingAndOversizedFilesAreRefused)
{
    platform::FakeClock clock;
    mfg::FirmwareServer server(clock, prompter);
    mfg::FirmwareServer::Setup setup;
    EXPECT_FALSE(server.ServeFirmware(dir.file("none.bin"), setup, result));
    EXPECT_EQ(result, "Can not open test firmware file !!\n");
    result.clear();
    EXPECT_FALSE(server.ServeFirmware(dir.path(), setup, result)); // a folder
    EXPECT_EQ(result, "Can not open test firmware file !!\n");
    result.clear();
    dir.write("big.bin", "");
    ASSERT_EQ(::truncate(dir.file("big.bin").c_str(), 16777216), 0);
    EXPECT_FALSE(server.ServeFirmware(dir.file("big.bin"), setup, result));
    EXPECT_EQ(result, "Firmware file is 16 MB or larger; TFTP can not send it !!\n");
}

TEST_F(FirmwareServing, BusyPort67IsReported)
{
    platform::UdpSocket holder = boundSocket(67);
    writeFile(10);
    platform::FakeClock clock;
    mfg::FirmwareServer server(clock, prompter);
    EXPECT_FALSE(server.ServeFirmware(dir.file("fw.bin"), {}, result));
    EXPECT_EQ(result, "Invalid IP or Port 67 already in use.\n");
}

// Real peers: busybox's DHCP client takes the offer, tftp-hpa's client
// fetches the file.
TEST_F(FirmwareServing, DebianClientsTakeTheOfferAndTheFile)
{
    const std::string bytes = writeFile(5000);
    auto served = std::async(std::launch::async, [&] {
        mfg::FirmwareServer server(platform::RealClock::instance(), prompter);
        mfg::FirmwareServer::Setup setup;
        setup.clientAddress = "127.0.0.2";
        setup.ServerAddress = kLoopback;
        return server.ServeFirmware(dir.file("fw.bin"), setup, result);
    });
    std::this_thread::sleep_for(100ms); // the server's port 67 opens
    auto dhcp = platform::ChildProcess::start(
        { "busybox", "udhcpc", "-i", "lo", "-n", "-q", "-t", "1", "-T", "1", "-s", "/bin/true" }, false);
    ASSERT_TRUE(dhcp) << dhcp.error().message;
    (void)dhcp.value().wait(5s); // no acknowledgement follows the offer: it gives up
    auto tftp = platform::ChildProcess::start(
        { "tftp", "-m", "binary", "127.0.0.1", "-c", "get", "whatever.bin", dir.file("got.bin") }, false);
    ASSERT_TRUE(tftp) << tftp.error().message;
    EXPECT_EQ(tftp.value().wait(10s).value_or(-1), 0);
    ASSERT_EQ(served.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(served.get()) << result;
    EXPECT_EQ(dir.read("got.bin"), bytes);
}

} // namespace
