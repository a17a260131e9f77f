#pragma once

#include "driver/daemon/frontend.h"
#include "driver/host/host.h"
#include "driver/host/terminal_watch.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace driver::daemon {

// How programs reach the ports.
enum class FrontEndKind { Pty, Cuse };

// Keeps the device directory in step with the ports' DOS links: every link
// "\DosDevices\COM5" gets a front end (a pseudo-terminal, or the character
// device /dev/CUSEDIR/COM5) and the directory entry COM5 pointing at it; a
// link that goes takes both along.
class PortDirectory {
public:
    // `group` (not negative) may open the terminals and read the directory.
    // With FrontEndKind::Cuse the devices are made below /dev/`cuseDir`.
    PortDirectory(host::Host& host, std::string directory, int group = -1, FrontEndKind kind = FrontEndKind::Pty,
        std::string cuseDir = "vorpil");
    ~PortDirectory();
    PortDirectory(const PortDirectory&) = delete;
    PortDirectory& operator=(const PortDirectory&) = delete;

    // Watches the host's links from now on; false, with `error`, when the
    // terminals cannot be watched.
    bool start(std::string& error);
    // The terminal a port name leads to; empty when it has none.
    std::string terminalOf(const std::string& portName) const;
    // Brings every terminal up to date (see FrontEnd::requestSettle), all at
    // once and without holding the directory, so a port a program has just
    // closed is free. Waits at most `limit` in all.
    void settle(std::chrono::milliseconds limit);
    // An orderly stop: every front end stops taking bytes from programs and
    // sends what it holds, all side by side, for at most `limit` in all; then
    // the front ends end, and each port that held bytes says in the log how
    // many it sent and how many it could not. Only ~PortDirectory() follows.
    void drain(std::chrono::milliseconds limit);
    // Why the port's terminal could not be made; empty when it was.
    std::string failure(const std::string& portName) const;
    // Each terminal's state, by port name.
    std::map<std::string, FrontEndStatus> statuses() const;
    // Waits until every link change seen so far is reflected; false on time-out.
    bool waitSynced(std::chrono::milliseconds limit);
    const std::string& path() const { return m_directory; }

    // A DOS link's port name ("\DosDevices\COM5" -> "COM5"), or empty when
    // the link is no port name a directory entry can carry.
    static std::string portNameOfLink(const std::string& link);

private:
    struct Entry {
        std::string deviceName;
        std::shared_ptr<FrontEnd> frontEnd;
        int watchId = -1;
    };
    void changed();
    void run();
    void sync();
    bool make(const std::string& name, const std::string& deviceName, std::string& error);
    std::shared_ptr<FrontEnd> makeCuse(const std::string& name, const std::string& deviceName, std::string& error);

    host::Host& m_host;
    const std::string m_directory;
    const int m_group;
    const FrontEndKind m_kind;
    const std::string m_cuseDir;
    mutable std::mutex m_mutex; // protects everything below
    std::condition_variable m_wake;
    std::condition_variable m_synced;
    std::uint64_t m_requested = 0;
    std::uint64_t m_done = 0;
    bool m_stopping = false;
    std::map<std::string, Entry> m_entries;
    std::map<std::string, std::string> m_failures; // port name -> why it has no terminal
    std::unique_ptr<host::TerminalWatch> m_watch; // made by start(), then only read
    std::thread m_thread;
};

} // namespace driver::daemon
