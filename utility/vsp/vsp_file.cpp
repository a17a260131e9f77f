#include "utility/vsp/vsp_file.h"

#include "platform/text_file.h"

#include <algorithm>
#include <cerrno>

namespace utility::vsp {

namespace {

void field(std::string& out, std::string_view text)
{
    out.append(text);
    out.push_back(' ');
}

// The usual decimal conversion: digits up to the first non-digit, which
// ends the number (the 'l' behind the address, any text after it). A field
// without a leading digit, or a value above `highest`, is refused.
bool number(std::string_view text, std::uint32_t highest, std::uint32_t& value)
{
    std::uint64_t read = 0;
    std::size_t position = 0;
    for (; position < text.size() && text[position] >= '0' && text[position] <= '9'; ++position) {
        read = read * 10 + static_cast<std::uint64_t>(text[position] - '0');
        if (read > highest)
            return false;
    }
    if (position == 0)
        return false;
    value = static_cast<std::uint32_t>(read);
    return true;
}

constexpr std::size_t kFields = 13;

// One entry from one line (without its line end): 13 fields, each ended by a
// space. A line with fewer or more fields, or with a number out of its
// range, is refused with the reason.
bool parseEntry(std::string_view line, PortEntry& entry, std::string& reason)
{
    std::string_view fields[kFields];
    std::size_t position = 0;
    for (auto& field : fields) {
        const std::size_t space = line.find(' ', position);
        if (space == std::string_view::npos) {
            reason = "fewer than 13 fields";
            return false;
        }
        field = line.substr(position, space - position);
        position = space + 1;
    }
    if (position != line.size()) {
        reason = "more than 13 fields";
        return false;
    }
    struct Number {
        std::size_t field;
        std::uint32_t highest;
        const char* name;
    };
    static constexpr Number kNumbers[] = { { 0, kMaxPorts - 1, "Port ID" }, { 2, 0xFFFFFFFFu, "RemoteHostIP" },
        { 3, 0xFFFF, "RemoteHostPort" }, { 4, 1, "Protocol" }, { 5, 1, "ConnectAtWinStart" }, { 7, 1, "ConnType" },
        { 8, 1, "CmdByte" }, { 9, 0xFFFF, "MaxPacketLen" } };
    std::uint32_t values[kFields] = {};
    for (const auto& check : kNumbers) {
        if (!number(fields[check.field], check.highest, values[check.field])) {
            reason = std::string(check.name) + " '" + std::string(fields[check.field].substr(0, 24)) + "' out of range";
            return false;
        }
    }
    entry.portId = std::to_string(values[0]);
    entry.portName = fields[1];
    entry.remoteHostIp = values[2];
    entry.remoteHostPort = static_cast<std::uint16_t>(values[3]);
    entry.protocol = static_cast<std::uint8_t>(values[4]);
    entry.connectAtWinStart = values[5];
    entry.status = fields[6];
    entry.connType = values[7];
    entry.cmdByte = values[8];
    entry.maxPacketLen = values[9];
    entry.portName2 = fields[10];
    entry.remoteIpText = fields[11];
    entry.remotePortText = fields[12];
    return true;
}

} // namespace

std::string encodeVspFile(const std::vector<PortEntry>& entries)
{
    std::string out = std::to_string(entries.size()) + " \r\n";
    for (const auto& entry : entries) {
        field(out, entry.portId);
        field(out, entry.portName);
        field(out, std::to_string(entry.remoteHostIp) + "l");
        field(out, std::to_string(entry.remoteHostPort));
        field(out, std::to_string(entry.protocol));
        field(out, std::to_string(static_cast<std::int32_t>(entry.connectAtWinStart)));
        field(out, entry.status);
        field(out, std::to_string(static_cast<std::int32_t>(entry.connType)));
        field(out, std::to_string(static_cast<std::int32_t>(entry.cmdByte)));
        field(out, std::to_string(static_cast<std::int32_t>(entry.maxPacketLen)));
        field(out, entry.portName2);
        field(out, entry.remoteIpText);
        field(out, entry.remotePortText);
        out += "\r\n";
    }
    return out;
}

bool decodeVspFile(std::string_view bytes, std::vector<PortEntry>& entries, std::vector<std::string>* dropped)
{
    entries.clear();
    auto drop = [&](std::size_t line, const std::string& reason) {
        if (dropped)
            dropped->push_back(std::string(kFileName) + " line " + std::to_string(line) + " dropped: " + reason);
    };
    if (bytes.empty())
        return false;
    if (bytes.size() > kFileLimit) {
        // Cut safely: the lines within the limit are read, the one the limit
        // cuts through is not.
        bytes = bytes.substr(0, kFileLimit);
        if (dropped)
            dropped->push_back(std::string(kFileName) + " is longer than " + std::to_string(kFileLimit)
                + " bytes; only the lines within them are read");
        const std::size_t lastEnd = bytes.rfind('\n');
        bytes = lastEnd == std::string_view::npos ? std::string_view() : bytes.substr(0, lastEnd + 1);
        if (bytes.empty()) {
            drop(1, "longer than " + std::to_string(kFileLimit) + " bytes");
            return false;
        }
    }
    // Lines end in CR LF; a lone LF is taken as well, and the last line may
    // lack its end.
    std::vector<std::string_view> lines;
    for (std::size_t position = 0; position < bytes.size();) {
        std::size_t end = bytes.find('\n', position);
        if (end == std::string_view::npos)
            end = bytes.size();
        std::string_view line = bytes.substr(position, end - position);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        position = end + 1;
    }
    std::uint32_t count = 0;
    const std::string_view first = lines.front();
    if (first.empty() || first.back() != ' ' || first.find(' ') != first.size() - 1
        || !number(first, 0xFFFFFFFFu, count)) {
        drop(1, "no entry count");
        return false;
    }
    if (count > kMaxPorts && dropped)
        dropped->push_back(std::string(kFileName) + " counts " + std::to_string(count) + " entries; only "
            + std::to_string(kMaxPorts) + " are read");
    const std::size_t wanted = std::min<std::size_t>(count, kMaxPorts);
    for (std::size_t index = 1; index < lines.size(); ++index) {
        const bool lastAndEmpty = index + 1 == lines.size() && lines[index].empty();
        if (lastAndEmpty)
            break;
        if (index > wanted) {
            drop(index + 1, "beyond the count of " + std::to_string(count));
            continue;
        }
        PortEntry entry;
        std::string reason;
        if (parseEntry(lines[index], entry, reason))
            entries.push_back(std::move(entry));
        else
            drop(index + 1, reason);
    }
    return !entries.empty();
}

bool loadVspFile(const std::string& path, std::vector<PortEntry>& entries, std::vector<std::string>* dropped)
{
    entries.clear();
    bool truncated = false;
    // One byte more than the limit tells a file that is too long.
    auto bytes = platform::readDataFile(path, kFileLimit + 1, &truncated);
    if (!bytes.ok()) {
        // No file is no table; anything else there is named.
        if (bytes.error().code != ENOENT && dropped)
            dropped->push_back(bytes.error().message);
        return false;
    }
    std::vector<std::string> problems;
    const bool loaded = decodeVspFile(*bytes, entries, &problems);
    if (!problems.empty()) {
        // What was dropped is not lost with the next save.
        auto copy = platform::keepBadCopy(path);
        problems.push_back(copy.ok() ? std::string(kFileName) + " is kept as " + *copy : copy.error().message);
    }
    if (dropped)
        dropped->insert(dropped->end(), problems.begin(), problems.end());
    return loaded;
}

std::vector<PortEntry> mergeVspEntries(
    const std::vector<PortEntry>& ours, const std::vector<PortEntry>& onDisk, const std::set<std::string>& changed)
{
    std::vector<PortEntry> merged = ours;
    for (auto& entry : merged) {
        if (changed.count(entry.portName))
            continue;
        const auto stored = std::find_if(onDisk.begin(), onDisk.end(),
            [&](const PortEntry& candidate) { return candidate.portName == entry.portName; });
        if (stored == onDisk.end())
            continue;
        // The Port ID is the port's position now, which this table knows.
        const std::string id = entry.portId;
        entry = *stored;
        entry.portId = id;
    }
    return merged;
}

platform::Result<void> saveVspFile(
    const std::string& path, const std::vector<PortEntry>& entries, const std::set<std::string>& changed)
{
    return platform::updateFileAtomic(path, kFileLimit + 1, [&](const platform::CurrentFile& current) {
        std::vector<PortEntry> onDisk;
        if (current.exists)
            (void)decodeVspFile(current.bytes, onDisk);
        return std::optional<std::string>(encodeVspFile(mergeVspEntries(entries, onDisk, changed)));
    });
}

} // namespace utility::vsp
