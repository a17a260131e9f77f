#pragma once

#include <string>

namespace platform {

// The number n of a COM name "COMn" (any case, an optional "\\.\" in front),
// or 0 when the name is not of that form.
int comNumber(const std::string& name);

// Finds the device behind a COM name. In order: the virtual port's link in the
// driver host's device directory (<runtime dir>/dev/COMn), a line of the
// user's mapping file ("COMn /dev/ttyUSB0" or "COMn=/dev/ttyUSB0", # starts a
// comment), and the legacy serial device /dev/ttyS(n-1). A name that is
// already an absolute path stands for itself.
struct ComNameResolver {
    std::string runtimeDir; // empty: no driver host
    std::string mappingFile; // empty: no mapping

    // The driver host's runtime directory as devcon finds it; SUITE_COM_MAP, else
    // $XDG_CONFIG_HOME/kellan-suite/com-ports (or ~/.config/...) for the mapping.
    static ComNameResolver fromEnvironment();

    // The device path, or an empty text when the name means nothing.
    std::string resolve(const std::string& comName) const;
};

} // namespace platform
