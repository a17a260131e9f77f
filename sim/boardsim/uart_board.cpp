#include "sim/boardsim/uart_board.h"

namespace sim::boardsim {

UartBoard::UartBoard(platform::Clock& clock, const BoardOptions& options)
    : m_board(clock, options)
    , m_base(options.uartBase)
{
    m_uart.setTransmitHandler([this](std::uint8_t byte) { m_board.receive(&byte, 1); });
    lineChanged();
}

void UartBoard::lineChanged()
{
    platform::SerialSettings line;
    line.baud = m_uart.baud();
    const std::uint8_t lcr = m_uart.lineControl();
    line.dataBits = 5 + (lcr & 0x03);
    line.stopBits = (lcr & 0x04) ? 2 : 1;
    line.parity
        = !(lcr & 0x08) ? platform::Parity::None : ((lcr & 0x10) ? platform::Parity::Even : platform::Parity::Odd);
    m_board.setLine(line);
}

void UartBoard::pump()
{
    std::vector<std::uint8_t> due;
    if (m_board.takeDue(due))
        m_uart.lineError(sim::uart::Uart16550::kFramingError);
    for (std::uint8_t byte : due)
        m_uart.receive(byte);
}

std::uint8_t UartBoard::Inp32(std::uint16_t address)
{
    if (address < m_base || address >= m_base + 8)
        return 0xFF;
    std::lock_guard lock(m_mutex);
    pump();
    return m_uart.read(address - m_base);
}

void UartBoard::Out32(std::uint16_t address, std::uint8_t value)
{
    if (address < m_base || address >= m_base + 8)
        return;
    std::lock_guard lock(m_mutex);
    const unsigned offset = address - m_base;
    m_uart.write(offset, value);
    if (offset == sim::uart::Uart16550::kLineControl || offset <= sim::uart::Uart16550::kInterruptEnable)
        lineChanged();
    pump();
}

} // namespace sim::boardsim
