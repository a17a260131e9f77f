#pragma once

#include "utility/vsp/port_access.h"
#include "utility/vsp/vsp_file.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace utility::vsp {

struct Rgb {
    std::uint8_t red = 255, green = 255, blue = 255;
    bool operator==(const Rgb&) const = default;
};
Rgb rowColour(std::string_view status);

// Whether the watch asks about a row with this status.
bool watchedStatus(std::string_view status);

// The one conversion between the driver's view of a port and the table's:
// the fields both records have (address, port, protocol, start flag,
// connection type, flow packets, packet size).
PortSettings settingsOf(const PortEntry& entry);
void storeSettings(PortEntry& entry, const PortSettings& settings);

struct VspRow {
    PortEntry entry; // what "vsp.dat" keeps; its status is copied at the points that save
    std::string status; // the list's Status column
    std::string remoteIp; // the list's columns
    std::string remotePort;
    bool held = false; // another program has the port open
    WireProtocol wireProtocol = WireProtocol::Native; // the host's registry keeps it, not "vsp.dat"
};

// The port list: one row per port, in Port ID order, with the table entry
// that "vsp.dat" stores beside the columns the list shows.
class PortTable {
public:
    std::vector<VspRow>& rows() { return m_rows; }
    const std::vector<VspRow>& rows() const { return m_rows; }
    std::size_t size() const { return m_rows.size(); }
    VspRow& operator[](std::size_t row) { return m_rows[row]; }
    const VspRow& operator[](std::size_t row) const { return m_rows[row]; }
    void clear() { m_rows.clear(); }

    // A new "Idle" row for `entry`; its index.
    std::size_t add(const PortEntry& entry);
    std::optional<std::size_t> rowOf(const std::string& portName) const;
    // The row's Port ID as a number; nothing when its text is none.
    std::optional<std::size_t> portId(std::size_t row) const;

    // The columns for a connected or listening port, or for an idle one.
    void showConnected(std::size_t row, const PortSettings& settings);
    void showIdle(std::size_t row);
    // Copies the row's Status and remote columns into its entry ("#" for
    // both texts when `connected` is false).
    void rememberStatus(std::size_t row, bool connected);

    // Deletes a row; the rows behind move up and take the Port ID texts of
    // their new positions (the IDs the ports have after the removal).
    void removeShifting(std::size_t row);

    // The navigation panel's text of a row: the name, with the address or
    // "Server" in brackets while connected.
    std::string description(std::size_t row) const;
    std::vector<std::string> descriptions() const;
    std::vector<PortEntry> entries() const;

private:
    std::vector<VspRow> m_rows;
};

} // namespace utility::vsp
