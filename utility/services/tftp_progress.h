#pragma once

#include "platform/net.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace utility::services {

// How far a read transfer has come, as its log lines say it:
//   "Sending PATH to ADDR on port N: BYTES of TOTAL bytes (P %).\r\n"
//   "Sent PATH to ADDR on port N: BYTES bytes.\r\n"           (complete)
//   "Stopped sending PATH to ADDR on port N: BYTES of TOTAL bytes.\r\n"
// BYTES counts what the client acknowledged. Another process (the upgrade
// command following the server's output) reads them back with
// parseTftpProgress().
struct TftpProgress {
    enum class Kind { Sending, Sent, Stopped };
    Kind kind = Kind::Sending;
    std::string path;
    platform::Endpoint client;
    std::uint64_t bytes = 0;
    std::uint64_t total = 0; // the file's length; for Sent the same as bytes
};

// Progress lines go out each time the acknowledged part of the file passes
// another tenth of it.
inline constexpr int kTftpProgressSteps = 10;

std::string formatTftpProgress(const TftpProgress& progress);
// One line of the log (with or without its line end); nullopt for any other.
std::optional<TftpProgress> parseTftpProgress(const std::string& line);

// Follows a file that a TFTP server's log goes to (the output of "qelta
// tftp" sent to it) from where it ended when opened, for the progress
// lines about one client address.
class TftpProgressFollower {
public:
    TftpProgressFollower() = default;
    ~TftpProgressFollower();
    TftpProgressFollower(const TftpProgressFollower&) = delete;
    TftpProgressFollower& operator=(const TftpProgressFollower&) = delete;

    // Opens `path` at its end; the reason when it cannot be read.
    std::optional<std::string> open(const std::string& path, platform::Ipv4 client);
    // The lines about the client written since the last call, oldest first.
    // A file cut short (rotated) is read again from its start.
    std::vector<TftpProgress> poll();

private:
    int m_fd = -1;
    platform::Ipv4 m_client = 0;
    std::uint64_t m_offset = 0;
    std::string m_partial; // a line not ended yet
};

} // namespace utility::services
