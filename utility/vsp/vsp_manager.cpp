#include "utility/vsp/vsp_manager.h"

#include <algorithm>
#include <cstdio>

using namespace common;
using namespace std::chrono_literals;

namespace utility::vsp {

namespace {

enum Timer : int { kTimerRemove = 3, kTimerProgress = 7 };

WatchOptions watchOptions(const VspOptions& options)
{
    return { options.bindAddress, options.queryPort, options.watchPort };
}

} // namespace

std::uint32_t packetLimit(std::uint8_t protocol, std::uint32_t mtu) { return protocol ? mtu - 28 : mtu - 40; }

VspManager::VspManager(platform::EventLoop& loop, platform::Prompter& prompter, VspDialogs& dialogs, VspOptions options)
    : m_loop(loop)
    , m_prompter(prompter)
    , m_dialogs(dialogs)
    , m_options(std::move(options))
    , m_access(m_options.runtimeDir, m_options.hardwareId)
    , m_provisioner(m_access, m_options.runtimeDir, m_options.devcon)
    , m_watch(loop, m_table, *this, watchOptions(m_options))
    , m_timers(loop)
{
}

VspManager::~VspManager() { m_timers.killAll(); }

// ---- messages and the status line

void VspManager::setStatusLine(const std::string& text)
{
    m_statusLine = text;
    if (m_statusSink)
        m_statusSink(text);
}

void VspManager::showMessage(const std::string& text) { m_prompter.message(text); }

void VspManager::log(const std::string& text)
{
    if (m_logSink)
        m_logSink(text);
}

void VspManager::changed()
{
    if (m_changeSink)
        m_changeSink();
}

bool VspManager::save()
{
    // Only the rows this program changed are its to store; for the others
    // the file keeps what another program may have stored meanwhile.
    const auto saved = saveVspFile(m_options.datPath, m_table.entries(), m_changedPorts);
    if (!saved.ok()) {
        m_saveFailed = true;
        log(saved.error().message);
        showMessage("Failed to save Virtual Serial Port setting data!");
        return false;
    }
    m_changedPorts.clear();
    return true;
}

void VspManager::rememberStatus(std::size_t row, bool connected)
{
    m_table.rememberStatus(row, connected);
    m_changedPorts.insert(m_table[row].entry.portName);
}

std::uint32_t VspManager::bindAddress() const
{
    std::uint32_t address = 0;
    (void)parseHostAddress(m_options.bindAddress, address);
    return address;
}

// ---- port access

std::optional<std::uint32_t> VspManager::openPort(std::size_t row, bool tellHeld)
{
    const auto id = m_table.portId(row);
    if (!id)
        return std::nullopt;
    std::uint32_t handle = 0;
    const Win32Error error = m_access.open(*id, handle);
    if (error == kErrorSuccess) {
        m_table[row].held = false; // whoever held it has let it go
        return handle;
    }
    if (tellHeld)
        showMessage(openFailureText(error));
    return std::nullopt;
}

Win32Error VspManager::readPort(std::size_t row, PortSettings& settings, bool report)
{
    const auto handle = openPort(row, report);
    if (!handle)
        return kErrorBadCommand;
    const Win32Error error = m_access.readSettings(*handle, settings);
    m_access.close(*handle);
    if (error != kErrorSuccess && report)
        showMessage(errorText("IOCTL_GET_REMOTE_INFO Failed (0x%x)\n", error));
    return error;
}

Win32Error VspManager::writePort(std::size_t row, const PortSettings& settings, bool report)
{
    const auto handle = openPort(row, report);
    if (!handle)
        return kErrorBadCommand;
    const Win32Error error = m_access.writeSettings(*handle, settings, bindAddress());
    m_access.close(*handle);
    if (error != kErrorSuccess && report)
        showMessage(errorText("IOCTL_SET_REMOTE_INFO Failed (0x%x)\n", error));
    return error;
}

void VspManager::showSettings(const PortSettings& settings)
{
    m_controls.protocol = settings.protocol;
    m_controls.connType = settings.connType ? 1u : 0u;
    m_controls.connectAtWinStart = settings.connectAtWinStart != 0;
    m_controls.cmdByte = settings.cmdByte != 0;
    m_controls.maxPacketLen = settings.maxPacketLen;
    const std::string port = std::to_string(settings.remoteHostPort);
    if (settings.connType) {
        m_controls.remoteHostPort = port;
        m_controls.listenPort.clear();
    } else {
        m_controls.listenPort = port;
        m_controls.remoteHostPort.clear();
    }
    m_controls.address = settings.remoteHostIp ? hostAddressText(settings.remoteHostIp) : std::string();
}

void VspManager::buttonsNoSelection()
{
    m_buttons.add = true;
    m_buttons.remove = m_buttons.connect = m_buttons.close = m_buttons.setting = false;
    // The caption belongs to the selected row; a removed server row leaves none.
    m_buttons.connectCaption = "Connect";
}

void VspManager::buttonsAfterConnect()
{
    m_buttons.close = true;
    m_buttons.connect = m_buttons.setting = m_buttons.remove = false;
}

void VspManager::selectRow(std::optional<std::size_t> row)
{
    if (m_editing)
        return;
    if (!row || *row >= m_table.size()) {
        m_selected.reset();
        buttonsNoSelection();
        changed();
        return;
    }
    m_selected = row;
    PortSettings settings;
    // A held port is said once, by the action that needs it, not by the
    // selection that precedes the action as well.
    const bool wasHeld = m_table[*row].held;
    const bool read = readPort(*row, settings, false) == kErrorSuccess;
    // A port a program holds open (the window's own terminal or another)
    // can be neither read nor changed; the row says so until it is let go.
    m_table[*row].held = !read;
    if (!read)
        setStatusLine(m_table[*row].entry.portName
            + " is open in a program (the COM Port Terminal or another): close it there to change the port.");
    else if (wasHeld)
        setStatusLine("");
    if (read) {
        if (settings.linkState == 1) {
            m_table.showConnected(*row, settings);
        } else {
            m_table.showIdle(*row);
            m_neighbours->setPortItemText(m_table[*row].entry.portName, m_table[*row].entry.portName);
        }
    }
    const std::string& status = m_table[*row].status;
    if (status == kStatusIdle) {
        if (read) {
            showSettings(settings);
            m_buttons.connect = m_buttons.add = m_buttons.remove = m_buttons.setting = true;
            m_buttons.close = false;
        } else {
            m_buttons.connect = m_buttons.remove = m_buttons.setting = m_buttons.close = false;
            m_buttons.add = true;
        }
    } else if (status == kStatusConnected || status == kStatusServer) {
        if (read)
            showSettings(settings);
        m_buttons.connect = m_buttons.remove = m_buttons.setting = false;
        m_buttons.close = true;
    } else {
        if (read)
            showSettings(settings);
        m_buttons.connect = m_buttons.close = m_buttons.remove = m_buttons.setting = false;
    }
    if (const auto id = m_table.portId(*row))
        (void)m_access.wireProtocol(*id, m_table[*row].wireProtocol);
    m_controls.wireProtocol = m_table[*row].wireProtocol;
    m_buttons.connectCaption = m_controls.connType.value_or(1) ? "Connect" : "Server";
    changed();
}

bool VspManager::writeWireProtocol(std::size_t row, WireProtocol wire)
{
    const auto id = m_table.portId(row);
    const Win32Error error = id ? m_access.setWireProtocol(*id, wire) : kErrorFileNotFound;
    if (error != kErrorSuccess) {
        showMessage(errorText("Write WireProtocol Failed (0x%x)\n", error));
        return false;
    }
    m_table[row].wireProtocol = wire;
    return true;
}

bool VspManager::setWireProtocol(const std::string& portName, WireProtocol wire)
{
    const auto row = rowOf(portName);
    if (!row) {
        showMessage("No virtual serial port " + portName);
        return false;
    }
    const bool written = writeWireProtocol(*row, wire);
    if (m_selected == row)
        m_controls.wireProtocol = m_table[*row].wireProtocol;
    changed();
    return written;
}

void VspManager::chooseClient()
{
    if (!m_controls.remoteHostPort.empty() || !m_controls.listenPort.empty())
        m_controls.remoteHostPort = m_controls.listenPort.empty() ? m_controls.remoteHostPort : m_controls.listenPort;
    m_controls.listenPort.clear();
    m_controls.connType = 1;
}

void VspManager::chooseServer()
{
    m_controls.listenPort = m_controls.remoteHostPort.empty() ? m_controls.listenPort : m_controls.remoteHostPort;
    m_controls.remoteHostPort.clear();
    m_controls.connType = 0;
}

void VspManager::setMaxPacketLen(std::uint32_t value)
{
    m_controls.maxPacketLen = std::min(value, limit(m_controls.protocol));
}

// ---- Add

bool VspManager::clickAdd()
{
    if (anyPortHeldOpen()) {
        showMessage("You need to close all opened VSP ports before adding a new one!");
        return false;
    }
    std::vector<std::uint8_t> usage;
    std::string failure;
    if (!m_access.usageMap(usage, failure)) {
        showMessage(failure);
        return false;
    }
    const auto choice = m_dialogs.comPortChoice(comChoiceTexts(usage), firstFreeCom(usage), WireProtocol::Native);
    if (!choice || choice->index < 0 || choice->index >= static_cast<int>(kMaxComNumber))
        return false;
    const int number = choice->index + 1;
    if (usage[static_cast<std::size_t>(choice->index)]) {
        showMessage("The selected port number is in used.");
        return false;
    }
    setStatusLine("Adding virtual serial port driver...");
    m_progressMax = m_table.size() >= 2 ? static_cast<int>(m_table.size()) + 5 : 2;
    m_progress = 1;
    m_timers.start(kTimerProgress, 500ms, [this] { m_progress = std::min(m_progress + 1, m_progressMax); });
    std::vector<std::size_t> before;
    (void)m_access.ownPorts(before);
    if (const Outcome installed = m_provisioner.install(m_options.infName, number); !installed.ok())
        showMessage(installed.failure);
    enumerate(true);
    std::vector<std::size_t> after;
    (void)m_access.ownPorts(after);
    const bool added = after.size() != before.size();
    // A new node has no value and speaks native framing; only another choice is written.
    if (const auto row = rowOf("COM" + std::to_string(number));
        added && row && choice->wireProtocol != WireProtocol::Native)
        (void)writeWireProtocol(*row, choice->wireProtocol);
    setStatusLine(added ? "Added a virtual serial port successfully" : "Added a virtual serial port failed");
    m_timers.kill(kTimerProgress);
    m_progress = m_progressMax;
    m_selected.reset();
    buttonsNoSelection();
    m_neighbours->rebuildPortItems();
    save();
    changed();
    return added;
}

// ---- Remove

bool VspManager::removeByName(const std::string& portName)
{
    const auto row = rowOf(portName);
    if (!row)
        return false;
    selectRow(row);
    return clickRemove();
}

bool VspManager::clickRemove()
{
    if (!m_selected || m_provisioner.removing())
        return false;
    const std::size_t row = *m_selected;
    // A terminal of this program holding the port would make the removal fail.
    m_neighbours->portClosing(m_table[row].entry.portName);
    const auto handle = openPort(row);
    if (!handle)
        return false;
    m_access.close(*handle);
    m_buttons.remove = false;
    if (const Outcome started = m_provisioner.startRemoval(*m_table.portId(row)); !started.ok()) {
        showMessage(started.failure);
        m_buttons.remove = true;
        return false;
    }
    m_removingRow = row;
    m_timers.start(kTimerRemove, 3s, [this] {
        m_timers.kill(kTimerRemove);
        (void)finishRemove();
    });
    changed();
    return true;
}

bool VspManager::finishRemove()
{
    if (!m_provisioner.removing() || !m_removingRow)
        return false;
    m_timers.kill(kTimerRemove);
    // The tool removes a node within a few seconds; one that is still running
    // or failed leaves the port in place, so its row stays.
    const bool removed = m_provisioner.finishRemoval(10s);
    const std::size_t row = *m_removingRow;
    m_removingRow.reset();
    if (!removed || row >= m_table.size()) {
        showMessage("Failed to remove the virtual serial port driver!");
        m_buttons.remove = true;
        changed();
        return true;
    }
    const std::string name = m_table[row].entry.portName;
    m_watch.removeRow(row, m_table.size());
    m_table.removeShifting(row);
    m_selected.reset();
    setStatusLine("VSP removed successfully");
    buttonsNoSelection();
    m_neighbours->removePortItem(name);
    save();
    changed();
    return true;
}

// ---- Setting

bool VspManager::clickSetting()
{
    if (!m_selected)
        return false;
    const std::size_t row = *m_selected;
    if (!m_editing) {
        // The settings of a live connection are not changed under it (the
        // window disables Setting then): a new remote would only show in the
        // list while the port stays connected to the old one.
        if (const std::string& status = m_table[row].status; status != kStatusIdle) {
            showMessage(
                m_table[row].entry.portName + " is " + status + ": close its connection before changing its settings");
            return false;
        }
        // The edit writes the port and may rename it: our own terminal lets go first.
        m_neighbours->portClosing(m_table[row].entry.portName);
        const auto handle = openPort(row, false);
        if (!handle) {
            showMessage("Please stop terminal program first\n");
            return false;
        }
        m_access.close(*handle);
        m_editing = true;
        m_buttons.settingCaption = "OK";
        m_buttons.list = m_buttons.add = m_buttons.remove = m_buttons.connect = m_buttons.close = false;
        m_buttons.editControls = true;
        std::vector<std::uint8_t> usage;
        std::string failure;
        (void)m_access.usageMap(usage, failure);
        m_controls.comTexts = comChoiceTexts(usage);
        m_controls.comIndex = std::max(0, comNumber(m_table[row].entry.portName) - 1);
        changed();
        return true;
    }
    if (!m_controls.connType) {
        showMessage("Not Select The Connection Type!");
        return false;
    }
    const bool client = *m_controls.connType != 0;
    PortSettings settings;
    // A client without a remote address would be stored as 0.0.0.0.
    if (!parseHostAddress(m_controls.address, settings.remoteHostIp) && client) {
        showMessage("Invalid remote host IP address: " + m_controls.address);
        return false;
    }
    settings.remoteHostPort = portNumberText(client ? m_controls.remoteHostPort : m_controls.listenPort);
    settings.protocol = m_controls.protocol;
    settings.connectAtWinStart = m_controls.connectAtWinStart ? 1 : 0;
    settings.connType = client ? 1 : 0;
    settings.cmdByte = m_controls.cmdByte ? 1 : 0;
    settings.maxPacketLen = m_controls.maxPacketLen;
    bool written = writePort(row, settings) == kErrorSuccess;
    if (m_controls.wireProtocol != m_table[row].wireProtocol)
        written = writeWireProtocol(row, m_controls.wireProtocol) && written;
    m_editing = false;
    m_buttons.settingCaption = "Setting";
    m_buttons.list = m_buttons.add = m_buttons.remove = m_buttons.connect = true;
    m_buttons.connectCaption = client ? "Connect" : "Server";
    m_buttons.editControls = false;
    m_buttons.close = false;
    const int wanted = m_controls.comIndex + 1;
    auto& entry = m_table[row].entry;
    if (m_controls.comIndex != 0 && wanted != comNumber(entry.portName)) {
        bool renamed = false;
        const Outcome outcome = m_provisioner.changeComNumber(
            *m_table.portId(row), *m_table.portId(m_table.size() - 1), entry.portName, wanted, renamed);
        if (!outcome.ok())
            showMessage(outcome.failure);
        if (renamed) {
            m_changedPorts.insert(entry.portName);
            entry.portName = "COM" + std::to_string(wanted);
            m_neighbours->rebuildPortItems();
        }
    }
    storeSettings(entry, settings);
    entry.status = m_table[row].status;
    entry.portName2 = entry.portName;
    m_changedPorts.insert(entry.portName);
    const bool saved = save();
    // The line says what this action did, not what Add did before it.
    setStatusLine(
        written && saved ? "Settings of " + entry.portName + " saved" : "Settings of " + entry.portName + " not saved");
    changed();
    return written;
}

} // namespace utility::vsp
