#include "utility/services/dhcp_file.h"

#include "platform/file_lock.h"
#include "platform/text_file.h"

#include <cerrno>
#include <map>
#include <set>
#include <utility>

namespace utility::services {

namespace {

// The file is read whole; a longer one would lose its rows past the limit.
constexpr std::size_t kLargestFile = 64 * 1024 * 1024;

using RowKey = std::pair<std::string, std::string>;

RowKey keyOf(const DhcpMapping& row) { return { row.address, row.mac }; }

std::set<RowKey> keysOf(const std::vector<DhcpMapping>& rows)
{
    std::set<RowKey> keys;
    for (const DhcpMapping& row : rows)
        keys.insert(keyOf(row));
    return keys;
}

} // namespace

// Sets, not searches of the lists: a save comes with every change, and a
// file may hold many thousand rows.
std::vector<DhcpMapping> mergeDhcpRows(
    const std::vector<DhcpMapping>& base, const std::vector<DhcpMapping>& ours, const std::vector<DhcpMapping>& onDisk)
{
    const std::set<RowKey> before = keysOf(base);
    const std::set<RowKey> kept = keysOf(ours);
    std::vector<DhcpMapping> added;
    std::set<RowKey> addedKeys;
    std::map<std::string, std::string> addedAt; // address -> MAC of a row added here
    for (const DhcpMapping& row : ours)
        if (!before.count(keyOf(row)) && addedKeys.insert(keyOf(row)).second) {
            added.push_back(row);
            addedAt.emplace(row.address, row.mac);
        }
    std::vector<DhcpMapping> merged;
    std::set<RowKey> mergedKeys;
    for (const DhcpMapping& row : onDisk) {
        const bool dropped = before.count(keyOf(row)) && !kept.count(keyOf(row));
        const auto mine = addedAt.find(row.address);
        const bool replaced = mine != addedAt.end() && mine->second != row.mac;
        if (!dropped && !replaced && mergedKeys.insert(keyOf(row)).second)
            merged.push_back(row);
    }
    for (const DhcpMapping& row : added)
        if (mergedKeys.insert(keyOf(row)).second)
            merged.push_back(row);
    return merged;
}

void DhcpFileSaver::setBase(std::vector<DhcpMapping> rows, bool replaceUnreadable)
{
    m_base = std::move(rows);
    m_replaceUnreadable = replaceUnreadable;
}

platform::Result<void> DhcpFileSaver::save(const std::string& path, const std::vector<DhcpMapping>& rows)
{
    SUITE_TRY_ASSIGN(platform::FileLock lock, platform::FileLock::acquire(path + ".lock"));
    std::vector<DhcpMapping> onDisk;
    bool truncated = false;
    auto read = platform::readFileBytes(path, kLargestFile, &truncated);
    if (read.ok() && truncated)
        return platform::Error { path + " is longer than " + std::to_string(kLargestFile) + " bytes", EFBIG };
    if (read.ok())
        onDisk = parseDhcpFile(*read);
    else if (read.error().code != ENOENT && !m_replaceUnreadable)
        return read.error();
    SUITE_TRY(platform::writeFileAtomic(path, formatDhcpFile(mergeDhcpRows(m_base, rows, onDisk))));
    // Rows of others are theirs to drop: the next save changes only what
    // this list changes from here.
    m_base = rows;
    m_replaceUnreadable = false;
    return {};
}

} // namespace utility::services
