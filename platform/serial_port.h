#pragma once

#include "platform/clock.h"
#include "platform/result.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

enum class Parity { None, Even, Odd };

// Flow control. XonXoff uses 0x11/0x13 in both directions; Hardware is CTS
// output flow control with RTS as the handshake line.
enum class FlowControl { None, XonXoff, Hardware };

// Line settings of a serial port.
struct SerialSettings {
    std::uint32_t baud = 9600;
    int dataBits = 8;
    Parity parity = Parity::None;
    bool parityCheck = false; // report parity errors as line errors
    int stopBits = 1;
    bool dtr = true;
    bool rts = true;
    FlowControl flow = FlowControl::None;
};

// Time-outs in milliseconds, in the serial driver's model: a read ends when
// the buffer is full, when `readInterval` passes between two bytes (after the
// first), or when `readMultiplier` per requested byte plus `readConstant` have
// passed. A read interval of kReturnAtOnce with both read totals 0 makes a
// read return at once with whatever has arrived. Zero totals mean no limit.
struct SerialTimeouts {
    static constexpr std::uint32_t kReturnAtOnce = 0xFFFFFFFFu;
    std::uint32_t readInterval = 0;
    std::uint32_t readMultiplier = 0;
    std::uint32_t readConstant = 0;
    std::uint32_t writeMultiplier = 0;
    std::uint32_t writeConstant = 0;
};

// Communication events a caller can wait for.
inline constexpr std::uint32_t kSerialEventRxChar = 0x0001; // a character arrived
inline constexpr std::uint32_t kSerialEventLineError = 0x0080; // framing, parity or overrun error

// Line error bits reported by clearErrors().
inline constexpr std::uint32_t kSerialErrorOverrun = 0x0002;
inline constexpr std::uint32_t kSerialErrorParity = 0x0004;
inline constexpr std::uint32_t kSerialErrorFrame = 0x0008;
inline constexpr std::uint32_t kSerialErrorBreak = 0x0010;

// How an I/O operation ended. The stages keep apart what callers report
// differently: an operation refused outright, a failure while waiting for it,
// its time limit, and a failure of the transfer itself once it was under way.
enum class IoStatus {
    Done, // finished; `count` tells how much was transferred
    FailedAtOnce, // refused before anything happened
    WaitFailed, // waiting for the operation failed
    TimedOut, // the caller's limit for the operation passed
    CompletionFailed, // the transfer failed after it had started
};

struct IoResult {
    IoStatus status = IoStatus::Done;
    std::size_t count = 0;
    bool ok() const { return status == IoStatus::Done; }
};

struct SerialStatus {
    std::uint32_t errors = 0; // kSerialError* bits seen since the last clear
    std::size_t inQueue = 0; // bytes waiting to be read
    std::size_t outQueue = 0; // bytes not yet sent
};

// An open serial port. One operation at a time; not thread safe.
class SerialPort {
public:
    virtual ~SerialPort() = default;

    virtual Result<SerialSettings> settings() = 0;
    virtual Result<void> configure(const SerialSettings& settings) = 0;
    virtual Result<void> setTimeouts(const SerialTimeouts& timeouts) = 0;
    // Sizes the driver queues; a hint that a port may ignore.
    virtual Result<void> setQueueSizes(std::size_t input, std::size_t output) = 0;
    // Drops everything queued in both directions.
    virtual Result<void> purge() = 0;
    // Selects the events waitEvent() reports (kSerialEvent* bits).
    virtual Result<void> setEventMask(std::uint32_t mask) = 0;

    // Writes under the write time-outs.
    virtual IoResult write(const std::uint8_t* data, std::size_t size) = 0;
    // Reads under the read time-outs; gives up with TimedOut when the read has
    // not ended within `limit`.
    virtual IoResult read(std::uint8_t* buffer, std::size_t size, Duration limit) = 0;
    // Waits until one of the selected events is present, at most `limit`.
    // `events` receives the events found.
    virtual IoResult waitEvent(Duration limit, std::uint32_t& events) = 0;
    // Reads and clears the line error state, with the queue counts.
    virtual Result<SerialStatus> clearErrors() = 0;
    // The device file the port was opened from; empty for a port that has none.
    virtual std::string devicePath() const { return {}; }
};

// Opens a serial device exclusively (termios). Waits and time-outs are
// measured on `clock`, which must outlive the port.
Result<std::unique_ptr<SerialPort>> openSerialPort(const std::string& devicePath, Clock& clock);

} // namespace platform
