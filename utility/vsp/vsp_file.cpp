#include "utility/vsp/vsp_file.h"

#include <fstream>
#include <iterator>

namespace utility::vsp {

namespace {

void field(std::string& out, std::string_view text)
{
    out.append(text);
    out.push_back(' ');
}

// The usual decimal conversion: optional sign, digits up to the first
// non-digit; values wrap as the unsigned fields of the table do.
std::uint32_t number(std::string_view text)
{
    std::size_t position = 0;
    bool negative = false;
    if (position < text.size() && (text[position] == '-' || text[position] == '+'))
        negative = text[position++] == '-';
    std::uint32_t value = 0;
    for (; position < text.size() && text[position] >= '0' && text[position] <= '9'; ++position)
        value = value * 10 + static_cast<std::uint32_t>(text[position] - '0');
    return negative ? 0u - value : value;
}

// Walks the bytes as the view's parser does: a field is the run up to the
// next space; the walk fails instead of reading past the end.
class Cursor {
public:
    explicit Cursor(std::string_view bytes)
        : m_bytes(bytes)
    {
    }
    bool field(std::string& out)
    {
        const std::size_t space = m_bytes.find(' ', m_position);
        if (space == std::string_view::npos)
            return false;
        out.assign(m_bytes.substr(m_position, space - m_position));
        m_position = space + 1;
        return true;
    }
    // The two line-end characters (not checked: the parser skips two bytes).
    bool lineEnd()
    {
        if (m_position + 2 > m_bytes.size())
            return false;
        m_position += 2;
        return true;
    }

private:
    std::string_view m_bytes;
    std::size_t m_position = 0;
};

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

bool decodeVspFile(std::string_view bytes, std::vector<PortEntry>& entries)
{
    entries.clear();
    if (bytes.empty() || bytes.size() > kFileLimit)
        return false;
    Cursor cursor(bytes);
    std::string text;
    if (!cursor.field(text) || text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    std::size_t count = number(text);
    if (count == 0 || !cursor.lineEnd())
        return false;
    if (count > kMaxPorts)
        count = kMaxPorts;
    std::string fields[13];
    for (std::size_t index = 0; index < count; ++index) {
        for (auto& value : fields) {
            if (!cursor.field(value))
                return !entries.empty();
        }
        PortEntry entry;
        entry.portId = fields[0];
        entry.portName = fields[1];
        entry.remoteHostIp = number(fields[2]);
        entry.remoteHostPort = static_cast<std::uint16_t>(number(fields[3]));
        entry.protocol = static_cast<std::uint8_t>(number(fields[4]));
        entry.connectAtWinStart = number(fields[5]);
        entry.status = fields[6];
        entry.connType = number(fields[7]);
        entry.cmdByte = number(fields[8]);
        entry.maxPacketLen = number(fields[9]);
        entry.portName2 = fields[10];
        entry.remoteIpText = fields[11];
        entry.remotePortText = fields[12];
        entries.push_back(std::move(entry));
        // The last line may lack its line end; the entry is whole.
        if (!cursor.lineEnd())
            break;
    }
    return !entries.empty();
}

bool loadVspFile(const std::string& path, std::vector<PortEntry>& entries)
{
    entries.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::string bytes;
    bytes.resize(kFileLimit + 1);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return decodeVspFile(bytes, entries);
}

bool saveVspFile(const std::string& path, const std::vector<PortEntry>& entries)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    const std::string bytes = encodeVspFile(entries);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    return static_cast<bool>(out);
}

} // namespace utility::vsp
