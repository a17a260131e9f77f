#include "utility/vsp/vsp_manager.h"

#include "common/inf_file.h"
#include "platform/child_process.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>

using namespace common;
using namespace std::chrono_literals;

namespace utility::vsp {

namespace {

enum Timer : int {
    kTimerWatchSend = 1,
    kTimerWatchEvaluate = 2,
    kTimerRemove = 3,
    kTimerEnumerate = 4,
    kTimerReconnect = 5,
    kTimerProgress = 7
};

constexpr std::uint32_t kWatchAnswered = 1; // the device server reports a connection
constexpr std::uint32_t kWatchNoAnswer = 2; // no answer since the last evaluation
constexpr std::uint32_t kWatchStep = 256; // one evaluation without an answer
constexpr std::uint32_t kWatchLimit = 15361; // 60 such evaluations
constexpr std::string_view kSignature = "ZORVVROZ";
constexpr std::size_t kReplyAddress = 34;
constexpr std::size_t kReplyConnection = 69;

template <typename... Args> std::string format(const char* pattern, Args... args)
{
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, pattern, args...);
    return buffer;
}

std::string hexError(const char* pattern, Win32Error error) { return format(pattern, static_cast<unsigned>(error)); }

bool active(std::string_view status) { return status != kStatusIdle && status != kStatusServer; }

std::uint16_t portNumber(const std::string& text)
{
    std::uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        if (value > 0xFFFF)
            return 0;
    }
    return static_cast<std::uint16_t>(value);
}

} // namespace

Rgb rowColour(std::string_view status)
{
    if (status == kStatusConnected || status == kStatusServer)
        return { 200, 255, 200 };
    if (status == kStatusDisconnecting)
        return { 255, 200, 200 };
    return {};
}

std::vector<std::string> comChoiceTexts(const std::vector<std::uint8_t>& usage)
{
    std::vector<std::string> texts;
    for (std::size_t number = 1; number <= kMaxComNumber; ++number) {
        const bool used = number - 1 < usage.size() && usage[number - 1];
        texts.push_back(format(used ? "COM%d (in used)" : "COM%d", static_cast<int>(number)));
    }
    return texts;
}

int firstFreeCom(const std::vector<std::uint8_t>& usage)
{
    for (std::size_t index = 0; index < kMaxComNumber; ++index) {
        if (index >= usage.size() || !usage[index])
            return static_cast<int>(index);
    }
    return 0;
}

std::uint32_t packetLimit(std::uint8_t protocol, std::uint32_t mtu) { return protocol ? mtu - 28 : mtu - 40; }

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

VspManager::VspManager(platform::EventLoop& loop, platform::Prompter& prompter, VspDialogs& dialogs, VspOptions options)
    : m_loop(loop)
    , m_prompter(prompter)
    , m_dialogs(dialogs)
    , m_options(std::move(options))
    , m_access(m_options.runtimeDir, m_options.hardwareId)
    , m_timers(loop)
{
    m_watch.fill(kWatchNoAnswer);
}

VspManager::~VspManager()
{
    m_timers.killAll();
    if (m_watchSocket)
        m_loop.unwatchFd(m_watchSocket->fd());
}

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
    std::vector<PortEntry> entries;
    for (const auto& row : m_rows)
        entries.push_back(row.entry);
    if (!saveVspFile(m_options.datPath, entries)) {
        showMessage("Failed to save Virtual Serial Port setting data!");
        return false;
    }
    return true;
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
    if (row >= m_rows.size())
        return std::nullopt;
    std::uint32_t handle = 0;
    const Win32Error error = m_access.open(std::stoul("0" + m_rows[row].entry.portId), handle);
    if (error == kErrorSuccess)
        return handle;
    if (tellHeld)
        showMessage(error == kErrorBadCommand ? "Please stop terminal program first\n"
                                              : hexError("Open serial device failed (0x%x)\n", error));
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
        showMessage(hexError("IOCTL_GET_REMOTE_INFO Failed (0x%x)\n", error));
    if (error == kErrorSuccess)
        m_last = settings;
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
        showMessage(hexError("IOCTL_SET_REMOTE_INFO Failed (0x%x)\n", error));
    return error;
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
        log(hexError("Check VSP connection status failed (0x%x)\n", error));
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
    m_loaded = loadVspFile(m_options.datPath, m_fileEntries);
    (void)anyPortHeldOpen();
    m_controls = {};
    buttonsNoSelection();
    m_watch.fill(kWatchNoAnswer);
    if (m_options.watch)
        m_timers.start(kTimerWatchSend, 5s, [this] { watchSend(); });
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

void VspManager::addRow(const PortEntry& entry)
{
    VspRow row;
    row.entry = entry;
    row.status = std::string(kStatusIdle);
    m_rows.push_back(std::move(row));
}

void VspManager::rebuildFromTable()
{
    m_rows.clear();
    for (const auto& entry : m_fileEntries) {
        if (m_rows.size() >= kMaxPorts)
            break;
        VspRow row;
        row.entry = entry;
        row.status = entry.status;
        if (entry.remotePortText != "#") {
            row.remotePort = entry.remotePortText;
            if (entry.connType > 0) {
                row.remoteIp = entry.remoteIpText;
                row.status = std::string(kStatusConnected);
            } else {
                row.status = std::string(kStatusServer);
            }
        }
        m_rows.push_back(std::move(row));
        const std::size_t index = m_rows.size() - 1;
        if (entry.maxPacketLen > limit(entry.protocol)) {
            m_rows[index].entry.maxPacketLen = limit(entry.protocol);
            PortSettings settings;
            settings.remoteHostIp = entry.remoteHostIp;
            settings.remoteHostPort = entry.remoteHostPort;
            settings.protocol = entry.protocol;
            settings.connectAtWinStart = entry.connectAtWinStart;
            settings.connType = entry.connType;
            settings.cmdByte = entry.cmdByte;
            settings.maxPacketLen = m_rows[index].entry.maxPacketLen;
            (void)writePort(index, settings, false);
        }
    }
    if (!m_rows.empty()) {
        const auto& last = m_rows.back().entry;
        PortSettings settings;
        settings.remoteHostIp = last.remoteHostIp;
        settings.remoteHostPort = last.remoteHostPort;
        settings.protocol = last.protocol;
        settings.connectAtWinStart = last.connectAtWinStart;
        settings.connType = last.connType;
        settings.cmdByte = last.cmdByte;
        settings.maxPacketLen = last.maxPacketLen;
        showSettings(settings);
    }
}

void VspManager::enumerate(bool afterAdd)
{
    m_mtu = m_options.mtu ? *m_options.mtu : smallestMtu();
    if (m_loaded && !m_fileEntries.empty() && m_portHeldOpen && !afterAdd) {
        rebuildFromTable();
        m_neighbours->rebuildPortItems();
        changed();
        return;
    }
    m_rows.clear();
    m_selected.reset();
    std::vector<std::size_t> ids;
    const Win32Error error = m_access.ownPorts(ids);
    if (error != kErrorSuccess)
        log(hexError("Enumerate interfaces             Failed (0x%x)\n", error));
    for (std::size_t id : ids) {
        if (m_rows.size() >= kMaxPorts)
            break;
        std::uint32_t handle = 0;
        const Win32Error opened = m_access.open(id, handle);
        if (opened != kErrorSuccess) {
            // A port taken between the check and here: the list stops rather
            // than showing rows it cannot name.
            showMessage(opened == kErrorBadCommand ? "Please stop terminal program first\n"
                                                   : hexError("Open serial device failed (0x%x)\n", opened));
            break;
        }
        std::string name;
        const Win32Error named = m_access.dosName(handle, name);
        PortSettings settings;
        const Win32Error read = m_access.readSettings(handle, settings);
        m_access.close(handle);
        if (named != kErrorSuccess)
            showMessage(hexError("IOCTL_GET_DOS_NAME Failed (0x%x)\n", named));
        if (read != kErrorSuccess)
            showMessage(hexError("IOCTL_GET_REMOTE_INFO Failed (0x%x)\n", read));
        PortEntry entry;
        entry.portId = std::to_string(id);
        entry.portName = name;
        entry.portName2 = name;
        addRow(entry);
        const std::size_t row = m_rows.size() - 1;
        showSettings(settings);
        clampAndWrite(row, settings);
        auto& stored = m_rows[row].entry;
        stored.remoteHostIp = settings.remoteHostIp;
        stored.remoteHostPort = settings.remoteHostPort;
        stored.protocol = settings.protocol;
        stored.connectAtWinStart = settings.connectAtWinStart;
        stored.connType = settings.connType;
        stored.cmdByte = settings.cmdByte;
        stored.maxPacketLen = settings.maxPacketLen;
        stored.status = std::string(kStatusIdle);
        // Keep what the file remembers about this port's last connection:
        // the reconnect at start-up looks for it.
        for (const auto& remembered : m_fileEntries) {
            if (remembered.portName == name && remembered.portId == stored.portId)
                stored.status = remembered.status;
        }
        if (settings.linkState == 1) {
            showConnected(row, settings);
            m_watch[row] = kWatchAnswered;
        }
    }
    m_neighbours->rebuildPortItems();
    changed();
}

std::optional<std::size_t> VspManager::rowOf(const std::string& portName) const
{
    for (std::size_t row = 0; row < m_rows.size(); ++row) {
        if (m_rows[row].entry.portName == portName)
            return row;
    }
    return std::nullopt;
}

std::string VspManager::itemDescription(std::size_t row) const
{
    const auto& r = m_rows[row];
    if (r.status == kStatusServer)
        return r.entry.portName + " (" + std::string(kStatusServer) + ")";
    if (r.status == kStatusConnected || r.status == kStatusDisconnecting)
        return r.entry.portName + " (" + r.remoteIp + ")";
    return r.entry.portName;
}

std::vector<std::string> VspManager::portDescriptions()
{
    std::vector<std::string> out;
    for (std::size_t row = 0; row < m_rows.size(); ++row)
        out.push_back(itemDescription(row));
    return out;
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

void VspManager::showConnected(std::size_t row, const PortSettings& settings)
{
    auto& r = m_rows[row];
    r.status = std::string(settings.connType ? kStatusConnected : kStatusServer);
    r.remoteIp = settings.connType > 0 && settings.remoteHostIp ? hostAddressText(settings.remoteHostIp) : "";
    r.remotePort = settings.remoteHostPort ? std::to_string(settings.remoteHostPort) : "";
}

void VspManager::showIdle(std::size_t row)
{
    auto& r = m_rows[row];
    r.status = std::string(kStatusIdle);
    r.remoteIp.clear();
    r.remotePort.clear();
}

void VspManager::buttonsNoSelection()
{
    m_buttons.add = true;
    m_buttons.remove = m_buttons.connect = m_buttons.close = m_buttons.setting = false;
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
    if (!row || *row >= m_rows.size()) {
        m_selected.reset();
        buttonsNoSelection();
        changed();
        return;
    }
    m_selected = row;
    PortSettings settings;
    const bool read = readPort(*row, settings) == kErrorSuccess;
    if (read) {
        if (settings.linkState == 1) {
            showConnected(*row, settings);
        } else {
            showIdle(*row);
            m_neighbours->setPortItemText(m_rows[*row].entry.portName, m_rows[*row].entry.portName);
        }
    }
    const std::string& status = m_rows[*row].status;
    if (status == kStatusIdle) {
        if (read) {
            showSettings(settings);
            m_buttons.connect = m_buttons.add = m_buttons.remove = m_buttons.setting = true;
            m_buttons.close = false;
        } else {
            m_buttons.connect = m_buttons.add = m_buttons.remove = m_buttons.setting = m_buttons.close = false;
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
    m_buttons.connectCaption = m_controls.connType.value_or(1) ? "Connect" : "Server";
    changed();
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
    const auto chosen = m_dialogs.comPortConfiguration(comChoiceTexts(usage), firstFreeCom(usage));
    if (!chosen || *chosen < 0 || *chosen >= static_cast<int>(kMaxComNumber))
        return false;
    const int number = *chosen + 1;
    if (usage[static_cast<std::size_t>(*chosen)]) {
        showMessage("The selected port number is in used.");
        return false;
    }
    setStatusLine("Adding virtual serial port driver...");
    m_progressMax = m_rows.size() >= 2 ? static_cast<int>(m_rows.size()) + 5 : 2;
    m_progress = 1;
    m_timers.start(kTimerProgress, 500ms, [this] { m_progress = std::min(m_progress + 1, m_progressMax); });
    std::vector<std::size_t> before;
    (void)m_access.ownPorts(before);

    // The device installer's part: the INF names the hardware ID the node
    // gets; vorpild creates the node, writes PortName and starts it.
    std::string infPath = m_options.infName;
    infPath.erase(std::remove(infPath.begin(), infPath.end(), '"'), infPath.end());
    std::ifstream in(infPath, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    InfDevice device;
    bool installed = false;
    if (!in.good() && !in.eof()) {
        showMessage(format("SetupOpenInfFile error, %d\n", static_cast<int>(kErrorFileNotFound)));
    } else if (text.empty() || parseInf(text, device) != InfResult::Ok) {
        showMessage(text.empty()
                ? format("SetupOpenInfFile error, %d\n", static_cast<int>(kErrorFileNotFound))
                : format("search for specified device error, %d\n", static_cast<int>(kErrorNotSupported)));
    } else if (!m_access.connected()) {
        showMessage(format(
            "SetupDiCallClassInstaller(DIF_REGISTERDEVICE) error, %d\n", static_cast<int>(kErrorPipeNotConnected)));
    } else {
        std::string instance;
        const NtStatus status
            = m_access.client()->installNode(device.hardwareId, "COM" + std::to_string(number), instance);
        if (!ntSuccess(status))
            showMessage(format("SetupDiCallClassInstaller : %d", static_cast<int>(win32ErrorFromStatus(status))));
        installed = ntSuccess(status);
    }
    (void)installed;
    enumerate(true);
    std::vector<std::size_t> after;
    (void)m_access.ownPorts(after);
    const bool added = after.size() != before.size();
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
    if (!m_selected || m_removal)
        return false;
    const std::size_t row = *m_selected;
    const auto handle = openPort(row);
    if (!handle)
        return false;
    m_access.close(*handle);
    m_buttons.remove = false;
    const std::string instance = m_access.instanceId(std::stoul("0" + m_rows[row].entry.portId));
    if (instance.empty()) {
        showMessage("Failed to remove the virtual serial port driver!");
        m_buttons.remove = true;
        return false;
    }
    std::vector<std::string> argv;
    if (!m_options.runtimeDir.empty())
        argv = { "/usr/bin/env", "VORPIL_RUNTIME_DIR=" + m_options.runtimeDir };
    argv.insert(argv.end(), { m_options.devcon, "remove", instance });
    auto child = platform::ChildProcess::start(argv, true);
    if (!child.ok()) {
        showMessage("Failed to remove the virtual serial port driver!");
        m_buttons.remove = true;
        return false;
    }
    m_removal = std::make_unique<platform::ChildProcess>(std::move(*child));
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
    if (!m_removal || !m_removingRow)
        return false;
    m_timers.kill(kTimerRemove);
    // The tool removes a node within a few seconds; one that is still running
    // or failed leaves the port in place, so its row stays.
    const int code = m_removal->wait(10s).value_or(-1);
    m_removal.reset();
    const std::size_t row = *m_removingRow;
    m_removingRow.reset();
    if (code != 0 || row >= m_rows.size()) {
        showMessage("Failed to remove the virtual serial port driver!");
        m_buttons.remove = true;
        changed();
        return true;
    }
    const std::string name = m_rows[row].entry.portName;
    // Later rows move up; the Port ID texts stay with the positions, which is
    // what the ports behind are numbered after the removal.
    for (std::size_t index = row; index + 1 < m_rows.size(); ++index) {
        const std::string id = m_rows[index].entry.portId;
        m_rows[index] = m_rows[index + 1];
        m_rows[index].entry.portId = id;
        m_watch[index] = m_watch[index + 1];
    }
    m_rows.pop_back();
    m_watch[m_rows.size()] = kWatchNoAnswer;
    m_selected.reset();
    setStatusLine("VSP removed successfully");
    buttonsNoSelection();
    m_neighbours->removePortItem(name);
    save();
    changed();
    return true;
}

// ---- COM number change

bool VspManager::changeComNumber(std::size_t row, int number)
{
    auto* client = m_access.client();
    const std::string oldName = m_rows[row].entry.portName;
    const int oldNumber = comNumber(oldName);
    const std::string newName = "COM" + std::to_string(number);
    const std::string id = m_access.instanceId(std::stoul("0" + m_rows[row].entry.portId));
    const std::string instance = id.substr(id.rfind('\\') + 1);
    const std::string nodeKey = std::string(kPortsKey) + instance;
    if (!client || id.empty())
        return false;
    const auto nameValue = regString(newName);
    if (ntSuccess(client->regSetValue(nodeKey + "\\Device Parameters", "PortName", kRegSz, nameValue))) {
        bool forced = false;
        if (!ntSuccess(client->comDbClaim(static_cast<std::uint32_t>(number), false, forced))) {
            showMessage("Claim COM PORT Failed");
            return false;
        }
        if (!ntSuccess(client->comDbRelease(static_cast<std::uint32_t>(oldNumber)))) {
            showMessage("Release COM PORT Failed");
            return false;
        }
        const auto handle = openPort(row);
        if (!handle)
            return false;
        std::uint8_t input[4];
        storeLe32(input, 0, static_cast<std::uint32_t>(number));
        const Win32Error error = m_access.control(*handle, kIoctlSetDosName, input, 0);
        m_access.close(*handle);
        if (error != kErrorSuccess) {
            showMessage(hexError("IOCTL_SET_DOS_NAME Failed (0x%x)\n", error));
            return false;
        }
        // The SERIALCOMM value the driver created for this port is the one
        // that still names its old COM number (the driver leaves it as it is).
        std::vector<std::string> values;
        std::string valueName;
        if (ntSuccess(client->regEnumValues(std::string(kSerialCommKey), values))) {
            for (const auto& value : values) {
                std::uint32_t type = 0;
                std::vector<std::uint8_t> data;
                if (!ntSuccess(client->regQueryValue(std::string(kSerialCommKey), value, type, data)))
                    continue;
                if (fromRegString(data) == oldName)
                    valueName = value;
            }
        }
        if (valueName.empty()) {
            const int k = std::stoi("0" + m_rows.back().entry.portId) - std::stoi("0" + m_rows[row].entry.portId) + 11;
            valueName = "\\Device\\Serial" + std::to_string(k);
        }
        (void)client->regSetValue(std::string(kSerialCommKey), valueName, kRegSz, nameValue);
        m_rows[row].entry.portName = newName;
        m_rows[row].entry.portName2 = newName;
        m_neighbours->rebuildPortItems();
    }
    // vorpild's registry keeps no access lists; its control socket lets the
    // user who owns it write the node's keys, so only the value is written.
    const auto friendly = regString(format(kFriendlyNameFormat.data(), number));
    (void)client->regSetValue(nodeKey, "FriendlyName", kRegSz, friendly);
    return true;
}

// ---- Setting

bool VspManager::clickSetting()
{
    if (!m_selected)
        return false;
    const std::size_t row = *m_selected;
    if (!m_editing) {
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
        m_controls.comIndex = std::max(0, comNumber(m_rows[row].entry.portName) - 1);
        changed();
        return true;
    }
    if (!m_controls.connType) {
        showMessage("Not Select The Connection Type!");
        return false;
    }
    const bool client = *m_controls.connType != 0;
    PortSettings settings;
    (void)parseHostAddress(m_controls.address, settings.remoteHostIp);
    settings.remoteHostPort = portNumber(client ? m_controls.remoteHostPort : m_controls.listenPort);
    settings.protocol = m_controls.protocol;
    settings.connectAtWinStart = m_controls.connectAtWinStart ? 1 : 0;
    settings.connType = client ? 1 : 0;
    settings.cmdByte = m_controls.cmdByte ? 1 : 0;
    settings.maxPacketLen = m_controls.maxPacketLen;
    const bool written = writePort(row, settings) == kErrorSuccess;
    m_editing = false;
    m_buttons.settingCaption = "Setting";
    m_buttons.list = m_buttons.add = m_buttons.remove = m_buttons.connect = true;
    m_buttons.connectCaption = client ? "Connect" : "Server";
    m_buttons.editControls = false;
    m_buttons.close = false;
    const int wanted = m_controls.comIndex + 1;
    if (m_controls.comIndex != 0 && wanted != comNumber(m_rows[row].entry.portName))
        (void)changeComNumber(row, wanted);
    auto& entry = m_rows[row].entry;
    entry.remoteHostIp = settings.remoteHostIp;
    entry.remoteHostPort = settings.remoteHostPort;
    entry.protocol = settings.protocol;
    entry.connectAtWinStart = settings.connectAtWinStart;
    entry.status = m_rows[row].status;
    entry.connType = settings.connType;
    entry.cmdByte = settings.cmdByte;
    entry.maxPacketLen = settings.maxPacketLen;
    entry.portName2 = entry.portName;
    save();
    changed();
    return written;
}

// ---- Connect and Close

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
    if (!address.empty() && m_neighbours->portItemContains(address)) {
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
    const auto handle = openPort(row, false);
    if (!handle) {
        showMessage("Please stop terminal program first\n");
        return false;
    }
    m_buttons.connect = false;
    setStatusLine("Connecting...");
    const Win32Error error = m_access.control(*handle, kIoctlConnection, {}, 0);
    m_access.close(*handle);
    auto& r = m_rows[row];
    std::uint32_t ip = 0;
    (void)parseHostAddress(address, ip);
    const std::uint16_t port = portNumber(portText);
    if (error == kErrorSuccess) {
        setStatusLine(format("Connected to remote host %d.%d.%d.%d@%d successfully", static_cast<int>(ip >> 24),
            static_cast<int>((ip >> 16) & 0xFF), static_cast<int>((ip >> 8) & 0xFF), static_cast<int>(ip & 0xFF),
            static_cast<int>(port)));
        PortSettings shown;
        shown.connType = 1;
        shown.remoteHostIp = ip;
        shown.remoteHostPort = port;
        showConnected(row, shown);
        buttonsAfterConnect();
        m_watch[row] = kWatchAnswered;
        m_neighbours->setPortItemText(r.entry.portName, itemDescription(row));
    } else {
        if (error == kErrorSemTimeout)
            showMessage("Connection failed! (Remote host unreachable)");
        else if (error == kErrorConnectionRefused)
            showMessage("Connection failed! (The remote host refused the network connection)");
        else
            showMessage(hexError("Connection failed! (Unknown error, error code: 0x%x)", error));
        setStatusLine("");
        m_buttons.connect = true;
    }
    r.entry.status = r.status;
    r.entry.remoteIpText = error == kErrorSuccess ? r.remoteIp : "#";
    r.entry.remotePortText = error == kErrorSuccess ? r.remotePort : "#";
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
        showMessage(hexError("IOCTL_SERVER failed (0x%x)\n", error));
        return false;
    }
    auto& r = m_rows[row];
    r.status = std::string(kStatusServer);
    r.remoteIp.clear();
    r.remotePort = m_controls.listenPort;
    buttonsAfterConnect();
    m_watch[row] = kWatchAnswered | kWatchNoAnswer;
    m_neighbours->setPortItemText(r.entry.portName, itemDescription(row));
    r.entry.status = r.status;
    r.entry.remoteIpText.clear();
    r.entry.remotePortText = m_controls.listenPort;
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
        showMessage(hexError("IOCTL_CONNECTION failed (0x%x)\n", error));
        return false;
    }
    setStatusLine(format("Connected to remote host %s@%d successfully", address.c_str(), static_cast<int>(port)));
    showConnected(*row, settings);
    buttonsAfterConnect();
    m_watch[*row] = kWatchAnswered;
    auto& r = m_rows[*row];
    m_neighbours->setPortItemText(r.entry.portName, itemDescription(*row));
    r.entry.remoteHostIp = settings.remoteHostIp;
    r.entry.remoteHostPort = settings.remoteHostPort;
    r.entry.protocol = settings.protocol;
    r.entry.connType = 1;
    r.entry.status = r.status;
    r.entry.remoteIpText = r.remoteIp;
    r.entry.remotePortText = r.remotePort;
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
    auto& r = m_rows[row];
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
        showIdle(row);
        m_buttons.connect = m_buttons.setting = m_buttons.remove = true;
        m_buttons.close = false;
        m_neighbours->setPortItemText(r.entry.portName, r.entry.portName);
    } else {
        showMessage(hexError("IOCTL_DISCONNECTION failed (0x%x)\n", error));
    }
    m_buttons.add = m_buttons.remove = true;
    r.entry.status = r.status;
    r.entry.remoteIpText = "#";
    r.entry.remotePortText = "#";
    save();
    changed();
    return error == kErrorSuccess;
}

// ---- the watch

void VspManager::watchSend()
{
    m_timers.kill(kTimerWatchSend);
    if (!m_watchSocket) {
        auto opened = platform::UdpSocket::open();
        if (opened.ok() && opened->bind(m_options.bindAddress, m_options.watchPort).ok()) {
            m_watchSocket = std::make_unique<platform::UdpSocket>(std::move(*opened));
            m_loop.watchFd(m_watchSocket->fd(), platform::kIoRead, [this](unsigned) { watchReceive(); });
        }
    }
    std::vector<std::uint8_t> query(kSignature.begin(), kSignature.end());
    query.push_back(0x00);
    for (std::size_t row = 0; row < m_rows.size(); ++row) {
        auto& r = m_rows[row];
        if (!active(r.status))
            continue;
        const bool sent = m_watchSocket && m_watchSocket->sendTo(r.remoteIp, m_options.queryPort, query).ok();
        if (!sent && r.status != kStatusDisconnecting) {
            r.status = std::string(kStatusDisconnecting);
            log(r.entry.portName + " " + r.status);
        }
    }
    m_timers.start(kTimerWatchEvaluate, 5s, [this] { watchEvaluate(); });
    changed();
}

void VspManager::watchReceive()
{
    std::uint8_t buffer[1500];
    for (;;) {
        platform::Endpoint sender;
        auto got = m_watchSocket->receiveFrom(buffer, sender);
        if (!got.ok() || *got == 0)
            return;
        const std::size_t size = *got;
        if (size <= kReplyConnection || std::string_view(reinterpret_cast<const char*>(buffer), 8) != kSignature
            || buffer[8] != 1)
            continue;
        const std::string current = format("%u.%u.%u.%u", buffer[kReplyAddress], buffer[kReplyAddress + 1],
            buffer[kReplyAddress + 2], buffer[kReplyAddress + 3]);
        for (std::size_t row = 0; row < m_rows.size(); ++row) {
            if (m_rows[row].remoteIp == current) {
                m_watch[row] = buffer[kReplyConnection] ? kWatchAnswered : 0;
                break;
            }
        }
    }
}

void VspManager::watchEvaluate()
{
    m_timers.kill(kTimerWatchEvaluate);
    for (std::size_t row = 0; row < m_rows.size(); ++row) {
        auto& r = m_rows[row];
        if (!active(r.status))
            continue;
        std::uint32_t& state = m_watch[row];
        if (state & kWatchNoAnswer) {
            if (state < kWatchLimit) {
                state += kWatchStep;
                if (r.status != kStatusDisconnecting)
                    log(r.entry.portName + " " + std::string(kStatusDisconnecting));
                r.status = std::string(kStatusDisconnecting);
                if (m_selected == row)
                    m_buttons.close = false;
            } else {
                Win32Error error = kErrorBadCommand;
                if (const auto handle = openPort(row, false)) {
                    error = m_access.control(*handle, kIoctlDisconnection, {}, 0);
                    m_access.close(*handle);
                }
                if (error == kErrorSuccess) {
                    showIdle(row);
                    log(r.entry.portName + " " + std::string(kStatusIdle));
                } else {
                    const std::time_t now = std::time(nullptr);
                    std::tm local {};
                    localtime_r(&now, &local);
                    log(format("date: %d hour: %d min: %d \r\n", local.tm_mday, local.tm_hour, local.tm_min)
                        + format("PortID %d fail to do IOCTL_DISCONNECTION (0x%x)\n", static_cast<int>(row),
                            static_cast<unsigned>(error)));
                }
            }
        } else if (state == 0) {
            log(r.entry.portName + " device reports no connection");
            selectRow(row);
            if (closeByName(r.entry.portName))
                m_neighbours->setPortItemText(r.entry.portName, r.entry.portName);
        } else if (state == kWatchAnswered) {
            if (r.status != kStatusConnected)
                log(r.entry.portName + " " + std::string(kStatusConnected));
            r.status = std::string(kStatusConnected);
        }
        state |= kWatchNoAnswer;
    }
    m_timers.start(kTimerWatchSend, 10ms, [this] { watchSend(); });
    changed();
}

// ---- reconnecting at start

void VspManager::checkConnectedPorts()
{
    if (!m_loaded)
        return;
    for (std::size_t row = 0; row < m_rows.size(); ++row) {
        const auto& entry = m_rows[row].entry;
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
    for (std::size_t row = 0; row < m_rows.size(); ++row) {
        if (m_rows[row].entry.connType != 1)
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
        showConnected(row, settings);
        m_watch[row] = kWatchAnswered;
        m_neighbours->setPortItemText(m_rows[row].entry.portName, itemDescription(row));
        log(m_rows[row].entry.portName + " " + std::string(kStatusConnected));
    }
    changed();
}

} // namespace utility::vsp
