#include "utility/devmgmt/device_view.h"

#include "platform/net.h"

#include <cstdio>

namespace utility::devmgmt {

const std::array<ColumnInfo, kColumnCount>& deviceColumns()
{
    static const std::array<ColumnInfo, kColumnCount> columns = { {
        { "", 20 },
        { "NO.", 40 },
        { "Device Name", 130 },
        { "MAC Address", 130 },
        { "DHCP", 55 },
        { "IP", 100 },
        { "Port", 50 },
        { "Mode", 50 },
        { "Status", 90 },
    } };
    return columns;
}

std::array<std::string, kColumnCount> formatRow(const DeviceEntry& entry, std::size_t row)
{
    const DeviceConfig config = entry.config();
    std::array<std::string, kColumnCount> texts;
    texts[kColumnNumber] = std::to_string(row + 1);
    std::string name = config.name();
    texts[kColumnName] = name.empty() ? "ZIR" + std::to_string(row + 1) : name;
    const MacAddress mac = config.mac();
    char macText[18];
    std::snprintf(
        macText, sizeof macText, "%.2X-%.2X-%.2X-%.2X-%.2X-%.2X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    texts[kColumnMac] = macText;
    const std::uint8_t flags = config.flags();
    texts[kColumnDhcp] = (flags & flag::kDhcp) ? "Enable" : "Disable";
    texts[kColumnIp] = platform::formatIpv4(config.currentAddress());
    const bool client = (flags & flag::kClient) != 0;
    texts[kColumnPort] = std::to_string(client ? config.clientPort() : config.dataPort());
    texts[kColumnMode] = client ? "Client" : "Server";
    switch (config.connectionState()) {
    case kStateIdle:
        texts[kColumnStatus] = "Idle";
        break;
    case kStateConnected:
        texts[kColumnStatus] = "Connected";
        break;
    default:
        texts[kColumnStatus] = "Unknown";
        break;
    }
    return texts;
}

std::optional<std::string> checkRange(int value, int low, int high)
{
    if (value >= low && value <= high)
        return std::nullopt;
    return "Please enter an integer between " + std::to_string(low) + " and " + std::to_string(high) + ".";
}

std::optional<std::string> validateSearchSettings(const SearchSettings& settings)
{
    return checkRange(settings.ttl, 1, 128);
}

std::optional<std::string> validatePeriods(const Periods& periods)
{
    if (auto error = checkRange(periods.search, 5, 1000))
        return error;
    if (auto error = checkRange(periods.restore, 10, 1000))
        return error;
    return checkRange(periods.reboot, 10, 1000);
}

std::string limitAddressText(const std::string& text) { return text.substr(0, 15); }

void DeviceView::clickCell(std::size_t row, int column)
{
    if (row >= m_rows.size() || column == kColumnCheck)
        return;
    const bool checked = !m_rows[row].checked;
    m_rows[row].checked = checked;
    currentRow = row;
    if (checked)
        setIpSearchAddress(m_rows[row].texts[kColumnIp]);
    changed();
}

void DeviceView::setChecked(std::size_t row, bool checked)
{
    if (row >= m_rows.size())
        return;
    m_rows[row].checked = checked;
    changed();
}

void DeviceView::doubleClickRow(std::size_t row)
{
    if (row >= m_rows.size())
        return;
    m_rows[row].checked = true;
    currentRow = row;
    changed();
    if (m_doubleClick)
        m_doubleClick(row);
}

bool DeviceView::canDrag(std::size_t row, const std::vector<std::string>& treeTexts) const
{
    if (row >= m_rows.size() || m_rows[row].texts[kColumnStatus] != "Idle")
        return false;
    // A port item names its device as "COMn (address)": the whole address,
    // not a part of another one.
    const std::string named = "(" + m_rows[row].texts[kColumnIp] + ")";
    for (const auto& text : treeTexts)
        if (text.find(named) != std::string::npos)
            return false;
    return true;
}

std::optional<std::string> DeviceView::dropOnPort(std::size_t row, const std::string& itemText)
{
    if (row >= m_rows.size() || !m_portLink || itemText.find('(') != std::string::npos)
        return std::nullopt;
    const std::string& ip = m_rows[row].texts[kColumnIp];
    const auto port = static_cast<std::uint16_t>(std::stoi(m_rows[row].texts[kColumnPort]));
    const bool udp = (m_table[row].config().flags() & flag::kUdp) != 0;
    if (!m_portLink->connectPort(itemText, ip, port, udp))
        return std::nullopt;
    return itemText + " (" + ip + ")";
}

} // namespace utility::devmgmt
