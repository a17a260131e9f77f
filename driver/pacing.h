#pragma once

#include "platform/clock.h"

#include <cstdint>

namespace driver {

// Holds a write to the emulated line rate: ten bit times a byte (start, eight
// data bits, stop), counted from the write's start to the nanosecond, so
// neither rounding nor the time a send took adds up over a long write.
class LinePacer {
public:
    LinePacer(platform::Clock& clock, std::uint32_t baudRate)
        : m_clock(clock)
        , m_baudRate(baudRate < 10 ? 10 : baudRate)
        , m_start(clock.now())
    {
    }

    // How long `bytes` take on the line.
    static platform::Duration lineTime(std::uint64_t bytes, std::uint32_t baudRate)
    {
        const std::uint64_t rate = baudRate < 10 ? 10 : baudRate;
        const std::uint64_t bits = bytes * 10;
        constexpr std::uint64_t kNanoseconds = 1'000'000'000;
        // In two parts, so that no product outgrows 64 bits.
        return platform::Duration((bits / rate) * kNanoseconds + (bits % rate) * kNanoseconds / rate);
    }

    // `bytes` more went out: waits until the line would have carried every
    // byte of the write so far.
    void sent(std::uint64_t bytes)
    {
        m_sent += bytes;
        const platform::TimePoint due = m_start + lineTime(m_sent, m_baudRate);
        const platform::TimePoint now = m_clock.now();
        if (due > now)
            m_clock.sleepFor(due - now);
    }

private:
    platform::Clock& m_clock;
    const std::uint32_t m_baudRate;
    const platform::TimePoint m_start;
    std::uint64_t m_sent = 0;
};

} // namespace driver
