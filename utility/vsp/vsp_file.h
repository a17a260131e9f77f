#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace utility::vsp {

inline constexpr std::size_t kMaxPorts = 256;
// The largest "vsp.dat" the view reads; a longer file is not loaded at all.
inline constexpr std::size_t kFileLimit = 25600;
inline constexpr std::string_view kFileName = "vsp.dat";

inline constexpr std::string_view kStatusIdle = "Idle";
inline constexpr std::string_view kStatusConnected = "Connected";
inline constexpr std::string_view kStatusServer = "Server";
inline constexpr std::string_view kStatusDisconnecting = "Disconnecting";

// One virtual port as the view's table keeps it (and "vsp.dat" stores it).
struct PortEntry {
    std::string portId; // decimal text
    std::string portName; // "COM5"
    std::uint32_t remoteHostIp = 0; // host byte order
    std::uint16_t remoteHostPort = 0;
    std::uint8_t protocol = 0; // 0 TCP, 1 UDP
    std::uint32_t connectAtWinStart = 0;
    std::string status = std::string(kStatusIdle);
    std::uint32_t connType = 1; // 1 client, 0 server
    std::uint32_t cmdByte = 0;
    std::uint32_t maxPacketLen = 0;
    std::string portName2;
    std::string remoteIpText = "#";
    std::string remotePortText = "#";

    bool operator==(const PortEntry&) const = default;
};

// The file's bytes: the count line, then one line of 13 space-terminated
// fields per entry, CR LF line ends.
std::string encodeVspFile(const std::vector<PortEntry>& entries);

// Parses the file's bytes into `entries` (replaced). Returns false, leaving
// `entries` empty, for an empty file, a count of 0 or no number, or a file
// longer than kFileLimit. An entry is one line: a line with fewer or more
// than 13 fields, or a number out of its field's range, is dropped alone
// (with a line naming it in `dropped`); the lines behind it still load. A
// count above kMaxPorts is cut to kMaxPorts; lines beyond the count are not
// read.
bool decodeVspFile(
    std::string_view bytes, std::vector<PortEntry>& entries, std::vector<std::string>* dropped = nullptr);

// Reads and writes the file; save returns false when it cannot be written.
bool loadVspFile(const std::string& path, std::vector<PortEntry>& entries, std::vector<std::string>* dropped = nullptr);
bool saveVspFile(const std::string& path, const std::vector<PortEntry>& entries);

} // namespace utility::vsp
