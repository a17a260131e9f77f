#pragma once

#include "platform/clock.h"
#include "platform/port_io.h"
#include "sim/boardsim/board.h"
#include "sim/uart/uart16550.h"

#include <mutex>

namespace sim::boardsim {

// A board wired to a 16550 UART at a legacy I/O base, reached register by
// register through Inp32/Out32. Other addresses read as a floating bus (0xFF).
// Reply bytes enter the receive FIFO when they fall due on the board's clock.
class UartBoard final : public platform::PortIo {
public:
    UartBoard(platform::Clock& clock, const BoardOptions& options);

    std::uint8_t Inp32(std::uint16_t address) override;
    void Out32(std::uint16_t address, std::uint8_t value) override;

    Board& board() { return m_board; }
    std::uint16_t base() const { return m_base; }

private:
    void pump();
    void lineChanged();

    Board m_board;
    std::uint16_t m_base;
    std::mutex m_mutex; // protects m_uart (module entry points may be called from any thread)
    sim::uart::Uart16550 m_uart;
};

} // namespace sim::boardsim
