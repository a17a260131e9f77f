// Received device-management datagrams are hostile input: the record parser
// and the StatusReply reader must take any bytes of any length. A parsed
// record built again into a SetConfig must give the same items back, and
// building from arbitrary item texts must stay inside the record.
#include "utility/devmgmt/device_config.h"
#include "utility/devmgmt/protocol.h"

#include <cstdlib>
#include <span>
#include <string>

using namespace utility::devmgmt;

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

void parseThenBuild(std::span<const std::uint8_t> datagram)
{
    const DeviceConfig record = DeviceConfig::fromDatagram(datagram);
    const DeviceItems items = parseItems(record);
    const DeviceConfig built = buildSetConfig(items, record.mac());
    DeviceItems again = parseItems(built);
    // The only items SetConfig does not carry over: the fixed management ports.
    require(again[Item::BroadcastPort] == "25122" && again[Item::MulticastPort] == "25123");
    again[Item::BroadcastPort] = items[Item::BroadcastPort];
    again[Item::MulticastPort] = items[Item::MulticastPort];
    require(again == items);
    require(buildSetConfig(again, record.mac()) == built);
    require(built.type() == opcode::kSetConfig && (built.bytes[9] & 0x01) == 0x01);
}

void readStatus(std::span<const std::uint8_t> datagram)
{
    const auto reply = parseStatusReply(datagram);
    if (reply)
        require(datagram.size() >= kStatusReplyMinSize && reply->firmwareVersion.size() <= 12);
}

// The input split at newlines into item texts, as a hand-edited setting file
// would give them.
void buildFromTexts(std::span<const std::uint8_t> data)
{
    DeviceItems items;
    std::size_t item = 0;
    for (const std::uint8_t byte : data) {
        if (byte == '\n') {
            if (++item == items.values.size())
                break;
            continue;
        }
        items.values[item].push_back(static_cast<char>(byte));
    }
    const DeviceConfig record = buildSetConfig(items, MacAddress {});
    const DeviceItems parsed = parseItems(record);
    require(parsed[Item::DeviceName].size() <= kNameSize && parsed[Item::FirmwareFile].size() <= kFileNameSize);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> input(data, size);
    parseThenBuild(input);
    readStatus(input);
    buildFromTexts(input);
    return 0;
}
