#include "utility/gui/qelta_gui.h"

#include "platform/data_files.h"
#include "platform/net.h"
#include "platform/pty.h"
#include "platform/text_file.h"
#include "utility/devmgmt/device_monitor.h"
#include "utility/devmgmt/device_view.h"
#include "utility/gui/activity_log.h"
#include "utility/gui/device_commands_binding.h"
#include "utility/gui/device_dialogs.h"
#include "utility/gui/device_setup_binding.h"
#include "utility/gui/device_view_widget.h"
#include "utility/gui/dhcp_view.h"
#include "utility/gui/help_launcher.h"
#include "utility/gui/main_window.h"
#include "utility/gui/monitor_view.h"
#include "utility/gui/navigation_panel.h"
#include "utility/gui/setup_sheet_dialog.h"
#include "utility/gui/system_log_widget.h"
#include "utility/gui/terminal_view_widget.h"
#include "utility/gui/tftp_view.h"
#include "utility/gui/vsp_view.h"
#include "utility/gui/web_view_pane.h"
#include "utility/gui/window_parts.h"
#include "utility/services/dhcp_view.h"
#include "utility/services/terminal_view.h"
#include "utility/services/tftp_server.h"
#include "utility/shell/navigation.h"
#include "utility/shell/shell.h"
#include "utility/shell/startup.h"
#include "utility/shell/system_log.h"
#include "utility/vsp/device_link.h"
#include "widgets/help_window.h"
#include "widgets/qt_event_loop.h"
#include "widgets/qt_prompter.h"
#include "widgets/report_list.h"

#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QIcon>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

namespace utility::gui {
namespace {

// While rendering screenshots nobody is there to close a message box.
class LoggingPrompter final : public platform::Prompter {
public:
    void message(const std::string& text, const std::string&, platform::MessageIcon) override
    {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    bool confirm(const std::string& text, const std::string&, platform::MessageIcon, bool defaultYes) override
    {
        std::fprintf(stderr, "%s\n", text.c_str());
        return defaultYes;
    }
    int choose(const std::string&, const std::string&, const std::string&, const std::vector<std::string>&,
        int preselected) override
    {
        return preselected;
    }
    std::string openFile(const std::string&, const std::string&, const std::string&) override { return {}; }
    std::string saveFile(const std::string&, const std::string&, const std::string&) override { return {}; }
    std::string chooseFolder(const std::string&, const std::string&) override { return {}; }
    void beep(int, int) override { }
};

QString aboutTitle()
{
    return QString::fromLatin1(shell::kAboutTitle.data(), static_cast<int>(shell::kAboutTitle.size()));
}

QString aboutText()
{
    return QString::fromLatin1(shell::kAboutLine.data(), static_cast<int>(shell::kAboutLine.size()));
}

bool grab(QWidget* widget, const QString& dir, const QString& name)
{
    const QString path = QDir(dir).filePath(name);
    const bool saved = widget->grab().save(path, "PNG");
    std::fprintf(stderr, "%s %s\n", saved ? "wrote" : "failed to write", path.toLocal8Bit().constData());
    return saved;
}

// Drops the first device that may be dragged onto the first idle port item,
// through the tree's own drop handling: whether the port connected, nothing
// when there was no such device or port.
std::optional<bool> dropFirstDevice(
    DeviceViewWidget& list, NavigationPanel& panel, devmgmt::DeviceView& view, const shell::NavigationTree& tree)
{
    QTreeWidget* portTree = panel.tree();
    QTreeWidgetItem* root = portTree->topLevelItem(0);
    QTreeWidgetItem* port = nullptr;
    for (int i = 0; root && i < root->childCount() && !port; ++i)
        if (!root->child(i)->text(0).contains(QLatin1Char('(')))
            port = root->child(i);
    std::unique_ptr<QMimeData> data;
    for (std::size_t row = 0; row < view.rowCount() && !data; ++row)
        data.reset(list.list()->dragData(static_cast<int>(row)));
    if (!port || !data) {
        std::fprintf(stderr, "no idle port or no free device to drop: no picture of a drop\n");
        return std::nullopt;
    }
    const std::string name = port->text(0).toStdString();
    const QPoint at = portTree->visualItemRect(port).center();
    QDragEnterEvent enter(at, Qt::LinkAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(portTree->viewport(), &enter);
    QDragMoveEvent move(at, Qt::LinkAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(portTree->viewport(), &move);
    QDropEvent drop(at, Qt::LinkAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(portTree->viewport(), &drop);
    QApplication::processEvents();
    return tree.contains(name + " (");
}

} // namespace

bool guiAvailable()
{
    for (const char* name : { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM" }) {
        const char* value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

// The terminal view with both terminals open on pseudo-terminals, a device
// talking on the first and the auto test running on the second.
bool grabTerminalView(MainWindow& window, shell::FrameModel& frame, services::TerminalView& view, const QString& dir)
{
    auto first = platform::Pty::open();
    auto second = platform::Pty::open();
    if (!first.ok() || !second.ok())
        return false;
    frame.setTerminalChecked(true);
    QApplication::processEvents();
    view.terminal(0).choosePort((*first)->slavePath());
    view.terminal(0).clickOpen();
    view.terminal(1).choosePort((*second)->slavePath());
    view.terminal(1).setInterval(1000);
    view.terminal(1).setLength(16);
    view.terminal(1).clickOpen();
    view.terminal(1).setAutoTest(true);
    const std::string banner = "\r\nDevice console ready.\r\nlogin: ";
    (void)(*first)->write(reinterpret_cast<const std::uint8_t*>(banner.data()), banner.size());
    std::uint8_t buffer[256];
    (void)(*second)->read(buffer, sizeof buffer, std::chrono::milliseconds(500));
    const std::string reply = "0000000000000000\r\n";
    (void)(*second)->write(reinterpret_cast<const std::uint8_t*>(reply.data()), reply.size());
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 500)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    bool saved = grab(&window, dir, QStringLiteral("terminal-view.png"));
    // The smallest window: the terminal scrolls instead of losing its logs.
    const QSize before = window.size();
    window.resize(window.minimumSize());
    QApplication::processEvents();
    saved = grab(&window, dir, QStringLiteral("terminal-665x550.png")) && saved;
    window.resize(before);
    QApplication::processEvents();
    view.terminal(1).setAutoTest(false);
    view.terminal(0).clickClose();
    view.terminal(1).clickClose();
    frame.setTerminalChecked(false);
    return saved;
}

int runQeltaGui(int argc, char** argv, const GuiOptions& options)
{
    // Pictures are rendered off screen, so they need no display (and show no
    // window on one); a platform chosen by the caller still wins.
    if (!options.screenshotDir.empty() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    WebViewPane::prepareApplication();
    QApplication app(argc, argv);
    const bool screenshots = !options.screenshotDir.empty();
    widgets::QtPrompter qtPrompter;
    LoggingPrompter loggingPrompter;
    platform::Prompter& prompter = screenshots ? static_cast<platform::Prompter&>(loggingPrompter) : qtPrompter;

    widgets::QtEventLoop loop;
    QtDeviceDialogs dialogs(prompter, nullptr);
    devmgmt::DeviceView deviceView(loop, prompter, dialogs);
    services::DhcpView dhcpView(loop, prompter);
    shell::SystemLog log(loop.clock());
    shell::NavigationTree tree;
    shell::FrameModel frame;
    services::TftpServer tftpServer(loop, prompter);
    tree.rebuild({});

    shell::NetworkEnvironment network = shell::NetworkEnvironment::system();
    network.giveToDeviceView
        = [&](const std::string& address, const std::string& netmask) { deviceView.setLocalAddress(address, netmask); };
    shell::Shell shell(prompter, network);
    if (!shell.startUp())
        return 1;

    shell::AppSettings& settings = shell.settings();
    deviceView.setPeriods({ settings.searchPeriod, settings.restorePeriod, settings.rebootPeriod });
    deviceView.setOptions(settings.useExternalBrowser, settings.searchAtStart);
    deviceView.setPeriodsSink([&settings](const devmgmt::Periods& periods) {
        settings.searchPeriod = periods.search;
        settings.restorePeriod = periods.restore;
        settings.rebootPeriod = periods.reboot;
    });
    shell.store().setHandOver(shell::HandOver::DeviceManagement, [&deviceView](shell::AppSettings& out) {
        out.useExternalBrowser = deviceView.useExternalBrowser();
        out.searchAtStart = deviceView.searchAfterStart();
    });

    tftpServer.setLocalAddress(shell.selection().effectiveAddress);
    tftpServer.setFilePath(settings.tftpFilePath);
    tftpServer.setFolderSink([&settings](const std::string& folder) { settings.tftpFilePath = folder; });
    tftpServer.setSystemLog([&log](const std::string& line) { log.addLogLine(line); });

    MainWindow window(frame, tree, log, prompter);
    qtPrompter.setParent(&window);
    auto* deviceWidget = new DeviceViewWidget(deviceView);
    window.setTopView(shell::TopView::DeviceManagement, deviceWidget);
    deviceView.setChangedCallback([deviceWidget] { deviceWidget->refresh(); });
    deviceView.setSearchFinishedCallback([&] { log.addLogLine(searchLogLine(deviceView)); });
    log.setChangedCallback([&window] { window.systemLog()->refresh(); });
    tree.setChangedCallback([&window] { window.navigation()->refresh(); });
    frame.setChangedCallback([&window] { window.refresh(); });
    dialogs.setParent(&window);
    auto* webPane = new WebViewPane;
    window.setBottomView(shell::BottomView::Web, webPane);
    DeviceSetupBinding::WebView web;
    web.pane = webPane;
    web.show = [&frame] { frame.showWebPage(); };
    web.log = [&log](const std::string& line) { log.addLogLine(line); };
    DeviceSetupBinding setupBinding(loop, deviceView, *deviceWidget, prompter, web, &window);
    DeviceCommandsBinding commandsBinding(loop, deviceView, *deviceWidget, prompter, &window);
    commandsBinding.upgrade().setSettings(
        { settings.upgradePeriod, platform::formatIpv4(settings.upgradeTftpServer), settings.upgradeFileName });
    commandsBinding.upgrade().setStore([&settings](const devmgmt::UpgradeSettings& accepted) {
        settings.upgradePeriod = accepted.period;
        settings.upgradeTftpServer = platform::parseIpv4(accepted.server).value_or(settings.upgradeTftpServer);
        settings.upgradeFileName = accepted.fileName;
    });

    // The device monitor: its own socket, the interval of the settings, the
    // list rebuilt from the device list whenever the view comes forward.
    devmgmt::DeviceMonitor monitor(loop, prompter);
    monitor.setInterval(static_cast<unsigned>(settings.monitorInterval));
    monitor.setIntervalSink([&settings](unsigned seconds) { settings.monitorInterval = static_cast<int>(seconds); });
    monitor.setLogSink([&log](const std::string& line) { log.addLogLine(line); });
    monitor.create(shell.selection().effectiveAddress);
    auto* monitorWidget = new MonitorView(monitor);
    window.setTopView(shell::TopView::Monitor, monitorWidget);
    monitor.setChangedCallback([monitorWidget](int) { monitorWidget->refresh(); });
    frame.setMonitorSelectedCallback([&monitor, &deviceView] { monitor.rebuild(deviceView); });

    // The Virtual Serial Port view: the manager on vorpild, its port items in
    // the navigation tree and its link with the device view.
    QtVspDialogs vspDialogs(&window);
    vsp::VspManager vspManager(loop, prompter, vspDialogs,
        windowVspOptions(
            std::string(shell.hardwareId()), shell.driverInf(), shell.selection().effectiveAddress, settings));
    // The COM Port Terminal in the bottom pane; its lists are filled when it
    // is first shown. The port view closes a port in it before closing,
    // removing or renaming the port.
    services::TerminalView terminalView(loop, windowTerminalEnvironment(tree, log));
    TreeNeighbours vspTree(tree, vspManager, &terminalView);
    vsp::DeviceViewLink vspLink(vspManager, deviceView, &vspTree);
    auto* vspWidget = new VspView(vspManager);
    vspWidget->setPrompter(&prompter);
    window.setTopView(shell::TopView::Vsp, vspWidget);
    vspManager.setChangeSink([vspWidget] { vspWidget->refresh(); });
    vspManager.setStatusSink([vspWidget](const std::string&) { vspWidget->refresh(); });
    vspManager.setLogSink([&log](const std::string& line) { log.addLogLine(line); });
    bindDeviceDrag(*deviceWidget, *window.navigation(), deviceView, tree, log);
    window.navigation()->setTreeActions({ [&vspManager] { vspManager.clickAdd(); },
        [&vspManager](const std::string& name) { return vspManager.closeByName(name); },
        [&vspManager](const std::string& name) { return vspManager.removeByName(name); } });
    vspManager.start();

    dhcpView.setSystemLogCallback([&log](const std::string& line) { log.addLogLine(line); });
    dhcpView.firstShown(
        settings, shell.selection().effectiveAddress, shell.store().directory() + services::kDhcpFileName);
    auto* dhcpWidget = new DhcpViewWidget(dhcpView);
    dhcpWidget->setPrompter(&prompter);
    const auto toggleDhcp = bindDhcpView(window, dhcpView, dhcpWidget);
    shell.store().setHandOver(shell::HandOver::Dhcp, [&dhcpView, dhcpWidget](shell::AppSettings& out) {
        dhcpWidget->takeFields();
        dhcpView.handOver(out);
    });

    auto* terminalWidget = new TerminalViewWidget(terminalView, settings);
    terminalWidget->setPrompter(&prompter);
    terminalWidget->setSystemLog([&log](const std::string& line) { log.addLogLine(line); });
    window.setBottomView(shell::BottomView::Terminal, terminalWidget);
    shell.store().setHandOver(
        shell::HandOver::Terminal, [&terminalView](shell::AppSettings& out) { terminalView.handOver(out); });

    FrameActions actions;
    TftpView* tftpWidget = installTftpView(window, actions, tftpServer);
    auto help = std::make_shared<HelpLauncher>(
        &window, shell.store().directory(), [&log](const std::string& line) { log.addLogLine(line); });
    actions.help = [help] { help->open({}); };
    actions.viewHelp = [help](const std::string& section) { help->open(section); };
    actions.about = [&window] {
        QMessageBox::about(&window,
            QString::fromLatin1(shell::kAboutTitle.data(), static_cast<int>(shell::kAboutTitle.size())),
            QString::fromLatin1(shell::kAboutLine.data(), static_cast<int>(shell::kAboutLine.size())));
    };
    actions.toggleDhcp = toggleDhcp;
    // Closing the window writes "vsp.dat" along with the settings.
    actions.closing = [&shell, &vspManager] {
        vspManager.save();
        shell.shutDown();
    };
    window.setActions(actions);

    window.setWindowTitle(QString::fromLocal8Bit(shell::windowTitle(settings).c_str()));
    const QIcon icon(QString::fromStdString(shell::iconFileName(settings)));
    if (!icon.availableSizes().isEmpty())
        window.setWindowIcon(icon);

    log.writeInitialRows(shell.selection().effectiveAddress);
    window.systemLog()->refresh();

    if (!screenshots) {
        window.showMaximized();
        deviceView.firstShown(shell.settingsLoaded());
        return app.exec();
    }

    // Screenshot run: one search, then every picture, then quit.
    const QString dir = QString::fromStdString(options.screenshotDir);
    QDir().mkpath(dir);
    window.resize(1100, 760);
    window.show();
    int status = 0;
    // The web view is grabbed last: its page loads asynchronously.
    auto finish = [&] {
        shell.shutDown();
        app.exit(status);
    };
    bool webLoaded = false;
    auto grabWebView = [&] {
        if (deviceView.rowCount() == 0) {
            finish();
            return;
        }
        deviceView.setChecked(0, true);
        webPane->setLoadedCallback([&](bool ok) {
            if (std::exchange(webLoaded, true))
                return;
            QTimer::singleShot(1500, &window, [&, ok] {
                if (!ok || !grab(&window, dir, QStringLiteral("web-view.png")))
                    status = 1;
                finish();
            });
        });
        if (!setupBinding.web().click())
            finish();
    };
    bool grabbed = false;
    deviceView.setSearchFinishedCallback([&] {
        log.addLogLine(searchLogLine(deviceView));
        if (grabbed)
            return;
        grabbed = true;
        QTimer::singleShot(50, &window, [&] {
            if (!grab(&window, dir, QStringLiteral("main-window.png")))
                status = 1;
            DevicesSearchingDialog searching(deviceView.searchSettings(), prompter, &window);
            searching.show();
            status |= grab(&searching, dir, QStringLiteral("devices-searching.png")) ? 0 : 1;
            IpSearchingDialog ip(deviceView.ipSearchAddress(), &window);
            ip.show();
            status |= grab(&ip, dir, QStringLiteral("ip-searching.png")) ? 0 : 1;
            SettingDialog setting(deviceView.periods(), prompter, &window);
            setting.show();
            status |= grab(&setting, dir, QStringLiteral("setting.png")) ? 0 : 1;
            widgets::ChoiceDialog choice(std::string(shell::kInterfaceDialogTitle),
                std::string(shell::kInterfaceDialogText), std::string(shell::kInterfaceDialogLabel),
                { "192.168.0.5", "10.1.2.3", shell.selection().effectiveAddress }, 2, &window);
            choice.show();
            status |= grab(&choice, dir, QStringLiteral("interface-selection.png")) ? 0 : 1;
            QMessageBox about(QMessageBox::Information, aboutTitle(), aboutText(), QMessageBox::Ok, &window);
            about.show();
            status |= grab(&about, dir, QStringLiteral("about.png")) ? 0 : 1;
            // Help on the terminal, in the help's own window.
            help->open("terminal");
            if (QWidget* shown = help->window()) {
                status |= grab(shown, dir, QStringLiteral("help.png")) ? 0 : 1;
                shown->hide();
            } else {
                status = 1;
            }
            // The DHCP view serving, with a remembered device in its list.
            frame.clickViewButton(shell::FrameModel::kDhcpButton);
            dhcpView.toggle();
            QApplication::processEvents();
            status |= grab(&window, dir, QStringLiteral("dhcp-view.png")) ? 0 : 1;
            if (dhcpView.running())
                dhcpView.toggle();
            // The TFTP view with its server started on the working folder.
            tftpServer.setFilePath(QDir::currentPath().toStdString());
            tftpWidget->refresh();
            tftpWidget->toggle();
            frame.clickViewButton(shell::FrameModel::kTftpButton);
            status |= grab(&window, dir, QStringLiteral("tftp-view.png")) ? 0 : 1;
            tftpWidget->toggle();
            status |= grabTerminalView(window, frame, terminalView, dir) ? 0 : 1;
            {
                devmgmt::UpgradeSettings upgradeSettings { settings.upgradePeriod,
                    platform::formatIpv4(settings.upgradeTftpServer), settings.upgradeFileName };
                FirmwareUpgradeDialog upgradeDialog(upgradeSettings, prompter, &window);
                upgradeDialog.show();
                status |= grab(&upgradeDialog, dir, QStringLiteral("firmware-upgrade.png")) ? 0 : 1;
            }
            // The navigation panel at 1280x1024 with the ports the script
            // connected, then a device dropped onto the first idle port.
            {
                frame.clickViewButton(shell::FrameModel::kDeviceManagementButton);
                const QSize before = window.size();
                window.resize(1280, 1024);
                QApplication::processEvents();
                status |= grab(&window, dir, QStringLiteral("navigation-1280x1024.png")) ? 0 : 1;
                if (const auto dropped = dropFirstDevice(*deviceWidget, *window.navigation(), deviceView, tree)) {
                    QApplication::processEvents();
                    status |= *dropped && grab(&window, dir, QStringLiteral("device-dropped-on-port.png")) ? 0 : 1;
                }
                window.resize(before);
                QApplication::processEvents();
            }
            // The Virtual Serial Port view and its COM Port Configuration dialog.
            frame.clickViewButton(shell::FrameModel::kVspButton);
            vspWidget->refresh();
            QApplication::processEvents();
            status |= grab(&window, dir, QStringLiteral("vsp-view.png")) ? 0 : 1;
            {
                std::vector<std::uint8_t> usage(256, 0);
                usage[0] = usage[1] = 1;
                ComPortDialog comDialog(
                    vsp::comChoiceTexts(usage), vsp::firstFreeCom(usage), vsp::WireProtocol::Native, &window);
                comDialog.show();
                status |= grab(&comDialog, dir, QStringLiteral("com-port-configuration.png")) ? 0 : 1;
            }
            if (deviceView.rowCount() > 0) {
                setupBinding.sheet().open(deviceView.entry(0), 0);
                SetupSheetDialog sheet(setupBinding.sheet(), &window);
                sheet.show();
                status |= grab(&sheet, dir, QStringLiteral("device-setup-network.png")) ? 0 : 1;
                sheet.pages()->setCurrentIndex(1);
                status |= grab(&sheet, dir, QStringLiteral("device-setup-serial.png")) ? 0 : 1;
            }
            // The monitor running on the first two devices of the list, both
            // charted; the shortest interval, and four cycles so that the
            // rates of the first device (fed by the screenshot script) move.
            for (std::size_t row = 0; row < std::min<std::size_t>(2, deviceView.rowCount()); ++row)
                deviceView.setChecked(row, true);
            frame.clickViewButton(shell::FrameModel::kMonitorButton);
            const unsigned storedInterval = monitor.interval();
            const unsigned cycles = std::max(1u, options.monitorCycles);
            if (cycles > 1)
                monitor.setInterval(3);
            monitor.clickStart();
            monitorWidget->list()->selectAll();
            const int waitMs = cycles > 1 ? static_cast<int>(cycles) * 3000 - 500 : 1500;
            QTimer::singleShot(waitMs, &window, [&, storedInterval] {
                monitor.setInterval(storedInterval);
                status |= grab(&window, dir, QStringLiteral("monitor-view.png")) ? 0 : 1;
                monitor.clickStart();
                for (std::size_t row = 0; row < deviceView.rowCount(); ++row)
                    deviceView.setChecked(row, false);
                frame.clickViewButton(shell::FrameModel::kDeviceManagementButton);
                grabWebView();
            });
        });
    });
    deviceView.networkSearch(true);
    return app.exec();
}

} // namespace utility::gui
