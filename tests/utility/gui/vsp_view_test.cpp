#include "platform/tcp_socket.h"
#include "tests/support/scripted_prompter.h"
#include "tests/support/temp_dir.h"
#include "tests/utility/vsp/daemon_fixture.h"
#include "utility/gui/vsp_view.h"
#include "utility/shell/navigation.h"
#include "widgets/qt_event_loop.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

using namespace utility;

// The view on a real vorpild: Add through the dialog, Setting, Connect and
// Close by their buttons, the list, its colours and the navigation items.
TEST(VspViewTest, AddSettingConnectAndCloseThroughTheButtons)
{
    vsp_testing::Daemon daemon;
    ASSERT_TRUE(daemon.ok());
    testing_support::ScopedWorkingDirectory work(daemon.dir());
    widgets::QtEventLoop loop;
    testing_support::ScriptedPrompter prompter;
    gui::QtVspDialogs dialogs;
    std::vector<std::string> offered;
    dialogs.script = [&](gui::ComPortDialog& dialog) -> std::optional<int> {
        for (int i = 0; i < dialog.combo()->count(); ++i)
            offered.push_back(dialog.combo()->itemText(i).toStdString());
        dialog.combo()->setCurrentIndex(6);
        return dialog.chosen();
    };
    vsp::VspOptions options;
    options.runtimeDir = daemon.runtime();
    options.infName = PACKAGING_DIR "/VORPIL.inf";
    options.bindAddress = "127.0.0.1";
    options.mtu = 1500;
    vsp::VspManager manager(loop, prompter, dialogs, options);
    shell::NavigationTree tree;
    gui::TreeNeighbours items(tree, manager);
    manager.setNeighbours(&items);
    gui::VspView view(manager);
    manager.setChangeSink([&] { view.refresh(); });
    std::vector<std::string> logged;
    manager.setLogSink([&](const std::string& line) { logged.push_back(line); });
    manager.start(true);
    EXPECT_EQ(view.list()->topLevelItemCount(), 0);
    EXPECT_EQ(view.list()->columnWidth(1), 150);
    EXPECT_FALSE(view.maxPacket()->isVisibleTo(&view));

    view.addButton()->click();
    ASSERT_EQ(offered.size(), 256u);
    ASSERT_EQ(view.list()->topLevelItemCount(), 1) << testing::PrintToString(prompter.messages());
    EXPECT_EQ(view.list()->topLevelItem(0)->text(1), "COM7");
    EXPECT_EQ(view.statusLine()->text(), "Added a virtual serial port successfully");
    EXPECT_EQ(tree.children(), std::vector<std::string> { "COM7" });
    EXPECT_FALSE(view.connectButton()->isEnabled());

    view.list()->topLevelItem(0)->setSelected(true);
    EXPECT_TRUE(view.settingButton()->isEnabled());
    view.settingButton()->click();
    EXPECT_EQ(view.settingButton()->text(), "OK");
    EXPECT_FALSE(view.addButton()->isEnabled());
    EXPECT_EQ(view.portNumber()->currentText(), "COM7 (in used)");

    auto listening = platform::TcpListener::listen(*platform::parseIpv4("127.0.0.1"), 0);
    ASSERT_TRUE(listening.ok());
    view.clientButton()->click();
    view.addressEdit()->setText("127.0.0.1");
    view.remotePortEdit()->setText(QString::number(listening->localEndpoint().port));
    view.tcpButton()->setChecked(true);
    view.settingButton()->click();
    EXPECT_EQ(view.settingButton()->text(), "Setting");
    EXPECT_EQ(view.statusLine()->text(), "Settings of COM7 saved"); // not Add's line any more
    EXPECT_EQ(view.connectButton()->text(), "Connect");
    ASSERT_TRUE(view.connectButton()->isEnabled());

    view.connectButton()->click();
    auto* row = view.list()->topLevelItem(0);
    EXPECT_EQ(row->text(2), "Connected") << testing::PrintToString(prompter.messages());
    EXPECT_EQ(row->text(3), "127.0.0.1");
    EXPECT_EQ(row->background(0).color(), QColor(200, 255, 200));
    EXPECT_EQ(tree.children(), std::vector<std::string> { "COM7 (127.0.0.1)" });
    EXPECT_TRUE(view.closeButton()->isEnabled());
    EXPECT_FALSE(view.settingButton()->isEnabled());

    view.closeButton()->click();
    row = view.list()->topLevelItem(0);
    EXPECT_EQ(row->text(2), "Idle");
    EXPECT_EQ(row->background(0).color(), QColor(255, 255, 255));
    EXPECT_EQ(view.statusLine()->text(), "Connection closed successfully");
    EXPECT_EQ(tree.children(), std::vector<std::string> { "COM7" });
    const std::string target = "127.0.0.1:" + std::to_string(listening->localEndpoint().port);
    EXPECT_NE(std::find(logged.begin(), logged.end(), "COM7: connected to " + target + " (TCP)"), logged.end())
        << testing::PrintToString(logged);

    // Nobody listens there any more: the log says the connection was not made and why.
    listening = platform::TcpListener::listen(*platform::parseIpv4("127.0.0.1"), 0);
    ASSERT_TRUE(listening.ok());
    view.settingButton()->click();
    const std::uint16_t closedPort = listening->localEndpoint().port;
    view.remotePortEdit()->setText(QString::number(closedPort));
    view.settingButton()->click();
    listening = platform::TcpListener::listen(*platform::parseIpv4("127.0.0.1"), 0); // frees closedPort
    view.connectButton()->click();
    EXPECT_EQ(view.list()->topLevelItem(0)->text(2), "Idle");
    const std::string failed = "COM7: not connected to 127.0.0.1:" + std::to_string(closedPort) + ": ";
    EXPECT_NE(std::find_if(logged.begin(), logged.end(),
                  [&](const std::string& line) { return line.rfind(failed, 0) == 0 && line.size() > failed.size(); }),
        logged.end())
        << testing::PrintToString(logged);
}

// The dialog's "Protocol" choice reaches the new port; the view shows the
// port's protocol and changes it through Setting.
TEST(VspViewTest, TheProtocolChoiceOfTheDialogAndOfSettingReachesThePort)
{
    vsp_testing::Daemon daemon;
    ASSERT_TRUE(daemon.ok());
    testing_support::ScopedWorkingDirectory work(daemon.dir());
    widgets::QtEventLoop loop;
    testing_support::ScriptedPrompter prompter;
    gui::QtVspDialogs dialogs;
    std::vector<std::string> protocols;
    dialogs.script = [&](gui::ComPortDialog& dialog) -> std::optional<int> {
        for (int i = 0; i < dialog.protocol()->count(); ++i)
            protocols.push_back(dialog.protocol()->itemText(i).toStdString());
        EXPECT_EQ(dialog.wireProtocol(), vsp::WireProtocol::Native);
        dialog.protocol()->setCurrentIndex(1);
        return dialog.chosen();
    };
    vsp::VspOptions options;
    options.runtimeDir = daemon.runtime();
    options.infName = PACKAGING_DIR "/VORPIL.inf";
    options.bindAddress = "127.0.0.1";
    options.mtu = 1500;
    vsp::VspManager manager(loop, prompter, dialogs, options);
    gui::VspView view(manager);
    manager.setChangeSink([&] { view.refresh(); });
    manager.start(true);

    view.addButton()->click();
    EXPECT_EQ(protocols, (std::vector<std::string> { "Native framing", "RFC 2217" }));
    ASSERT_EQ(view.list()->topLevelItemCount(), 1) << testing::PrintToString(prompter.messages());
    auto wireValue = [&] {
        std::uint32_t type = 0;
        std::vector<std::uint8_t> data;
        const auto status = daemon.client().regQueryValue(
            std::string(vsp::kPortsKey) + "0000\\Device Parameters", "WireProtocol", type, data);
        return common::ntSuccess(status) && data.size() == 4 ? static_cast<int>(data[0]) : -1;
    };
    EXPECT_EQ(wireValue(), 1);

    view.list()->topLevelItem(0)->setSelected(true);
    EXPECT_EQ(view.wireProtocol()->currentText(), "RFC 2217");
    EXPECT_FALSE(view.wireProtocol()->isEnabled());
    view.settingButton()->click();
    ASSERT_TRUE(view.wireProtocol()->isEnabled());
    view.clientButton()->click();
    view.addressEdit()->setText("127.0.0.1");
    view.remotePortEdit()->setText("4001");
    view.wireProtocol()->setCurrentIndex(0);
    view.settingButton()->click();
    EXPECT_EQ(view.settingButton()->text(), "Setting") << testing::PrintToString(prompter.messages());
    EXPECT_EQ(wireValue(), 0);
    EXPECT_EQ(view.wireProtocol()->currentText(), "Native framing");
    EXPECT_FALSE(view.wireProtocol()->isEnabled());
}

// Add offers the first number that neither a virtual port nor a serial port
// of this machine uses: under a machine port's name the new port would take
// what programs configured for that port send. Here COM1 to COM3 lead to
// devices of the machine by the user's mapping, COM4's mapping leads nowhere.
TEST(VspViewTest, AddOffersTheFirstNumberNoPortOfTheMachineUses)
{
    vsp_testing::Daemon daemon;
    ASSERT_TRUE(daemon.ok());
    testing_support::ScopedWorkingDirectory work(daemon.dir());
    testing_support::TempDir dir;
    dir.write("com-ports", "COM1 /dev/null\nCOM2=/dev/zero\nCOM3 /dev/full\nCOM4 /nonexistent/ttyUSB9\n");
    const char* before = std::getenv("SUITE_COM_MAP");
    const std::optional<std::string> kept = before ? std::optional<std::string>(before) : std::nullopt;
    ::setenv("SUITE_COM_MAP", dir.file("com-ports").c_str(), 1);
    widgets::QtEventLoop loop;
    testing_support::ScriptedPrompter prompter;
    gui::QtVspDialogs dialogs;
    int preselected = -1;
    std::vector<std::string> offered;
    dialogs.script = [&](gui::ComPortDialog& dialog) -> std::optional<int> {
        preselected = dialog.combo()->currentIndex();
        for (int i = 0; i < 4; ++i)
            offered.push_back(dialog.combo()->itemText(i).toStdString());
        return dialog.chosen();
    };
    vsp::VspOptions options;
    options.runtimeDir = daemon.runtime();
    options.infName = PACKAGING_DIR "/VORPIL.inf";
    options.bindAddress = "127.0.0.1";
    options.mtu = 1500;
    vsp::VspManager manager(loop, prompter, dialogs, options);
    gui::VspView view(manager);
    manager.setChangeSink([&] { view.refresh(); });
    manager.start(true);
    view.addButton()->click();
    if (kept)
        ::setenv("SUITE_COM_MAP", kept->c_str(), 1);
    else
        ::unsetenv("SUITE_COM_MAP");
    EXPECT_EQ(preselected, 3);
    EXPECT_EQ(offered,
        (std::vector<std::string> { "COM1 (serial port of this machine)", "COM2 (serial port of this machine)",
            "COM3 (serial port of this machine)", "COM4" }));
    ASSERT_EQ(view.list()->topLevelItemCount(), 1) << testing::PrintToString(prompter.messages());
    EXPECT_EQ(view.list()->topLevelItem(0)->text(1), "COM4");
}
