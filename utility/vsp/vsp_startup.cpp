#include "utility/vsp/vsp_manager.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

using namespace common;
using namespace std::chrono_literals;

// Start-up: loading "vsp.dat", the held-port check and the enumeration that
// fills the list from the driver host (or from the file).
namespace utility::vsp {

namespace {

enum Timer : int { kTimerEnumerate = 4 };

} // namespace

std::uint32_t smallestMtu()
{
    std::uint32_t smallest = 0;
    std::vector<std::string> seen;
    for (const auto& adapter : platform::listInterfaces()) {
        if (adapter.loopback || !adapter.up || std::find(seen.begin(), seen.end(), adapter.name) != seen.end())
            continue;
        seen.push_back(adapter.name);
        std::ifstream in("/sys/class/net/" + adapter.name + "/mtu");
        std::uint32_t mtu = 0;
        if (in >> mtu) {
            mtu &= 0xFFFF;
            if (mtu >= 68 && (smallest == 0 || mtu < smallest))
                smallest = mtu;
        }
    }
    return smallest ? smallest : 1500;
}

bool VspManager::anyPortHeldOpen()
{
    m_portHeldOpen = false;
    std::vector<std::size_t> ids;
    if (m_access.ownPorts(ids) != kErrorSuccess)
        return false;
    for (std::size_t id : ids) {
        std::uint32_t handle = 0;
        if (m_access.open(id, handle) != kErrorSuccess) {
            m_portHeldOpen = true;
            break;
        }
        m_access.close(handle);
    }
    return m_portHeldOpen;
}

bool VspManager::checkConnectionStatus()
{
    std::vector<std::size_t> ids;
    const Win32Error error = m_access.ownPorts(ids);
    if (error != kErrorSuccess) {
        log(errorText("Check VSP connection status failed (0x%x)\n", error));
        return true;
    }
    for (std::size_t id : ids) {
        std::uint32_t handle = 0;
        if (m_access.open(id, handle) != kErrorSuccess)
            continue;
        PortSettings settings;
        const bool linked = m_access.readSettings(handle, settings) == kErrorSuccess && settings.linkState == 1;
        m_access.close(handle);
        if (linked)
            return true;
    }
    return false;
}

// ---- start-up and the list

void VspManager::start(bool enumerateNow)
{
    std::vector<std::string> dropped;
    m_loaded = loadVspFile(m_options.datPath, m_fileEntries, &dropped);
    for (const auto& line : dropped)
        log(line);
    (void)anyPortHeldOpen();
    m_controls = {};
    buttonsNoSelection();
    m_watch.resetStates();
    if (m_options.watch)
        m_watch.start();
    if (enumerateNow) {
        enumerate();
        return;
    }
    m_timers.start(kTimerEnumerate, 1s, [this] {
        m_timers.kill(kTimerEnumerate);
        enumerate();
    });
}

void VspManager::clampAndWrite(std::size_t row, PortSettings& settings)
{
    const std::uint32_t top = limit(settings.protocol);
    if (settings.maxPacketLen > top) {
        settings.maxPacketLen = top;
        (void)writePort(row, settings);
    }
}

bool VspManager::hostReachable() { return m_access.connected(); }

// Every own port becomes a row, a port held by another program too: its name
// and link come from the host's node list, which needs no open, and the row
// is marked held. What is shown comes from the host; "vsp.dat" only lends a
// port's remembered connection to the reconnect at start.
void VspManager::enumerate(bool /*afterAdd*/)
{
    m_mtu = m_options.mtu ? *m_options.mtu : smallestMtu();
    m_table.clear();
    m_selected.reset();
    std::vector<std::size_t> ids;
    const Win32Error error = m_access.ownPorts(ids);
    if (error != kErrorSuccess)
        log(errorText("Enumerate interfaces             Failed (0x%x)\n", error));
    for (std::size_t id : ids) {
        if (m_table.size() >= kMaxPorts)
            break;
        std::string name;
        PortSettings settings;
        bool held = false;
        std::uint32_t handle = 0;
        const Win32Error opened = m_access.open(id, handle);
        if (opened == kErrorSuccess) {
            const Win32Error named = m_access.dosName(handle, name);
            const Win32Error read = m_access.readSettings(handle, settings);
            m_access.close(handle);
            if (named != kErrorSuccess)
                showMessage(errorText("IOCTL_GET_DOS_NAME Failed (0x%x)\n", named));
            if (read != kErrorSuccess)
                showMessage(errorText("IOCTL_GET_REMOTE_INFO Failed (0x%x)\n", read));
        } else if (!m_access.nodeOf(id, settings, name)) {
            log(openFailureText(opened));
            continue;
        } else {
            held = true;
        }
        PortEntry entry;
        entry.portId = std::to_string(id);
        entry.portName = name;
        entry.portName2 = name;
        const std::size_t row = m_table.add(entry);
        m_table[row].held = held;
        (void)m_access.wireProtocol(id, m_table[row].wireProtocol);
        auto& stored = m_table[row].entry;
        if (held) {
            // The node list lacks the settings the file keeps; take those
            // from the remembered entry of the same port.
            for (const auto& remembered : m_fileEntries) {
                if (remembered.portName == name && remembered.portId == stored.portId) {
                    const PortSettings link = settings;
                    settings = settingsOf(remembered);
                    settings.linkState = link.linkState;
                }
            }
        } else {
            showSettings(settings);
            clampAndWrite(row, settings);
        }
        storeSettings(stored, settings);
        stored.status = std::string(kStatusIdle);
        // Keep what the file remembers about this port's last connection:
        // the reconnect at start-up looks for it.
        for (const auto& remembered : m_fileEntries) {
            if (remembered.portName == name && remembered.portId == stored.portId)
                stored.status = remembered.status;
        }
        if (settings.linkState == 1) {
            m_table.showConnected(row, settings);
            m_watch.setState(row, kWatchAnswered);
        }
    }
    m_neighbours->rebuildPortItems();
    changed();
}

} // namespace utility::vsp
