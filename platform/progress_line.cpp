#include "platform/progress_line.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace platform {

ProgressLine::ProgressLine(std::FILE* out, bool terminal, int columns)
    : m_out(out)
    , m_terminal(terminal)
    , m_columns(columns > 1 ? columns : 80)
{
}

ProgressLine ProgressLine::forStderr()
{
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    winsize size {};
    const int columns = terminal && ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 80;
    return ProgressLine(stderr, terminal, columns);
}

ProgressLine::~ProgressLine() { end(); }

void ProgressLine::show(const std::string& step, const std::string& text, TimePoint now)
{
    const bool newStep = !m_any || step != m_step;
    if (newStep) {
        end();
        m_step = step;
        m_any = true;
    } else if (!m_terminal || text == m_shown) {
        return;
    } else if (now - m_shownAt < kRewriteInterval) {
        // Shown at the next rewrite, or when the line ends.
        m_pending = text;
        return;
    }
    m_pending.clear();
    m_shown = text;
    m_shownAt = now;
    if (!m_terminal) {
        std::fprintf(m_out, "%s\n", text.c_str());
        std::fflush(m_out);
        return;
    }
    write(text);
}

void ProgressLine::write(const std::string& text)
{
    // A line longer than the terminal would wrap, and the carriage return
    // would then rewrite only its last part.
    const auto width = static_cast<std::size_t>(m_columns - 1);
    const std::string shown = text.size() > width ? text.substr(0, width) : text;
    // Back to the line's start, the new text, the rest of the old one erased.
    std::fprintf(m_out, "\r%s\x1b[K", shown.c_str());
    std::fflush(m_out);
    m_open = true;
}

void ProgressLine::end()
{
    if (!m_open)
        return;
    if (!m_pending.empty()) {
        write(m_pending);
        m_pending.clear();
    }
    std::fputc('\n', m_out);
    std::fflush(m_out);
    m_open = false;
}

std::string ProgressLine::leftText(Duration left)
{
    const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
    const long long seconds = milliseconds <= 0 ? 0 : (milliseconds + 999) / 1000;
    return std::to_string(seconds) + " s left";
}

std::string ProgressLine::bytesText(std::uint64_t done, std::uint64_t total)
{
    const std::uint64_t percent = total == 0 ? 100 : done * 100 / total;
    return std::to_string(done) + " of " + std::to_string(total) + " bytes (" + std::to_string(percent) + " %)";
}

} // namespace platform
