#pragma once

#include "platform/result.h"

#include <cstddef>
#include <cstdint>
#include <set>
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
// `entries` empty, for an empty file, a count of 0 or no number. An entry is
// one line: a line with fewer or more than 13 fields, or a number out of its
// field's range, is dropped alone; the lines behind it still load. A count
// above kMaxPorts is cut to kMaxPorts; lines beyond the count are not read.
// Of bytes longer than kFileLimit only the whole lines within it are read.
// Each of these is named by a line in `dropped`.
bool decodeVspFile(
    std::string_view bytes, std::vector<PortEntry>& entries, std::vector<std::string>* dropped = nullptr);

// Reads the file. A missing file loads nothing and says nothing; a file that
// cannot be read (a symbolic link, a FIFO) or that had anything dropped is
// named in `dropped`, and in the second case kept as "vsp.dat.bad".
bool loadVspFile(const std::string& path, std::vector<PortEntry>& entries, std::vector<std::string>* dropped = nullptr);

// The table to store when the file holds `onDisk` by now: the entries of
// `ours`, in its order, where a port not named in `changed` takes what the
// file remembers of it (another program may have connected it since).
std::vector<PortEntry> mergeVspEntries(
    const std::vector<PortEntry>& ours, const std::vector<PortEntry>& onDisk, const std::set<std::string>& changed);

// Stores `entries` under the file's lock, merged as above with what the file
// holds at that moment.
platform::Result<void> saveVspFile(
    const std::string& path, const std::vector<PortEntry>& entries, const std::set<std::string>& changed);

} // namespace utility::vsp
