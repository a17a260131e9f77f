#pragma once

#include "platform/clock.h"
#include "platform/serial_port.h"
#include "sim/boardsim/board.h"

#include <deque>
#include <memory>

namespace sim::boardsim {

// A serial port wired straight to a board in the same process, with the
// driver's time-outs and events played on the clock. Unlike a
// pseudo-terminal it carries line errors, and with a virtual clock every wait
// takes no real time.
class MemorySerialPort final : public platform::SerialPort {
public:
    MemorySerialPort(platform::Clock& clock, Board& board);

    platform::Result<platform::SerialSettings> settings() override { return m_settings; }
    platform::Result<void> configure(const platform::SerialSettings& settings) override;
    platform::Result<void> setTimeouts(const platform::SerialTimeouts& timeouts) override;
    platform::Result<void> setQueueSizes(std::size_t, std::size_t) override { return {}; }
    platform::Result<void> purge() override;
    platform::Result<void> setEventMask(std::uint32_t mask) override;
    platform::IoResult write(const std::uint8_t* data, std::size_t size) override;
    platform::IoResult read(std::uint8_t* buffer, std::size_t size, platform::Duration limit) override;
    platform::IoResult waitEvent(platform::Duration limit, std::uint32_t& events) override;
    platform::Result<platform::SerialStatus> clearErrors() override;

    // Everything the PC side wrote, in order.
    const std::vector<std::vector<std::uint8_t>>& writes() const { return m_writes; }

private:
    void collect();
    // Sleeps on the clock until the next reply is due or `until`, whichever
    // comes first; false when nothing more can arrive before `until`.
    bool waitUntil(platform::TimePoint until);

    platform::Clock& m_clock;
    Board& m_board;
    platform::SerialSettings m_settings;
    platform::SerialTimeouts m_timeouts;
    std::uint32_t m_mask = 0;
    std::deque<std::uint8_t> m_input;
    bool m_lineError = false;
    std::vector<std::vector<std::uint8_t>> m_writes;
};

} // namespace sim::boardsim
