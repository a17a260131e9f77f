#pragma once

#include "utility/devmgmt/device_setup.h"
#include "utility/devmgmt/device_view.h"
#include "utility/devmgmt/setup_sheet.h"

#include <string>

namespace utility::gui {

// The system log's line after a search: how it asked, how many devices
// answered, or why it could not ask.
std::string searchLogLine(devmgmt::DeviceView& view);

// The system log's line after a device setup that got as far as sending:
// what was sent to which device (`address`, `mac`) and whether it answered.
// Empty for a setup that ended before anything was sent.
std::string setupLogLine(const devmgmt::SetupSheet& sheet, devmgmt::DeviceSetup::Outcome outcome,
    const std::string& address, const std::string& mac);

} // namespace utility::gui
