#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

namespace driver::host {

// VMIN and VTIME of a non-canonical terminal.
struct TtyReadRule {
    std::uint8_t min = 1;
    std::uint8_t time = 0; // tenths of a second
    bool operator==(const TtyReadRule&) const = default;
};

// One read of a non-canonical terminal while it waits, by the termios rules:
//   MIN 0, TIME 0: what is there, at once (0 bytes when none);
//   MIN 0, TIME t: the first bytes, or 0 bytes after t tenths;
//   MIN m, TIME 0: at least min(m, size) bytes, however long that takes;
//   MIN m, TIME t: min(m, size) bytes, or fewer when t tenths pass after a
//                  byte without another (no limit before the first byte).
// Bytes are moved into the read as they arrive, so a signal or a time-out
// answers with what it holds and nothing is lost.
class TtyRead {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    TtyRead(std::size_t size, TtyReadRule rule, TimePoint now);

    // Room for more bytes.
    std::size_t room() const { return m_size - m_bytes.size(); }
    // Bytes that arrived for this read.
    void take(std::span<const std::uint8_t> bytes, TimePoint now);
    const std::vector<std::uint8_t>& bytes() const { return m_bytes; }
    // Whether the read is answered now with what it holds.
    bool done(TimePoint now) const;
    // When it ends if no byte comes; none: only bytes end it.
    std::optional<TimePoint> deadline() const;

private:
    std::size_t m_size;
    TtyReadRule m_rule;
    TimePoint m_started;
    TimePoint m_lastByte;
    std::vector<std::uint8_t> m_bytes;
};

// What a serial character device holds to be sent, in the programs' order:
// bytes of O_NONBLOCK writes (already answered), blocking writes (answered
// when their last byte went) and requests that wait until everything before
// them went (tcdrain, TCSETSW, the last close). An O_NONBLOCK write takes
// what fits in the room the device has, as a UART's transmit buffer would.
class TtyOutput {
public:
    enum class Kind { Write, Barrier };
    // A request to answer: a write with the count that went (or `error`
    // when none did), a barrier that was reached (or interrupted: EINTR).
    struct Answer {
        std::uint64_t id;
        Kind kind;
        int error;
        std::size_t count;
        bool operator==(const Answer&) const = default;
    };

    explicit TtyOutput(std::size_t room);

    // Bytes not sent yet (TIOCOUTQ).
    std::size_t queued() const { return m_queued; }
    // What an O_NONBLOCK write may still put in; 0: EAGAIN.
    std::size_t room() const { return m_queued >= m_room ? 0 : m_room - m_queued; }
    // POLLOUT: as the kernel's tty layer, only once fewer than 256 bytes
    // wait, so a poller is not woken for every slice that goes.
    bool writable() const { return m_queued < kWakeUpBytes && room() > 0; }
    static constexpr std::size_t kWakeUpBytes = 256;
    bool empty() const { return m_entries.empty(); }

    // O_NONBLOCK: takes what fits and returns how much (answered at once).
    std::size_t put(std::span<const std::uint8_t> bytes);
    // A blocking write: answered when its last byte went.
    void putWaiting(std::uint64_t id, std::span<const std::uint8_t> bytes);
    // Answered when everything put before it went. A last close's barrier
    // (`lastClose`) is never given up: a signal (the program was killed)
    // answers it at once as reached, and what O_NONBLOCK writes left is
    // dropped, as a tty's close does when its wait is cut short.
    void putBarrier(std::uint64_t id, bool lastClose = false);

    // The next bytes to send, at most `limit`; empty when nothing is to be
    // sent (or a barrier is first: see reached()).
    std::span<const std::uint8_t> next(std::size_t limit) const;
    // `count` bytes of what next() gave went; with `error` the rest of that
    // write is given up (an O_NONBLOCK write's bytes silently).
    std::vector<Answer> sent(std::size_t count, int error);
    // Barriers that are first in line, answered and removed.
    std::vector<Answer> reached();
    // The program gave up request `id` (a signal): a write answers with
    // what went, or EINTR when nothing did; a drain with EINTR, a last
    // close as reached. Nothing when `id` is not held.
    std::optional<Answer> interrupt(std::uint64_t id);
    // Ids of the requests that wait.
    std::vector<std::uint64_t> waiting() const;
    // TCOFLUSH: drops what O_NONBLOCK writes left; blocking writes go on.
    void dropUnanswered();

private:
    struct Entry {
        Kind kind;
        std::optional<std::uint64_t> id; // none: an O_NONBLOCK write's bytes
        std::vector<std::uint8_t> bytes;
        std::size_t done = 0;
        bool lastClose = false;
    };
    std::size_t m_room;
    std::size_t m_queued = 0;
    std::deque<Entry> m_entries;
};

} // namespace driver::host
