#include "driver/daemon/port_directory.h"

#include "driver/host/device_directory.h"
#include "driver/host/pty_port.h"

#include <cstdio>
#include <set>

namespace driver::daemon {

using namespace common;

PortDirectory::PortDirectory(host::Host& host, std::string directory, int group)
    : m_host(host)
    , m_directory(std::move(directory))
    , m_group(group)
{
}

PortDirectory::~PortDirectory()
{
    m_host.names().setLinkObserver(nullptr);
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    std::map<std::string, Entry> entries;
    {
        std::lock_guard lock(m_mutex);
        entries.swap(m_entries);
    }
    for (auto& [name, entry] : entries) {
        entry.frontEnd.reset();
        host::removeDeviceLink(m_directory, name);
    }
}

void PortDirectory::start()
{
    host::clearDeviceDirectory(m_directory);
    m_thread = std::thread([this] { run(); });
    m_host.names().setLinkObserver([this] { changed(); });
    changed();
}

std::string PortDirectory::portNameOfLink(const std::string& link)
{
    const std::string canonical = host::ObjectNamespace::canonical(link);
    constexpr std::string_view kDosDirectory = "\\??\\";
    if (canonical.rfind(kDosDirectory, 0) != 0)
        return {};
    // As written, not upper-cased: "\DosDevices\COM5" -> "COM5".
    const std::size_t separator = link.rfind('\\');
    const std::string name = link.substr(separator + 1);
    if (name.empty() || name.size() > 64 || name[0] == '.' || name.size() != canonical.size() - kDosDirectory.size())
        return {};
    for (char c : name) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'
            || c == '-' || c == '.';
        if (!plain)
            return {}; // interface links ("ROOT#PORTS#0000#{...}") among them
    }
    return name;
}

void PortDirectory::changed()
{
    {
        std::lock_guard lock(m_mutex);
        ++m_requested;
    }
    m_wake.notify_all();
}

bool PortDirectory::waitSynced(std::chrono::milliseconds limit)
{
    std::unique_lock lock(m_mutex);
    const std::uint64_t wanted = m_requested;
    return m_synced.wait_for(lock, limit, [&] { return m_done >= wanted || m_stopping; });
}

std::string PortDirectory::terminalOf(const std::string& portName) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_entries.find(portName);
    return it == m_entries.end() ? std::string() : it->second.frontEnd->terminalPath();
}

void PortDirectory::settle(std::chrono::milliseconds limit)
{
    // Held throughout, so no front end goes away meanwhile; settling touches
    // nothing of the directory.
    std::lock_guard lock(m_mutex);
    // Not only those attached now: one may be opening the port for a program
    // that has come and gone already.
    for (auto& [name, entry] : m_entries)
        (void)entry.frontEnd->settle(limit);
}

std::map<std::string, FrontEndStatus> PortDirectory::statuses() const
{
    std::map<std::string, FrontEndStatus> out;
    std::lock_guard lock(m_mutex);
    for (const auto& [name, entry] : m_entries)
        out[name] = entry.frontEnd->status();
    return out;
}

void PortDirectory::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || m_done < m_requested; });
        if (m_stopping)
            return;
        const std::uint64_t target = m_requested;
        lock.unlock();
        sync();
        lock.lock();
        m_done = target;
        m_synced.notify_all();
    }
}

void PortDirectory::sync()
{
    std::map<std::string, std::string> wanted; // port name -> device name
    for (const auto& link : m_host.names().links()) {
        const std::string name = portNameOfLink(link);
        if (name.empty())
            continue;
        if (auto target = m_host.names().linkTarget(link))
            wanted[name] = *target;
    }

    // Front ends are destroyed and made outside the lock: stopping one waits
    // for its threads, which may be in the middle of a request.
    std::map<std::string, Entry> gone;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_entries.begin(); it != m_entries.end();) {
            auto target = wanted.find(it->first);
            if (target == wanted.end() || target->second != it->second.deviceName) {
                gone.insert(m_entries.extract(it++));
            } else {
                wanted.erase(target);
                ++it;
            }
        }
    }
    for (auto& [name, entry] : gone) {
        host::removeDeviceLink(m_directory, name);
        entry.frontEnd.reset();
        std::fprintf(stderr, "vorpild: %s removed\n", name.c_str());
    }
    for (const auto& [name, deviceName] : wanted) {
        std::unique_ptr<host::PtyPort> pty;
        if (!ntSuccess(host::PtyPort::create(pty, m_group))) {
            std::fprintf(stderr, "vorpild: %s: no pseudo-terminal available\n", name.c_str());
            continue;
        }
        const std::string terminal = pty->slavePath();
        auto frontEnd = std::make_unique<PortFrontEnd>(m_host, deviceName, std::move(pty));
        if (!ntSuccess(host::createDeviceLink(m_directory, name, terminal))) {
            std::fprintf(stderr, "vorpild: %s: cannot link %s/%s\n", name.c_str(), m_directory.c_str(), name.c_str());
            continue;
        }
        std::fprintf(stderr, "vorpild: %s -> %s (%s)\n", name.c_str(), terminal.c_str(), deviceName.c_str());
        std::lock_guard lock(m_mutex);
        m_entries[name] = Entry { deviceName, std::move(frontEnd) };
    }
}

} // namespace driver::daemon
