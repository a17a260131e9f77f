// "dhcp.dat" is a text file a user may edit: any contents must load, give
// the same rows back when saved and loaded again, and keep the allocation
// and the Delete buttons' work inside the pool and the list.
#include "utility/services/dhcp_server.h"

#include <cstdlib>
#include <string_view>

using namespace utility::services;

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto rows = parseDhcpFile(text);
    require(parseDhcpFile(formatDhcpFile(rows)) == rows);

    DhcpServer server;
    server.setFields({ 0xC0A80064, 0xC0A8006E, 1, 2, 3, 4, "zv.bin" });
    server.setRows(rows);
    server.buildPool();
    for (const auto& row : rows) {
        if (const auto mac = parseMacText(row.mac))
            (void)server.allocate(*mac);
    }
    const std::size_t before = server.rows().size();
    (void)server.allocate({ 0xFE, 1, 2, 3, 4, 5 });
    require(server.rows().size() <= before + 1);
    if (!server.rows().empty())
        require(server.deleteRow(server.rows().size() / 2));
    server.deleteAll();
    for (const auto& entry : server.pool())
        require(!entry.inUse);
    return 0;
}
