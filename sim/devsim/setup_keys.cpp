// The keys of a device's section in devsim's configuration file.
#include "sim/devsim/setup.h"
#include "sim/devsim/setup_values.h"

#include <functional>
#include <map>

namespace sim::devsim {
namespace {

using platform::Error;
using platform::Result;
using namespace setup_values;

constexpr std::size_t kVersionSize = 12;

template <typename Int> Result<void> setNumber(Int& field, std::string_view value, std::uint64_t max)
{
    std::uint64_t parsed = 0;
    if (!parseUnsigned(value, max, parsed))
        return Error { "expected a number from 0 to " + std::to_string(max) };
    field = static_cast<Int>(parsed);
    return {};
}

Result<void> setAddress(platform::Ipv4& field, std::string_view value)
{
    auto parsed = platform::parseIpv4(value);
    if (!parsed)
        return Error { "expected a dotted IPv4 address" };
    field = *parsed;
    return {};
}

Result<void> setText(std::string& field, std::string_view value, std::size_t width)
{
    // The record has no room for more, and cutting a name quietly would
    // leave the device answering to a name nobody configured.
    if (value.size() > width)
        return Error { "longer than " + std::to_string(width) + " characters" };
    if (value.find('\0') != std::string_view::npos)
        return Error { "contains a zero byte" };
    field = std::string(value);
    return {};
}

Result<void> setFlag(bool& field, std::string_view value)
{
    if (!parseBool(value, field))
        return Error { "expected 0 or 1 (yes/no, on/off)" };
    return {};
}

template <typename Names> Result<void> setCode(std::uint8_t& field, std::string_view value, const Names& names)
{
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == value) {
            field = static_cast<std::uint8_t>(i);
            return {};
        }
    std::string choices;
    for (const auto& name : names)
        choices += (choices.empty() ? "" : ", ") + std::string(name);
    return Error { "expected one of " + choices };
}

using Setter = std::function<Result<void>(DeviceDefinition&, std::string_view)>;

const std::map<std::string, Setter, std::less<>>& deviceKeys()
{
    static const std::map<std::string, Setter, std::less<>> keys = [] {
        std::map<std::string, Setter, std::less<>> k;
        k["name"] = [](DeviceDefinition& d, std::string_view v) { return setText(d.settings.name, v, kNameSize); };
        k["mac"] = [](DeviceDefinition& d, std::string_view v) -> Result<void> {
            if (!parseMac(v, d.settings.mac))
                return Error { "expected six hex pairs like 02:44:53:00:00:01" };
            return {};
        };
        k["address"] = [](DeviceDefinition& d, std::string_view v) { return setAddress(d.settings.currentAddress, v); };
        k["static-address"]
            = [](DeviceDefinition& d, std::string_view v) { return setAddress(d.settings.staticAddress, v); };
        k["netmask"] = [](DeviceDefinition& d, std::string_view v) { return setAddress(d.settings.netmask, v); };
        k["gateway"] = [](DeviceDefinition& d, std::string_view v) { return setAddress(d.settings.gateway, v); };
        k["dns"] = [](DeviceDefinition& d, std::string_view v) { return setAddress(d.settings.dns, v); };
        k["data-port"]
            = [](DeviceDefinition& d, std::string_view v) { return setNumber(d.settings.dataPort, v, 65535); };
        k["destination-address"]
            = [](DeviceDefinition& d, std::string_view v) { return setAddress(d.settings.destinationAddress, v); };
        k["destination-port"]
            = [](DeviceDefinition& d, std::string_view v) { return setNumber(d.settings.destinationPort, v, 65535); };
        k["destination-host"] = [](DeviceDefinition& d, std::string_view v) {
            return setText(d.settings.destinationHost, v, kDestinationHostSize);
        };
        k["client-mode"] = [](DeviceDefinition& d, std::string_view v) { return setFlag(d.settings.clientMode, v); };
        k["dhcp"] = [](DeviceDefinition& d, std::string_view v) { return setFlag(d.settings.dhcp, v); };
        k["access-check"] = [](DeviceDefinition& d, std::string_view v) { return setFlag(d.settings.accessCheck, v); };
        k["udp-data"] = [](DeviceDefinition& d, std::string_view v) { return setFlag(d.settings.udpData, v); };
        k["tcp-data"] = [](DeviceDefinition& d, std::string_view v) { return setFlag(d.settings.tcpData, v); };
        k["broadcast-management"]
            = [](DeviceDefinition& d, std::string_view v) { return setFlag(d.settings.broadcastManagement, v); };
        k["multicast-management"]
            = [](DeviceDefinition& d, std::string_view v) { return setFlag(d.settings.multicastManagement, v); };
        k["auto-connect"] = [](DeviceDefinition& d, std::string_view v) { return setFlag(d.settings.autoConnect, v); };
        k["connection-timeout"]
            = [](DeviceDefinition& d, std::string_view v) { return setNumber(d.settings.connectionTimeout, v, 20); };
        k["transmission-timer"]
            = [](DeviceDefinition& d, std::string_view v) { return setNumber(d.settings.transmissionTimer, v, 65535); };
        k["baud"] = [](DeviceDefinition& d, std::string_view v) -> Result<void> {
            std::uint64_t rate = 0;
            for (std::size_t i = 0; parseUnsigned(v, 0xFFFFFFFF, rate) && i < kBaudRates.size(); ++i)
                if (kBaudRates[i] == rate) {
                    d.settings.baudCode = static_cast<std::uint8_t>(i);
                    return {};
                }
            return Error { "expected one of 921600, 115200, 57600, 38400, 19200, 9600, 4800, 2400, 1200" };
        };
        k["data-bits"] = [](DeviceDefinition& d, std::string_view v) -> Result<void> {
            std::uint64_t bits = 0;
            if (!parseUnsigned(v, 8, bits) || bits < 5)
                return Error { "expected 5, 6, 7 or 8" };
            d.settings.dataBitsCode = static_cast<std::uint8_t>(bits - 5);
            return {};
        };
        k["parity"]
            = [](DeviceDefinition& d, std::string_view v) { return setCode(d.settings.parityCode, v, kParityNames); };
        k["stop-bits"] = [](DeviceDefinition& d, std::string_view v) {
            return setCode(d.settings.stopBitsCode, v, kStopBitNames);
        };
        k["flow-control"] = [](DeviceDefinition& d, std::string_view v) {
            return setCode(d.settings.flowControlCode, v, kFlowControlNames);
        };
        k["rs485-mode"] = [](DeviceDefinition& d, std::string_view v) { return setNumber(d.settings.rs485Mode, v, 3); };
        for (std::size_t i = 0; i < 4; ++i)
            k["accessible-ip" + std::to_string(i + 1)]
                = [i](DeviceDefinition& d, std::string_view v) { return setAddress(d.settings.accessibleIps[i], v); };
        k["smtp-domain"]
            = [](DeviceDefinition& d, std::string_view v) { return setText(d.settings.smtpDomain, v, kSmtpTextSize); };
        k["smtp-from"]
            = [](DeviceDefinition& d, std::string_view v) { return setText(d.settings.smtpFrom, v, kSmtpTextSize); };
        for (std::size_t i = 0; i < 3; ++i)
            k["smtp-to" + std::to_string(i + 1)] = [i](DeviceDefinition& d, std::string_view v) {
                return setText(d.settings.smtpTo[i], v, kSmtpTextSize);
            };
        k["smtp-events"] = [](DeviceDefinition& d, std::string_view v) -> Result<void> {
            std::uint64_t bits = 0;
            if (v.empty() || v.size() > 4 || std::from_chars(v.data(), v.data() + v.size(), bits, 16).ptr != v.end())
                return Error { "expected up to four hex digits" };
            d.settings.smtpEvents = static_cast<std::uint16_t>(bits);
            return {};
        };
        k["upgrade-server"]
            = [](DeviceDefinition& d, std::string_view v) { return setAddress(d.settings.upgradeServer, v); };
        k["upgrade-file"]
            = [](DeviceDefinition& d, std::string_view v) { return setText(d.settings.upgradeFile, v, kFileNameSize); };
        k["firmware"] = [](DeviceDefinition& d, std::string_view v) -> Result<void> {
            if (v.empty())
                return Error { "empty version" };
            return setText(d.status.firmwareVersion, v, kVersionSize);
        };
        k["modem-status"]
            = [](DeviceDefinition& d, std::string_view v) { return setNumber(d.status.modemStatus, v, 255); };
        k["connection-state"]
            = [](DeviceDefinition& d, std::string_view v) { return setNumber(d.status.connectionState, v, 255); };
        k["tx-count"]
            = [](DeviceDefinition& d, std::string_view v) { return setNumber(d.status.serialTxCount, v, 0xFFFFFFFF); };
        k["rx-count"]
            = [](DeviceDefinition& d, std::string_view v) { return setNumber(d.status.serialRxCount, v, 0xFFFFFFFF); };
        k["framing"] = [](DeviceDefinition& d, std::string_view v) { return setFlag(d.data.framing, v); };
        k["serial"] = [](DeviceDefinition& d, std::string_view v) -> Result<void> {
            if (!parseSerialMode(v, d.data.serial))
                return Error { "expected pty or echo" };
            return {};
        };
        k["fault"] = [](DeviceDefinition& d, std::string_view v) -> Result<void> {
            if (!parseFaultMode(v, d.fault))
                return Error { "expected none, silent, twice, short or bad-signature" };
            return {};
        };
        return k;
    }();
    return keys;
}

// Two devices with one MAC, or on one address with one data port, cannot
// both be reached. (On one address with their own data ports they are the
// serial ports of one device server.)

} // namespace

Result<void> applyDeviceSetting(DeviceDefinition& device, std::string_view key, std::string_view value)
{
    const auto& keys = deviceKeys();
    auto it = keys.find(key);
    if (it == keys.end())
        return Error { "unknown key \"" + std::string(key) + "\"" };
    auto applied = it->second(device, value);
    if (!applied.ok())
        return Error { std::string(key) + ": " + applied.error().message };
    return {};
}

} // namespace sim::devsim
