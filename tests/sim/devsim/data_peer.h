#pragma once

#include "platform/event_loop.h"
#include "platform/net.h"
#include "platform/serial_port.h"
#include "platform/tcp_socket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace devsim_test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

inline Bytes frame(std::uint8_t type, const Bytes& payload)
{
    Bytes bytes { type, static_cast<std::uint8_t>(payload.size() >> 8), static_cast<std::uint8_t>(payload.size()) };
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

// Runs the devices' loop (no virtual time passes) until the condition holds
// or a real-time guard passes; loopback and ptys deliver at once.
template <typename Condition> bool pumpUntil(platform::VirtualLoop& loop, Condition condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        loop.processPending();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// The port's end of a TCP data connection.
class TcpPort {
public:
    bool connect(platform::VirtualLoop& loop, const platform::Endpoint& to)
    {
        auto socket = platform::TcpSocket::open();
        if (!socket.ok() || !socket->bind(platform::Ipv4 { 0x7F000001 }, 0).ok())
            return false;
        m_socket = std::move(*socket);
        auto started = m_socket.connect(to);
        if (!started.ok())
            return false;
        // The device accepts on the loop; the handshake itself is the kernel's.
        return pumpUntil(loop, [&] { return m_socket.finishConnect().ok(); });
    }

    platform::TcpSocket& socket() { return m_socket; }
    void adopt(platform::TcpSocket socket) { m_socket = std::move(socket); }

    void send(platform::VirtualLoop& loop, const Bytes& bytes)
    {
        std::size_t done = 0;
        ASSERT_TRUE(pumpUntil(loop, [&] {
            auto sent = m_socket.send(std::span<const std::uint8_t>(bytes).subspan(done));
            if (sent.ok())
                done += *sent;
            // Reads meanwhile, as a port does, so a device that answers
            // cannot wedge both sides.
            readAvailable();
            return done == bytes.size();
        }));
        loop.processPending();
    }

    // Everything that arrives until `count` bytes are there (or the guard passes).
    Bytes receive(platform::VirtualLoop& loop, std::size_t count)
    {
        pumpUntil(loop, [&] {
            readAvailable();
            return m_received.size() >= count;
        });
        Bytes result(
            m_received.begin(), m_received.begin() + static_cast<std::ptrdiff_t>(std::min(count, m_received.size())));
        m_received.erase(m_received.begin(), m_received.begin() + static_cast<std::ptrdiff_t>(result.size()));
        return result;
    }

    // One framed packet: header, then its payload.
    Bytes receivePacket(platform::VirtualLoop& loop)
    {
        Bytes header = receive(loop, 3);
        if (header.size() < 3)
            return header;
        Bytes payload = receive(loop, (std::size_t { header[1] } << 8) | header[2]);
        header.insert(header.end(), payload.begin(), payload.end());
        return header;
    }

    // True when the device closed or reset the connection.
    bool closedByDevice(platform::VirtualLoop& loop)
    {
        return pumpUntil(loop, [&] { return readAvailable() == Outcome::Closed; });
    }

    // What arrived without waiting for more (after one settle of the loop).
    Bytes drain(platform::VirtualLoop& loop)
    {
        for (int i = 0; i < 20; ++i) {
            loop.processPending();
            readAvailable();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        Bytes result;
        result.swap(m_received);
        return result;
    }

private:
    enum class Outcome { Data, Nothing, Closed };
    Outcome readAvailable()
    {
        Outcome outcome = Outcome::Nothing;
        std::uint8_t buffer[4096];
        while (true) {
            auto got = m_socket.receive(buffer);
            if (!got.ok())
                return got.error().code == EAGAIN ? outcome : Outcome::Closed;
            if (*got == 0)
                return Outcome::Closed;
            m_received.insert(m_received.end(), buffer, buffer + *got);
            outcome = Outcome::Data;
        }
    }

    platform::TcpSocket m_socket;
    Bytes m_received;
};

// The program on the device's pty, through the serial port layer.
class SerialPeer {
public:
    bool open(const std::string& path)
    {
        auto port = platform::openSerialPort(path, platform::RealClock::instance());
        if (!port.ok())
            return false;
        m_port = std::move(*port);
        platform::SerialTimeouts timeouts;
        timeouts.readInterval = platform::SerialTimeouts::kReturnAtOnce;
        return m_port->setTimeouts(timeouts).ok();
    }

    platform::SerialPort& port() { return *m_port; }

    void write(platform::VirtualLoop& loop, const Bytes& bytes)
    {
        ASSERT_TRUE(m_port->write(bytes.data(), bytes.size()).ok());
        loop.processPending();
    }

    Bytes read(platform::VirtualLoop& loop, std::size_t count)
    {
        Bytes result;
        pumpUntil(loop, [&] {
            std::uint8_t buffer[4096];
            auto got
                = m_port->read(buffer, std::min(sizeof buffer, count - result.size()), std::chrono::milliseconds(0));
            result.insert(result.end(), buffer, buffer + got.count);
            return result.size() >= count;
        });
        return result;
    }

private:
    std::unique_ptr<platform::SerialPort> m_port;
};

} // namespace devsim_test
