// What screen readers (and scripts that drive the window through the
// accessibility bus) see of the window's fields and log boxes: each is found
// by the name its label shows, and a log's text is read through it.
#include "tests/support/scripted_prompter.h"
#include "tests/support/temp_dir.h"
#include "utility/devmgmt/device_view.h"
#include "utility/gui/device_dialogs.h"
#include "utility/gui/device_view_widget.h"
#include "utility/gui/dhcp_view.h"
#include "utility/gui/main_window.h"
#include "utility/gui/navigation_panel.h"
#include "utility/gui/system_log_widget.h"
#include "utility/gui/terminal_view_widget.h"
#include "utility/gui/tftp_view.h"
#include "utility/gui/vsp_view.h"
#include "utility/services/dhcp_view.h"
#include "utility/services/terminal_view.h"
#include "utility/services/tftp_server.h"
#include "utility/shell/navigation.h"
#include "utility/shell/system_log.h"
#include "widgets/qt_event_loop.h"
#include "widgets/report_list.h"

#include <QAccessible>
#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QTreeWidget>

#include <gtest/gtest.h>

using namespace utility;

namespace {

// The window with the views whose fields and logs carry names.
struct NamedWindow {
    testing_support::TempDir dir;
    testing_support::ScriptedPrompter prompter;
    widgets::QtEventLoop loop;
    shell::SystemLog log { loop.clock() };
    shell::NavigationTree tree;
    shell::FrameModel frame;
    shell::AppSettings settings;
    services::TftpServer tftp { loop, prompter };
    services::DhcpView dhcp { loop, prompter };
    services::TerminalView terminal { loop, services::TerminalEnvironment {} };
    gui::QtVspDialogs vspDialogs;
    gui::QtDeviceDialogs deviceDialogs { prompter, nullptr };
    devmgmt::DeviceView devices { loop, prompter, deviceDialogs };
    std::unique_ptr<vsp::VspManager> vsp;
    gui::MainWindow window { frame, tree, log, prompter };
    gui::FrameActions actions;
    gui::TftpView* tftpView = nullptr;
    gui::DhcpViewWidget* dhcpView = nullptr;
    gui::TerminalViewWidget* terminalView = nullptr;
    gui::VspView* vspView = nullptr;
    gui::DeviceViewWidget* deviceView = nullptr;

    NamedWindow()
    {
        deviceView = new gui::DeviceViewWidget(devices);
        window.setTopView(shell::TopView::DeviceManagement, deviceView);
        tftp.setLocalAddress("127.0.0.1");
        tftpView = gui::installTftpView(window, actions, tftp);
        tftpView->pathEdit()->setText(QString::fromStdString(dir.path()));
        settings.dhcpStart = 0x7F000064; // 127.0.0.100
        settings.dhcpEnd = 0x7F00006E;
        dhcp.firstShown(settings, "127.0.0.1", dir.file("dhcp.dat"));
        dhcpView = new gui::DhcpViewWidget(dhcp);
        actions.toggleDhcp = gui::bindDhcpView(window, dhcp, dhcpView);
        terminalView = new gui::TerminalViewWidget(terminal, settings);
        window.setBottomView(shell::BottomView::Terminal, terminalView);
        vsp::VspOptions options;
        options.runtimeDir = dir.path() + "/no-driver-host";
        vsp = std::make_unique<vsp::VspManager>(loop, prompter, vspDialogs, options);
        vspView = new gui::VspView(*vsp);
        window.setTopView(shell::TopView::Vsp, vspView);
        window.setActions(actions);
        window.show();
        QApplication::processEvents();
    }
};

QString nameOf(QWidget* widget)
{
    QAccessibleInterface* node = QAccessible::queryAccessibleInterface(widget);
    return node ? node->text(QAccessible::Name) : QStringLiteral("(no accessible interface)");
}

// The first node below `node` with the role and name, as a screen reader
// finds it by walking the window's tree.
QAccessibleInterface* findNode(QAccessibleInterface* node, QAccessible::Role role, const QString& name, int depth = 0)
{
    if (!node || depth > 40)
        return nullptr;
    if (node->role() == role && node->text(QAccessible::Name) == name)
        return node;
    for (int i = 0; i < node->childCount(); ++i)
        if (QAccessibleInterface* found = findNode(node->child(i), role, name, depth + 1))
            return found;
    return nullptr;
}

QString textOf(QAccessibleInterface* node)
{
    QAccessibleTextInterface* text = node ? node->textInterface() : nullptr;
    return text ? text->text(0, text->characterCount()) : QStringLiteral("(no text)");
}

} // namespace

// Fields take the names of the labels beside them; logs and lists have names
// of their own. Before, none of these had a name, so a reader announced
// "edit" or "text" and a script could not tell them apart.
TEST(AccessibleNames, FieldsAndLogsAreNamedByWhatThePersonReads)
{
    NamedWindow w;
    const struct {
        QWidget* widget;
        const char* name;
    } table[] = {
        { w.tftpView->pathEdit(), "File Path" },
        { w.tftpView->logBox(), "TFTP Server Log" },
        { w.dhcpView->log(), "DHCP Server Log" },
        { w.dhcpView->field(gui::DhcpViewWidget::Start), "Start IP Address" },
        { w.terminalView->controls(0).log, "Terminal 1 Log" },
        { w.terminalView->controls(1).log, "Terminal 2 Log" },
        { w.vspView->addressEdit(), "Remote Host IP" },
        { w.vspView->remotePortEdit(), "Remote Host Port" },
        { w.vspView->listenPortEdit(), "Listen Port" },
        { w.vspView->maxPacket(), "Max Packet Size" },
        { w.vspView->list(), "Virtual Serial Ports" },
        { w.deviceView->list(), "Device List" },
        { w.window.navigation()->tree(), "Virtual COM Port Items" },
        { w.window.systemLog()->list(), "System Log Messages" },
    };
    for (const auto& row : table)
        EXPECT_EQ(nameOf(row.widget).toStdString(), row.name);
}

// The server logs are read by name through the window's tree: what the
// server wrote is there, not only in the box on screen.
TEST(AccessibleNames, TheServerLogsAreReadByTheirNames)
{
    NamedWindow w;
    w.frame.clickViewButton(shell::FrameModel::kTftpButton);
    w.tftpView->toggle();
    ASSERT_TRUE(w.tftp.running());
    w.frame.clickViewButton(shell::FrameModel::kDhcpButton);
    w.actions.toggleDhcp();
    ASSERT_TRUE(w.dhcp.running());
    QApplication::processEvents();

    QAccessibleInterface* root = QAccessible::queryAccessibleInterface(&w.window);
    const QString tftpLog = textOf(findNode(root, QAccessible::EditableText, QStringLiteral("TFTP Server Log")));
    EXPECT_TRUE(tftpLog.startsWith("TFTP server @ 127.0.0.1 is running on UDP port 69 successfully."))
        << tftpLog.toStdString();
    const QString dhcpLog = textOf(findNode(root, QAccessible::EditableText, QStringLiteral("DHCP Server Log")));
    EXPECT_TRUE(dhcpLog.startsWith("DHCP server @ 127.0.0.1 is running on UDP port 67 successfully."))
        << dhcpLog.toStdString();
    const QString path = textOf(findNode(root, QAccessible::EditableText, QStringLiteral("File Path")));
    EXPECT_EQ(path.toStdString(), w.dir.path());
    w.tftpView->toggle();
    w.actions.toggleDhcp();
}
