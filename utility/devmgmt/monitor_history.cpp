#include "utility/devmgmt/monitor_history.h"

#include <charconv>
#include <chrono>
#include <optional>
#include <string_view>

namespace utility::devmgmt {
namespace {

const char* const kSuccess = "Success";

// A counter column as the row shows it ("%u"); nothing for "---".
std::optional<std::uint32_t> counter(const std::string& text)
{
    std::uint32_t value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

// Growth of a 32-bit counter; one that went down was cleared by a restart
// and has counted from zero since.
double growth(std::uint32_t before, std::uint32_t after)
{
    return after >= before ? static_cast<double>(after - before) : static_cast<double>(after);
}

// A cell a spreadsheet would take for a formula: a device named
// "=HYPERLINK(...)" must show as text, not run.
bool formulaLike(const std::string& text)
{
    return !text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos;
}

std::string csvField(const std::string& raw)
{
    const std::string text = formulaLike(raw) ? "'" + raw : raw;
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

} // namespace

MonitorHistory::MonitorHistory(std::size_t kept)
    : m_kept(kept == 0 ? 1 : kept)
{
}

void MonitorHistory::clear()
{
    m_started = false;
    m_devices.clear();
    m_last.clear();
}

const MonitorHistory::Device* MonitorHistory::device(const std::string& number, const std::string& ip) const
{
    for (const auto& device : m_devices)
        if (device.number == number && device.ip == ip)
            return &device;
    return nullptr;
}

void MonitorHistory::record(const MonitorRow& row, platform::TimePoint when)
{
    if (!m_started) {
        m_started = true;
        m_start = when;
    }
    const std::string& number = row.texts[kMonitorNumber];
    const std::string& ip = row.texts[kMonitorIp];
    std::size_t index = 0;
    while (index < m_devices.size() && (m_devices[index].number != number || m_devices[index].ip != ip))
        ++index;
    if (index == m_devices.size()) {
        m_devices.push_back({ number, ip, row.texts[kMonitorName], {} });
        m_last.emplace_back();
    }
    Device& device = m_devices[index];
    Last& last = m_last[index];
    const auto tx = counter(row.texts[kMonitorTx]);
    const auto rx = counter(row.texts[kMonitorRx]);
    if (row.texts[kMonitorStatus] != kSuccess || !tx || !rx)
        return; // a gap: the next answer pairs with the last one
    if (last.valid && when > last.when) {
        const double seconds = std::chrono::duration<double>(when - last.when).count();
        RatePoint point;
        point.seconds = std::chrono::duration<double>(when - m_start).count();
        point.txPerSecond = growth(last.tx, *tx) / seconds;
        point.rxPerSecond = growth(last.rx, *rx) / seconds;
        device.rates.push_back(point);
        while (device.rates.size() > m_kept)
            device.rates.pop_front();
    }
    last = { true, when, *tx, *rx };
}

std::string monitorCsvHeader() { return "time,index,name,ip,status,tx,rx\r\n"; }

std::string monitorCsvLine(const std::string& time, const MonitorRow& row)
{
    return csvField(time) + "," + csvField(row.texts[kMonitorNumber]) + "," + csvField(row.texts[kMonitorName]) + ","
        + csvField(row.texts[kMonitorIp]) + "," + csvField(row.texts[kMonitorStatus]) + ","
        + csvField(row.texts[kMonitorTx]) + "," + csvField(row.texts[kMonitorRx]) + "\r\n";
}

} // namespace utility::devmgmt
