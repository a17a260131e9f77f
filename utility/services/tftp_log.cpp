#include "utility/services/tftp_log.h"

#include <algorithm>
#include <iterator>

namespace utility::services {

TftpLog::TftpLog(std::size_t lineLimit)
    : m_limit(std::max<std::size_t>(1, lineLimit))
    , m_trimAt(m_limit + m_limit / 4)
{
}

void TftpLog::setLineLimit(std::size_t limit)
{
    m_limit = std::max<std::size_t>(1, limit);
    m_trimAt = m_limit + m_limit / 4;
    trim();
}

void TftpLog::append(const std::string& text, Owner owner)
{
    m_entries.push_back({ m_next++, owner, text });
    m_text += text;
    // Dropped in batches of a quarter of the limit: the held text is put
    // together again only then, not at every line.
    if (m_entries.size() > m_trimAt)
        trim();
}

void TftpLog::trim()
{
    if (m_entries.size() <= m_limit)
        return;
    std::size_t excess = m_entries.size() - m_limit;
    std::deque<Entry> kept;
    for (auto& entry : m_entries) {
        const bool pinned = entry.owner != 0 && m_running && m_running(entry.owner);
        if (excess > 0 && !pinned) {
            --excess;
            continue;
        }
        kept.push_back(std::move(entry));
    }
    m_entries = std::move(kept);
    m_text.clear();
    for (const auto& entry : m_entries)
        m_text += entry.text;
    // Lines of running transfers may keep it above the limit: the next trim
    // waits for a quarter more, so a long list is not walked at every line.
    m_trimAt = std::max(m_limit, m_entries.size()) + m_limit / 4;
}

std::string TftpLog::since(std::uint64_t from) const
{
    auto first = m_entries.end();
    while (first != m_entries.begin() && std::prev(first)->number >= from)
        --first;
    std::string out;
    for (; first != m_entries.end(); ++first)
        out += first->text;
    return out;
}

} // namespace utility::services
