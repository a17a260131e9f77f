#pragma once

#include "platform/clock.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

// The progress of a long command on stderr, one step at a time: on a
// terminal one line per step that is rewritten in place as the step goes
// on (what is waited for, how long is left), the way package tools show
// theirs; into a file or a pipe only the first text of each step, on a line
// of its own, so that a log gets one line per step and no carriage returns.
class ProgressLine {
public:
    // Rewrites on a terminal come at most this often (a transfer reports
    // every block).
    static constexpr Duration kRewriteInterval = std::chrono::milliseconds(100);

    ProgressLine(std::FILE* out, bool terminal, int columns = 80);
    // For stderr as it is: a terminal or not, and the terminal's width.
    static ProgressLine forStderr();
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // Shows `text` for `step`. Another step than the last starts a new line;
    // the same step rewrites the line on a terminal when the text changed.
    void show(const std::string& step, const std::string& text, TimePoint now);
    // Ends an open line (with the last text shown, if a rewrite was held
    // back), so that what is printed next starts on its own.
    void end();
    bool terminal() const { return m_terminal; }

    // "14 s left": whole seconds, rounded up.
    static std::string leftText(Duration left);
    // "51200 of 131072 bytes (39 %)".
    static std::string bytesText(std::uint64_t done, std::uint64_t total);

private:
    void write(const std::string& text);

    std::FILE* m_out;
    bool m_terminal;
    int m_columns;
    bool m_open = false;
    bool m_any = false;
    std::string m_step;
    std::string m_shown;
    std::string m_pending; // held back by the rewrite interval
    TimePoint m_shownAt {};
};

} // namespace platform
