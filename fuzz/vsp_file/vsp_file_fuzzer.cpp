// "vsp.dat" from an untrusted file: the parse must stay inside the bytes and
// the table, and what it loads must survive a save and a second load.
#include "utility/vsp/vsp_file.h"

#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<utility::vsp::PortEntry> entries;
    const bool loaded
        = utility::vsp::decodeVspFile(std::string_view(reinterpret_cast<const char*>(data), size), entries);
    if (entries.size() > utility::vsp::kMaxPorts || loaded != !entries.empty())
        std::abort();
    if (!loaded)
        return 0;
    // Fields holding spaces cannot come from a parse; saved and read back,
    // the table is the same unless a text field is empty at the line's end.
    const std::string saved = utility::vsp::encodeVspFile(entries);
    std::vector<utility::vsp::PortEntry> again;
    if (saved.size() <= utility::vsp::kFileLimit) {
        if (!utility::vsp::decodeVspFile(saved, again) || again.size() != entries.size())
            std::abort();
        for (std::size_t i = 0; i < again.size(); ++i) {
            if (again[i].portName != entries[i].portName || again[i].remoteHostIp != entries[i].remoteHostIp
                || again[i].remotePortText != entries[i].remotePortText)
                std::abort();
        }
    }
    return 0;
}
