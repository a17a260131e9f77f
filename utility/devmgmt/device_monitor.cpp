#include "utility/devmgmt/device_monitor.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace utility::devmgmt {
namespace {

const char* const kIdle = "Idle";
const char* const kQuerying = "Querying";
const char* const kSuccess = "Success";
const char* const kFail = "Fail";
const char* const kNoValue = "---";
constexpr unsigned kMinInterval = 3;
constexpr unsigned kMaxInterval = 3600;

} // namespace

const std::array<ColumnInfo, kMonitorColumnCount>& monitorColumns()
{
    static const std::array<ColumnInfo, kMonitorColumnCount> columns = { {
        { "NO.", 40 },
        { "Query Status", 90 },
        { "Device Name", 109 },
        { "IP", 109 },
        { "Modem Status (Hex)", 135 },
        { "Firmware Version", 115 },
        { "Serial Port TX Count", 135 },
        { "Serial Port RX Count", 135 },
    } };
    return columns;
}

unsigned clampMonitorInterval(long long seconds)
{
    return static_cast<unsigned>(std::clamp<long long>(seconds, kMinInterval, kMaxInterval));
}

unsigned parseMonitorInterval(const std::string& text)
{
    // As a numeric field reads it: leading digits, anything else is 0. Very
    // long digit strings are out of range and become the maximum.
    long long value = 0;
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    while (begin != end && *begin == ' ')
        ++begin;
    const auto [ptr, ec] = std::from_chars(begin, end, value);
    if (ec == std::errc::result_out_of_range)
        return kMaxInterval;
    if (ec != std::errc() || ptr == begin)
        value = 0;
    return clampMonitorInterval(value);
}

DeviceMonitor::DeviceMonitor(platform::EventLoop& loop, platform::Prompter& prompter, std::uint16_t devicePort)
    : m_loop(loop)
    , m_prompter(prompter)
    , m_devicePort(devicePort)
{
}

DeviceMonitor::~DeviceMonitor()
{
    stopTimer(m_cycleTimer);
    stopTimer(m_replyTimer);
    if (m_socket.isOpen())
        m_loop.unwatchFd(m_socket.fd());
}

bool DeviceMonitor::create(const std::string& localAddress)
{
    auto opened = platform::UdpSocket::open();
    if (opened.ok() && opened.value().bind(localAddress, 0).ok()) {
        m_socket = std::move(opened.value());
        m_loop.watchFd(m_socket.fd(), platform::kIoRead, [this](unsigned) { onReadable(); });
        return true;
    }
    m_startEnabled = false;
    m_prompter.message(kMonitorSocketFailed, {}, platform::MessageIcon::Error);
    changed(-1);
    return false;
}

void DeviceMonitor::stopTimer(platform::TimerId& timer)
{
    if (timer != 0)
        m_loop.killTimer(timer);
    timer = 0;
}

void DeviceMonitor::changed(int row)
{
    if (m_changed)
        m_changed(row);
}

unsigned DeviceMonitor::editInterval(const std::string& text)
{
    m_interval = parseMonitorInterval(text);
    if (m_intervalSink)
        m_intervalSink(m_interval);
    changed(-1);
    return m_interval;
}

void DeviceMonitor::rebuild(const DeviceView& view)
{
    std::vector<MonitorTarget> targets;
    for (std::size_t i = 0; i < view.rowCount(); ++i) {
        const ListRow& row = view.rows()[i];
        if (row.checked)
            targets.push_back({ i, row.texts[kColumnName], row.texts[kColumnIp] });
    }
    rebuild(targets);
}

void DeviceMonitor::rebuild(const std::vector<MonitorTarget>& targets)
{
    if (m_running)
        return;
    m_rows.clear();
    for (const auto& target : targets) {
        MonitorRow row;
        row.texts[kMonitorNumber] = std::to_string(target.number);
        row.texts[kMonitorStatus] = kIdle;
        row.texts[kMonitorName] = target.name;
        row.texts[kMonitorIp] = target.ip;
        row.background = kMonitorAnsweredRow;
        m_rows.push_back(std::move(row));
    }
    // Without its socket the monitor cannot run at all.
    m_startEnabled = !m_rows.empty() && m_socket.isOpen();
    changed(-1);
}

void DeviceMonitor::clickStart()
{
    if (m_running)
        stop();
    else if (m_startEnabled)
        start();
}

void DeviceMonitor::start()
{
    m_running = true;
    m_history.clear();
    for (auto& row : m_rows)
        row.texts[kMonitorStatus] = kIdle;
    if (m_log)
        m_log(kMonitorStarts);
    changed(-1);
    startCycle();
}

void DeviceMonitor::stop()
{
    m_running = false;
    if (m_log)
        m_log(kMonitorStops);
    stopTimer(m_cycleTimer);
    stopTimer(m_replyTimer);
    m_cycleFired = false;
    changed(-1);
}

void DeviceMonitor::startCycle()
{
    if (!m_running || m_rows.empty())
        return;
    m_current = 0;
    m_last = m_rows.size() - 1;
    m_cycleFired = false;
    stopTimer(m_cycleTimer);
    m_cycleTimer = m_loop.startTimer(std::chrono::seconds(m_interval), [this] { cycleTimerFired(); });
    queryRow();
}

void DeviceMonitor::queryRow()
{
    MonitorRow& row = m_rows[m_current];
    row.texts[kMonitorStatus] = kQuerying;
    m_target = row.texts[kMonitorIp];
    (void)m_socket.sendTo(m_target, m_devicePort, buildStatusQuery());
    stopTimer(m_replyTimer);
    m_replyTimer = m_loop.startTimer(kReplyTimeout, [this] { replyTimeout(); });
    changed(static_cast<int>(m_current));
}

void DeviceMonitor::onReadable()
{
    std::array<std::uint8_t, kStatusReadLimit> buffer {};
    platform::Endpoint sender;
    auto received = m_socket.receiveFrom(buffer, sender);
    if (!received.ok() || received.value() == 0)
        return;
    // Only the device being queried counts: a late reply of the one before
    // comes from another address.
    const auto target = platform::parseIpv4(m_target);
    if (!target || sender.address != *target || m_current >= m_rows.size())
        return;
    const auto reply = parseStatusReply({ buffer.data(), received.value() });
    if (!reply)
        return;
    MonitorRow& row = m_rows[m_current];
    row.background = kMonitorAnsweredRow;
    row.texts[kMonitorStatus] = kSuccess;
    char modem[8];
    std::snprintf(modem, sizeof modem, "%.2X", reply->modemStatus);
    row.texts[kMonitorModem] = modem;
    row.texts[kMonitorFirmware] = reply->firmwareVersion;
    row.texts[kMonitorTx] = std::to_string(reply->bytesSent);
    row.texts[kMonitorRx] = std::to_string(reply->bytesReceived);
    changed(static_cast<int>(m_current));
    if (!m_running)
        return;
    // A second reply from the same device after its row is done changes
    // nothing more: only the reply awaited moves the poll on.
    if (m_replyTimer == 0)
        return;
    stopTimer(m_replyTimer);
    rowDone();
}

void DeviceMonitor::replyTimeout()
{
    stopTimer(m_replyTimer);
    if (m_current >= m_rows.size())
        return;
    MonitorRow& row = m_rows[m_current];
    row.background = kMonitorSilentRow;
    row.texts[kMonitorStatus] = kFail;
    for (int column : { kMonitorModem, kMonitorFirmware, kMonitorTx, kMonitorRx })
        row.texts[static_cast<std::size_t>(column)] = kNoValue;
    changed(static_cast<int>(m_current));
    rowDone();
}

void DeviceMonitor::rowDone()
{
    const std::size_t done = m_current;
    m_history.record(m_rows[done], m_loop.clock().now());
    if (m_current < m_last) {
        ++m_current;
        queryRow();
    } else if (m_cycleFired) {
        startCycle();
    }
    if (m_rowDone)
        m_rowDone(done);
}

void DeviceMonitor::cycleTimerFired()
{
    stopTimer(m_cycleTimer);
    // The next cycle starts at once only when the last row is done; while a
    // reply is still awaited, starting over would leave that row "Querying".
    if (m_current == m_last && m_replyTimer == 0)
        startCycle();
    else
        m_cycleFired = true;
}

} // namespace utility::devmgmt
