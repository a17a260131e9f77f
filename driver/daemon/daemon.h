#pragma once

#include "driver/daemon/control_server.h"
#include "driver/daemon/control_service.h"
#include "driver/daemon/port_directory.h"
#include "driver/host/host.h"
#include "driver/socket_transport.h"
#include "driver/vorpil_driver.h"
#include "platform/event_loop.h"
#include "platform/seqpacket.h"

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace driver::daemon {

struct DaemonOptions {
    std::string runtimeDir; // holds "control" and "dev"
    std::string stateDir; // holds the registry
    std::string group; // may use the control socket and the ports; empty: only this user
    std::string frontEnd = "pty"; // "pty", "cuse" or "auto" (cuse when /dev/cuse opens)
    std::string cuseDir = "vorpil"; // character devices are /dev/CUSEDIR/COMn
    // How long an orderly stop waits for the ports to send what programs wrote.
    std::chrono::milliseconds stopWait { 30000 };
};

// `vorpild`: the driver host with the port driver, its persisted device
// nodes, a terminal per named port and the control socket, whose clients
// are served on one event loop (ControlServer); a client that goes away (or
// sends nonsense) costs only its own session.
class Daemon {
public:
    explicit Daemon(DaemonOptions options);
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Loads the registry, starts the nodes and opens the control socket.
    bool start(std::string& error);
    // Stops in order: the control socket closes, then each port sends what
    // programs had written, within DaemonOptions::stopWait, then all ends.
    void stop();

    host::Host& host() { return *m_host; }
    std::string socketPath() const { return m_options.runtimeDir + "/control"; }
    std::string deviceDir() const { return platform::vorpilDeviceDir(m_options.runtimeDir); }
    // The front end the ports got ("pty" or "cuse"), once started.
    const char* frontEndName() const { return m_kind == FrontEndKind::Cuse ? "cuse" : "pty"; }

private:
    void restoreConnections();
    // Settles "auto"; false with `error` when the front end asked for cannot be served.
    bool chooseFrontEnd(std::string& error);

    DaemonOptions m_options;
    SocketTransports m_transports;
    VorpilDriver m_driver;
    std::unique_ptr<host::Host> m_host;
    std::unique_ptr<PortDirectory> m_directory;
    std::unique_ptr<ControlService> m_service;
    std::unique_ptr<platform::SeqPacketListener> m_listener;
    std::unique_ptr<platform::EventLoop> m_controlLoop;
    std::unique_ptr<ControlServer> m_controlServer;
    std::thread m_controlThread;
    std::thread m_restorer;
    std::atomic<bool> m_stopped { false };
    FrontEndKind m_kind = FrontEndKind::Pty;
};

} // namespace driver::daemon
