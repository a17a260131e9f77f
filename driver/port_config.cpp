#include "driver/port_config.h"

#include "driver/host/host.h"
#include "driver/port_internal.h"

#include <algorithm>
#include <string>

namespace driver {

using namespace common;

namespace {

// Each value is a REG_DWORD; the narrower fields keep only their low bits.
struct ConfigValue {
    const char* name;
    std::uint32_t (*get)(const PortConfig&);
    void (*set)(PortConfig&, std::uint32_t);
};

constexpr ConfigValue kConfigValues[] = {
    { "RemoteHostIP", [](const PortConfig& c) { return c.remoteHostIp; },
        [](PortConfig& c, std::uint32_t v) { c.remoteHostIp = v; } },
    { "RemoteHostPort", [](const PortConfig& c) -> std::uint32_t { return c.remoteHostPort; },
        [](PortConfig& c, std::uint32_t v) { c.remoteHostPort = static_cast<std::uint16_t>(v); } },
    { "Protocol", [](const PortConfig& c) -> std::uint32_t { return c.protocol; },
        [](PortConfig& c, std::uint32_t v) { c.protocol = static_cast<std::uint8_t>(v); } },
    { "ConnectAtWinStart", [](const PortConfig& c) { return c.connectAtWinStart; },
        [](PortConfig& c, std::uint32_t v) { c.connectAtWinStart = v; } },
    { "ConnType", [](const PortConfig& c) { return c.connType; },
        [](PortConfig& c, std::uint32_t v) { c.connType = v; } },
    { "CmdByte", [](const PortConfig& c) { return c.cmdByte; }, [](PortConfig& c, std::uint32_t v) { c.cmdByte = v; } },
    { "MaxPacketLen", [](const PortConfig& c) { return c.maxPacketLen; },
        [](PortConfig& c, std::uint32_t v) { c.maxPacketLen = v; } },
    { "LocalPort", [](const PortConfig& c) -> std::uint32_t { return loadShared(c.localPort); },
        [](PortConfig& c, std::uint32_t v) { storeShared(c.localPort, static_cast<std::uint16_t>(v)); } },
};

// A little-endian load of the value's bytes, shorter data zero-extended;
// false when the data does not fit the 32-bit word.
bool configWord(const host::RegValue& value, std::uint32_t& word)
{
    if (value.data.size() > 4)
        return false;
    word = 0;
    for (std::size_t i = 0; i < value.data.size(); ++i)
        word |= static_cast<std::uint32_t>(value.data[i]) << (8 * i);
    return true;
}

// The driver host's own options; their values are optional.
void loadOptions(PortDevice& port, const std::string& key)
{
    host::RegValue value;
    std::uint32_t word = 0;
    std::uint32_t seconds = kDefaultReconnectSeconds;
    if (ntSuccess(port.host->registry().queryValue(key, kReconnectIntervalValue, value)) && configWord(value, word))
        seconds = std::min<std::uint32_t>(word, kMaxReconnectSeconds);
    storeShared(port.config.reconnectSeconds, seconds);
    std::uint32_t pacing = 1;
    if (ntSuccess(port.host->registry().queryValue(key, kPacingValue, value)) && configWord(value, word))
        pacing = word != 0 ? 1 : 0;
    storeShared(port.config.pacing, pacing);
    std::uint32_t wire = kWireNative;
    if (ntSuccess(port.host->registry().queryValue(key, kWireProtocolValue, value)) && configWord(value, word)
        && word == kWireRfc2217)
        wire = kWireRfc2217;
    storeShared(port.config.wireProtocol, wire);
}

} // namespace

void reloadOptions(PortDevice& port)
{
    std::string key;
    if (ntSuccess(port.host->openDeviceKey(*port.node, key)))
        loadOptions(port, key);
}

NtStatus storeConfiguration(PortDevice& port)
{
    std::string key;
    NtStatus status = port.host->openDeviceKey(*port.node, key);
    for (const auto& entry : kConfigValues) {
        if (!ntSuccess(status))
            break;
        status = port.host->writeRegistryDword(key, entry.name, entry.get(port.config));
    }
    return status;
}

NtStatus reloadConfiguration(PortDevice& port)
{
    std::string key;
    NtStatus status = port.host->openDeviceKey(*port.node, key);
    for (const auto& entry : kConfigValues) {
        if (!ntSuccess(status))
            break;
        host::RegValue value;
        status = port.host->registry().queryValue(key, entry.name, value);
        std::uint32_t word = 0;
        if (ntSuccess(status) && configWord(value, word))
            entry.set(port.config, word);
    }
    if (!key.empty())
        loadOptions(port, key);
    return status;
}

void loadConfiguration(PortDevice& port)
{
    std::string key;
    bool complete = ntSuccess(port.host->openDeviceKey(*port.node, key));
    for (const auto& entry : kConfigValues) {
        if (!complete)
            break;
        host::RegValue value;
        if (!ntSuccess(port.host->registry().queryValue(key, entry.name, value))) {
            complete = false;
            break;
        }
        // Only data that fits the 32-bit word is taken.
        std::uint32_t word = 0;
        if (configWord(value, word))
            entry.set(port.config, word);
    }
    if (complete) {
        loadOptions(port, key);
        return;
    }
    port.config = kDefaultPortConfig;
    if (key.empty())
        return;
    for (const auto& entry : kConfigValues) {
        if (!ntSuccess(port.host->writeRegistryDword(key, entry.name, entry.get(port.config))))
            break; // the defaults stay in effect; the next start tries again
    }
}

} // namespace driver
