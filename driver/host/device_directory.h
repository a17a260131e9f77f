#pragma once

#include "common/ntstatus.h"

#include <string>

namespace driver::host {

// The host's device directory: one symbolic link per named port ("COM5"),
// pointing at the terminal that stands for it, so programs find ports by
// name. Names are single path components.

// Replaces any entry of that name with a link to `target`.
common::NtStatus createDeviceLink(const std::string& directory, const std::string& name, const std::string& target);
void removeDeviceLink(const std::string& directory, const std::string& name);
// Removes the links a previous run left behind; other files stay.
void clearDeviceDirectory(const std::string& directory);
// Where a link points; empty when there is none.
std::string deviceLinkTarget(const std::string& directory, const std::string& name);

} // namespace driver::host
