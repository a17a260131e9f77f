#pragma once

#include "platform/clock.h"
#include "platform/prompter.h"

#include <functional>
#include <string>
#include <vector>

namespace utility::shell {

// One row of the system log: the three cells exactly as shown.
struct LogRow {
    std::string number;
    std::string time;
    std::string message;
    bool operator==(const LogRow&) const = default;
};

// The utility's system log: every subsystem reports what it did here. Rows
// only grow during a run; Open Log replaces them from a file.
class SystemLog {
public:
    static constexpr const char* kHeader = "QELTA Log File";
    static constexpr const char* kFilter = "QELTA Log files(*.log)|*.log|";
    static constexpr std::size_t kMaxFileBytes = 20000;

    explicit SystemLog(platform::Clock& clock)
        : m_clock(clock)
    {
    }

    // Adds a row at the position the row count names and counts it.
    void addLogLine(const std::string& message);
    // The first two rows, written when the log is first shown.
    void writeInitialRows(const std::string& effectiveAddress);

    const std::vector<LogRow>& rows() const { return m_rows; }
    int count() const { return m_count; }

    // "%d-%d-%d--%d-%d-%d \r\n" of a local time.
    static std::string formatTime(const platform::WallTime& time);

    // The file image Save Log writes.
    std::string serialize() const;
    // Save Log and Open Log with their dialogs and messages. False when the
    // command was cancelled or failed.
    bool saveLog(platform::Prompter& prompter) const;
    bool openLog(platform::Prompter& prompter);
    bool saveLogTo(const std::string& path, platform::Prompter& prompter) const;
    bool openLogFrom(const std::string& path, platform::Prompter& prompter);

    // Called after every change, so a view can redraw.
    void setChangedCallback(std::function<void()> callback) { m_changed = std::move(callback); }

private:
    void insertRow(std::size_t position, LogRow row);

    platform::Clock& m_clock;
    std::vector<LogRow> m_rows;
    int m_count = 0;
    std::function<void()> m_changed;
};

} // namespace utility::shell
