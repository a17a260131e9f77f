#include "utility/gui/window_parts.h"

#include "utility/devmgmt/device_view.h"
#include "utility/gui/device_view_widget.h"
#include "utility/gui/navigation_panel.h"
#include "utility/shell/navigation.h"
#include "utility/shell/system_log.h"
#include "utility/vsp/provisioner.h"
#include "widgets/report_list.h"

#include <QProcess>
#include <QStandardPaths>

#include <memory>
#include <utility>

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

void bindDeviceDrag(DeviceViewWidget& list, NavigationPanel& panel, devmgmt::DeviceView& view,
    shell::NavigationTree& tree, shell::SystemLog& log)
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
        [&view, &tree, &log](int row, const std::string& ip, const std::string& item) -> std::optional<std::string> {
            // A search between the drag and the drop may have refilled the list.
            if (row < 0 || static_cast<std::size_t>(row) >= view.rowCount()
                || view.rows()[static_cast<std::size_t>(row)].texts[devmgmt::kColumnIp] != ip) {
                log.addLogLine("The device list changed during the drag: " + item + " was not connected.");
                return std::nullopt;
            }
            const auto index = static_cast<std::size_t>(row);
            const std::string port = view.rows()[index].texts[devmgmt::kColumnPort];
            auto text = view.dropOnPort(index, item);
            const std::string said = text
                ? item + " connected to the device at " + ip + ", port " + port + "."
                : item + " could not be connected to the device at " + ip + ", port " + port + ".";
            log.addLogLine(said);
            view.setStatusText(" " + said);
            if (text) {
                tree.setByName(*text);
                view.setRowText(index, devmgmt::kColumnStatus, "Connected");
            }
            return text;
        });
}

void openWithSystemHandler(const std::string& target, QObject* owner, std::function<void(const std::string&)> failed,
    const std::string& opener)
{
    const QString program = QStandardPaths::findExecutable(QString::fromStdString(opener));
    if (program.isEmpty()) {
        failed(opener + " is not installed");
        return;
    }
    auto* process = new QProcess(owner);
    auto reported = std::make_shared<bool>(false);
    auto fail = [failed, reported](const std::string& why) {
        if (!std::exchange(*reported, true))
            failed(why);
    };
    QObject::connect(process, &QProcess::errorOccurred, process, [process, fail, opener](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            fail(opener + " could not be started");
            process->deleteLater();
        }
    });
    QObject::connect(
        process, &QProcess::finished, process, [process, fail, opener](int code, QProcess::ExitStatus status) {
            if (status != QProcess::NormalExit || code != 0)
                fail(opener + " failed (exit status " + std::to_string(code) + ")");
            process->deleteLater();
        });
    process->start(program, { QString::fromStdString(target) });
}

} // namespace utility::gui
