#include "utility/services/dhcp_file.h"

#include "platform/file_lock.h"
#include "platform/text_file.h"

#include <algorithm>
#include <cerrno>

namespace utility::services {

namespace {

// The file is read whole; a longer one would lose its rows past the limit.
constexpr std::size_t kLargestFile = 64 * 1024 * 1024;

bool contains(const std::vector<DhcpMapping>& rows, const DhcpMapping& row)
{
    return std::find(rows.begin(), rows.end(), row) != rows.end();
}

} // namespace

std::vector<DhcpMapping> mergeDhcpRows(
    const std::vector<DhcpMapping>& base, const std::vector<DhcpMapping>& ours, const std::vector<DhcpMapping>& onDisk)
{
    std::vector<DhcpMapping> added;
    for (const DhcpMapping& row : ours)
        if (!contains(base, row) && !contains(added, row))
            added.push_back(row);
    std::vector<DhcpMapping> merged;
    for (const DhcpMapping& row : onDisk) {
        const bool dropped = contains(base, row) && !contains(ours, row);
        const bool replaced = std::any_of(added.begin(), added.end(),
            [&row](const DhcpMapping& mine) { return mine.address == row.address && !(mine == row); });
        if (!dropped && !replaced && !contains(merged, row))
            merged.push_back(row);
    }
    for (const DhcpMapping& row : added)
        if (!contains(merged, row))
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
