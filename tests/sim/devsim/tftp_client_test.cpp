#include "sim/devsim/tftp_client.h"
#include "tests/sim/devsim/peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>

using namespace sim::devsim;
using namespace std::chrono_literals;
using devsim_test::Datagram;
using devsim_test::ip;
using devsim_test::Peer;

namespace {

std::vector<std::uint8_t> packet(std::uint16_t code, std::uint16_t number, const std::string& payload = {})
{
    // Sized once: GCC 12 mis-warns about inserting into a four-byte vector.
    std::vector<std::uint8_t> bytes(4 + payload.size());
    bytes[0] = static_cast<std::uint8_t>(code >> 8);
    bytes[1] = static_cast<std::uint8_t>(code);
    bytes[2] = static_cast<std::uint8_t>(number >> 8);
    bytes[3] = static_cast<std::uint8_t>(number);
    std::copy(payload.begin(), payload.end(), bytes.begin() + 4);
    return bytes;
}

std::uint16_t codeOf(const Datagram& d) { return static_cast<std::uint16_t>((d.bytes[0] << 8) | d.bytes[1]); }
std::uint16_t numberOf(const Datagram& d) { return static_cast<std::uint16_t>((d.bytes[2] << 8) | d.bytes[3]); }

// The test plays the server with plain sockets: one for the well-known port,
// one for the transfer, as a real server answers from a fresh port.
class TftpClientTest : public ::testing::Test {
protected:
    void startClient(int retries = 3)
    {
        TftpClient::Options options;
        options.localAddress = ip("127.0.0.10");
        options.server = m_listen.socket().localEndpoint();
        options.fileName = "fw.bin";
        options.timeout = 1s;
        options.retries = retries;
        m_client = std::make_unique<TftpClient>(m_loop, options,
            [this](platform::Result<std::vector<std::uint8_t>> result) { m_result.emplace(std::move(result)); });
        ASSERT_TRUE(m_client->start().ok());
    }

    Datagram expectOne(Peer& at)
    {
        auto got = at.collect(m_loop, 1);
        EXPECT_EQ(got.size(), 1u);
        return got.empty() ? Datagram {} : got.front();
    }

    platform::FakeClock m_clock;
    platform::VirtualLoop m_loop { m_clock };
    Peer m_listen;
    Peer m_transfer;
    std::unique_ptr<TftpClient> m_client;
    std::optional<platform::Result<std::vector<std::uint8_t>>> m_result;
};

} // namespace

TEST_F(TftpClientTest, ResendsALostRequestAndFollowsTheTransferPort)
{
    startClient();
    const Datagram request = expectOne(m_listen);
    ASSERT_GE(request.bytes.size(), 2u);
    EXPECT_EQ(std::string(request.bytes.begin() + 2, request.bytes.end()), std::string("fw.bin\0octet\0", 13));
    EXPECT_EQ(request.from.address, ip("127.0.0.10")); // from the device's own address

    // The server stays silent: the same request comes again after the timeout.
    m_loop.advance(999ms);
    EXPECT_TRUE(m_listen.drain(m_loop).empty());
    m_loop.advance(1ms);
    const Datagram again = expectOne(m_listen);
    EXPECT_EQ(again.bytes, request.bytes);

    const std::string block1(512, 'a');
    m_transfer.send(request.from, packet(3, 1, block1));
    Datagram ack = expectOne(m_transfer);
    EXPECT_EQ(codeOf(ack), 4);
    EXPECT_EQ(numberOf(ack), 1);

    // A packet from another port is no part of this transfer.
    Peer stranger;
    stranger.send(request.from, packet(3, 2, "evil"));
    const Datagram refusal = expectOne(stranger);
    EXPECT_EQ(codeOf(refusal), 5);
    EXPECT_EQ(numberOf(refusal), 5); // unknown transfer ID
    EXPECT_FALSE(m_result.has_value());

    // Block 1 again (our ACK got lost, say): acknowledged again, not stored twice.
    m_transfer.send(request.from, packet(3, 1, block1));
    ack = expectOne(m_transfer);
    EXPECT_EQ(numberOf(ack), 1);

    m_transfer.send(request.from, packet(3, 2, "end"));
    ack = expectOne(m_transfer);
    EXPECT_EQ(numberOf(ack), 2);
    m_loop.processPending();
    ASSERT_TRUE(m_result.has_value());
    ASSERT_TRUE(m_result->ok()) << m_result->error().message;
    EXPECT_EQ(std::string((*m_result)->begin(), (*m_result)->end()), block1 + "end");
}

TEST_F(TftpClientTest, ResendsTheLastAckAndGivesUpAfterTheRetries)
{
    startClient(2);
    const Datagram request = expectOne(m_listen);
    m_transfer.send(request.from, packet(3, 1, std::string(512, 'x')));
    EXPECT_EQ(numberOf(expectOne(m_transfer)), 1);
    for (int i = 0; i < 2; ++i) {
        m_loop.advance(1s);
        const Datagram ack = expectOne(m_transfer);
        EXPECT_EQ(codeOf(ack), 4);
        EXPECT_EQ(numberOf(ack), 1);
    }
    EXPECT_FALSE(m_result.has_value());
    m_loop.advance(1s);
    ASSERT_TRUE(m_result.has_value());
    EXPECT_FALSE(m_result->ok());
    EXPECT_TRUE(m_transfer.drain(m_loop).empty());
}

TEST_F(TftpClientTest, AnErrorPacketEndsTheTransfer)
{
    startClient();
    const Datagram request = expectOne(m_listen);
    auto error = packet(5, 1, "File not found");
    error.push_back(0);
    m_transfer.send(request.from, error);
    m_transfer.drain(m_loop);
    ASSERT_TRUE(m_result.has_value());
    ASSERT_FALSE(m_result->ok());
    EXPECT_NE(m_result->error().message.find("server error 1: File not found"), std::string::npos);
    // No retransmission after the end.
    m_loop.advance(5s);
    EXPECT_TRUE(m_listen.drain(m_loop).empty());
}

TEST_F(TftpClientTest, RefusesAFileLargerThanTheLimit)
{
    TftpClient::Options options;
    options.localAddress = ip("127.0.0.10");
    options.server = m_listen.socket().localEndpoint();
    options.fileName = "big.bin";
    options.maxSize = 1000;
    m_client = std::make_unique<TftpClient>(m_loop, options,
        [this](platform::Result<std::vector<std::uint8_t>> result) { m_result.emplace(std::move(result)); });
    ASSERT_TRUE(m_client->start().ok());
    const Datagram request = expectOne(m_listen);
    m_transfer.send(request.from, packet(3, 1, std::string(512, 'x')));
    EXPECT_EQ(codeOf(expectOne(m_transfer)), 4);
    m_transfer.send(request.from, packet(3, 2, std::string(512, 'x')));
    const Datagram refusal = expectOne(m_transfer);
    EXPECT_EQ(codeOf(refusal), 5);
    EXPECT_EQ(numberOf(refusal), 3); // disk full or allocation exceeded
    ASSERT_TRUE(m_result.has_value());
    EXPECT_FALSE(m_result->ok());
}

TEST_F(TftpClientTest, CancelledTransferReportsNothing)
{
    startClient();
    const Datagram request = expectOne(m_listen);
    m_client->cancel();
    m_transfer.send(request.from, packet(3, 1, "short"));
    m_transfer.drain(m_loop);
    m_loop.advance(10s);
    EXPECT_FALSE(m_result.has_value());
}
