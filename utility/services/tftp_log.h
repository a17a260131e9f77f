#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

namespace utility::services {

// The TFTP server's log box, kept to its last lines so that a server that
// runs for months holds no more than a screenful or two. A line that
// belongs to a transfer still running is kept past the limit until that
// transfer ends: the box always shows how every running transfer began.
class TftpLog {
public:
    static constexpr std::size_t kDefaultLineLimit = 1000;

    // Who wrote a line: 0 for the server itself, otherwise a key for the
    // transfer (its lines are kept while `running(key)` says so).
    using Owner = std::uintptr_t;

    explicit TftpLog(std::size_t lineLimit = kDefaultLineLimit);

    void setLineLimit(std::size_t limit);
    std::size_t lineLimit() const { return m_limit; }
    // Tells which owners still run; asked only when lines are dropped.
    void setRunning(std::function<bool(Owner)> running) { m_running = std::move(running); }

    // One text as the server appends it (one or more "\r\n"-ended lines).
    void append(const std::string& text, Owner owner = 0);
    // What is held, oldest first.
    const std::string& text() const { return m_text; }
    std::size_t entries() const { return m_entries.size(); }
    // Every text ever appended has a number, counting from 0: the texts
    // held from number `from` on, and the number the next text will get. A
    // reader that keeps that number sees each text once, dropped or not.
    std::string since(std::uint64_t from) const;
    std::uint64_t next() const { return m_next; }

private:
    struct Entry {
        std::uint64_t number;
        Owner owner;
        std::string text;
    };
    void trim();

    std::size_t m_limit;
    std::size_t m_trimAt;
    std::function<bool(Owner)> m_running;
    std::deque<Entry> m_entries;
    std::string m_text;
    std::uint64_t m_next = 0;
};

} // namespace utility::services
