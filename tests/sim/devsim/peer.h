#pragma once

#include "platform/event_loop.h"
#include "platform/net.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace devsim_test {

struct Datagram {
    std::vector<std::uint8_t> bytes;
    platform::Endpoint from;
};

inline platform::Ipv4 ip(const char* text) { return *platform::parseIpv4(text); }

inline std::vector<std::uint8_t> header(std::uint8_t code, std::size_t size = 9)
{
    // A shorter size gives a cut-off header (for malformed requests).
    std::vector<std::uint8_t> bytes(std::max<std::size_t>(size, 9), 0);
    const std::string signature = "ZORVVROZ";
    std::copy(signature.begin(), signature.end(), bytes.begin());
    bytes[8] = code;
    bytes.resize(size);
    return bytes;
}

// The utility's side of an exchange, with a plain socket: sends requests and
// gathers what comes back while the devices' loop runs.
class Peer {
public:
    explicit Peer(bool broadcast = false, const char* address = "127.0.0.1")
    {
        auto socket = platform::UdpSocket::open();
        EXPECT_TRUE(socket.ok());
        m_socket = std::move(*socket);
        if (broadcast) {
            EXPECT_TRUE(m_socket.setBroadcast(true).ok());
        }
        EXPECT_TRUE(m_socket.bind(address, 0).ok());
    }

    platform::UdpSocket& socket() { return m_socket; }

    void send(const platform::Endpoint& to, const std::vector<std::uint8_t>& bytes)
    {
        ASSERT_TRUE(m_socket.sendTo(to, bytes).ok());
    }

    // Runs the loop (no virtual time passes) until `count` datagrams came or
    // a real-time limit passed; returns what came. The limit only guards
    // against a hang: loopback delivers at once.
    std::vector<Datagram> collect(platform::VirtualLoop& loop, std::size_t count,
        std::chrono::milliseconds limit = std::chrono::milliseconds(2000))
    {
        std::vector<Datagram> result;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (result.size() < count && std::chrono::steady_clock::now() < deadline) {
            loop.processPending();
            if (!receiveInto(result))
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return result;
    }

    // Checks that nothing arrives: a short real wait, as absence has no event.
    std::vector<Datagram> drain(platform::VirtualLoop& loop)
    {
        return collect(loop, static_cast<std::size_t>(-1), std::chrono::milliseconds(50));
    }

private:
    bool receiveInto(std::vector<Datagram>& result)
    {
        bool any = false;
        while (true) {
            Datagram datagram;
            datagram.bytes.resize(2048);
            auto received = m_socket.receiveFrom(datagram.bytes, datagram.from);
            if (!received.ok())
                return any;
            datagram.bytes.resize(*received);
            result.push_back(std::move(datagram));
            any = true;
        }
    }

    platform::UdpSocket m_socket;
};

} // namespace devsim_test
