// Transfers carried by worker threads behind one listen socket.
#include "tests/utility/services/tftp/tftp_fixture.h"
#include "utility/services/tftp_workers.h"

#include <mutex>
#include <thread>

#include <poll.h>

using namespace tftp_test;

namespace {

// Waits (in real time: the workers run on their own threads) for the next
// datagram to `c`; the front's loop takes requests meanwhile.
std::optional<Bytes> awaitDatagram(platform::VirtualLoop& loop, Client& c, std::chrono::seconds limit = 30s)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        loop.processPending();
        pollfd ready { c.socket.fd(), POLLIN, 0 };
        if (::poll(&ready, 1, 10) <= 0)
            continue;
        Bytes buffer(70000);
        platform::Endpoint sender;
        if (auto received = c.socket.receiveFrom(buffer, sender)) {
            c.transfer = sender;
            buffer.resize(*received);
            return buffer;
        }
    }
    return std::nullopt;
}

TEST_F(TftpServerTest, WorkersServeEachClientWholeAndShareTheLimit)
{
    served.write("f.bin", pattern(3000));
    server.setTransferLimit(3);
    std::mutex logMutex;
    std::string log; // written from the workers' threads
    server.setLogCallback([&](const std::string& text) {
        std::lock_guard lock(logMutex);
        log += text;
    });
    start();
    std::optional<TftpWorkers> workers;
    workers.emplace(server, prompter, 2);
    ASSERT_EQ(workers->limit(), 2u);
    Client clients[4];
    for (Client& c : clients)
        toServer(request(kTftpRrq, "f.bin"), true, &c);
    std::vector<std::optional<Bytes>> first;
    for (Client& c : clients)
        first.push_back(awaitDatagram(loop, c));
    int refused = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        ASSERT_TRUE(first[i]) << i;
        if (u16(*first[i], 0) == kTftpError) {
            ++refused;
            EXPECT_EQ(text(*first[i], 4), "Server busy, try again later"s + '\0');
            EXPECT_EQ(clients[i].transfer, server.listenEndpoint()) << "refused from port 69";
            continue;
        }
        // The same request again reaches the same transfer: it starts none.
        const platform::Endpoint port = clients[i].transfer;
        toServer(request(kTftpRrq, "f.bin"), true, &clients[i]);
        std::string file;
        std::optional<Bytes> data = first[i];
        while (data && u16(*data, 0) == kTftpData) {
            EXPECT_EQ(clients[i].transfer, port);
            file += text(*data, 4);
            toServer(ack(kTftpAck, u16(*data, 2)), false, &clients[i]);
            if (data->size() < 4 + 512)
                break;
            data = awaitDatagram(loop, clients[i]);
        }
        EXPECT_EQ(file, pattern(3000)) << i;
    }
    EXPECT_EQ(refused, 1) << "three transfers at once, counted over both workers";
    EXPECT_EQ(workers->count(), 2u);
    auto count = [&](const std::string& what) {
        std::lock_guard lock(logMutex);
        std::size_t n = 0;
        for (auto at = log.find(what); at != std::string::npos; at = log.find(what, at + 1))
            ++n;
        return n;
    };
    // The last acknowledgements are taken on the workers' threads.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (count("Read session is completed successfully.") < 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    workers.reset();
    EXPECT_EQ(count("Read session is completed successfully."), 3u) << log;
    EXPECT_EQ(count(": 3 transfers are running."), 1u) << log;
    EXPECT_EQ(server.logText().find("Received"), std::string::npos) << "the front serves nothing itself";
}

TEST_F(TftpServerTest, EachTransferGetsAWorkerOfItsOwnUpToTheLimit)
{
    served.write("f.bin", pattern(3000));
    start();
    const struct {
        std::size_t limit;
        std::size_t expected;
    } cases[] = { { 8, 4 }, { 3, 3 }, { 0, 4 } };
    for (const auto& c : cases) {
        std::optional<TftpWorkers> workers;
        workers.emplace(server, prompter, c.limit);
        EXPECT_EQ(workers->count(), 1u) << "started when needed";
        // Four transfers at once, none acknowledged yet.
        Client clients[4];
        for (Client& client : clients) {
            toServer(request(kTftpRrq, "f.bin"), true, &client);
            auto data = awaitDatagram(loop, client);
            ASSERT_TRUE(data) << c.limit;
            EXPECT_EQ(u16(*data, 0), kTftpData) << c.limit;
        }
        EXPECT_EQ(workers->count(), c.expected) << c.limit;
        // Each is served to its end.
        for (Client& client : clients) {
            toServer(ack(kTftpAck, 1), false, &client);
            for (auto data = awaitDatagram(loop, client); data; data = awaitDatagram(loop, client)) {
                toServer(ack(kTftpAck, u16(*data, 2)), false, &client);
                if (data->size() < 4 + 512)
                    break;
            }
        }
        workers.reset();
        EXPECT_EQ(server.transferCount(), 0u);
    }
}

} // namespace
