#pragma once

#include "common/ntstatus.h"

#include <cstdint>
#include <memory>
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
    Opened, // a program opened the terminal
    Closed, // the program closed it
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

// What waitEvents() waits for besides opens, closes and wake().
struct PtyWait {
    int limitMs = -1; // at most this long when not negative
    bool programData = true; // bytes and settings changes from the program
    bool writable = false; // room towards the program
};

// A pseudo-terminal that stands for a port: programs open slavePath(), and
// what they do to it arrives here as events. Settings changes are reported
// through the terminal's packet mode with external processing (every
// tcsetattr), opens and closes through a watch on the slave's device file.
// The terminal keeps a slave descriptor of its own, so it never hangs up.
class PtyPort {
public:
    // With `group` not negative, that group's members may open the terminal.
    static NtStatus create(std::unique_ptr<PtyPort>& port, int group = -1);
    ~PtyPort();
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

    const std::string& slavePath() const { return m_slavePath; }

    // Waits for the next events and appends them in the order they happened
    // (an open before the data written after it; the data a program wrote
    // before changing the settings before the change). False once stop() was
    // called; true with no events when the limit passed.
    bool waitEvents(std::vector<PtyEvent>& events, const PtyWait& wait);
    // Appends every open, close, byte and settings change that is already
    // there, without waiting.
    void pendingEvents(std::vector<PtyEvent>& events, bool programData);
    // Writes what the terminal takes now towards the program; never waits.
    std::size_t writeSome(std::span<const std::uint8_t> bytes);
    // Drops what the program has not read yet.
    void discardTerminalInput();
    // True while a process other than this one has the terminal open. Open
    // and close notifications can be merged when they come quickly, so the
    // last close is confirmed here rather than by counting them.
    bool openedByOthers() const;
    PtySettings settings() const;
    // A settings change is reported but not yet read by waitEvents().
    bool settingsChangePending() const;
    // Makes a waitEvents() report Woken; any thread may call it.
    void wake();
    // Makes waiting calls return false, now and from now on.
    void stop();

private:
    PtyPort() = default;
    void readWatch(std::vector<PtyEvent>& events);
    // Reads one packet from the master; false when there was none.
    bool readMaster(std::vector<PtyEvent>& events);

    int m_master = -1;
    int m_slave = -1;
    int m_watch = -1;
    int m_stop = -1;
    int m_wake = -1;
    std::string m_slavePath;
};

} // namespace driver::host
