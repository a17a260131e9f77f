#include "sim/devsim/setup.h"

#include "platform/text_file.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <set>

namespace sim::devsim {
namespace {

using platform::Error;
using platform::Result;

constexpr std::size_t kMaxDevices = 65535;
constexpr std::size_t kVersionSize = 12;
constexpr std::size_t kConfigFileLimit = 1u << 20;

std::string_view trim(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// Decimal, or hexadecimal with 0x.
bool parseUnsigned(std::string_view text, std::uint64_t max, std::uint64_t& value)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty())
        return false;
    std::uint64_t parsed = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed, base);
    if (ec != std::errc() || ptr != text.data() + text.size() || parsed > max)
        return false;
    value = parsed;
    return true;
}

bool parseBool(std::string_view text, bool& value)
{
    for (std::string_view yes : { "1", "yes", "on", "true" })
        if (text == yes)
            return value = true, true;
    for (std::string_view no : { "0", "no", "off", "false" })
        if (text == no)
            return value = false, true;
    return false;
}

// Seconds with an optional fraction ("3", "0.5").
bool parseSeconds(std::string_view text, platform::Duration& duration)
{
    double seconds = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size() || !std::isfinite(seconds) || seconds < 0
        || seconds > 86400)
        return false;
    duration = std::chrono::duration_cast<platform::Duration>(std::chrono::duration<double>(seconds));
    return true;
}

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
Result<void> checkDistinct(const std::vector<DeviceDefinition>& devices)
{
    std::map<std::pair<platform::Ipv4, std::uint16_t>, std::size_t> addresses;
    std::map<Mac, std::size_t> macs;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const auto& settings = devices[i].settings;
        auto [address, newAddress] = addresses.emplace(std::pair(settings.currentAddress, settings.dataPort), i);
        if (!newAddress)
            return Error { "devices " + std::to_string(address->second + 1) + " and " + std::to_string(i + 1)
                + " share the address " + platform::formatIpv4(settings.currentAddress) + " and the data port "
                + std::to_string(settings.dataPort) };
        auto [mac, newMac] = macs.emplace(settings.mac, i);
        if (!newMac)
            return Error { "devices " + std::to_string(mac->second + 1) + " and " + std::to_string(i + 1)
                + " share the MAC " + formatMac(settings.mac) };
    }
    return {};
}

// "VALUE" for every device, or "N=VALUE" for device N (counted from 1).
template <typename T> struct PerDevice {
    std::optional<T> forAll;
    std::vector<std::pair<std::size_t, T>> byDevice;
};

template <typename T, typename Parse>
Result<void> addPerDevice(
    PerDevice<T>& target, const std::string& option, const std::string& text, const std::string& expected, Parse parse)
{
    const auto equals = text.find('=');
    T value {};
    if (!parse(equals == std::string::npos ? std::string_view(text) : std::string_view(text).substr(equals + 1), value))
        return Error { option + ": expected " + expected };
    if (equals == std::string::npos) {
        target.forAll = value;
        return {};
    }
    std::uint64_t number = 0;
    if (!parseUnsigned(std::string_view(text).substr(0, equals), kMaxDevices, number) || number == 0)
        return Error { option + ": expected VALUE or DEVICE=VALUE with DEVICE counted from 1" };
    target.byDevice.emplace_back(static_cast<std::size_t>(number - 1), value);
    return {};
}

template <typename T, typename Assign>
Result<void> applyPerDevice(
    const PerDevice<T>& source, const std::string& option, std::vector<DeviceDefinition>& devices, Assign assign)
{
    if (source.forAll)
        for (auto& device : devices)
            assign(device, *source.forAll);
    for (const auto& [index, value] : source.byDevice) {
        if (index >= devices.size())
            return Error { option + ": there is no device " + std::to_string(index + 1) };
        assign(devices[index], value);
    }
    return {};
}

} // namespace

DeviceDefinition defaultDevice(std::size_t index, platform::Ipv4 address)
{
    DeviceDefinition definition;
    const std::size_t number = index + 1;
    char name[kNameSize + 1];
    std::snprintf(name, sizeof name, "DS-%04zu", number);
    definition.settings.name = name;
    // 02: a locally administered address, so no maker's range is taken.
    definition.settings.mac = { 0x02, 0x44, 0x53, static_cast<std::uint8_t>(number >> 16),
        static_cast<std::uint8_t>(number >> 8), static_cast<std::uint8_t>(number) };
    definition.settings.currentAddress = address;
    definition.settings.staticAddress = address;
    return definition;
}

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

Result<std::vector<DeviceDefinition>> parseConfigText(
    std::string_view text, std::size_t firstIndex, platform::Ipv4 firstAddress)
{
    std::vector<DeviceDefinition> devices;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++lineNumber;
        const std::string where = "line " + std::to_string(lineNumber) + ": ";
        if (line.empty() || line[0] == '#')
            continue;
        if (line == "[device]") {
            const std::size_t index = firstIndex + devices.size();
            if (index >= kMaxDevices)
                return Error { where + "too many devices" };
            devices.push_back(defaultDevice(index, firstAddress + static_cast<platform::Ipv4>(index)));
            continue;
        }
        if (line.front() == '[')
            return Error { where + "unknown section " + std::string(line) };
        const auto equals = line.find('=');
        if (equals == std::string_view::npos)
            return Error { where + "expected key = value" };
        if (devices.empty())
            return Error { where + "a setting before the first [device]" };
        auto applied = applyDeviceSetting(devices.back(), trim(line.substr(0, equals)), trim(line.substr(equals + 1)));
        if (!applied.ok())
            return Error { where + applied.error().message };
    }
    return devices;
}

Result<SimulatorSetup> parseCommandLine(const std::vector<std::string>& args)
{
    SimulatorSetup setup;
    std::size_t generated = 0;
    bool devicesGiven = false;
    platform::Ipv4 firstAddress = *platform::parseIpv4(kDefaultFirstAddress);
    std::string configPath;
    std::string firmware;
    std::optional<FaultMode> faultForAll;
    std::vector<std::pair<std::size_t, FaultMode>> faultsByDevice;
    PerDevice<bool> framing;
    PerDevice<SerialMode> serial;

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string& out) -> Result<void> {
            if (i + 1 >= args.size())
                return Error { arg + " needs a value" };
            out = args[++i];
            return {};
        };
        auto port = [&](std::uint16_t& out) -> Result<void> {
            std::string text;
            SUITE_TRY(value(text));
            std::uint64_t number = 0;
            if (!parseUnsigned(text, 65535, number) || number == 0)
                return Error { arg + ": expected a port from 1 to 65535" };
            out = static_cast<std::uint16_t>(number);
            return {};
        };
        auto seconds = [&](platform::Duration& out) -> Result<void> {
            std::string text;
            SUITE_TRY(value(text));
            if (!parseSeconds(text, out))
                return Error { arg + ": expected seconds, e.g. 3 or 0.5" };
            return {};
        };
        auto address = [&](platform::Ipv4& out) -> Result<void> {
            std::string text;
            SUITE_TRY(value(text));
            auto parsed = platform::parseIpv4(text);
            if (!parsed)
                return Error { arg + ": expected a dotted IPv4 address" };
            out = *parsed;
            return {};
        };

        if (arg == "-h" || arg == "--help") {
            setup.help = true;
        } else if (arg == "--devices") {
            std::string text;
            SUITE_TRY(value(text));
            std::uint64_t count = 0;
            if (!parseUnsigned(text, kMaxDevices, count))
                return Error { "--devices: expected a number from 0 to " + std::to_string(kMaxDevices) };
            generated = static_cast<std::size_t>(count);
            devicesGiven = true;
        } else if (arg == "--first-address") {
            SUITE_TRY(address(firstAddress));
        } else if (arg == "--config") {
            SUITE_TRY(value(configPath));
        } else if (arg == "--reboot-time") {
            SUITE_TRY(seconds(setup.options.rebootTime));
        } else if (arg == "--reboot-reply") {
            setup.options.rebootReply = true;
        } else if (arg == "--http-port") {
            std::string text;
            SUITE_TRY(value(text));
            std::uint64_t number = 0;
            if (!parseUnsigned(text, 65535, number))
                return Error { "--http-port: expected a port from 0 to 65535" };
            setup.options.httpPort = static_cast<std::uint16_t>(number);
        } else if (arg == "--tftp-port") {
            SUITE_TRY(port(setup.options.tftpPort));
        } else if (arg == "--tftp-timeout") {
            SUITE_TRY(seconds(setup.options.tftpTimeout));
            if (setup.options.tftpTimeout < std::chrono::milliseconds(10))
                return Error { "--tftp-timeout: at least 0.01 seconds" };
        } else if (arg == "--tftp-retries") {
            std::string text;
            SUITE_TRY(value(text));
            std::uint64_t count = 0;
            if (!parseUnsigned(text, 100, count))
                return Error { "--tftp-retries: expected a number from 0 to 100" };
            setup.options.tftpRetries = static_cast<int>(count);
        } else if (arg == "--group") {
            SUITE_TRY(address(setup.options.multicastGroup));
            if ((setup.options.multicastGroup >> 28) != 0xE)
                return Error { "--group: not a multicast address" };
        } else if (arg == "--broadcast-port") {
            SUITE_TRY(port(setup.options.broadcastPort));
        } else if (arg == "--multicast-port") {
            SUITE_TRY(port(setup.options.multicastPort));
        } else if (arg == "--unicast-port") {
            SUITE_TRY(port(setup.options.unicastPort));
        } else if (arg == "--firmware") {
            SUITE_TRY(value(firmware));
            if (firmware.empty() || firmware.size() > kVersionSize)
                return Error { "--firmware: one to 12 characters" };
        } else if (arg == "--fault") {
            std::string text;
            SUITE_TRY(value(text));
            const auto equals = text.find('=');
            FaultMode mode = FaultMode::None;
            if (!parseFaultMode(equals == std::string::npos ? text : text.substr(equals + 1), mode))
                return Error { "--fault: expected none, silent, twice, short or bad-signature" };
            if (equals == std::string::npos) {
                faultForAll = mode;
            } else {
                std::uint64_t number = 0;
                if (!parseUnsigned(std::string_view(text).substr(0, equals), kMaxDevices, number) || number == 0)
                    return Error { "--fault: expected MODE or DEVICE=MODE with DEVICE counted from 1" };
                faultsByDevice.emplace_back(static_cast<std::size_t>(number - 1), mode);
            }
        } else if (arg == "--framing") {
            std::string text;
            SUITE_TRY(value(text));
            SUITE_TRY(addPerDevice(framing, arg, text, "on or off (or DEVICE=on|off)",
                [](std::string_view v, bool& out) { return parseBool(v, out); }));
        } else if (arg == "--serial") {
            std::string text;
            SUITE_TRY(value(text));
            SUITE_TRY(addPerDevice(serial, arg, text, "pty or echo (or DEVICE=pty|echo)",
                [](std::string_view v, SerialMode& out) { return parseSerialMode(v, out); }));
        } else if (arg == "--reconnect-time") {
            SUITE_TRY(seconds(setup.options.reconnectTime));
            if (setup.options.reconnectTime < std::chrono::milliseconds(10))
                return Error { "--reconnect-time: at least 0.01 seconds" };
        } else if (arg == "-v" || arg == "--verbose") {
            setup.options.verbose = true;
        } else {
            return Error { "unknown option " + arg + " (see --help)" };
        }
    }
    if (setup.help)
        return setup;

    if (!configPath.empty()) {
        bool truncated = false;
        auto text = platform::readFileBytes(configPath, kConfigFileLimit, &truncated);
        if (!text.ok())
            return Error { configPath + ": " + text.error().message };
        if (truncated)
            return Error { configPath + ": larger than 1 MiB" };
        auto devices = parseConfigText(*text, 0, firstAddress);
        if (!devices.ok())
            return Error { configPath + ": " + devices.error().message };
        setup.devices = std::move(*devices);
    } else if (!devicesGiven) {
        generated = 1;
    }
    if (setup.devices.size() + generated > kMaxDevices)
        return Error { "too many devices" };
    for (std::size_t j = 0; j < generated; ++j) {
        const std::size_t index = setup.devices.size();
        const std::uint64_t address = std::uint64_t { firstAddress } + index;
        if (address > 0xFFFFFFFFu)
            return Error { "--first-address: the addresses run past 255.255.255.255" };
        DeviceDefinition device = defaultDevice(index, static_cast<platform::Ipv4>(address));
        if (!firmware.empty())
            device.status.firmwareVersion = firmware;
        setup.devices.push_back(std::move(device));
    }
    if (faultForAll)
        for (auto& device : setup.devices)
            device.fault = *faultForAll;
    for (const auto& [index, mode] : faultsByDevice) {
        if (index >= setup.devices.size())
            return Error { "--fault: there is no device " + std::to_string(index + 1) };
        setup.devices[index].fault = mode;
    }
    SUITE_TRY(applyPerDevice(
        framing, "--framing", setup.devices, [](DeviceDefinition& device, bool on) { device.data.framing = on; }));
    SUITE_TRY(applyPerDevice(serial, "--serial", setup.devices,
        [](DeviceDefinition& device, SerialMode mode) { device.data.serial = mode; }));
    if (setup.devices.empty())
        return Error { "no devices to simulate" };
    SUITE_TRY(checkDistinct(setup.devices));
    return setup;
}

std::string dataField(const Device& device)
{
    const DataChannel* channel = device.dataChannel();
    if (!channel)
        return "off";
    const auto& settings = channel->settings();
    std::string field = std::string(settings.udp ? "udp-" : "tcp-") + (settings.client ? "client:" : "server:");
    field += settings.client ? settings.destination.text() : std::to_string(channel->localEndpoint().port);
    return field + (settings.framing ? ":framed" : ":raw");
}

std::string usageAbout()
{
    return R"(Simulates device servers on the management protocol: each device answers
Query (broadcast port 25122, multicast group port 25123, unicast port 25124
on its own address), SetConfig, Restore, Reboot, Upgrade (a TFTP download),
StatusQuery and takes ConnectNotice, and carries its serial port over its data
channel. Once every device listens, one line per device is printed:
"ADDRESS MAC NAME serial=PATH data=CHANNEL", where PATH is the pty a program
opens to play the device's serial peer (or "echo") and CHANNEL tells how the
data channel runs, e.g. "tcp-server:5000:framed". SIGINT or SIGTERM ends
the program.)";
}

std::string usageNotes()
{
    return R"(Configuration file: one [device] section per device, "key = value" lines,
'#' starts a comment. A key left out keeps the default of the device's
position (address, MAC 02:44:53:00:00:nn, name DS-nnnn, server mode, TCP,
broadcast and multicast management on, 115200 8N1, no flow control).
  [device]
  name = Lab-1                 # at most 16 characters
  mac = 02:44:53:10:00:01
  address = 127.0.0.20         # current address (where it answers); a device
                               # on the address of an earlier one is a further
                               # serial port of that device server (give it
                               # its own data-port): a Query there is answered
                               # once for each port
  static-address, netmask, gateway, dns, destination-address = ADDR
  data-port, destination-port = PORT      destination-host = TEXT
  client-mode, dhcp, access-check, udp-data, tcp-data, auto-connect,
  broadcast-management, multicast-management = 0 | 1
  connection-timeout = 0..20 (minutes)    transmission-timer = MS
  baud = 921600 | 115200 | 57600 | 38400 | 19200 | 9600 | 4800 | 2400 | 1200
  data-bits = 5..8   parity = odd | even | none   stop-bits = 1 | 1.5 | 2
  flow-control = xon-xoff | hardware | none       rs485-mode = 0..3
  accessible-ip1 .. accessible-ip4 = ADDR
  smtp-domain, smtp-from, smtp-to1 .. smtp-to3 = TEXT   smtp-events = HEX
  upgrade-server = ADDR   upgrade-file = TEXT
  firmware = VERSION      modem-status = BYTE     connection-state = 0 | 1
  tx-count, rx-count = serial byte counters     fault = MODE
  framing = on | off      serial = pty | echo

Behaviour: a device answers a broadcast or multicast Query only while its
broadcast or multicast management flag is on. SetConfig stores every item but
the MAC, answers with the stored record and restarts; Restore (matched by
MAC) answers, takes the settings the device was started with and restarts;
Reboot (matched by name and MAC) restarts. A restarting device is silent for
the reboot time and then answers on its (possibly new) address; counters and
the connection state start again from 0. Upgrade (matched by name and MAC)
fetches the file from the TFTP server in octet mode; on success the device
restarts with the firmware version taken from the file: the characters after
the first "VERSION=" in it, or else its first line, at most 12 characters.
A failed download leaves the old firmware running.

Data channel: in server mode (client-mode = 0) a device listens on its data
port on its own address: TCP (tcp-data = 1) serves one connection at a time
and resets a second one at once; UDP (udp-data = 1, tcp-data = 0) answers
whoever greets it (framed) or sent the last datagram (raw). In client mode it
connects to destination-host (a dotted address or a name), or when that is
empty destination-address, at destination-port, and tries again after the
reconnect time; a UDP client sends there at once. With tcp-data and udp-data
both 0 there is no data channel. The connection state in the QueryReply is 1
while a TCP connection is up or a UDP peer is known.
Framed, every packet is a type byte, a 2-byte big-endian length and the
payload: 0x32 data, 0x33 control (code and arguments), 0x31 hello, 0x30 bye.
Data payloads go out of the serial side; serial input comes back in data
packets of at most 1024 bytes. Control codes from the port: 0x11/0x13 clear/
set DTR, 0x12/0x14 clear/set RTS, 0x1A modem control (bit 0 DTR, bit 1 RTS),
0x15 baud code and line-control byte, 0x19 line-control byte, 0x16/0x17
break off/on, 0x18 FIFO control, 0x21/0x22 stop/resume sending to the port,
0x24 flow control (0 none, 1 hardware, 2 software); others are ignored. The
device reports its modem status (CTS 0x10, DSR 0x20, RI 0x40, DCD 0x80, with
change bits 0x01-0x08) with 0xA3 when a connection starts and after every
DTR/RTS request, and with 0x81 (status, DTR bit 0 and RTS bit 1) when the
serial peer's lines change. Serial input while nothing is connected is
dropped. The emulated baud rate and format are shown on the pty's settings.
)";
}

} // namespace sim::devsim
