#pragma once

#include "platform/com_names.h"

#include <string>
#include <vector>

namespace utility::services {

// A port the terminal can offer: the name shown in its Port list and the
// device behind it.
struct TerminalPortEntry {
    std::string name; // "COMn" where the port has a COM name, else the device path
    std::string device;
    bool operator==(const TerminalPortEntry&) const = default;
};

// Finds the serial ports of the machine that can be opened right now.
struct TerminalPortScanner {
    std::string devDir = "/dev";
    platform::ComNameResolver resolver;
    // Further devices to try (tests add pseudo-terminals here).
    std::vector<std::string> extraDevices;

    static TerminalPortScanner fromEnvironment();

    // The candidates: vorpild's ports (<runtime dir>/dev/COMn), the mapping
    // file's ports, /dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM* and the links in
    // /dev/serial/by-id, one entry per device. Entries with a COM name come
    // first, by number; the rest follow by path.
    std::vector<TerminalPortEntry> candidates() const;
    // The candidates that can be opened (each is opened and closed at once);
    // a port another program or terminal holds is missing.
    std::vector<TerminalPortEntry> openable() const;
    // The device for a name typed by the user: a COM name or a path.
    std::string deviceFor(const std::string& name) const;
};

} // namespace utility::services
