#pragma once

#include "platform/result.h"
#include "utility/services/dhcp_server.h"

#include <string>
#include <vector>

namespace utility::services {

// What to write to "dhcp.dat" when the file may have changed since this
// program last read or wrote it: its rows as they are now, less the rows
// this program dropped since `base` (its list then), plus those it added.
// On one address, a row this program added wins. So two programs sharing the
// folder (two `qelta dhcp` on two interfaces, the window beside one) keep
// each other's rows.
std::vector<DhcpMapping> mergeDhcpRows(
    const std::vector<DhcpMapping>& base, const std::vector<DhcpMapping>& ours, const std::vector<DhcpMapping>& onDisk);

// Saves a mapping list as a change of the list saved (or read) before, under
// the file's lock ("dhcp.dat.lock"), read and write in one step.
class DhcpFileSaver {
public:
    // The list as read from the file, the base of the first save. With
    // `replaceUnreadable`, a file that cannot be read (kept aside as ".bad"
    // already) is written over instead of failing the save.
    void setBase(std::vector<DhcpMapping> rows, bool replaceUnreadable = false);
    platform::Result<void> save(const std::string& path, const std::vector<DhcpMapping>& rows);

private:
    std::vector<DhcpMapping> m_base;
    bool m_replaceUnreadable = false;
};

} // namespace utility::services
