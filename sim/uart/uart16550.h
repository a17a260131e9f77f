#pragma once

#include <cstdint>
#include <deque>
#include <functional>

namespace sim::uart {

// Register model of a 16550 UART with FIFOs, as seen at its eight I/O
// addresses. The transmitter is infinitely fast: a byte written to the
// transmit holding register goes straight to the transmit handler, so the
// holding register is always empty.
class Uart16550 {
public:
    // Register offsets.
    static constexpr unsigned kData = 0; // receive buffer / transmit holding; divisor low with DLAB
    static constexpr unsigned kInterruptEnable = 1; // divisor high with DLAB
    static constexpr unsigned kFifoControl = 2; // write; interrupt identification on read
    static constexpr unsigned kLineControl = 3;
    static constexpr unsigned kModemControl = 4;
    static constexpr unsigned kLineStatus = 5;
    static constexpr unsigned kModemStatus = 6;
    static constexpr unsigned kScratch = 7;

    // Line status bits.
    static constexpr std::uint8_t kDataReady = 0x01;
    static constexpr std::uint8_t kOverrunError = 0x02;
    static constexpr std::uint8_t kParityError = 0x04;
    static constexpr std::uint8_t kFramingError = 0x08;
    static constexpr std::uint8_t kBreak = 0x10;
    static constexpr std::uint8_t kTransmitEmpty = 0x20;
    static constexpr std::uint8_t kTransmitterIdle = 0x40;
    static constexpr std::uint8_t kFifoError = 0x80;

    static constexpr std::size_t kFifoSize = 16;
    static constexpr std::uint32_t kClockBaud = 115200; // input clock / 16

    using TransmitHandler = std::function<void(std::uint8_t)>;

    void setTransmitHandler(TransmitHandler handler) { m_transmit = std::move(handler); }

    std::uint8_t read(unsigned offset);
    void write(unsigned offset, std::uint8_t value);

    // A byte arrives on the receive line, with the line status error bits it
    // came with (parity, framing, break). Lost with an overrun when the FIFO
    // (or, without FIFOs, the holding register) is full.
    void receive(std::uint8_t byte, std::uint8_t errorBits = 0);

    // A character lost to a line error: only the error bits remain.
    void lineError(std::uint8_t errorBits) { m_pendingErrors |= errorBits & (kParityError | kFramingError | kBreak); }

    // The line as the registers program it.
    std::uint32_t baud() const; // 0 while the divisor is 0
    std::uint8_t lineControl() const { return m_lineControl; }
    std::uint8_t modemControl() const { return m_modemControl; }
    bool fifoEnabled() const { return (m_fifoControl & 0x01) != 0; }
    std::size_t receivedWaiting() const { return m_rx.size(); }

private:
    struct RxByte {
        std::uint8_t value;
        std::uint8_t errors;
    };
    bool dlab() const { return (m_lineControl & 0x80) != 0; }

    TransmitHandler m_transmit;
    std::deque<RxByte> m_rx;
    std::uint8_t m_lastRead = 0;
    std::uint8_t m_divisorLow = 0;
    std::uint8_t m_divisorHigh = 0;
    std::uint8_t m_interruptEnable = 0;
    std::uint8_t m_fifoControl = 0;
    std::uint8_t m_lineControl = 0;
    std::uint8_t m_modemControl = 0;
    std::uint8_t m_scratch = 0;
    std::uint8_t m_pendingErrors = 0; // error bits held until the line status is read
};

} // namespace sim::uart
