#pragma once

#include "utility/services/tftp_server.h"

#include "platform/event_loop.h"
#include "platform/faults.h"
#include "platform/net.h"
#include "tests/support/scripted_prompter.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace tftp_test {

using namespace std::chrono_literals;
using namespace std::string_literals;
using namespace utility::services;
using Bytes = std::vector<std::uint8_t>;

inline Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline std::string text(const Bytes& data, std::size_t from = 0)
{
    return std::string(data.begin() + static_cast<long>(std::min(from, data.size())), data.end());
}

inline std::uint16_t u16(const Bytes& data, std::size_t at)
{
    return static_cast<std::uint16_t>(data[at] << 8 | data[at + 1]);
}

inline Bytes request(std::uint16_t opcode, const std::string& name, const std::string& mode = "octet",
    const std::vector<std::pair<std::string, std::string>>& options = {})
{
    std::string out;
    out += static_cast<char>(opcode >> 8);
    out += static_cast<char>(opcode & 0xFF);
    out += name + '\0' + mode + '\0';
    for (const auto& [key, value] : options)
        out += key + '\0' + value + '\0';
    return bytes(out);
}

inline Bytes ack(std::uint16_t opcode, std::uint16_t block)
{
    return { static_cast<std::uint8_t>(opcode >> 8), static_cast<std::uint8_t>(opcode),
        static_cast<std::uint8_t>(block >> 8), static_cast<std::uint8_t>(block) };
}

inline std::string pattern(std::size_t size)
{
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        out[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return out;
}

// A client socket of the test's own that remembers where the server's
// answers came from (the transfer's port).
struct Client {
    Client()
    {
        auto opened = platform::UdpSocket::open();
        EXPECT_TRUE(opened.ok());
        socket = std::move(*opened);
        EXPECT_TRUE(socket.bind("127.0.0.1", 0).ok());
    }
    platform::Endpoint endpoint() const { return socket.localEndpoint(); }

    platform::UdpSocket socket;
    platform::Endpoint transfer; // where the last answer came from
};

// The server on loopback in virtual time, a directory to serve and a client
// socket of the test's own.
class TftpServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::faults::reset();
        server.setLocalAddress("127.0.0.1");
        server.setFilePath(served.path());
        server.setSystemLog([this](const std::string& line) { systemLog.push_back(line); });
        server.setRunningCallback([this](bool running) { checked.push_back(running); });
    }

    void start()
    {
        server.toggle();
        ASSERT_TRUE(server.running());
    }

    // To port 69 (`listen`) or to the port the last answer came from.
    void toServer(const Bytes& datagram, bool listen = true, Client* from = nullptr)
    {
        Client& c = from ? *from : client;
        const platform::Endpoint to = listen ? server.listenEndpoint() : c.transfer;
        ASSERT_TRUE(c.socket.sendTo(to, datagram).ok());
        loop.processPending();
    }

    // The next datagram the server sent to the client, if any.
    std::optional<Bytes> fromServer(Client* to = nullptr)
    {
        Client& c = to ? *to : client;
        loop.processPending();
        Bytes buffer(70000);
        platform::Endpoint sender;
        auto received = c.socket.receiveFrom(buffer, sender);
        if (!received)
            return std::nullopt;
        c.transfer = sender;
        buffer.resize(*received);
        return buffer;
    }

    // Acknowledges every DATA until the server sends nothing more; returns
    // the data sizes in order and the file as received.
    std::vector<std::size_t> fetch(Bytes first, std::string& file, Client* c = nullptr)
    {
        std::vector<std::size_t> sizes;
        std::optional<Bytes> data = std::move(first);
        while (data) {
            EXPECT_EQ(u16(*data, 0), kTftpData);
            sizes.push_back(data->size() - 4);
            file += text(*data, 4);
            toServer(ack(kTftpAck, u16(*data, 2)), false, c);
            data = fromServer(c);
        }
        return sizes;
    }

    const TftpSession* session() const { return server.sessionFor(client.endpoint()); }
    bool fileOpen() const { return session() && session()->fileOpen(); }

    platform::FakeClock clock;
    platform::VirtualLoop loop { clock };
    testing_support::ScriptedPrompter prompter;
    testing_support::TempDir served;
    TftpServer server { loop, prompter };
    Client client;
    std::vector<std::string> systemLog;
    std::vector<bool> checked;
};

} // namespace tftp_test
