#pragma once

#include "platform/result.h"
#include "sim/devsim/device.h"

#include <string>
#include <string_view>
#include <vector>

namespace sim::devsim {

// What the devsim program is asked to run.
struct SimulatorSetup {
    SimulatorOptions options;
    std::vector<DeviceDefinition> devices;
    bool help = false;
};

inline constexpr std::string_view kDefaultFirstAddress = "127.0.0.10";

// The settings of device number `index` (0-based) when nothing else is said:
// address first + index, MAC 02:44:53 followed by index + 1, name
// "DS-" and index + 1 in four digits.
DeviceDefinition defaultDevice(std::size_t index, platform::Ipv4 address);

// Applies one "key = value" setting of a [device] section.
platform::Result<void> applyDeviceSetting(DeviceDefinition& device, std::string_view key, std::string_view value);

// Reads a configuration text: "[device]" sections of "key = value" lines;
// '#' starts a comment line. Each section's device starts from the defaults
// of its position (firstIndex + its number in the file).
platform::Result<std::vector<DeviceDefinition>> parseConfigText(
    std::string_view text, std::size_t firstIndex, platform::Ipv4 firstAddress);

// Reads the program's arguments (without the program name), including any
// --config file they name.
platform::Result<SimulatorSetup> parseCommandLine(const std::vector<std::string>& args);

// The data field of a device's start-up line: "tcp-server:5000:framed",
// "udp-client:127.0.0.1:6000:raw", or "off" without a data channel.
std::string dataField(const Device& device);

// The help's text around the options the program declares: what devsim
// does, and after the options the configuration file, the behaviour and the
// failure switches.
std::string usageAbout();
std::string usageNotes();

} // namespace sim::devsim
