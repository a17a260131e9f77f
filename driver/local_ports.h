#pragma once

#include <atomic>
#include <cstdint>

namespace driver {

// The driver-wide local port of the next client endpoint. Ports run 6001,
// 6002 ... 6143, 5888, 5889 ...: the low byte wraps without a carry, so the
// sequence cycles through the 256 ports 5888 to 6143.
class LocalPortSequence {
public:
    static constexpr std::uint16_t kFirst = 6001;

    static constexpr std::uint16_t after(std::uint16_t port)
    {
        return static_cast<std::uint16_t>((port & 0xFF00) | ((port + 1) & 0x00FF));
    }

    std::uint16_t next() const { return m_next.load(); }

    // Takes the next port for an endpoint about to open. Two ports opening at
    // the same moment get different ports.
    std::uint16_t claim()
    {
        std::uint16_t port = m_next.load();
        while (!m_next.compare_exchange_weak(port, after(port))) { }
        return port;
    }

    // A failed open hands its port back, so the sequence is as if it had not
    // been tried; unless another endpoint has claimed a port since.
    void giveBack(std::uint16_t port)
    {
        std::uint16_t expected = after(port);
        m_next.compare_exchange_strong(expected, port);
    }

private:
    std::atomic<std::uint16_t> m_next { kFirst };
};

} // namespace driver
