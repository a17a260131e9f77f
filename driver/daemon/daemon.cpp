#include "driver/daemon/daemon.h"

#include "common/win32_error.h"
#include "driver/host/cuse_port.h"

#include "platform/thread_start.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

namespace driver::daemon {

using namespace common;

namespace {

// Connections restored at once at start; each may wait for its connect limit.
constexpr std::size_t kRestoreThreads = 64;

} // namespace

Daemon::Daemon(DaemonOptions options)
    : m_options(std::move(options))
    , m_driver(&m_transports)
{
}

Daemon::~Daemon() { stop(); }

bool Daemon::start(std::string& error)
{
    int group = -1;
    if (!m_options.group.empty()) {
        auto found = platform::groupId(m_options.group);
        if (!found.ok()) {
            error = found.error().message;
            return false;
        }
        group = static_cast<int>(*found);
    }
    for (const auto& dir : { m_options.runtimeDir, deviceDir(), m_options.stateDir }) {
        if (auto made = platform::makeDirectories(dir, 0700); !made.ok()) {
            error = made.error().message;
            return false;
        }
    }
    // The runtime directory decides where programs' port names lead: one
    // another user made (or could write to) is not used.
    for (const auto& dir : { m_options.runtimeDir, deviceDir() }) {
        if (auto own = platform::checkOwnDirectory(dir); !own.ok()) {
            error = "refusing the runtime directory: " + own.error().message;
            return false;
        }
        if (group >= 0) {
            if (auto shared = platform::shareWithGroup(dir, static_cast<unsigned>(group), 0750); !shared.ok()) {
                error = shared.error().message;
                return false;
            }
        }
    }
    // The registry decides where every port connects: a state directory
    // another user made first (the /tmp fallback is open to that) or can
    // write to is refused like such a runtime directory.
    if (auto own = platform::checkOwnDirectory(m_options.stateDir); !own.ok()) {
        error = "refusing the state directory: " + own.error().message;
        return false;
    }
    if (!chooseFrontEnd(error))
        return false;
    host::HostConfig config;
    config.registryFile = m_options.stateDir + "/registry.reg";
    config.workerThreads = 4;
    m_host = std::make_unique<host::Host>(config);
    m_host->registerDriver(kHardwareId, m_driver);
    m_host->registerDriver(kSecondHardwareId, m_driver);
    // Links made while the persisted nodes start are picked up by the first sync.
    m_directory = std::make_unique<PortDirectory>(*m_host, deviceDir(), group, m_kind, m_options.cuseDir);
    if (!m_directory->start(error))
        return false;
    if (const NtStatus status = m_host->start(); !ntSuccess(status)) {
        error = "cannot load the registry " + config.registryFile + " (" + statusText(status) + ")";
        return false;
    }
    m_service = std::make_unique<ControlService>(*m_host, m_directory.get());
    auto listener = platform::SeqPacketListener::listen(socketPath());
    if (!listener.ok()) {
        error = listener.error().message;
        return false;
    }
    m_listener = std::move(*listener);
    if (group >= 0) {
        if (auto shared = platform::shareWithGroup(socketPath(), static_cast<unsigned>(group), 0660); !shared.ok()) {
            error = shared.error().message;
            return false;
        }
    }
    m_controlLoop = platform::makeEpollLoop();
    m_controlServer
        = std::make_unique<ControlServer>(*m_service, *m_controlLoop, *m_listener, ControlServer::Limits {});
    m_controlServer->start();
    m_controlThread = std::thread([this] { m_controlLoop->run(); });
    m_restorer = std::thread([this] { restoreConnections(); });
    std::fprintf(stderr, "vorpild: serving %s, %zu device node(s), registry %s, front end %s\n", socketPath().c_str(),
        m_host->nodeIds().size(), config.registryFile.c_str(), frontEndName());
    return true;
}

bool Daemon::chooseFrontEnd(std::string& error)
{
    const std::string& wanted = m_options.frontEnd;
    if (wanted == "pty") {
        m_kind = FrontEndKind::Pty;
        return true;
    }
    if (wanted != "cuse" && wanted != "auto") {
        error = "unknown front end " + wanted + " (cuse, pty or auto)";
        return false;
    }
    std::string why;
    const bool available = host::cuseAvailable(why);
    if (wanted == "cuse" && !available) {
        error = "cannot serve character devices: " + why;
        return false;
    }
    m_kind = available ? FrontEndKind::Cuse : FrontEndKind::Pty;
    if (wanted == "auto")
        std::fprintf(stderr, "vorpild: front end %s: %s\n", frontEndName(), why.c_str());
    return true;
}

void Daemon::stop()
{
    if (m_stopped)
        return;
    m_stopped = true;
    // Posted, so that a loop that has not begun to run yet still ends.
    if (m_controlLoop)
        m_controlLoop->post([loop = m_controlLoop.get()] { loop->quit(); });
    if (m_controlThread.joinable())
        m_controlThread.join();
    if (m_restorer.joinable())
        m_restorer.join();
    // Requests under way finish; every session closes its handles.
    m_controlServer.reset();
    m_controlLoop.reset();
    m_listener.reset();
    m_service.reset();
    if (m_directory)
        m_directory->drain(m_options.stopWait);
    m_directory.reset(); // front ends close their handles before the host goes
    m_host.reset();
}

// Ports set to connect at start connect now, not only when a program first
// opens them: the first open after a start makes the connection, and the
// handle is let go at once (closing does not disconnect). A port that cannot
// connect keeps trying on its own while it is set to. Ports are restored side
// by side, so one silent device server delays no other port.
void Daemon::restoreConnections()
{
    const std::vector<std::string> paths = m_host->interfacePaths(kComPortInterfaceGuid);
    std::atomic<std::size_t> next { 0 };
    auto restore = [&] {
        for (std::size_t i = next++; i < paths.size() && !m_stopped; i = next++) {
            std::unique_ptr<host::FileHandle> handle;
            if (ntSuccess(m_host->open(paths[i], handle)))
                (void)handle->close();
        }
    };
    std::vector<std::thread> workers;
    const std::size_t count = std::min(paths.size(), kRestoreThreads);
    for (std::size_t i = 1; i < count; ++i)
        workers.emplace_back(restore);
    restore();
    for (auto& worker : workers)
        worker.join();
}

} // namespace driver::daemon
