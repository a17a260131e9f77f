#include "utility/vsp/port_table.h"

namespace utility::vsp {

Rgb rowColour(std::string_view status)
{
    if (status == kStatusConnected || status == kStatusServer)
        return { 200, 255, 200 };
    if (status == kStatusDisconnecting)
        return { 255, 200, 200 };
    return {};
}

bool watchedStatus(std::string_view status) { return status != kStatusIdle && status != kStatusServer; }

namespace {

// The fields a port's settings and its table entry share, named alike in both.
template <typename To, typename From> void copyShared(To& to, const From& from)
{
    to.remoteHostIp = from.remoteHostIp;
    to.remoteHostPort = from.remoteHostPort;
    to.protocol = from.protocol;
    to.connectAtWinStart = from.connectAtWinStart;
    to.connType = from.connType;
    to.cmdByte = from.cmdByte;
    to.maxPacketLen = from.maxPacketLen;
}

} // namespace

PortSettings settingsOf(const PortEntry& entry)
{
    PortSettings settings;
    copyShared(settings, entry);
    return settings;
}

void storeSettings(PortEntry& entry, const PortSettings& settings) { copyShared(entry, settings); }

std::size_t PortTable::add(const PortEntry& entry)
{
    VspRow row;
    row.entry = entry;
    row.status = std::string(kStatusIdle);
    m_rows.push_back(std::move(row));
    return m_rows.size() - 1;
}

std::optional<std::size_t> PortTable::rowOf(const std::string& portName) const
{
    for (std::size_t row = 0; row < m_rows.size(); ++row) {
        if (m_rows[row].entry.portName == portName)
            return row;
    }
    return std::nullopt;
}

std::optional<std::size_t> PortTable::portId(std::size_t row) const
{
    if (row >= m_rows.size())
        return std::nullopt;
    // The text comes from "vsp.dat" as well as from the host: a number that
    // is none, or too large to be a member index, names no port.
    const std::string& text = m_rows[row].entry.portId;
    std::size_t id = 0;
    if (text.empty() || text.size() > 6)
        return std::nullopt;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        id = id * 10 + static_cast<std::size_t>(c - '0');
    }
    return id;
}

void PortTable::showConnected(std::size_t row, const PortSettings& settings)
{
    auto& r = m_rows[row];
    r.status = std::string(settings.connType ? kStatusConnected : kStatusServer);
    r.remoteIp = settings.connType > 0 && settings.remoteHostIp ? hostAddressText(settings.remoteHostIp) : "";
    r.remotePort = settings.remoteHostPort ? std::to_string(settings.remoteHostPort) : "";
}

void PortTable::showIdle(std::size_t row)
{
    auto& r = m_rows[row];
    r.status = std::string(kStatusIdle);
    r.remoteIp.clear();
    r.remotePort.clear();
}

void PortTable::rememberStatus(std::size_t row, bool connected)
{
    auto& r = m_rows[row];
    r.entry.status = r.status;
    r.entry.remoteIpText = connected ? r.remoteIp : "#";
    r.entry.remotePortText = connected ? r.remotePort : "#";
}

void PortTable::removeShifting(std::size_t row)
{
    if (row >= m_rows.size())
        return;
    for (std::size_t index = row; index + 1 < m_rows.size(); ++index) {
        const std::string id = m_rows[index].entry.portId;
        m_rows[index] = m_rows[index + 1];
        m_rows[index].entry.portId = id;
    }
    m_rows.pop_back();
}

std::string PortTable::description(std::size_t row) const
{
    const auto& r = m_rows[row];
    if (r.status == kStatusServer)
        return r.entry.portName + " (" + std::string(kStatusServer) + ")";
    if (r.status == kStatusConnected || r.status == kStatusDisconnecting)
        return r.entry.portName + " (" + r.remoteIp + ")";
    return r.entry.portName;
}

std::vector<std::string> PortTable::descriptions() const
{
    std::vector<std::string> out;
    for (std::size_t row = 0; row < m_rows.size(); ++row)
        out.push_back(description(row));
    return out;
}

std::vector<PortEntry> PortTable::entries() const
{
    std::vector<PortEntry> out;
    for (const auto& row : m_rows)
        out.push_back(row.entry);
    return out;
}

} // namespace utility::vsp
