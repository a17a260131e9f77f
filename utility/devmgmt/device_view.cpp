#include "utility/devmgmt/device_view.h"

#include "platform/net.h"
#include "utility/devmgmt/command_steps.h"

#include <algorithm>
#include <cstdio>
#include <system_error>

namespace utility::devmgmt {
namespace {

const char* const kNoDevicesFound = "No devices found!";
const char* const kSearchResultTitle = "Searching Result";
const char* const kPortBelow1024 = "Port number should greater than 1024.";
const char* const kSegmentWarning = "The device's  ip network segment isn't same as host, Please confirm that the "
                                    "device can access through Router&Gateway.";
const char* const kSegmentTitle = "Warning";
const char* const kStatusSearching = " Searching ...";
const char* const kStatusIpSearching = " IP Searching ...";
const char* const kStatusIdle = " Idle";
const char* const kSocketFailed = "Failed to open the search socket on ";
constexpr int kProgressSearching = 850;

// An address text that does not parse counts as 255.255.255.255.
platform::Ipv4 segmentAddress(const std::string& text) { return platform::parseIpv4(text).value_or(0xFFFFFFFFu); }

} // namespace

DeviceView::DeviceView(
    platform::EventLoop& loop, platform::Prompter& prompter, DeviceDialogs& dialogs, DevicePorts ports)
    : m_loop(loop)
    , m_prompter(prompter)
    , m_dialogs(dialogs)
    , m_ports(ports)
    , m_tableStorage(std::make_unique<std::array<DeviceEntry, kTableSize>>())
    , m_table(*m_tableStorage)
    , m_steps(std::make_unique<CommandSteps>(loop, *this))
{
    setAllButtons(true);
    m_buttons[static_cast<int>(Button::DeviceSetup)] = false;
    m_buttons[static_cast<int>(Button::WebBrowser)] = false;
    m_buttons[static_cast<int>(Button::Restore)] = false;
    m_buttons[static_cast<int>(Button::Reboot)] = false;
}

DeviceView::~DeviceView()
{
    stopTick();
    m_loop.killTimer(m_startupTimer);
}

void DeviceView::setLocalAddress(const std::string& address, const std::string& netmask)
{
    m_localAddress = address;
    m_netmask = netmask;
    // The IP search default: the local address up to its last dot, then ".1".
    const auto dot = address.rfind('.');
    m_ipSearchAddress = limitAddressText(dot == std::string::npos ? address : address.substr(0, dot) + ".1");
}

void DeviceView::setOptions(bool useExternalBrowser, bool searchAfterStart)
{
    m_useExternalBrowser = useExternalBrowser;
    m_searchAfterStart = searchAfterStart;
}

CommandSocket& DeviceView::commandSocket()
{
    if (!m_command)
        m_command = std::make_unique<CommandSocket>(m_loop, m_localAddress, m_ports.command);
    return *m_command;
}

bool DeviceView::sendConnectNotice(const std::string& deviceAddress, std::uint16_t port)
{
    const platform::Ipv4 host = platform::parseIpv4(m_localAddress).value_or(0);
    return devmgmt::sendConnectNotice(commandSocket(), deviceAddress, host, port, m_ports.deviceCommand);
}

void DeviceView::changed()
{
    if (m_changed)
        m_changed();
}

void DeviceView::setButtonEnabled(Button button, bool enabled)
{
    m_buttons[static_cast<int>(button)] = enabled;
    changed();
}

void DeviceView::setAllButtons(bool enabled) { m_buttons.fill(enabled); }

void DeviceView::setStatusText(const std::string& text)
{
    m_status = text;
    changed();
}

void DeviceView::setProgress(int position)
{
    m_progress = position;
    changed();
}

void DeviceView::setProgressRange(int upper)
{
    m_progressRange = upper;
    changed();
}

void DeviceView::setRowColours(std::size_t row, std::optional<Rgb> background, std::optional<Rgb> text)
{
    if (row >= m_rows.size())
        return;
    m_rows[row].background = background;
    m_rows[row].textColour = text;
    changed();
}

void DeviceView::refreshRow(std::size_t row)
{
    if (row >= m_rows.size())
        return;
    const bool checked = m_rows[row].checked;
    m_rows[row].texts = formatRow(m_table[row], row);
    m_rows[row].checked = checked;
    changed();
}

void DeviceView::setRowText(std::size_t row, int column, const std::string& text)
{
    if (row >= m_rows.size() || column < 0 || column >= kColumnCount)
        return;
    m_rows[row].texts[static_cast<std::size_t>(column)] = text;
    changed();
}

void DeviceView::resetTable()
{
    for (auto& entry : m_table) {
        entry.length = -1;
        entry.record.fill(0);
    }
    m_deviceCount = 0;
    m_ringRead = 0;
    m_ignoredReplies = 0;
    m_searchNotes.clear();
}

bool DeviceView::sameSegment(const std::string& address) const
{
    const platform::Ipv4 mask = segmentAddress(m_netmask);
    const platform::Ipv4 local = segmentAddress(m_localAddress);
    return (segmentAddress(address) & mask) == (local & mask);
}

void DeviceView::clearList()
{
    m_rows.clear();
    changed();
}

bool DeviceView::confirmSegment(const std::string& address)
{
    if (sameSegment(address))
        return true;
    return m_prompter.confirm(kSegmentWarning, kSegmentTitle, platform::MessageIcon::Warning, false);
}

void DeviceView::clickSearch() { networkSearch(SearchOrigin::Button); }

void DeviceView::clickIpSearch() { ipSearch(true); }

void DeviceView::clickSystemSetting()
{
    Periods edited = m_periods;
    const DialogResult result = m_dialogs.setting(edited);
    // Both buttons hand back values that passed the dialog's check; a
    // dialog that could not check them is not allowed to store them.
    if (validatePeriods(edited))
        return;
    m_periods = edited;
    if (result == DialogResult::Accepted && m_periodsSink)
        m_periodsSink(edited);
    changed();
}

void DeviceView::networkSearch(SearchOrigin origin)
{
    if (m_command && m_command->created())
        (void)m_command->recreate();
    m_searchMode = SearchMode::Network;
    m_progress = 0;
    m_progressRange = kProgressMax;

    if (origin == SearchOrigin::Button && !m_startupSearchRan) {
        SearchSettings edited = m_searchSettings;
        const DialogResult result = m_dialogs.devicesSearching(edited);
        if (!validateSearchSettings(edited)) {
            edited.broadcastAddress = limitAddressText(edited.broadcastAddress);
            edited.multicastGroup = limitAddressText(edited.multicastGroup);
            m_searchSettings = edited; // Cancel keeps the edited values too
        }
        if (result != DialogResult::Accepted) {
            changed();
            return;
        }
    }
    if (origin == SearchOrigin::Startup)
        m_startupSearchRan = true;
    m_socketError.clear();

    m_status = kStatusSearching;
    resetTable();
    setAllButtons(false);
    m_rows.clear();
    m_activeKind = m_searchSettings.kind;

    if (m_activeKind == SearchKind::Broadcast) {
        if (!m_broadcast)
            m_broadcast = std::make_unique<BroadcastSearchSocket>(m_loop, m_localAddress, m_ports.broadcastSearch);
        m_broadcast->ring().reset();
        if (auto created = m_broadcast->create(); !created.ok()) {
            socketFailed(m_ports.broadcastSearch, created.error());
            return;
        }
        const auto query = buildQuery();
        for (int i = 0; i < 3; ++i)
            m_broadcast->sendTo(m_searchSettings.broadcastAddress, m_ports.deviceBroadcast, query);
    } else {
        if (!m_multicast)
            m_multicast
                = std::make_unique<MulticastSearchSocket>(m_loop, m_prompter, m_localAddress, m_ports.multicastSearch);
        m_multicast->ring().reset();
        MulticastSearchSettings settings;
        settings.group = m_searchSettings.multicastGroup;
        settings.ttl = m_searchSettings.ttl;
        settings.loopback = m_searchSettings.loopback;
        if (auto created = m_multicast->create(settings); !created.ok()) {
            socketFailed(m_ports.multicastSearch, created.error());
            return;
        }
        m_multicast->sendTo(m_searchSettings.multicastGroup, m_ports.deviceMulticast, buildQuery());
    }
    startTick(&DeviceView::networkSearchTick);
    changed();
}

void DeviceView::ipSearch(bool showDialog)
{
    if (m_command && m_command->created())
        (void)m_command->recreate();
    m_searchMode = SearchMode::Ip;
    m_progress = 0;
    m_progressRange = kProgressMax;

    if (showDialog) {
        std::string edited = m_ipSearchAddress;
        const DialogResult result = m_dialogs.ipSearching(edited);
        m_ipSearchAddress = limitAddressText(edited);
        if (result != DialogResult::Accepted) {
            changed();
            return;
        }
    }
    if (!confirmSegment(m_ipSearchAddress)) {
        changed();
        return;
    }

    m_status = kStatusIpSearching;
    m_socketError.clear();
    resetTable();
    setAllButtons(false);
    CommandSocket& socket = commandSocket();
    if (auto created = socket.create(); !created.ok()) {
        m_rows.clear();
        socketFailed(m_ports.command, created.error());
        return;
    }
    socket.prepareForRequest();
    socket.sendTo(m_ipSearchAddress, buildQuery(), m_ports.deviceCommand);
    startTick(&DeviceView::ipSearchTick);
    m_rows.clear();
    changed();
}

void DeviceView::searchAgain()
{
    m_rows.clear();
    if (m_searchMode == SearchMode::Ip)
        ipSearch(false);
    else
        networkSearch(SearchOrigin::Command);
}

void DeviceView::startTick(void (DeviceView::*tick)())
{
    stopTick();
    idleCounter = 0;
    m_searchTimer = m_loop.startTimer(kTick, [this, tick] { (this->*tick)(); });
}

void DeviceView::stopTick()
{
    if (m_searchTimer != 0) {
        m_loop.killTimer(m_searchTimer);
        m_searchTimer = 0;
    }
}

const ReceiveRing* DeviceView::activeRing() const
{
    if (m_activeKind == SearchKind::Broadcast)
        return m_broadcast ? &m_broadcast->ring() : nullptr;
    return m_multicast ? &m_multicast->ring() : nullptr;
}

void DeviceView::networkSearchTick()
{
    const ReceiveRing* ring = activeRing();
    // A signed reply of another type would block the slot for the rest of
    // the search; it is skipped so the replies behind it are still taken.
    while (ring && m_ringRead < kRingSlots && ring->slot(m_ringRead).length >= 0
        && recordType(ring->slot(m_ringRead).datagram()) != opcode::kQueryReply)
        ++m_ringRead;

    if (ring && m_ringRead < kRingSlots && ring->slot(m_ringRead).length >= 0) {
        addRow(ring->slot(m_ringRead).datagram());
        ++m_ringRead;
        m_progress = kProgressSearching;
        idleCounter = 0;
        changed();
        reportSearch();
    } else if (idleCounter < static_cast<unsigned>(m_periods.search) * 10) {
        m_progress = kProgressSearching;
        ++idleCounter;
        reportSearch();
    } else {
        endSearch();
    }
}

void DeviceView::reportSearch() const
{
    // The search ends once no reply has come for its period.
    const int ticksLeft = m_periods.search * 10 - static_cast<int>(idleCounter) + 1;
    m_steps->report({ m_searchMode == SearchMode::Ip ? "Searching for " + m_ipSearchAddress : "Searching for devices",
        std::to_string(m_rows.size()) + " found", kTick * ticksLeft });
}

void DeviceView::ipSearchTick()
{
    CommandSocket& socket = commandSocket();
    if (socket.replyReady(opcode::kQueryReply)) {
        std::array<std::uint8_t, kMaxDatagram> buffer {};
        const std::int32_t length = socket.copyBuffer(buffer);
        addRow({ buffer.data(), static_cast<std::size_t>(length < 0 ? 0 : length) });
        stopTick();
        idleCounter = 0;
        socket.prepareForRequest();
        socket.clearReceived();
        m_progress = kProgressMax;
        m_status = kStatusIdle;
        setAllButtons(true);
        changed();
        collectSearchNotes();
        if (!m_searchNotes.empty())
            m_prompter.message(m_searchNotes.front(), kSearchResultTitle, platform::MessageIcon::Warning);
        if (m_searchFinished)
            m_searchFinished();
    } else if (idleCounter < static_cast<unsigned>(m_periods.search) * 10) {
        m_progress = kProgressSearching;
        ++idleCounter;
        reportSearch();
    } else {
        endSearch();
    }
}

void DeviceView::endSearch() { finishSearch(true); }

void DeviceView::socketFailed(std::uint16_t port, const platform::Error& error)
{
    // Without this the search would wait out its period and report "No
    // devices found!", hiding that another program holds the port.
    const std::string reason = error.code != 0 ? std::generic_category().message(error.code) : error.message;
    m_socketError = std::string(kSocketFailed) + (m_localAddress.empty() ? "0.0.0.0" : m_localAddress) + " port "
        + std::to_string(port) + ": " + reason;
    finishSearch(false);
    m_progress = 0;
    m_prompter.message(m_socketError, kSearchResultTitle, platform::MessageIcon::Error);
}

void DeviceView::finishSearch(bool reportEmpty)
{
    stopTick();
    idleCounter = 0;
    m_progress = kProgressMax;
    m_status = kStatusIdle;
    m_buttons[static_cast<int>(Button::SystemSetting)] = true;
    m_buttons[static_cast<int>(Button::Search)] = true;
    m_buttons[static_cast<int>(Button::IpSearch)] = true;
    m_buttons[static_cast<int>(Button::FirmwareUpgrade)] = true;
    const bool any = m_deviceCount > 0;
    m_buttons[static_cast<int>(Button::DeviceSetup)] = any;
    m_buttons[static_cast<int>(Button::WebBrowser)] = any;
    m_buttons[static_cast<int>(Button::Restore)] = any;
    m_buttons[static_cast<int>(Button::Reboot)] = any;
    changed();
    collectSearchNotes();
    if (!m_searchNotes.empty()) {
        std::string text;
        for (const auto& note : m_searchNotes)
            text += (text.empty() ? "" : "\n") + note;
        m_prompter.message(text, kSearchResultTitle, platform::MessageIcon::Warning);
    }
    if (!any && reportEmpty)
        m_prompter.message(kNoDevicesFound, kSearchResultTitle, platform::MessageIcon::Information);
    if (m_searchFinished)
        m_searchFinished();
}

void DeviceView::collectSearchNotes()
{
    m_searchNotes.clear();
    if (m_searchMode == SearchMode::Network) {
        if (const ReceiveRing* ring = activeRing())
            m_searchNotes = describeLeftOut(*ring);
    } else if (m_command) {
        if (std::string refused = describeRefusals(m_command->refusals(), m_ipSearchAddress); !refused.empty())
            m_searchNotes.push_back(std::move(refused));
    }
    if (m_ignoredReplies > 0)
        m_searchNotes.push_back(std::to_string(m_ignoredReplies) + " replies left out: the device table holds "
            + std::to_string(kTableSize) + " devices.");
}

void DeviceView::addRow(std::span<const std::uint8_t> datagram)
{
    // The table never wraps onto its first row: once it is full, further
    // replies of the search are ignored.
    if (m_deviceCount >= kTableSize) {
        ++m_ignoredReplies;
        return;
    }
    DeviceEntry& entry = m_table[m_deviceCount];
    const std::size_t length = std::min(datagram.size(), entry.record.size());
    entry.record.fill(0);
    std::copy_n(datagram.begin(), length, entry.record.begin());
    entry.length = static_cast<std::int32_t>(length);

    ListRow row;
    row.texts = formatRow(entry, m_deviceCount);
    row.background = row.texts[kColumnStatus] == "Connected" ? kConnectedRow : kSearchedRow;
    m_rows.insert(m_rows.begin() + static_cast<std::ptrdiff_t>(std::min(m_deviceCount, m_rows.size())), row);
    const int port = std::stoi(row.texts[kColumnPort]);
    ++m_deviceCount;
    changed();
    if (port < 1024)
        m_prompter.message(kPortBelow1024, kSearchResultTitle, platform::MessageIcon::Information);
}

void DeviceView::setCommandRunning(const void* command, bool running)
{
    const auto at = std::find(m_runningCommands.begin(), m_runningCommands.end(), command);
    if (running && at == m_runningCommands.end())
        m_runningCommands.push_back(command);
    else if (!running && at != m_runningCommands.end())
        m_runningCommands.erase(at);
}

bool DeviceView::exchangeRunning() const
{
    return !m_runningCommands.empty() || searching() || m_steps->querying() || m_steps->countingDown();
}

void DeviceView::firstShown(bool settingsLoaded)
{
    if (m_startupTimer != 0)
        return;
    m_startupTimer = m_loop.startTimer(std::chrono::seconds(1), [this, settingsLoaded] {
        m_loop.killTimer(m_startupTimer);
        if (m_portLink)
            m_portLink->checkConnectedPorts();
        if (settingsLoaded && m_searchAfterStart)
            networkSearch(SearchOrigin::Startup);
    });
}

} // namespace utility::devmgmt
