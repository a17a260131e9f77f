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
};

struct PtyEvent {
    PtyEventKind kind = PtyEventKind::Data;
    std::vector<std::uint8_t> data;
    PtySettings settings;
};

// A pseudo-terminal that stands for a port: programs open slavePath(), and
// what they do to it arrives here as events. Settings changes are reported
// through the terminal's packet mode with external processing (every
// tcsetattr), opens and closes through a watch on the slave's device file.
// The terminal keeps a slave descriptor of its own, so it never hangs up.
class PtyPort {
public:
    static NtStatus create(std::unique_ptr<PtyPort>& port);
    ~PtyPort();
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

    const std::string& slavePath() const { return m_slavePath; }

    // Waits for the next events and appends them in the order they happened
    // (an open before the data written after it); at most `limitMs`
    // milliseconds when not negative (then possibly with no events). False
    // once stop() was called.
    bool waitEvents(std::vector<PtyEvent>& events, int limitMs = -1);
    // Writes every byte towards the program, waiting while the terminal is
    // full. False once stop() was called.
    bool writeToTerminal(std::span<const std::uint8_t> bytes);
    // Drops what the program has not read yet.
    void discardTerminalInput();
    // True while a process other than this one has the terminal open. Open
    // and close notifications can be merged when they come quickly, so the
    // last close is confirmed here rather than by counting them.
    bool openedByOthers() const;
    PtySettings settings() const;
    // Makes waiting calls return false, now and from now on.
    void stop();
    // Makes writeToTerminal() return false until resumeWrites(), so a writer
    // blocked on a program that stopped reading can be let go.
    void stopWrites();
    void resumeWrites();

private:
    PtyPort() = default;
    void readWatch(std::vector<PtyEvent>& events);
    void readMaster(std::vector<PtyEvent>& events);

    int m_master = -1;
    int m_slave = -1;
    int m_watch = -1;
    int m_stop = -1;
    int m_stopWrites = -1;
    std::string m_slavePath;
};

} // namespace driver::host
