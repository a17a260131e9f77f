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

// A JSON string literal of arbitrary bytes: quotes, backslashes and control
// characters escaped, bytes that are not valid UTF-8 written as \u00XX.
std::string jsonString(const std::string& bytes);

} // namespace utility::devmgmt
