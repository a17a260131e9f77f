#include "utility/services/terminal_ports.h"

#include "platform/seqpacket.h"
#include "platform/serial_port.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

namespace utility::services {

namespace fs = std::filesystem;

TerminalPortScanner TerminalPortScanner::fromEnvironment()
{
    TerminalPortScanner scanner;
    scanner.resolver = platform::ComNameResolver::fromEnvironment();
    return scanner;
}

namespace {

std::string canonical(const std::string& path)
{
    std::error_code error;
    fs::path resolved = fs::canonical(path, error);
    return error ? path : resolved.string();
}

bool hasPrefixNumber(const std::string& name, const std::string& prefix)
{
    return name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0
        && std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
            [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

std::vector<TerminalPortEntry> TerminalPortScanner::candidates() const
{
    // The device each COM name stands for (runtime dir, mapping file, ttyS).
    std::map<int, std::string> comDevices;
    std::error_code error;
    if (!resolver.runtimeDir.empty()) {
        for (const auto& entry : fs::directory_iterator(platform::vorpilDeviceDir(resolver.runtimeDir), error)) {
            const int number = platform::comNumber(entry.path().filename().string());
            if (number > 0)
                comDevices.emplace(number, entry.path().string());
        }
    }
    std::vector<std::string> devices;
    for (const auto& entry : fs::directory_iterator(devDir, error)) {
        const std::string name = entry.path().filename().string();
        if (hasPrefixNumber(name, "ttyS") || hasPrefixNumber(name, "ttyUSB") || hasPrefixNumber(name, "ttyACM"))
            devices.push_back(entry.path().string());
    }
    for (const auto& entry : fs::directory_iterator(devDir + "/serial/by-id", error))
        devices.push_back(entry.path().string());
    devices.insert(devices.end(), extraDevices.begin(), extraDevices.end());
    std::sort(devices.begin(), devices.end());
    // Mapped names and the legacy ttyS names for the devices found.
    for (const std::string& device : devices) {
        const std::string name = fs::path(device).filename().string();
        if (hasPrefixNumber(name, "ttyS") && device == devDir + "/" + name && name.size() <= 7) {
            // COMn stands for ttyS(n-1) only when nothing else claims COMn.
            const int number = std::stoi(name.substr(4)) + 1;
            if (number <= 256 && resolver.resolve("COM" + std::to_string(number)) == "/dev/" + name)
                comDevices.emplace(number, device);
        }
    }
    if (!resolver.mappingFile.empty()) {
        for (int number = 1; number <= 256; ++number) {
            if (comDevices.count(number))
                continue;
            const std::string device = resolver.resolve("COM" + std::to_string(number));
            const std::string legacy = "/dev/ttyS" + std::to_string(number - 1);
            if (!device.empty() && device != legacy && fs::exists(device, error))
                comDevices.emplace(number, device);
        }
    }
    std::vector<TerminalPortEntry> result;
    std::set<std::string> seen;
    for (const auto& [number, device] : comDevices) {
        if (seen.insert(canonical(device)).second)
            result.push_back({ "COM" + std::to_string(number), device });
    }
    for (const std::string& device : devices) {
        if (seen.insert(canonical(device)).second)
            result.push_back({ device, device });
    }
    return result;
}

std::vector<TerminalPortEntry> TerminalPortScanner::openable() const
{
    std::vector<TerminalPortEntry> result;
    for (const TerminalPortEntry& entry : candidates()) {
        if (platform::openSerialPort(entry.device, platform::RealClock::instance()).ok())
            result.push_back(entry);
    }
    return result;
}

std::string TerminalPortScanner::deviceFor(const std::string& name) const
{
    if (platform::comNumber(name) > 0)
        return resolver.resolve(name);
    return name;
}

} // namespace utility::services
