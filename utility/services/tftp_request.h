#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace utility::services {

inline constexpr std::size_t kTftpBlockSize = 512; // without a block-size option
inline constexpr std::size_t kTftpMinBlockSize = 8; // the block-size option's range
inline constexpr std::size_t kTftpMaxBlockSize = 65464;
// The most blocks sent before an acknowledgement is awaited (windowsize);
// a larger request is answered with this value.
inline constexpr std::size_t kTftpMaxWindow = 16;

// A read request taken apart: the file name, the transfer mode and the
// options the server honours.
struct TftpRequest {
    bool valid = false; // the file name is terminated
    std::string name;
    std::string mode; // lower case
    std::size_t blockSize = 0; // 0: not asked for (or not honoured)
    std::size_t window = 0; // 0: not asked for
    bool transferSize = false;
    int timeoutSeconds = 0;
    // Honoured options in the client's spelling and order.
    std::vector<std::string> names;

    bool netascii() const { return mode == "netascii"; }
};

// Parses an RRQ or WRQ (opcode included).
TftpRequest parseTftpRequest(std::span<const std::uint8_t> datagram);

std::string tftpLower(std::string text);

// Whether a requested file name stays inside the served directory: no
// absolute path, no ".." component, no drive letter, no backslash.
bool tftpNameStaysInside(const std::string& name);
// Whether `path` still lies inside `directory` once both are resolved
// (symbolic links followed).
bool tftpPathStaysInside(const std::string& directory, const std::string& path);

// Text from the network made fit for a log line: printable ASCII only, at
// most `limit` characters.
std::string tftpPrintable(std::span<const std::uint8_t> bytes, std::size_t limit = 100);

// "ERROR" datagram: opcode 5, the code, the text and its zero.
std::vector<std::uint8_t> tftpErrorDatagram(std::uint16_t code, const std::string& text);

} // namespace utility::services
