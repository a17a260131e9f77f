#include "driver/daemon/port_directory.h"

#include "driver/daemon/cuse_frontend.h"
#include "driver/daemon/port_frontend.h"
#include "driver/host/device_directory.h"
#include "driver/host/pty_port.h"

#include <cstdio>
#include <set>

namespace driver::daemon {

using namespace common;

PortDirectory::PortDirectory(host::Host& host, std::string directory, int group, FrontEndKind kind, std::string cuseDir)
    : m_host(host)
    , m_directory(std::move(directory))
    , m_group(group)
    , m_kind(kind)
    , m_cuseDir(std::move(cuseDir))
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
        if (m_watch && entry.watchId >= 0)
            m_watch->remove(entry.watchId);
        entry.frontEnd.reset();
        host::removeDeviceLink(m_directory, name);
    }
}

bool PortDirectory::start(std::string& error)
{
    m_watch = host::TerminalWatch::create(error);
    if (!m_watch)
        return false;
    host::clearDeviceDirectory(m_directory);
    m_thread = std::thread([this] { run(); });
    m_host.names().setLinkObserver([this] { changed(); });
    changed();
    return true;
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
    // Not only those attached now: one may be opening the port for a program
    // that has come and gone already. Each front end settles on its own
    // thread, so all are asked first and then waited for together; holding
    // them keeps them alive if their port goes meanwhile.
    std::vector<std::shared_ptr<FrontEnd>> frontEnds;
    {
        std::lock_guard lock(m_mutex);
        for (auto& [name, entry] : m_entries)
            frontEnds.push_back(entry.frontEnd);
    }
    std::vector<std::uint64_t> tickets;
    for (auto& frontEnd : frontEnds)
        tickets.push_back(frontEnd->requestSettle());
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (std::size_t i = 0; i < frontEnds.size(); ++i)
        (void)frontEnds[i]->waitSettled(tickets[i], deadline);
}

void PortDirectory::drain(std::chrono::milliseconds limit)
{
    // No front end comes or goes from here on.
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    std::vector<std::pair<std::string, std::shared_ptr<FrontEnd>>> frontEnds;
    {
        std::lock_guard lock(m_mutex);
        for (auto& [name, entry] : m_entries)
            frontEnds.emplace_back(name, entry.frontEnd);
    }
    for (auto& [name, frontEnd] : frontEnds)
        frontEnd->requestDrain();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (auto& [name, frontEnd] : frontEnds)
        (void)frontEnd->waitDrained(deadline);
    for (auto& [name, frontEnd] : frontEnds) {
        const DrainReport report = frontEnd->stop();
        if (report.sent != 0 || report.notSent != 0)
            std::fprintf(stderr, "vorpild: %s: stopping: %llu bytes sent, %llu bytes not sent\n", name.c_str(),
                static_cast<unsigned long long>(report.sent), static_cast<unsigned long long>(report.notSent));
    }
}

std::string PortDirectory::failure(const std::string& portName) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_failures.find(portName);
    return it == m_failures.end() ? std::string() : it->second;
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
        // A port that is gone takes the reason it had no terminal along.
        for (auto it = m_failures.begin(); it != m_failures.end();)
            it = wanted.count(it->first) ? std::next(it) : m_failures.erase(it);
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
        if (entry.watchId >= 0)
            m_watch->remove(entry.watchId);
        entry.frontEnd.reset();
        std::fprintf(stderr, "vorpild: %s removed\n", name.c_str());
    }
    for (const auto& [name, deviceName] : wanted) {
        std::string error;
        if (!make(name, deviceName, error)) {
            std::fprintf(stderr, "vorpild: %s: no terminal: %s\n", name.c_str(), error.c_str());
            std::lock_guard lock(m_mutex);
            m_failures[name] = error;
        }
    }
}

std::shared_ptr<FrontEnd> PortDirectory::makeCuse(
    const std::string& name, const std::string& deviceName, std::string& error)
{
    auto frontEnd = std::make_shared<CuseFrontEnd>(m_host, deviceName);
    if (!frontEnd->start(m_cuseDir + "/" + name, m_group, error))
        return nullptr;
    return frontEnd;
}

bool PortDirectory::make(const std::string& name, const std::string& deviceName, std::string& error)
{
    if (m_kind == FrontEndKind::Cuse) {
        std::shared_ptr<FrontEnd> frontEnd = makeCuse(name, deviceName, error);
        if (!frontEnd)
            return false;
        const std::string device = frontEnd->terminalPath();
        if (!ntSuccess(host::createDeviceLink(m_directory, name, device))) {
            error = "cannot link " + m_directory + "/" + name;
            return false;
        }
        std::fprintf(stderr, "vorpild: %s -> %s (%s, cuse)\n", name.c_str(), device.c_str(), deviceName.c_str());
        std::lock_guard lock(m_mutex);
        m_failures.erase(name);
        m_entries[name] = Entry { deviceName, std::move(frontEnd), -1 };
        return true;
    }
    std::unique_ptr<host::PtyPort> pty;
    if (!ntSuccess(host::PtyPort::create(pty, m_group, error)))
        return false;
    const std::string terminal = pty->slavePath();
    auto frontEnd = std::make_shared<PortFrontEnd>(m_host, deviceName, std::move(pty));
    // Watched before its name exists, so no program can open it unseen.
    const int watchId = m_watch->add(
        terminal, [raw = frontEnd.get()] { raw->programOpened(); }, [raw = frontEnd.get()] { raw->programClosed(); },
        error);
    if (watchId < 0)
        return false;
    if (!ntSuccess(host::createDeviceLink(m_directory, name, terminal))) {
        m_watch->remove(watchId);
        error = "cannot link " + m_directory + "/" + name;
        return false;
    }
    std::fprintf(stderr, "vorpild: %s -> %s (%s)\n", name.c_str(), terminal.c_str(), deviceName.c_str());
    std::lock_guard lock(m_mutex);
    m_failures.erase(name);
    m_entries[name] = Entry { deviceName, std::move(frontEnd), watchId };
    return true;
}

} // namespace driver::daemon
