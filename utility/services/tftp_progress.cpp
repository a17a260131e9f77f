#include "utility/services/tftp_progress.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace utility::services {
namespace {

std::string clientText(const platform::Endpoint& client)
{
    return platform::formatIpv4(client.address) + " on port " + std::to_string(client.port);
}

// Takes a whole number from the front of `text`.
std::optional<std::uint64_t> takeNumber(std::string_view& text)
{
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data())
        return std::nullopt;
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    return value;
}

bool takePrefix(std::string_view& text, std::string_view prefix)
{
    if (!text.starts_with(prefix))
        return false;
    text.remove_prefix(prefix.size());
    return true;
}

} // namespace

std::string formatTftpProgress(const TftpProgress& progress)
{
    const std::string where = progress.path + " to " + clientText(progress.client) + ": ";
    switch (progress.kind) {
    case TftpProgress::Kind::Sent:
        return "Sent " + where + std::to_string(progress.bytes) + " bytes.\r\n";
    case TftpProgress::Kind::Stopped:
        return "Stopped sending " + where + std::to_string(progress.bytes) + " of " + std::to_string(progress.total)
            + " bytes.\r\n";
    case TftpProgress::Kind::Sending:
        break;
    }
    const std::uint64_t percent = progress.total == 0 ? 100 : progress.bytes * 100 / progress.total;
    return "Sending " + where + std::to_string(progress.bytes) + " of " + std::to_string(progress.total) + " bytes ("
        + std::to_string(percent) + " %).\r\n";
}

std::optional<TftpProgress> parseTftpProgress(const std::string& line)
{
    std::string_view text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.remove_suffix(1);
    TftpProgress progress;
    if (takePrefix(text, "Sending "))
        progress.kind = TftpProgress::Kind::Sending;
    else if (takePrefix(text, "Sent "))
        progress.kind = TftpProgress::Kind::Sent;
    else if (takePrefix(text, "Stopped sending "))
        progress.kind = TftpProgress::Kind::Stopped;
    else
        return std::nullopt;
    // The path may hold anything; the client part after it is the last
    // " to " the line carries.
    const auto to = text.rfind(" to ");
    if (to == std::string_view::npos)
        return std::nullopt;
    progress.path = std::string(text.substr(0, to));
    text.remove_prefix(to + 4);
    const auto on = text.find(" on port ");
    if (on == std::string_view::npos)
        return std::nullopt;
    const auto address = platform::parseIpv4(std::string(text.substr(0, on)));
    text.remove_prefix(on + 9);
    const auto port = takeNumber(text);
    if (!address || !port || *port > 65535 || !takePrefix(text, ": "))
        return std::nullopt;
    progress.client = { *address, static_cast<std::uint16_t>(*port) };
    const auto bytes = takeNumber(text);
    if (!bytes)
        return std::nullopt;
    progress.bytes = *bytes;
    if (progress.kind == TftpProgress::Kind::Sent) {
        progress.total = *bytes;
        return text == " bytes." ? std::optional(progress) : std::nullopt;
    }
    if (!takePrefix(text, " of "))
        return std::nullopt;
    const auto total = takeNumber(text);
    if (!total || *bytes > *total)
        return std::nullopt;
    progress.total = *total;
    if (progress.kind == TftpProgress::Kind::Stopped)
        return text == " bytes." ? std::optional(progress) : std::nullopt;
    if (!takePrefix(text, " bytes ("))
        return std::nullopt;
    const auto percent = takeNumber(text);
    if (!percent || text != " %).")
        return std::nullopt;
    return progress;
}

TftpProgressFollower::~TftpProgressFollower()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

std::optional<std::string> TftpProgressFollower::open(const std::string& path, platform::Ipv4 client)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::string(std::strerror(errno));
    struct stat status { };
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return std::string("not a regular file");
    }
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
    m_client = client;
    m_offset = static_cast<std::uint64_t>(status.st_size);
    m_partial.clear();
    return std::nullopt;
}

std::vector<TftpProgress> TftpProgressFollower::poll()
{
    std::vector<TftpProgress> found;
    if (m_fd < 0)
        return found;
    struct stat status { };
    if (::fstat(m_fd, &status) == 0 && static_cast<std::uint64_t>(status.st_size) < m_offset) {
        m_offset = 0;
        m_partial.clear();
    }
    char buffer[8192];
    for (;;) {
        const ssize_t count = ::pread(m_fd, buffer, sizeof buffer, static_cast<off_t>(m_offset));
        if (count <= 0)
            break;
        m_offset += static_cast<std::uint64_t>(count);
        m_partial.append(buffer, static_cast<std::size_t>(count));
        std::size_t start = 0;
        for (std::size_t end; (end = m_partial.find('\n', start)) != std::string::npos; start = end + 1) {
            auto progress = parseTftpProgress(m_partial.substr(start, end - start));
            if (progress && progress->client.address == m_client)
                found.push_back(std::move(*progress));
        }
        m_partial.erase(0, start);
        // A log without line ends is no log of ours: it is not held whole.
        if (m_partial.size() > 65536)
            m_partial.clear();
    }
    return found;
}

} // namespace utility::services
