#include "sim/boardsim/memory_serial_port.h"

namespace sim::boardsim {

using std::chrono::milliseconds;

MemorySerialPort::MemorySerialPort(platform::Clock& clock, Board& board)
    : m_clock(clock)
    , m_board(board)
{
}

platform::Result<void> MemorySerialPort::configure(const platform::SerialSettings& settings)
{
    m_settings = settings;
    m_board.setLine(settings);
    return {};
}

platform::Result<void> MemorySerialPort::setTimeouts(const platform::SerialTimeouts& timeouts)
{
    m_timeouts = timeouts;
    return {};
}

platform::Result<void> MemorySerialPort::purge()
{
    collect();
    m_input.clear();
    return {};
}

platform::Result<void> MemorySerialPort::setEventMask(std::uint32_t mask)
{
    m_mask = mask;
    return {};
}

void MemorySerialPort::collect()
{
    std::vector<std::uint8_t> due;
    if (m_board.takeDue(due))
        m_lineError = true;
    m_input.insert(m_input.end(), due.begin(), due.end());
}

bool MemorySerialPort::waitUntil(platform::TimePoint until)
{
    const platform::TimePoint now = m_clock.now();
    if (now >= until)
        return false;
    const auto due = m_board.nextDue();
    if (due && *due <= until) {
        if (*due > now)
            m_clock.sleepFor(*due - now);
        return true;
    }
    m_clock.sleepFor(until - now);
    return false;
}

platform::IoResult MemorySerialPort::write(const std::uint8_t* data, std::size_t size)
{
    m_writes.emplace_back(data, data + size);
    m_board.receive(data, size);
    return { platform::IoStatus::Done, size };
}

platform::IoResult MemorySerialPort::read(std::uint8_t* buffer, std::size_t size, platform::Duration limit)
{
    const platform::TimePoint start = m_clock.now();
    const bool atOnce = m_timeouts.readInterval == platform::SerialTimeouts::kReturnAtOnce
        && m_timeouts.readMultiplier == 0 && m_timeouts.readConstant == 0;
    const std::uint64_t totalMs
        = std::uint64_t { m_timeouts.readMultiplier } * size + std::uint64_t { m_timeouts.readConstant };
    std::size_t done = 0;
    platform::TimePoint lastByte = start;
    for (;;) {
        collect();
        while (done < size && !m_input.empty()) {
            buffer[done++] = m_input.front();
            m_input.pop_front();
            lastByte = m_clock.now();
        }
        if (done == size || atOnce)
            return { platform::IoStatus::Done, done };
        platform::TimePoint end = start + limit;
        bool endIsLimit = true;
        if (totalMs != 0 && start + milliseconds(totalMs) <= end) {
            end = start + milliseconds(totalMs);
            endIsLimit = false;
        }
        if (m_timeouts.readInterval != 0 && done > 0 && lastByte + milliseconds(m_timeouts.readInterval) <= end) {
            end = lastByte + milliseconds(m_timeouts.readInterval);
            endIsLimit = false;
        }
        if (!waitUntil(end)) {
            collect();
            if (m_input.empty() || m_clock.now() >= end) {
                if (endIsLimit)
                    return { platform::IoStatus::TimedOut, done };
                return { platform::IoStatus::Done, done };
            }
        }
    }
}

platform::IoResult MemorySerialPort::waitEvent(platform::Duration limit, std::uint32_t& events)
{
    events = 0;
    if (m_mask == 0)
        return { platform::IoStatus::FailedAtOnce, 0 };
    const platform::TimePoint end = m_clock.now() + limit;
    for (;;) {
        collect();
        if ((m_mask & platform::kSerialEventRxChar) && !m_input.empty())
            events |= platform::kSerialEventRxChar;
        if ((m_mask & platform::kSerialEventLineError) && m_lineError)
            events |= platform::kSerialEventLineError;
        if (events)
            return { platform::IoStatus::Done, 0 };
        if (!waitUntil(end)) {
            collect();
            if (m_input.empty() && !m_lineError)
                return { platform::IoStatus::TimedOut, 0 };
        }
    }
}

platform::Result<platform::SerialStatus> MemorySerialPort::clearErrors()
{
    collect();
    platform::SerialStatus status;
    if (m_lineError)
        status.errors = platform::kSerialErrorParity;
    m_lineError = false;
    status.inQueue = m_input.size();
    return status;
}

} // namespace sim::boardsim
