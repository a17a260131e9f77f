#pragma once

#include "utility/services/terminal_view.h"
#include "utility/shell/app_settings.h"
#include "utility/vsp/vsp_manager.h"

#include <functional>
#include <string>

class QObject;

namespace utility::shell {
class NavigationTree;
class SystemLog;
} // namespace utility::shell

namespace utility::devmgmt {
class DeviceView;
}

namespace utility::gui {

class DeviceViewWidget;
class NavigationPanel;

// What the COM port terminal needs from the window: the machine's ports, the
// navigation tree to tell the program's own virtual ports by their whole
// name, and the system log.
services::TerminalEnvironment windowTerminalEnvironment(shell::NavigationTree& tree, shell::SystemLog& log);

// The virtual port manager's options in the window: the start-up's driver
// package and interface, the settings' switches, and the devcon beside the
// program for Remove (the window may be started without it on PATH).
vsp::VspOptions windowVspOptions(const std::string& hardwareId, const std::string& infName,
    const std::string& bindAddress, const shell::AppSettings& settings);

// Dragging a device row onto a virtual port item: the device list offers
// the rows the device view lets go (idle, not yet shown in the tree), the
// tree's port items take them and the device view connects the port. What
// a drop did is said in the system log and the device view's status line,
// and the connected device's row shows it at once.
void bindDeviceDrag(DeviceViewWidget& list, NavigationPanel& panel, devmgmt::DeviceView& view,
    shell::NavigationTree& tree, shell::SystemLog& log);

// Opens a file or address with the system's handler (xdg-open); `failed`
// runs with the reason when the opener is missing, cannot start or exits
// with an error (no handler for the type), so the caller can fall back.
void openWithSystemHandler(const std::string& target, QObject* owner, std::function<void(const std::string&)> failed,
    const std::string& opener = "xdg-open");

} // namespace utility::gui
