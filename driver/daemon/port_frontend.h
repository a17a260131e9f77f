#pragma once

#include "driver/host/host.h"
#include "driver/host/pty_port.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace driver::daemon {

// Turns what a program does to a port's pseudo-terminal into the port's
// requests: the terminal's open and close become the port's open and close,
// written bytes its writes, received bytes go back through its reads, and
// settings changes become SET_BAUD_RATE, SET_LINE_CONTROL and SET_HANDFLOW
// (with SET_CHARS for XON/XOFF), flushes PURGE. A terminal carries no break
// and no modem lines, and always 8 data bits without parity; those requests
// are reachable through the control socket only.
class PortFrontEnd {
public:
    PortFrontEnd(host::Host& host, std::string deviceName, std::unique_ptr<host::PtyPort> pty);
    ~PortFrontEnd();
    PortFrontEnd(const PortFrontEnd&) = delete;
    PortFrontEnd& operator=(const PortFrontEnd&) = delete;

    const std::string& deviceName() const { return m_deviceName; }
    const std::string& terminalPath() const { return m_pty->slavePath(); }
    // A program has the terminal open and the port is open for it.
    bool attached() const { return m_attached.load(); }

private:
    void run();
    void attach();
    void detach();
    void receive(host::FileHandle& handle);
    void applySettings(const host::PtySettings& settings);
    host::Reply control(std::uint32_t code, std::span<const std::uint8_t> input, std::size_t outputLength = 0);

    host::Host& m_host;
    const std::string m_deviceName;
    std::unique_ptr<host::PtyPort> m_pty;
    int m_openCount = 0; // programs holding the terminal; event thread only
    std::unique_ptr<host::FileHandle> m_handle; // event thread only
    std::optional<host::PtySettings> m_applied; // what the port was last given; event thread only
    std::atomic<bool> m_attached { false };
    std::atomic<bool> m_stopReceiving { false };
    std::thread m_receiver;
    std::mutex m_receiverMutex; // protects m_receiverDone
    std::condition_variable m_receiverFinished;
    bool m_receiverDone = true;
    std::thread m_events;
};

} // namespace driver::daemon
