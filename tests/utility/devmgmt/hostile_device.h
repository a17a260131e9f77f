#pragma once

#include "platform/event_loop.h"
#include "platform/net.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// A whole QueryReply as a well-behaved device sends it: server mode, TCP
// data, both management ways, data port 4001 (client port 4002), 9600 8N1,
// no flow control.
inline std::vector<std::uint8_t> deviceRecord(
    const std::string& name, std::uint8_t macLast, const std::string& address, std::uint8_t opcode = 0x01)
{
    std::vector<std::uint8_t> record(438, 0);
    const std::string signature = "ZORVVROZ";
    std::copy(signature.begin(), signature.end(), record.begin());
    record[8] = opcode;
    std::copy_n(name.begin(), std::min<std::size_t>(name.size(), 16), record.begin() + 10);
    const std::uint8_t mac[] = { 0x02, 0x48, 0x4F, 0x53, 0x54, macLast };
    std::copy(mac, mac + 6, record.begin() + 26);
    record[32] = 0x07;
    const auto ip = platform::parseIpv4(address).value_or(0);
    for (int i = 0; i < 4; ++i) {
        record[34 + i] = static_cast<std::uint8_t>(ip >> (24 - 8 * i));
        record[38 + i] = record[34 + i];
    }
    record[42] = 4001 >> 8;
    record[43] = 4001 & 0xFF;
    record[52] = 4002 >> 8; // the client destination port Submit checks too
    record[53] = 4002 & 0xFF;
    const std::uint8_t netmask[] = { 255, 0, 0, 0 };
    std::copy(netmask, netmask + 4, record.begin() + 54);
    record[66] = 5 << 3 | 3; // 9600 baud, 8 data bits
    record[67] = 2 << 5 | 2 << 2; // no parity, no flow control, 1 stop bit
    return record;
}

// A device server on the loopback that answers the utility's requests as
// the test scripts it: from an address other than the one asked, with
// short records, control characters, fields at their maximum, floods.
// Each address it is given gets a socket on the device command port; one
// socket on the broadcast port takes searches. Works on any event loop: a
// virtual one in unit tests, or its own thread (runInThread) beside a
// program under test.
class HostileDevice {
public:
    // A datagram to send: from which of the device's addresses, and its bytes.
    struct Reply {
        std::string from;
        std::vector<std::uint8_t> bytes;
    };
    // Given a request and whether it came by broadcast, the replies.
    using Script = std::function<std::vector<Reply>(std::span<const std::uint8_t> request, bool search)>;

    HostileDevice(platform::EventLoop& loop, std::vector<std::string> addresses, Script script,
        std::uint16_t commandPort = 25124, std::uint16_t searchPort = 25122)
        : m_loop(loop)
        , m_script(std::move(script))
    {
        for (const auto& address : addresses)
            m_sockets.push_back({ address, open(address, commandPort, false) });
        m_search = open("0.0.0.0", searchPort, true);
        // Multicast searches reach it through the group on the loopback.
        (void)m_search.joinMulticast(*platform::parseIpv4("225.1.2.3"), *platform::parseIpv4("127.0.0.1"));
        for (auto& [address, socket] : m_sockets)
            watch(socket, false);
        watch(m_search, true);
    }

    ~HostileDevice()
    {
        if (m_pacer != 0)
            m_loop.killTimer(m_pacer);
        for (auto& [address, socket] : m_sockets)
            m_loop.unwatchFd(socket.fd());
        m_loop.unwatchFd(m_search.fd());
    }

    HostileDevice(const HostileDevice&) = delete;
    HostileDevice& operator=(const HostileDevice&) = delete;

    // At most this many replies per millisecond (0: all at once). A flood
    // sent in one burst would only overflow the receiver's socket buffer.
    void pace(int perMillisecond) { m_perMillisecond = perMillisecond; }

    // The requests received so far: opcode byte (-1 for a datagram shorter
    // than the header) and the address they were sent to.
    struct Request {
        int opcode = -1;
        std::string to;
        std::size_t length = 0;
    };
    std::vector<Request> requests() const
    {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }
    std::size_t sent() const
    {
        std::lock_guard lock(m_mutex);
        return m_sent;
    }

private:
    static platform::UdpSocket open(const std::string& address, std::uint16_t port, bool reuse)
    {
        auto socket = platform::UdpSocket::open();
        EXPECT_TRUE(socket.ok());
        if (reuse)
            (void)socket->setReuseAddress(true);
        auto bound = socket->bind(address, port);
        EXPECT_TRUE(bound.ok()) << address << ":" << port << " " << (bound.ok() ? "" : bound.error().message);
        return std::move(socket.value());
    }

    void watch(platform::UdpSocket& socket, bool search)
    {
        const std::string to = search ? std::string("broadcast") : socket.localEndpoint().text();
        m_loop.watchFd(socket.fd(), platform::kIoRead, [this, &socket, search, to](unsigned) {
            std::array<std::uint8_t, 2048> buffer {};
            platform::Endpoint from;
            while (true) {
                auto n = socket.receiveFrom(buffer, from);
                if (!n.ok())
                    return;
                const std::span<const std::uint8_t> request(buffer.data(), *n);
                {
                    std::lock_guard lock(m_mutex);
                    m_requests.push_back({ *n > 8 ? request[8] : -1, to, *n });
                }
                for (auto& reply : m_script(request, search))
                    m_queue.push_back({ std::move(reply), from });
                flush();
            }
        });
    }

    platform::UdpSocket* socketOf(const std::string& address)
    {
        for (auto& [bound, socket] : m_sockets)
            if (bound == address)
                return &socket;
        return nullptr;
    }

    void sendOne()
    {
        auto [reply, to] = std::move(m_queue.front());
        m_queue.pop_front();
        platform::UdpSocket* socket = socketOf(reply.from);
        EXPECT_NE(socket, nullptr) << "no socket on " << reply.from;
        if (socket != nullptr && socket->sendTo(to, reply.bytes).ok()) {
            std::lock_guard lock(m_mutex);
            ++m_sent;
        }
    }

    void flush()
    {
        if (m_perMillisecond == 0) {
            while (!m_queue.empty())
                sendOne();
            return;
        }
        if (m_pacer != 0)
            return;
        m_pacer = m_loop.startTimer(std::chrono::milliseconds(1), [this] {
            for (int i = 0; i < m_perMillisecond && !m_queue.empty(); ++i)
                sendOne();
            if (m_queue.empty()) {
                m_loop.killTimer(m_pacer);
                m_pacer = 0;
            }
        });
    }

    platform::EventLoop& m_loop;
    Script m_script;
    std::vector<std::pair<std::string, platform::UdpSocket>> m_sockets;
    platform::UdpSocket m_search;
    struct Pending {
        Reply reply;
        platform::Endpoint to;
    };
    std::deque<Pending> m_queue;
    int m_perMillisecond = 0;
    platform::TimerId m_pacer = 0;
    mutable std::mutex m_mutex; // protects m_requests and m_sent, read by the test's thread
    std::vector<Request> m_requests;
    std::size_t m_sent = 0;
};

// A hostile device with a loop of its own on a thread, for tests that run a
// program beside it.
class HostileDeviceThread {
public:
    HostileDeviceThread(std::vector<std::string> addresses, HostileDevice::Script script, int perMillisecond = 0)
        : m_loop(platform::makeEpollLoop())
        , m_device(std::make_unique<HostileDevice>(*m_loop, std::move(addresses), std::move(script)))
    {
        m_device->pace(perMillisecond);
        m_thread = std::thread([this] { m_loop->run(); });
    }
    ~HostileDeviceThread()
    {
        m_loop->post([this] { m_loop->quit(0); });
        m_thread.join();
        m_device.reset();
    }
    HostileDeviceThread(const HostileDeviceThread&) = delete;
    HostileDeviceThread& operator=(const HostileDeviceThread&) = delete;

    HostileDevice& device() { return *m_device; }

private:
    std::unique_ptr<platform::EventLoop> m_loop;
    std::unique_ptr<HostileDevice> m_device;
    std::thread m_thread;
};

} // namespace testing_support
