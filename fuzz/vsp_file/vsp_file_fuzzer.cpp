// "vsp.dat" from an untrusted file: the parse must stay inside the bytes and
// the table, every number it keeps must be in its field's range, and what it
// loads must survive a save and a second load unchanged.
#include "utility/vsp/vsp_file.h"

#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<utility::vsp::PortEntry> entries;
    std::vector<std::string> dropped;
    const bool loaded
        = utility::vsp::decodeVspFile(std::string_view(reinterpret_cast<const char*>(data), size), entries, &dropped);
    if (entries.size() > utility::vsp::kMaxPorts || loaded != !entries.empty())
        std::abort();
    for (const auto& entry : entries) {
        if (entry.protocol > 1 || entry.connectAtWinStart > 1 || entry.connType > 1 || entry.cmdByte > 1
            || entry.maxPacketLen > 0xFFFF || std::stoul(entry.portId) >= utility::vsp::kMaxPorts)
            std::abort();
    }
    if (!loaded)
        return 0;
    const std::string saved = utility::vsp::encodeVspFile(entries);
    std::vector<utility::vsp::PortEntry> again;
    if (saved.size() <= utility::vsp::kFileLimit) {
        if (!utility::vsp::decodeVspFile(saved, again) || again != entries)
            std::abort();
    }
    return 0;
}
