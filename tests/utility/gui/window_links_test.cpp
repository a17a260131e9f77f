// Where the qelta window's views meet: the port view and the terminal, a
// device dragged onto a port item, Remove without devcon on PATH, and the
// layout at the sizes users run it.
#include "platform/child_process.h"
#include "platform/tcp_socket.h"
#include "tests/support/scripted_prompter.h"
#include "tests/utility/vsp/daemon_fixture.h"
#include "utility/devmgmt/device_view.h"
#include "utility/gui/device_dialogs.h"
#include "utility/gui/device_view_widget.h"
#include "utility/gui/main_window.h"
#include "utility/gui/navigation_panel.h"
#include "utility/gui/terminal_view_widget.h"
#include "utility/gui/vsp_view.h"
#include "utility/gui/window_parts.h"
#include "utility/shell/navigation.h"
#include "utility/shell/system_log.h"
#include "utility/vsp/device_link.h"
#include "widgets/nav_button.h"
#include "widgets/qt_event_loop.h"
#include "widgets/report_list.h"

#include <QApplication>
#include <QComboBox>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <cstdlib>

using namespace std::chrono_literals;
using namespace utility;

namespace {

// An environment variable set for one test.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value)
        : m_name(name)
    {
        if (const char* old = std::getenv(name))
            m_old = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv()
    {
        if (m_old)
            ::setenv(m_name, m_old->c_str(), 1);
        else
            ::unsetenv(m_name);
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

// The window as qelta assembles it, on a vorpild of its own: the device
// view, the port view, the terminal and the navigation panel, joined by the
// window's own parts.
struct Window : ::testing::Test {
    Window()
        : runtime("VORPIL_RUNTIME_DIR", daemon.runtime())
        , work(daemon.dir())
    {
        for (auto& terminalSettings : settings.terminal)
            terminalSettings.baudRateIndex = 8;
        auto options = gui::windowVspOptions("ZORV\\Rure", PACKAGING_DIR "/VORPIL.inf", "127.0.0.1", settings);
        options.runtimeDir = daemon.runtime();
        options.mtu = 1500;
        vspDialogs.script = [this](gui::ComPortDialog& dialog) -> std::optional<int> {
            dialog.combo()->setCurrentIndex(comIndex);
            return dialog.chosen();
        };
        manager = std::make_unique<vsp::VspManager>(loop, prompter, vspDialogs, options);
        auto environment = gui::windowTerminalEnvironment(tree, log);
        environment.scanner.devDir = "/nonexistent"; // the daemon's ports only
        terminal = std::make_unique<services::TerminalView>(loop, std::move(environment));
        neighbours = std::make_unique<gui::TreeNeighbours>(tree, *manager, terminal.get());
        deviceView = std::make_unique<devmgmt::DeviceView>(loop, prompter, deviceDialogs);
        deviceView->setLocalAddress("127.0.0.1", "255.0.0.0");
        deviceView->setPeriods({ 5, 15, 15 });
        link = std::make_unique<vsp::DeviceViewLink>(*manager, *deviceView, neighbours.get());

        window = std::make_unique<gui::MainWindow>(frame, tree, log, prompter);
        deviceWidget = new gui::DeviceViewWidget(*deviceView);
        window->setTopView(shell::TopView::DeviceManagement, deviceWidget);
        vspWidget = new gui::VspView(*manager);
        window->setTopView(shell::TopView::Vsp, vspWidget);
        terminalWidget = new gui::TerminalViewWidget(*terminal, settings);
        window->setBottomView(shell::BottomView::Terminal, terminalWidget);
        gui::bindDeviceDrag(*deviceWidget, *window->navigation(), *deviceView, tree, log);
        deviceView->setChangedCallback([this] { deviceWidget->refresh(); });
        manager->setChangeSink([this] { vspWidget->refresh(); });
        tree.setChangedCallback([this] { window->navigation()->refresh(); });
        frame.setChangedCallback([this] { window->refresh(); });
    }

    ~Window() override
    {
        // The window's widgets go first, and nothing calls them afterwards.
        manager->setChangeSink({});
        deviceView->setChangedCallback({});
        tree.setChangedCallback({});
        frame.setChangedCallback({});
        for (int i = 0; i < 2; ++i) {
            terminal->terminal(i).setChangedCallback({});
            terminal->terminal(i).setLogCallback({});
        }
        window.reset();
        link.reset();
        if (devsim.running()) {
            devsim.terminate();
            devsim.wait(5s);
        }
    }

    void start(int width = 1280, int height = 1024)
    {
        manager->start(true);
        window->resize(width, height);
        window->show();
        QApplication::processEvents();
    }

    // A row of the port view selected as a click selects it.
    void selectPort(int row)
    {
        vspWidget->list()->topLevelItem(row)->setSelected(true);
        QApplication::processEvents();
    }

    std::string messages() const { return testing::PrintToString(prompter.messages()); }

    bool said(const std::string& text) const
    {
        for (const auto& message : prompter.messages())
            if (message.find(text) != std::string::npos)
                return true;
        return false;
    }

    vsp_testing::Daemon daemon;
    ScopedEnv runtime;
    testing_support::ScopedWorkingDirectory work;
    widgets::QtEventLoop loop;
    testing_support::ScriptedPrompter prompter;
    shell::SystemLog log { loop.clock() };
    shell::NavigationTree tree;
    shell::FrameModel frame;
    gui::QtVspDialogs vspDialogs;
    gui::QtDeviceDialogs deviceDialogs { prompter, nullptr };
    int comIndex = 6;
    shell::AppSettings settings;
    std::unique_ptr<vsp::VspManager> manager;
    std::unique_ptr<services::TerminalView> terminal;
    std::unique_ptr<gui::TreeNeighbours> neighbours;
    std::unique_ptr<devmgmt::DeviceView> deviceView;
    std::unique_ptr<vsp::DeviceViewLink> link;
    std::unique_ptr<gui::MainWindow> window;
    gui::DeviceViewWidget* deviceWidget = nullptr;
    gui::VspView* vspWidget = nullptr;
    gui::TerminalViewWidget* terminalWidget = nullptr;
    platform::ChildProcess devsim;
};

std::vector<std::string> portNames(services::Terminal& terminal)
{
    std::vector<std::string> names;
    for (const auto& entry : terminal.ports())
        names.push_back(entry.name);
    return names;
}

} // namespace

// Close in the port view closes the port in the terminal that holds it
// first, instead of failing with "Please stop terminal program first".
TEST_F(Window, ClosingAPortClosesItInTheTerminalFirst)
{
    ASSERT_TRUE(daemon.ok());
    ASSERT_TRUE(daemon.install("COM5"));
    start();
    auto listening = platform::TcpListener::listen(*platform::parseIpv4("127.0.0.1"), 0);
    ASSERT_TRUE(listening.ok());
    ASSERT_TRUE(manager->connectByName("COM5", "127.0.0.1", listening->localEndpoint().port, false)) << messages();

    frame.setTerminalChecked(true);
    QApplication::processEvents();
    services::Terminal& first = terminal->terminal(0);
    first.choosePort("COM5");
    first.clickOpen();
    ASSERT_TRUE(first.isOpen()) << first.openError();

    selectPort(0);
    ASSERT_TRUE(vspWidget->closeButton()->isEnabled());
    QTest::mouseClick(vspWidget->closeButton(), Qt::LeftButton);
    EXPECT_FALSE(said("Please stop terminal program first")) << messages();
    EXPECT_FALSE(first.isOpen());
    EXPECT_NE(first.log().find("COM5 closed."), std::string::npos) << first.log();
    EXPECT_EQ(vspWidget->list()->topLevelItem(0)->text(2), "Idle");
    EXPECT_EQ(tree.children(), std::vector<std::string> { "COM5" });
}

// A row whose port the window's own terminal holds says so: the row reads
// "In use", the status line gives the reason, Add stays usable, and once the
// terminal lets the port go the row and its buttons come back by themselves.
TEST_F(Window, ARowHeldByTheTerminalSaysSoAndComesBackWhenTheTerminalLetsGo)
{
    ASSERT_TRUE(daemon.ok());
    ASSERT_TRUE(daemon.install("COM5"));
    start();
    frame.setTerminalChecked(true);
    QApplication::processEvents();
    services::Terminal& first = terminal->terminal(0);
    first.choosePort("COM5");
    first.clickOpen();
    ASSERT_TRUE(first.isOpen()) << first.openError();

    // The driver host learns of the terminal's open from its watch: the row
    // is selected again until it sees the port held.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            vspWidget->list()->clearSelection();
            selectPort(0);
            return vspWidget->list()->topLevelItem(0)->text(2) == "In use";
        },
        10000));
    EXPECT_TRUE(vspWidget->addButton()->isEnabled());
    EXPECT_FALSE(vspWidget->connectButton()->isEnabled());
    EXPECT_FALSE(vspWidget->settingButton()->isEnabled());
    EXPECT_TRUE(vspWidget->statusLine()->text().startsWith("COM5 is open in a program"))
        << vspWidget->statusLine()->text().toStdString();

    first.clickClose();
    ASSERT_FALSE(first.isOpen());
    ASSERT_TRUE(QTest::qWaitFor([&] { return vspWidget->connectButton()->isEnabled(); }, 10000))
        << "the row stayed held after the terminal closed the port";
    EXPECT_EQ(vspWidget->list()->topLevelItem(0)->text(2), "Idle");
    EXPECT_TRUE(vspWidget->settingButton()->isEnabled());
    EXPECT_TRUE(vspWidget->addButton()->isEnabled());
    EXPECT_EQ(vspWidget->statusLine()->text(), "");
}

// A port added while the terminal is up appears in both terminals' lists at
// once; a list filled before would offer a stale name for another device.
TEST_F(Window, AddingAPortRefillsTheTerminalLists)
{
    ASSERT_TRUE(daemon.ok());
    ASSERT_TRUE(daemon.install("COM5"));
    start();
    frame.setTerminalChecked(true);
    QApplication::processEvents();
    EXPECT_EQ(portNames(terminal->terminal(1)), std::vector<std::string> { "COM5" });

    QTest::mouseClick(vspWidget->addButton(), Qt::LeftButton);
    ASSERT_EQ(manager->rows().size(), 2u) << messages();
    const std::vector<std::string> both { "COM5", "COM7" };
    EXPECT_EQ(portNames(terminal->terminal(0)), both);
    EXPECT_EQ(portNames(terminal->terminal(1)), both);
    EXPECT_EQ(terminalWidget->controls(1).port->count(), 2);
}

// Remove in the port view closes the port in the terminal, finds the devcon
// beside the program without one on PATH, and leaves the Connect button
// with its own caption although the removed row was a server.
TEST_F(Window, RemoveWorksWithoutDevconOnPathAndWhileATerminalHoldsThePort)
{
    ASSERT_TRUE(daemon.ok());
    ASSERT_TRUE(daemon.install("COM5"));
    ScopedEnv path("PATH", "/usr/bin:/bin");
    start();
    selectPort(0);
    QTest::mouseClick(vspWidget->settingButton(), Qt::LeftButton);
    QTest::mouseClick(vspWidget->serverButton(), Qt::LeftButton);
    vspWidget->listenPortEdit()->setText("4001");
    QTest::mouseClick(vspWidget->settingButton(), Qt::LeftButton);
    EXPECT_EQ(vspWidget->connectButton()->text(), "Server");

    frame.setTerminalChecked(true);
    QApplication::processEvents();
    terminal->terminal(1).choosePort("COM5");
    terminal->terminal(1).clickOpen();
    ASSERT_TRUE(terminal->terminal(1).isOpen());

    // Remove asks first: No keeps the port.
    vspWidget->setPrompter(&prompter);
    prompter.confirmAnswers = { false };
    QTest::mouseClick(vspWidget->removeButton(), Qt::LeftButton);
    EXPECT_FALSE(manager->removing());
    EXPECT_EQ(prompter.shown.back().kind, "confirm");
    EXPECT_EQ(prompter.shown.back().text, "Remove the virtual serial port COM5? Programs using it lose it.");
    EXPECT_TRUE(terminal->terminal(1).isOpen());
    prompter.confirmAnswers = { true };
    QTest::mouseClick(vspWidget->removeButton(), Qt::LeftButton);
    ASSERT_TRUE(manager->removing()) << messages();
    ASSERT_TRUE(manager->finishRemove());
    EXPECT_FALSE(said("Failed to remove the virtual serial port driver!")) << messages();
    EXPECT_FALSE(terminal->terminal(1).isOpen());
    EXPECT_EQ(vspWidget->list()->topLevelItemCount(), 0);
    EXPECT_EQ(vspWidget->statusLine()->text(), "VSP removed successfully");
    // The settings panel no longer shows the removed port.
    EXPECT_EQ(vspWidget->listenPortEdit()->text(), "");
    EXPECT_EQ(vspWidget->portNumber()->currentIndex(), -1);
    EXPECT_FALSE(vspWidget->serverButton()->isChecked());
    EXPECT_EQ(vspWidget->connectButton()->text(), "Connect");
    EXPECT_TRUE(tree.children().empty());
    EXPECT_TRUE(terminal->terminal(0).ports().empty());
}

// A device row dragged onto a port item connects the port to the device.
TEST_F(Window, DroppingADeviceRowOnAPortItemConnectsThePort)
{
    ASSERT_TRUE(daemon.ok());
    ASSERT_TRUE(daemon.install("COM5"));
    auto started = platform::ChildProcess::start(
        { testing_support::programPath("devsim"), "--first-address", "127.0.0.10", "--framing", "off" });
    ASSERT_TRUE(started.ok());
    devsim = std::move(started.value());
    ASSERT_TRUE(devsim.readLine(10s).ok());
    start();
    deviceView->setIpSearchAddress("127.0.0.10");
    deviceView->ipSearch(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return deviceView->rowCount() == 1 && !deviceView->searching(); }, 10000));

    // The source: the device list hands out the row with its address.
    std::unique_ptr<QMimeData> data(deviceWidget->list()->dragData(0));
    ASSERT_NE(data, nullptr);
    EXPECT_TRUE(data->hasFormat(QString::fromLatin1(gui::kDeviceMimeType)));

    // The target: the root takes nothing, the port item takes the device.
    QTreeWidget* portTree = window->navigation()->tree();
    QTreeWidgetItem* root = portTree->topLevelItem(0);
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(root->childCount(), 1);
    const QPoint onRoot = portTree->visualItemRect(root).center();
    const QPoint onPort = portTree->visualItemRect(root->child(0)).center();
    QDragEnterEvent enter(onRoot, Qt::CopyAction | Qt::LinkAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(portTree->viewport(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDragMoveEvent overRoot(onRoot, Qt::CopyAction | Qt::LinkAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(portTree->viewport(), &overRoot);
    EXPECT_FALSE(overRoot.isAccepted());
    QDragMoveEvent overPort(onPort, Qt::CopyAction | Qt::LinkAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(portTree->viewport(), &overPort);
    EXPECT_TRUE(overPort.isAccepted());
    EXPECT_EQ(portTree->currentItem(), root->child(0)) << "the item under the pointer is highlighted";
    QDropEvent drop(onPort, Qt::CopyAction | Qt::LinkAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(portTree->viewport(), &drop);
    ASSERT_TRUE(QTest::qWaitFor([&] { return manager->rows()[0].status == "Connected"; }, 5000)) << messages();
    EXPECT_EQ(manager->rows()[0].remoteIp, "127.0.0.10");
    EXPECT_EQ(tree.children(), std::vector<std::string> { "COM5 (127.0.0.10)" });
    EXPECT_EQ(window->navigation()->tree()->topLevelItem(0)->child(0)->text(0), "COM5 (127.0.0.10)");
    // Now shown in the tree, the device cannot be dragged again.
    EXPECT_EQ(std::unique_ptr<QMimeData>(deviceWidget->list()->dragData(0)), nullptr);
    // What happened is said, and the device's row shows it before any search.
    ASSERT_FALSE(log.rows().empty());
    EXPECT_EQ(log.rows().back().message, "COM5 connected to the device at 127.0.0.10, port 5000.");
    EXPECT_EQ(deviceView->statusText(), " COM5 connected to the device at 127.0.0.10, port 5000.");
    EXPECT_EQ(deviceView->rows()[0].texts[devmgmt::kColumnStatus], "Connected");
    // The connected port is not offered as taking another device.
    const QPoint onConnected = portTree->visualItemRect(root->child(0)).center();
    QDragMoveEvent overConnected(
        onConnected, Qt::CopyAction | Qt::LinkAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(portTree->viewport(), &overConnected);
    EXPECT_FALSE(overConnected.isAccepted());
}

// A device is held back from the drag only by a port showing its whole
// address: 127.0.0.1 stays free while a port shows 127.0.0.10 to .19.
TEST_F(Window, ADeviceIsKeptFromTheDragOnlyByAPortShowingItsWholeAddress)
{
    ASSERT_TRUE(daemon.ok());
    auto started = platform::ChildProcess::start(
        { testing_support::programPath("devsim"), "--first-address", "127.0.0.1", "--framing", "off" });
    ASSERT_TRUE(started.ok());
    devsim = std::move(started.value());
    ASSERT_TRUE(devsim.readLine(10s).ok());
    start();
    deviceView->setIpSearchAddress("127.0.0.1");
    deviceView->ipSearch(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return deviceView->rowCount() == 1 && !deviceView->searching(); }, 10000));
    EXPECT_TRUE(deviceView->canDrag(0, { "COM3 (127.0.0.10)", "COM4 (127.0.0.19)", "COM5" }));
    EXPECT_FALSE(deviceView->canDrag(0, { "COM3 (127.0.0.10)", "COM6 (127.0.0.1)" }));
}
