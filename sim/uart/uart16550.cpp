#include "sim/uart/uart16550.h"

namespace sim::uart {

std::uint8_t Uart16550::read(unsigned offset)
{
    switch (offset & 7) {
    case kData:
        if (dlab())
            return m_divisorLow;
        if (!m_rx.empty()) {
            m_lastRead = m_rx.front().value;
            m_rx.pop_front();
        }
        return m_lastRead;
    case kInterruptEnable:
        return dlab() ? m_divisorHigh : m_interruptEnable;
    case kFifoControl: {
        // Interrupt identification: FIFO bits, then "no interrupt pending"
        // unless received data waits.
        std::uint8_t id = fifoEnabled() ? 0xC0 : 0x00;
        id |= m_rx.empty() ? 0x01 : 0x04;
        return id;
    }
    case kLineControl:
        return m_lineControl;
    case kModemControl:
        return m_modemControl;
    case kLineStatus: {
        std::uint8_t status = kTransmitEmpty | kTransmitterIdle | m_pendingErrors;
        if (!m_rx.empty()) {
            status |= kDataReady;
            status |= m_rx.front().errors;
        }
        for (const auto& byte : m_rx) {
            if (byte.errors)
                status |= kFifoError;
        }
        m_pendingErrors = 0;
        if (!m_rx.empty())
            m_rx.front().errors = 0;
        return status;
    }
    case kModemStatus:
        // Loop-back wiring of the board: CTS, DSR and DCD follow our outputs.
        return static_cast<std::uint8_t>(((m_modemControl & 0x02) ? 0x10 : 0) | ((m_modemControl & 0x01) ? 0x20 : 0)
            | ((m_modemControl & 0x01) ? 0x80 : 0));
    default:
        return m_scratch;
    }
}

void Uart16550::write(unsigned offset, std::uint8_t value)
{
    switch (offset & 7) {
    case kData:
        if (dlab()) {
            m_divisorLow = value;
        } else if (m_transmit) {
            m_transmit(value);
        }
        break;
    case kInterruptEnable:
        if (dlab())
            m_divisorHigh = value;
        else
            m_interruptEnable = value & 0x0F;
        break;
    case kFifoControl:
        m_fifoControl = value;
        if (value & 0x02)
            m_rx.clear();
        break;
    case kLineControl:
        m_lineControl = value;
        break;
    case kModemControl:
        m_modemControl = value & 0x1F;
        break;
    case kLineStatus:
    case kModemStatus:
        break;
    default:
        m_scratch = value;
    }
}

void Uart16550::receive(std::uint8_t byte, std::uint8_t errorBits)
{
    const std::size_t capacity = fifoEnabled() ? kFifoSize : 1;
    if (m_rx.size() >= capacity) {
        m_pendingErrors |= kOverrunError;
        return;
    }
    m_rx.push_back({ byte, static_cast<std::uint8_t>(errorBits & (kParityError | kFramingError | kBreak)) });
}

std::uint32_t Uart16550::baud() const
{
    const unsigned divisor = static_cast<unsigned>(m_divisorHigh) << 8 | m_divisorLow;
    return divisor == 0 ? 0 : kClockBaud / divisor;
}

} // namespace sim::uart
