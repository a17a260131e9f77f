#pragma once

#include "driver/daemon/frontend.h"
#include "driver/host/host.h"
#include "driver/host/pty_port.h"
#include "driver/receive_tap.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace driver::daemon {

// The little-endian words of a serial request's record.
std::vector<std::uint8_t> ioctlWords(std::initializer_list<std::uint32_t> values);

// Turns what a program does to a port's pseudo-terminal into the port's
// requests: the terminal's open and close become the port's open and close,
// written bytes its writes, received bytes go back to the terminal, and
// settings changes become SET_BAUD_RATE, SET_LINE_CONTROL and SET_HANDFLOW
// (with SET_CHARS for XON/XOFF), flushes PURGE. A terminal carries no break
// and no modem lines, and always 8 data bits without parity; what the port
// was given of those through the control socket stays as it is.
//
// One thread serves the terminal and the way back to the program; a second
// one sends to the port, one write at a time, so a device server that is
// slow to take bytes never holds up what travels towards the program. While
// a write is under way the terminal is read only up to a limit: beyond it the
// program is held back by the terminal itself, for as long as the port's
// connection lives. Settings changes and the program's leaving wait behind
// the bytes written before them. An open is told by the shared terminal
// watch (programOpened()), the last close by the terminal hanging up, so any
// program of any user counts. The terminal is read only while the port is
// the program's: while someone else holds the port (a control-socket client,
// the start-up restore) the program's writes wait in the terminal, and a
// program that left meanwhile has its bytes sent once the port is free.
//
// Received bytes take the short road when they can: the network thread
// writes them to the terminal at once while nothing older is waiting;
// otherwise this thread reads them from the port when the port reports an
// arrival, and writes them as the terminal takes them.
// Tells the port that a program has the terminal open, so that what arrives
// before the front end opened the port for it is kept for it (see
// setProgramProbe()). The port may ask after the front end is gone.
class TerminalProbe final : public ProgramProbe {
public:
    explicit TerminalProbe(const host::PtyPort& pty)
        : m_pty(&pty)
    {
    }
    bool programWaiting() const override;
    // From now on no program waits.
    void forget();

private:
    mutable std::mutex m_mutex; // protects m_pty
    const host::PtyPort* m_pty;
};

class PortFrontEnd final : public FrontEnd, private ReceiveTap {
public:
    PortFrontEnd(host::Host& host, std::string deviceName, std::unique_ptr<host::PtyPort> pty);
    ~PortFrontEnd() override;
    PortFrontEnd(const PortFrontEnd&) = delete;
    PortFrontEnd& operator=(const PortFrontEnd&) = delete;

    const std::string& deviceName() const { return m_deviceName; }
    const std::string& terminalPath() const override { return m_pty->slavePath(); }
    bool attached() const { return m_attached.load(); }
    FrontEndStatus status() const override;

    // A program opened the terminal; called by the terminal watch.
    void programOpened() { m_pty->noteOpened(); }
    // A program closed a descriptor of the terminal; called by the watch.
    void programClosed() { m_pty->noteClosed(); }

    // Brings the port up to date with the terminal: events not yet handled
    // are handled, what a program wrote before closing is sent, and the port
    // is let go when no program has the terminal open. requestSettle() asks
    // and returns at once; waitSettled() waits for that ticket until
    // `deadline`, false when the front end did not get to it in time.
    std::uint64_t requestSettle() override;
    bool waitSettled(std::uint64_t ticket, std::chrono::steady_clock::time_point deadline) override;
    bool settle(std::chrono::milliseconds limit);

    // Holds the front end before its next round of events, as a busy machine
    // may, and returns once it waits there (false after a stop); false
    // releases it. For tests of what happens while a report waits.
    bool holdEvents(bool hold);

    void requestDrain() override;
    bool waitDrained(std::chrono::steady_clock::time_point deadline) override;
    DrainReport stop() override;

private:
    std::size_t offer(std::span<const std::uint8_t> bytes) override;
    void arriving() override;

    void run();
    // Takes an event in the order the terminal gave it: bytes, settings and
    // the program's leaving wait behind a write still under way.
    void dispatch(host::PtyEvent& event);
    void handle(host::PtyEvent& event);
    // The most one write carries.
    std::size_t sendLimit() const;
    // Joins neighbouring bytes events of one wait into writes of up to sendLimit().
    void joinData(std::vector<host::PtyEvent>& events) const;
    // Hands bytes to the sender thread.
    void startSend(std::vector<std::uint8_t> bytes);
    // The sender finished: its result is counted and (with `goOn`) what
    // waited goes on.
    void sendFinished(bool goOn = true);
    void runDeferred();
    void sendLoop();
    // Stops the sender; a write held by a device server that takes nothing
    // is ended by closing the port's connection.
    void stopSender();
    void markSettled(std::uint64_t& settled);
    // The stop's drain begins: what the program wrote to the terminal so
    // far is read and queued behind the write under way; nothing after it.
    void startDrain();
    // Tells a waiting stop once nothing is held (or nothing can be sent).
    void markDrained();
    // The terminal hung up: everything the program wrote is read by now
    // when the port is its; the port is let go.
    void programLeft();
    // Looks for a close not handled yet (settle).
    void checkPresence();
    bool attach();
    void detach();
    // Counts the result of a write of `size` bytes.
    void account(std::size_t size, common::NtStatus status, std::size_t information);
    // Moves what the port has received to the terminal until either is empty
    // or full; arms the arrival wait once the port is empty.
    void fromPort();
    void notePassedOn(std::size_t taken);
    void waitWhileHeld();
    void armArrivalWait();
    void applySettings(const host::PtySettings& settings);
    void followPort(const host::PtySettings& terminal);
    void logRefusedRate(std::uint32_t rate, common::NtStatus status);
    host::Reply control(std::uint32_t code, std::span<const std::uint8_t> input, std::size_t outputLength = 0);

    host::Host& m_host;
    const std::string m_deviceName;
    std::unique_ptr<host::PtyPort> m_pty;
    std::shared_ptr<TerminalProbe> m_probe;

    // Event thread only.
    bool m_program = false; // a program has the terminal, or left bytes in it not yet sent
    bool m_hungUp = false; // the program left while the port was not its; its bytes wait
    std::unique_ptr<host::FileHandle> m_handle;
    std::optional<host::PtySettings> m_applied; // the terminal's settings the port last followed
    std::vector<std::uint8_t> m_backlog; // from the port, not yet taken by the terminal
    std::size_t m_backlogSent = 0;
    bool m_waitArmed = false; // an arrival wait is outstanding on the port
    bool m_refusalLogged = false; // one log line per spell of refused writes
    bool m_heldLogged = false; // one log line per spell of the port held elsewhere
    int m_attachRetryMs = 2; // the next wait before trying the port again
    std::set<std::uint32_t> m_refusedRates; // logged once each
    std::deque<host::PtyEvent> m_deferred; // waiting behind the write under way, in order
    std::size_t m_deferredBytes = 0;
    bool m_closeDeferred = false; // the program's leaving waits in m_deferred
    bool m_sendOutstanding = false; // a write was handed to the sender and not yet accounted
    std::uint64_t m_settleSeen = 0; // the newest settle request looked at
    bool m_drainStarted = false; // the terminal is read no more: only what is held goes

    // Between the event thread and the sender.
    std::mutex m_sendMutex; // protects the fields below
    std::condition_variable m_sendWake;
    std::vector<std::uint8_t> m_sendBytes;
    bool m_sendQueued = false;
    bool m_sendStopping = false;
    host::FileHandle* m_sendHandle = nullptr;
    common::NtStatus m_sendStatus = common::kStatusSuccess;
    std::size_t m_sendSize = 0;
    std::size_t m_sendInformation = 0;
    std::atomic<bool> m_sendDone { false };

    std::atomic<bool> m_attached { false };
    // While set, the network thread leaves arriving bytes to this thread:
    // it is moving older ones, which must reach the terminal first.
    std::atomic<bool> m_draining { true };
    std::atomic<bool> m_arrival { false };

    mutable std::mutex m_mutex; // protects the settle counters and m_status
    std::condition_variable m_settled;
    bool m_holdEvents = false; // holdEvents(): wanted and taken effect
    bool m_eventsHeld = false;
    std::uint64_t m_settleRequested = 0;
    std::uint64_t m_settleDone = 0;
    FrontEndStatus m_status;
    bool m_drainDone = false;
    std::optional<FrontEndStatus> m_drainBase; // the counts when the stop's drain was asked for
    std::atomic<bool> m_drainRequested { false };
    std::atomic<std::uint64_t> m_tapBytes { 0 }; // taken by the network thread
    // Arrivals and writes towards the program made while a status report
    // waited (both threads count), and that count when no report last waited.
    std::atomic<std::uint64_t> m_passedOnBehindReport { 0 };
    std::uint64_t m_passedOnBehindSeen = 0;

    std::thread m_events;
    std::thread m_sender;
};

} // namespace driver::daemon
