#include "driver/host/cuse_tty_io.h"

#include <algorithm>
#include <cerrno>

namespace driver::host {

namespace {

constexpr std::chrono::milliseconds kTenth { 100 };

} // namespace

TtyRead::TtyRead(std::size_t size, TtyReadRule rule, TimePoint now)
    : m_size(size)
    , m_rule(rule)
    , m_started(now)
    , m_lastByte(now)
{
}

void TtyRead::take(std::span<const std::uint8_t> bytes, TimePoint now)
{
    const std::size_t count = std::min(bytes.size(), room());
    if (count == 0)
        return;
    m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
    m_lastByte = now;
}

bool TtyRead::done(TimePoint now) const
{
    const std::size_t got = m_bytes.size();
    if (got >= m_size)
        return true;
    if (m_rule.min == 0) {
        if (m_rule.time == 0 || got > 0)
            return true;
    } else if (got >= std::min<std::size_t>(m_rule.min, m_size)) {
        return true;
    }
    const auto limit = deadline();
    return limit && now >= *limit;
}

std::optional<TtyRead::TimePoint> TtyRead::deadline() const
{
    if (m_rule.time == 0)
        return std::nullopt;
    const auto span = kTenth * m_rule.time;
    if (m_rule.min == 0)
        return m_started + span;
    // The inter-byte timer starts with the first byte.
    if (m_bytes.empty())
        return std::nullopt;
    return m_lastByte + span;
}

TtyOutput::TtyOutput(std::size_t room)
    : m_room(room)
{
}

std::size_t TtyOutput::put(std::span<const std::uint8_t> bytes)
{
    const std::size_t count = std::min(bytes.size(), room());
    if (count == 0)
        return 0;
    // Joins the O_NONBLOCK bytes before it when nothing else came between.
    if (!m_entries.empty() && m_entries.back().kind == Kind::Write && !m_entries.back().id)
        m_entries.back().bytes.insert(m_entries.back().bytes.end(), bytes.begin(), bytes.begin() + count);
    else
        m_entries.push_back({ Kind::Write, std::nullopt, { bytes.begin(), bytes.begin() + count } });
    m_queued += count;
    return count;
}

void TtyOutput::putWaiting(std::uint64_t id, std::span<const std::uint8_t> bytes)
{
    m_entries.push_back({ Kind::Write, id, { bytes.begin(), bytes.end() } });
    m_queued += bytes.size();
}

void TtyOutput::putBarrier(std::uint64_t id, bool lastClose)
{
    m_entries.push_back({ Kind::Barrier, id, {}, 0, lastClose });
}

std::span<const std::uint8_t> TtyOutput::next(std::size_t limit) const
{
    if (m_entries.empty() || m_entries.front().kind != Kind::Write)
        return {};
    const Entry& first = m_entries.front();
    return std::span(first.bytes).subspan(first.done, std::min(limit, first.bytes.size() - first.done));
}

std::vector<TtyOutput::Answer> TtyOutput::sent(std::size_t count, int error)
{
    std::vector<Answer> answers;
    if (m_entries.empty() || m_entries.front().kind != Kind::Write)
        return answers;
    Entry& first = m_entries.front();
    count = std::min(count, first.bytes.size() - first.done);
    first.done += count;
    m_queued -= count;
    const bool finished = first.done == first.bytes.size();
    if (!finished && error == 0)
        return answers;
    m_queued -= first.bytes.size() - first.done;
    if (first.id) {
        const bool none = first.done == 0 && !first.bytes.empty();
        answers.push_back({ *first.id, Kind::Write, none ? error : 0, first.done });
    }
    m_entries.pop_front();
    return answers;
}

std::vector<TtyOutput::Answer> TtyOutput::reached()
{
    std::vector<Answer> answers;
    while (!m_entries.empty()) {
        Entry& first = m_entries.front();
        if (first.kind == Kind::Write && first.done < first.bytes.size())
            break;
        if (first.id)
            answers.push_back({ *first.id, first.kind, 0, 0 });
        m_entries.pop_front();
    }
    return answers;
}

std::optional<TtyOutput::Answer> TtyOutput::interrupt(std::uint64_t id)
{
    auto it = std::find_if(m_entries.begin(), m_entries.end(), [id](const Entry& e) { return e.id == id; });
    if (it == m_entries.end())
        return std::nullopt;
    if (it->lastClose) {
        // The program is gone: the port closes now, without its leftovers.
        m_entries.erase(it);
        dropUnanswered();
        return Answer { id, Kind::Barrier, 0, 0 };
    }
    Answer answer { id, it->kind, it->done == 0 ? EINTR : 0, it->done };
    m_queued -= it->bytes.size() - it->done;
    m_entries.erase(it);
    return answer;
}

std::vector<std::uint64_t> TtyOutput::waiting() const
{
    std::vector<std::uint64_t> ids;
    for (const Entry& entry : m_entries)
        if (entry.id)
            ids.push_back(*entry.id);
    return ids;
}

void TtyOutput::dropUnanswered()
{
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        // The first one may be under way: what went of it stays counted.
        if (it->kind == Kind::Write && !it->id && it != m_entries.begin()) {
            m_queued -= it->bytes.size() - it->done;
            it = m_entries.erase(it);
        } else if (it->kind == Kind::Write && !it->id) {
            m_queued -= it->bytes.size() - it->done;
            it->bytes.resize(it->done);
            ++it;
        } else {
            ++it;
        }
    }
}

} // namespace driver::host
