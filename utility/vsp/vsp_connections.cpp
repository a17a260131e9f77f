#include "utility/vsp/vsp_manager.h"

#include <cstdio>

using namespace common;
using namespace std::chrono_literals;

// Connect (client), Server, Close, the same by port name for the other views,
// the reconnect at start and what the connection watch asks of the manager.
namespace utility::vsp {

namespace {

enum Timer : int { kTimerReconnect = 5 };

} // namespace

Win32Error VspManager::sendRequest(std::size_t row, std::uint32_t code)
{
    const auto handle = openPort(row, false);
    if (!handle)
        return kErrorBadCommand;
    const Win32Error error = m_access.control(*handle, code, {}, 0);
    m_access.close(*handle);
    return error;
}

bool VspManager::clickConnect()
{
    if (!m_selected)
        return false;
    const std::size_t row = *m_selected;
    PortSettings settings;
    std::uint32_t connType = m_controls.connType.value_or(1);
    if (readPort(row, settings, false) == kErrorSuccess && writePort(row, settings, false) == kErrorSuccess) {
        connType = settings.connType;
    } else {
        showMessage("Virtual serial port configuration failed!");
    }
    return connType ? connectClient(row) : connectServer(row);
}

bool VspManager::connectClient(std::size_t row)
{
    const std::string address = m_controls.address;
    const std::string portText = m_controls.remoteHostPort;
    const bool sameDevice = [&] {
        for (std::size_t other = 0; other < m_table.size(); ++other) {
            const auto& r = m_table[other];
            if (other != row && watchedStatus(r.status) && r.remoteIp == address && r.remotePort == portText)
                return true;
        }
        return false;
    }();
    if (!address.empty() && (sameDevice || m_neighbours->portItemContains(address))) {
        showMessage(
            "Warning: This remote device has already established a connection with another virtual serial port!");
        return false;
    }
    if (const auto udp = m_neighbours->deviceUdpFlag(address)) {
        PortSettings settings;
        if (readPort(row, settings, false) != kErrorSuccess) {
            showMessage("Virtual serial port configuration failed!");
        } else if ((settings.protocol != 0) != *udp) {
            settings.protocol = *udp ? 1 : 0;
            (void)writePort(row, settings);
            m_controls.protocol = settings.protocol;
        }
    }
    const std::string name = m_table[row].entry.portName;
    const std::string target = address + ":" + portText;
    const auto handle = openPort(row, false);
    if (!handle) {
        showMessage("Please stop terminal program first\n");
        log(name + ": not connected to " + target + ": a program holds the port open");
        return false;
    }
    m_buttons.connect = false;
    setStatusLine("Connecting...");
    const Win32Error error = m_access.control(*handle, kIoctlConnection, {}, 0);
    m_access.close(*handle);
    std::uint32_t ip = 0;
    (void)parseHostAddress(address, ip);
    const std::uint16_t port = portNumberText(portText);
    if (error == kErrorSuccess) {
        setStatusLine(format("Connected to remote host %d.%d.%d.%d@%d successfully", static_cast<int>(ip >> 24),
            static_cast<int>((ip >> 16) & 0xFF), static_cast<int>((ip >> 8) & 0xFF), static_cast<int>(ip & 0xFF),
            static_cast<int>(port)));
        PortSettings shown;
        shown.connType = 1;
        shown.remoteHostIp = ip;
        shown.remoteHostPort = port;
        m_table.showConnected(row, shown);
        buttonsAfterConnect();
        m_watch.setState(row, kWatchAnswered);
        m_neighbours->setPortItemText(m_table[row].entry.portName, m_table.description(row));
        log(name + ": connected to " + target + (m_controls.protocol ? " (UDP)" : " (TCP)"));
    } else {
        if (error == kErrorSemTimeout)
            showMessage("Connection failed! (Remote host unreachable)");
        else if (error == kErrorConnectionRefused)
            showMessage("Connection failed! (The remote host refused the network connection)");
        else
            showMessage(errorText("Connection failed! (Unknown error, error code: 0x%x)", error));
        log(name + ": not connected to " + target + ": "
            + (error == kErrorSemTimeout               ? std::string("no answer (timed out)")
                    : error == kErrorConnectionRefused ? std::string("the device refused the connection")
                                                       : errorText("error code 0x%x", error)));
        setStatusLine("");
        m_buttons.connect = true;
    }
    rememberStatus(row, error == kErrorSuccess);
    save();
    changed();
    return error == kErrorSuccess;
}

bool VspManager::connectServer(std::size_t row)
{
    const auto handle = openPort(row, false);
    if (!handle) {
        showMessage("Please stop terminal program first\n");
        return false;
    }
    const Win32Error error = m_access.control(*handle, kIoctlServer, {}, 0);
    m_access.close(*handle);
    if (error != kErrorSuccess) {
        showMessage(errorText("IOCTL_SERVER failed (0x%x)\n", error));
        log(m_table[row].entry.portName + ": not listening: " + errorText("error code 0x%x", error));
        return false;
    }
    auto& r = m_table[row];
    r.status = std::string(kStatusServer);
    r.remoteIp.clear();
    r.remotePort = m_controls.listenPort;
    buttonsAfterConnect();
    m_watch.setState(row, kWatchAnswered | kWatchNoAnswer);
    m_neighbours->setPortItemText(r.entry.portName, m_table.description(row));
    log(r.entry.portName + ": waiting for a device on port " + r.remotePort + " (server)");
    rememberStatus(row, true);
    save();
    changed();
    return true;
}

bool VspManager::connectByName(const std::string& portName, const std::string& address, std::uint16_t port, bool udp)
{
    const auto row = rowOf(portName);
    if (!row)
        return false;
    PortSettings settings;
    if (readPort(*row, settings) != kErrorSuccess)
        return false;
    settings.connType = 1;
    settings.protocol = udp ? 1 : 0;
    settings.remoteHostPort = port;
    (void)parseHostAddress(address, settings.remoteHostIp);
    m_controls.remoteHostPort = std::to_string(port);
    m_controls.address = address;
    if (writePort(*row, settings) != kErrorSuccess)
        return false;
    const auto handle = openPort(*row);
    if (!handle)
        return false;
    const Win32Error error = m_access.control(*handle, kIoctlConnection, {}, 0);
    m_access.close(*handle);
    if (error != kErrorSuccess) {
        showMessage(errorText("IOCTL_CONNECTION failed (0x%x)\n", error));
        return false;
    }
    setStatusLine(format("Connected to remote host %s@%d successfully", address.c_str(), static_cast<int>(port)));
    m_table.showConnected(*row, settings);
    buttonsAfterConnect();
    m_watch.setState(*row, kWatchAnswered);
    auto& r = m_table[*row];
    m_neighbours->setPortItemText(r.entry.portName, m_table.description(*row));
    storeSettings(r.entry, settings);
    rememberStatus(*row, true);
    save();
    changed();
    return true;
}

bool VspManager::clickClose()
{
    if (!m_selected)
        return false;
    return closeRow(*m_selected);
}

bool VspManager::closeByName(const std::string& portName)
{
    const auto row = rowOf(portName);
    if (!row)
        return false;
    m_selected = row;
    return closeRow(*row);
}

bool VspManager::closeRow(std::size_t row)
{
    auto& r = m_table[row];
    // An idle port has nothing to close (the window disables Close then);
    // the driver would only answer with an error code.
    if (PortSettings settings; readPort(row, settings, false) == kErrorSuccess && settings.linkState != 1) {
        m_table.showIdle(row);
        showMessage(r.entry.portName + " is not connected: nothing to close");
        changed();
        return false;
    }
    m_neighbours->portClosing(r.entry.portName);
    const auto handle = openPort(row, false);
    if (!handle) {
        showMessage("Please stop terminal program first\n");
        return false;
    }
    const Win32Error error = m_access.control(*handle, kIoctlDisconnection, {}, 0);
    m_access.close(*handle);
    if (error == kErrorSuccess) {
        setStatusLine("Connection closed successfully");
        m_table.showIdle(row);
        m_buttons.connect = m_buttons.setting = m_buttons.remove = true;
        m_buttons.close = false;
        m_neighbours->setPortItemText(r.entry.portName, r.entry.portName);
    } else {
        showMessage(errorText("IOCTL_DISCONNECTION failed (0x%x)\n", error));
    }
    m_buttons.add = m_buttons.remove = true;
    rememberStatus(row, false);
    save();
    changed();
    return error == kErrorSuccess;
}

// ---- what the watch asks for

std::optional<PortLink> VspManager::link(std::size_t row)
{
    const auto id = m_table.portId(row);
    if (!id)
        return std::nullopt;
    PortSettings settings;
    std::uint32_t handle = 0;
    if (m_access.open(*id, handle) == kErrorSuccess) {
        const Win32Error read = m_access.readSettings(handle, settings);
        m_access.close(handle);
        if (read != kErrorSuccess)
            return std::nullopt;
    } else {
        // A port a program holds open: the node list tells its link, though
        // not its local port.
        std::string name;
        if (!m_access.nodeOf(*id, settings, name) || name != m_table[row].entry.portName)
            return std::nullopt;
    }
    return PortLink { m_access.session(), settings.linkState, settings.localPort };
}

Win32Error VspManager::disconnect(std::size_t row) { return sendRequest(row, kIoctlDisconnection); }

// The device server reports no connection. A port that cannot be closed
// (held by a program) is logged once per spell, not shown in a box each round.
void VspManager::closeReported(std::size_t row)
{
    const std::string name = m_table[row].entry.portName;
    m_neighbours->portClosing(name);
    if (sendRequest(row, kIoctlDisconnection) != kErrorSuccess) {
        if (m_watchCloseFailed.insert(name).second)
            log(name + " cannot be closed: " + openFailureText(kErrorBadCommand));
        return;
    }
    m_watchCloseFailed.erase(name);
    selectRow(row);
    setStatusLine("Connection closed successfully");
    m_table.showIdle(row);
    m_buttons.connect = m_buttons.setting = m_buttons.remove = m_buttons.add = true;
    m_buttons.close = false;
    m_neighbours->setPortItemText(name, name);
    rememberStatus(row, false);
    save();
    changed();
}

void VspManager::disconnecting(std::size_t row)
{
    if (m_selected == row)
        m_buttons.close = false;
}

void VspManager::cannotListen(const std::string& text)
{
    log(text);
    if (m_errorSink)
        m_errorSink(text);
}

// ---- reconnecting at start

void VspManager::checkConnectedPorts()
{
    if (!m_loaded)
        return;
    for (std::size_t row = 0; row < m_table.size(); ++row) {
        const auto& entry = m_table[row].entry;
        if (entry.connType != 1 || entry.status != kStatusConnected)
            continue;
        PortSettings settings;
        if (readPort(row, settings, false) != kErrorSuccess || settings.linkState == 1)
            continue;
        m_neighbours->sendConnectNotice(hostAddressText(entry.remoteHostIp), settings.localPort);
        if (entry.connectAtWinStart)
            m_timers.start(kTimerReconnect, 2s, [this] { reconnectTimer(); });
    }
}

void VspManager::reconnectTimer()
{
    m_timers.kill(kTimerReconnect);
    for (std::size_t row = 0; row < m_table.size(); ++row) {
        if (m_table[row].entry.connType != 1)
            continue;
        PortSettings settings;
        if (readPort(row, settings, false) != kErrorSuccess || settings.linkState == 1 || !settings.connectAtWinStart)
            continue;
        const auto handle = openPort(row, false);
        if (!handle) {
            showMessage("Please stop terminal program first\n");
            return;
        }
        const Win32Error error = m_access.control(*handle, kIoctlConnection, {}, 0);
        m_access.close(*handle);
        if (error != kErrorSuccess)
            continue;
        m_table.showConnected(row, settings);
        m_watch.setState(row, kWatchAnswered);
        m_neighbours->setPortItemText(m_table[row].entry.portName, m_table.description(row));
        log(m_table[row].entry.portName + " " + std::string(kStatusConnected));
    }
    changed();
}

} // namespace utility::vsp
