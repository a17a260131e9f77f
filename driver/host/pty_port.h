#pragma once

#include "common/ntstatus.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <vector>

namespace driver::host {

using common::NtStatus;

// The serial settings a program can give a pseudo-terminal. The pty layer
// keeps 8 data bits and no parity whatever is asked, so those are not here.
// A rate of 0 is one the terminal could not report.
struct PtySettings {
    std::uint32_t baudRate = 9600;
    bool twoStopBits = false;
    bool rtsCts = false; // CRTSCTS
    bool xonOutput = false; // IXON: the program's output obeys XON/XOFF
    bool xonInput = false; // IXOFF: the program sends XON/XOFF
    std::uint8_t xonChar = 0x11;
    std::uint8_t xoffChar = 0x13;
    bool operator==(const PtySettings&) const = default;
};

enum class PtyEventKind {
    Opened, // a program opened the terminal (reported through noteOpened())
    Closed, // the last program's descriptor is gone: the terminal hung up
    Data, // bytes the program wrote
    Settings, // the program changed the terminal's settings
    FlushInput, // the program discarded what it had not read yet
    FlushOutput, // the program discarded what it had not sent yet
    Writable, // the terminal takes bytes towards the program again
    Woken, // wake() was called
};

struct PtyEvent {
    PtyEventKind kind = PtyEventKind::Data;
    std::vector<std::uint8_t> data;
    PtySettings settings;
};

// What waitEvents() waits for besides opens, wake() and stop().
struct PtyWait {
    int limitMs = -1; // at most this long when not negative
    bool hangUp = false; // the last program closing (only while one had it open)
    bool programData = true; // bytes and settings changes from the program (with hangUp)
    bool writable = false; // room towards the program, while one has the terminal open
};

// A pseudo-terminal that stands for a port: programs open slavePath(), and
// what they do to it arrives here as events, in the order the terminal gives
// them. Settings changes are reported through the terminal's packet mode with
// external processing (every tcsetattr). The daemon never opens the slave
// side itself: the master then hangs up exactly when the last descriptor of
// any process closes, which is how a close is told. Opens are told by a watch
// on the slave's device file (TerminalWatch), which calls noteOpened().
//
// A settings report always reaches the master ahead of bytes it has not yet
// read, whenever they were written: a change is passed on before those bytes,
// so a program that configures and then writes has its bytes sent at the new
// settings. Bytes read before the report go before it. One exception: bytes
// still unread when a program closed the terminal (noteClosed()) were written
// before any change reported after that close, and go before it.
class PtyPort {
public:
    // With `group` not negative, that group's members may open the terminal.
    // On failure `error` names the call that failed and why.
    static NtStatus create(std::unique_ptr<PtyPort>& port, int group, std::string& error);
    ~PtyPort();
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

    const std::string& slavePath() const { return m_slavePath; }

    // A program opened the terminal; any thread may call it.
    void noteOpened();
    // A program closed a descriptor of the terminal; any thread may call
    // it, soon after the close.
    void noteClosed();
    // Waits for the next events and appends them in the order they happened.
    // False once stop() was called; true with no events when the limit passed.
    bool waitEvents(std::vector<PtyEvent>& events, const PtyWait& wait);
    // Appends every byte and settings change already there, and Closed when
    // the terminal has hung up and nothing is left, without waiting. Stops
    // once `byteLimit` bytes were read (a program that goes on writing would
    // keep the terminal from ever being empty).
    void pendingEvents(std::vector<PtyEvent>& events, std::size_t byteLimit = SIZE_MAX);
    // True while some process has the terminal open.
    bool programPresent() const;
    // Bytes or a settings change wait to be read.
    bool hasPending() const;
    // Writes what the terminal takes now towards the program; never waits.
    std::size_t writeSome(std::span<const std::uint8_t> bytes);
    // Drops what no program has read yet, so the next program starts empty.
    // Bytes programs wrote stay to be read, and no settings request is made
    // (one would wait for the terminal's write lock, which a program blocked
    // on a full terminal holds until its bytes are read).
    void discardTerminalInput();
    // Bytes written towards the program that it has not read yet.
    std::size_t unreadByProgram() const;
    // A status report (a settings change or a flush) waits on the master, or
    // a flush was read by waitEvents() and is not handled yet. Asked right
    // after a write towards the program, false means the write came before
    // any flush not yet handled. Any thread may call it; never waits long.
    bool reportWaiting() const;
    // The front end has acted on one FlushInput event.
    void flushReportHandled();
    PtySettings settings() const;
    // Sets the terminal's rate, as the port has it, so that a program sees
    // it and a change it makes is told as one. With `onlyFrom` not 0, only
    // while the terminal still has that rate (a program's later change
    // stands). False when refused or left.
    bool setRate(std::uint32_t rate, std::uint32_t onlyFrom = 0);
    // A settings change is reported but not yet read by waitEvents().
    bool settingsChangePending() const;
    // Makes a waitEvents() report Woken; any thread may call it.
    void wake();
    // Makes waiting calls return false, now and from now on.
    void stop();
    bool stopped() const { return m_stopped.load(); }

private:
    enum class Read { Nothing, Packet, HungUp };
    PtyPort() = default;
    // Reads one packet from the master.
    Read readMaster(std::vector<PtyEvent>& events);
    // A status packet's events; m_readMutex held.
    void statusEvents(std::uint8_t status, std::vector<PtyEvent>& events, bool drainHeld);
    // Reads the bytes held by a close ahead of a change; m_readMutex held.
    void readHeld(std::vector<PtyEvent>& events);
    void takeSignals(std::vector<PtyEvent>& events);

    int m_master = -1;
    int m_signal = -1; // eventfd: wake(), noteOpened() and stop() ring it
    std::atomic<bool> m_stopped { false };
    std::atomic<bool> m_opened { false };
    std::atomic<bool> m_woken { false };
    std::string m_slavePath;
    // Serialises reading the master with noteClosed() and reportWaiting().
    // Shared by those who only look for a waiting report (the network
    // thread at every arrival, this port's thread after every write), so
    // they never wait for each other.
    mutable std::shared_mutex m_readMutex;
    std::size_t m_flushesTold = 0; // FlushInput events read and not handled; m_readMutex
    std::size_t m_held = 0; // unread bytes written before a close told by noteClosed()
};

} // namespace driver::host
