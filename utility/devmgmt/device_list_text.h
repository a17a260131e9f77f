#pragma once

#include "utility/devmgmt/device_view.h"

#include <string>
#include <vector>

namespace utility::devmgmt {

// The device list as plain text: the list's column titles (without the check
// box column) over its rows, columns padded to their widest text.
std::string formatDeviceTable(const std::vector<ListRow>& rows);

// The device list as a JSON array of objects with the keys no, name, mac,
// dhcp, ip, port, mode and status ("no" and "port" as numbers).
std::string formatDeviceJson(const std::vector<ListRow>& rows);

// Arbitrary bytes as UTF-8 text: valid UTF-8 sequences stay, every other
// byte is taken as a Latin-1 character.
std::string utf8Text(const std::string& bytes);

} // namespace utility::devmgmt
