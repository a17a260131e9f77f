#pragma once

#include "driver/host/cuse_tty.h"
#include "driver/host/cuse_tty_io.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace driver::host {

// What a program does to a character device, for its owner to carry out.
// Results are errno values (0: done).
class CuseHandler {
public:
    virtual ~CuseHandler() = default;

    // On the device's worker thread, one at a time, in the order the
    // program asked: these may wait (a connection, a break).
    virtual int open() = 0;
    virtual void release() = 0;
    virtual int ioctl(
        const TtyIoctlInfo& info, unsigned long arg, std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out)
        = 0;

    // On the device's writer thread: a part of what programs wrote, at most
    // writeSlice() bytes; waits while the line carries them. `written`
    // counts what was taken, also when the rest failed.
    virtual int write(std::span<const std::uint8_t> bytes, std::size_t& written) = 0;
    // About a tenth of a second of the line: a signal ends a write that soon.
    virtual std::size_t writeSlice() = 0;

    // On the device's event thread; never wait.
    // VMIN and VTIME as the program set them.
    virtual TtyReadRule readRule() = 0;
    // Moves received bytes into `out`; 0 when none are there.
    virtual std::size_t read(std::span<std::uint8_t> out) = 0;
    virtual bool readable() = 0;
    virtual TtyCounts counts() = 0;
    // Asks for a CusePort::notify() at the next arrival or modem line change.
    virtual void watch() = 0;
};

// A character device served from user space (/dev/cuse): opens, reads,
// writes, ioctls and polls of programs on it reach the handler. Reads wait
// here, on the device's event thread, by the VMIN/VTIME rules, as do
// TIOCMIWAIT and polls, until notify() says something changed (or a signal
// interrupts the program). Writes go to an output queue a writer thread
// empties a slice at a time: an O_NONBLOCK write takes what fits in its room
// (kOutputRoom) and returns, a blocking one returns when its bytes went or a
// signal came. tcdrain, TCSETSW/TCSETSF and the last close wait in that
// queue behind the bytes written before them; every other request goes
// through the worker thread in order, never behind a write. Ioctl arguments
// behind pointers are fetched and returned in the sizes of the tty request
// table.
class CusePort {
public:
    // What O_NONBLOCK writes may hold unsent, as a UART's transmit buffer.
    static constexpr std::size_t kOutputRoom = 4096;

    // Makes /dev/`name` (e.g. "vorpil/COM5"). With `group` not negative its
    // members may open it (0660), otherwise only this user (0600). On
    // failure `error` says why.
    static bool create(
        std::unique_ptr<CusePort>& port, const std::string& name, CuseHandler& handler, int group, std::string& error);
    ~CusePort();
    CusePort(const CusePort&) = delete;
    CusePort& operator=(const CusePort&) = delete;

    const std::string& devicePath() const { return m_path; }
    // Bytes arrived or a modem line changed; any thread may call it.
    void notify();

    // An orderly stop, as a serial port's close waits for its output: from
    // beginDrain() on, writes are refused (EIO, nothing of them taken) and
    // what the output holds goes on. waitDrained() waits until it is all
    // gone, `deadline` passes or `giveUp()` says nothing more can go (asked
    // now and then, without the device's locks); true when all went.
    // endOutput() stops the writer: `unblock` must make a write of the
    // handler that waits return (the writer ends after it); it is told
    // whether bytes are still held. Returns how many bytes programs wrote
    // that were never handed to the handler.
    void beginDrain();
    bool waitDrained(std::chrono::steady_clock::time_point deadline, const std::function<bool()>& giveUp);
    std::size_t endOutput(const std::function<void(bool held)>& unblock);

    struct Session;

private:
    explicit CusePort(CuseHandler& handler);
    std::unique_ptr<Session> m_session;
    std::string m_path;
};

// Whether character devices can be served here; `why` says what was tried.
bool cuseAvailable(std::string& why);

} // namespace driver::host
