#include "utility/gui/window_parts.h"

#include "utility/devmgmt/device_view.h"
#include "utility/gui/device_view_widget.h"
#include "utility/gui/navigation_panel.h"
#include "utility/shell/navigation.h"
#include "utility/shell/system_log.h"
#include "utility/vsp/provisioner.h"
#include "widgets/report_list.h"

namespace utility::gui {

services::TerminalEnvironment windowTerminalEnvironment(shell::NavigationTree& tree, shell::SystemLog& log)
{
    services::TerminalEnvironment environment;
    environment.scanner = services::TerminalPortScanner::fromEnvironment();
    environment.isVirtualPort = [&tree](const std::string& name) { return tree.hasPort(name); };
    environment.systemLog = [&log](const std::string& line) { log.addLogLine(line); };
    return environment;
}

vsp::VspOptions windowVspOptions(const std::string& hardwareId, const std::string& infName,
    const std::string& bindAddress, const shell::AppSettings& settings)
{
    vsp::VspOptions options;
    options.hardwareId = hardwareId;
    options.infName = infName;
    options.bindAddress = bindAddress;
    options.showMaxPacket = settings.maxTxPacketSizeSwitch != 0;
    options.watch = settings.connectionCheckSwitch == 1;
    options.devcon = vsp::devconBesideProgram();
    return options;
}

void bindDeviceDrag(
    DeviceViewWidget& list, NavigationPanel& panel, devmgmt::DeviceView& view, shell::NavigationTree& tree)
{
    list.list()->setDragData([&view, &tree](int row) -> QMimeData* {
        if (row < 0 || static_cast<std::size_t>(row) >= view.rowCount())
            return nullptr;
        const auto index = static_cast<std::size_t>(row);
        if (!view.canDrag(index, tree.children()))
            return nullptr;
        return deviceMimeData(row, view.rows()[index].texts[devmgmt::kColumnIp]);
    });
    panel.setDeviceDrop(
        [&view, &tree](int row, const std::string& ip, const std::string& item) -> std::optional<std::string> {
            // A search between the drag and the drop may have refilled the list.
            if (row < 0 || static_cast<std::size_t>(row) >= view.rowCount()
                || view.rows()[static_cast<std::size_t>(row)].texts[devmgmt::kColumnIp] != ip)
                return std::nullopt;
            auto text = view.dropOnPort(static_cast<std::size_t>(row), item);
            if (text)
                tree.setByName(*text);
            return text;
        });
}

} // namespace utility::gui
