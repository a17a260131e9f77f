#include "utility/shell/system_log.h"

#include "platform/text_file.h"

#include <algorithm>
#include <charconv>
#include <ctime>

namespace utility::shell {
namespace {

const char* const kFailedToOpen = "Failed to open file";
const char* const kCorrupted = " file is corrupted!\r\n";
const char* const kTooLarge = " file file size is too large!\r\n";
const char* const kFirstRow = "Application starts successfully.";
const char* const kInterfaceRow = "Selected network interface: ";
constexpr std::size_t kMinimumFileBytes = 12;

// The leading decimal number of a cell, as the list's numbering reads it.
int leadingNumber(const std::string& text)
{
    std::size_t start = 0;
    while (start < text.size() && (text[start] == ' ' || text[start] == '\t'))
        ++start;
    int value = 0;
    const char* first = text.data() + start;
    const char* last = text.data() + text.size();
    if (first != last && *first == '+')
        ++first;
    auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec != std::errc())
        return 0;
    return value;
}

void failedToOpen(platform::Prompter& prompter, const std::string& path)
{
    prompter.beep(5000, 100);
    prompter.message(std::string(kFailedToOpen) + path + "! \r\n");
}

} // namespace

std::string SystemLog::formatTime(const platform::WallTime& time)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm local {};
    localtime_r(&seconds, &local);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%d-%d-%d--%d-%d-%d \r\n", local.tm_year + 1900, local.tm_mon + 1,
        local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return buffer;
}

void SystemLog::insertRow(std::size_t position, LogRow row)
{
    // A list inserts past its end as an append.
    position = std::min(position, m_rows.size());
    m_rows.insert(m_rows.begin() + static_cast<std::ptrdiff_t>(position), std::move(row));
}

void SystemLog::addLogLine(const std::string& message)
{
    const std::size_t position = m_count < 0 ? 0 : static_cast<std::size_t>(m_count);
    insertRow(position, { std::to_string(m_count + 1), formatTime(m_clock.wallNow()), message });
    ++m_count;
    if (m_changed)
        m_changed();
}

void SystemLog::writeInitialRows(const std::string& effectiveAddress)
{
    addLogLine(kFirstRow);
    addLogLine(kInterfaceRow + effectiveAddress);
}

std::string SystemLog::serialize() const
{
    std::string out = std::string(kHeader) + "$";
    for (const auto& row : m_rows)
        out += row.number + "$" + row.time + "$" + row.message + "$";
    return out;
}

bool SystemLog::saveLog(platform::Prompter& prompter) const
{
    const std::string path = prompter.saveFile("Save Log", kFilter);
    if (path.empty())
        return false;
    return saveLogTo(path, prompter);
}

bool SystemLog::saveLogTo(const std::string& path, platform::Prompter& prompter) const
{
    if (!platform::writeFileAtomic(path, serialize()).ok()) {
        failedToOpen(prompter, path);
        return false;
    }
    return true;
}

bool SystemLog::openLog(platform::Prompter& prompter)
{
    const std::string path = prompter.openFile("Open Log", kFilter);
    if (path.empty())
        return false;
    return openLogFrom(path, prompter);
}

bool SystemLog::openLogFrom(const std::string& path, platform::Prompter& prompter)
{
    bool truncated = false;
    auto content = platform::readFileBytes(path, kMaxFileBytes, &truncated);
    if (!content.ok()) {
        failedToOpen(prompter, path);
        return false;
    }
    const std::string& bytes = *content;
    if (bytes.size() < kMinimumFileBytes) {
        prompter.message(path + kCorrupted);
        return false;
    }
    if (truncated)
        prompter.message(path + kTooLarge);
    const std::string header = kHeader;
    if (bytes.compare(0, header.size(), header) != 0) {
        prompter.message(path + kCorrupted);
        return false;
    }

    m_rows.clear();
    m_count = 0;
    // Cells start after the header's "$"; text after the last "$" is dropped.
    std::vector<std::string> cells;
    std::size_t pos = header.size() + 1;
    while (pos < bytes.size()) {
        const std::size_t end = bytes.find('$', pos);
        if (end == std::string::npos)
            break;
        cells.push_back(bytes.substr(pos, end - pos));
        pos = end + 1;
    }
    int last = 0;
    for (std::size_t i = 0; i + 2 < cells.size(); i += 3) {
        const int number = leadingNumber(cells[i]);
        const std::size_t position = number > 0 ? static_cast<std::size_t>(number - 1) : 0;
        insertRow(position, { cells[i], cells[i + 1], cells[i + 2] });
        last = number;
    }
    // Numbering continues after the last row read.
    m_count = std::max(last, 0);
    if (m_changed)
        m_changed();
    return true;
}

} // namespace utility::shell
