#include "sim/devsim/setup.h"

#include "platform/text_file.h"
#include "sim/devsim/setup_values.h"

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
using namespace setup_values;

constexpr std::size_t kMaxDevices = 65535;
constexpr std::size_t kVersionSize = 12;
constexpr std::size_t kConfigFileLimit = 1u << 20;

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

} // namespace sim::devsim
