#include "platform/net.h"
#include "tests/support/scripted_prompter.h"
#include "tests/support/temp_dir.h"
#include "utility/gui/dhcp_view.h"
#include "utility/gui/main_window.h"
#include "utility/shell/navigation.h"
#include "utility/shell/system_log.h"
#include "widgets/qt_event_loop.h"
#include "widgets/report_list.h"

#include <QAction>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

using namespace utility;

namespace {

// The window with the DHCP page bound as the program binds it; the server
// works on loopback in the test's own network namespace.
struct DhcpPage {
    testing_support::TempDir dir;
    testing_support::ScriptedPrompter prompter;
    widgets::QtEventLoop loop;
    shell::SystemLog log { loop.clock() };
    shell::NavigationTree tree;
    shell::FrameModel frame;
    services::DhcpView view { loop, prompter };
    gui::MainWindow window { frame, tree, log, prompter };
    gui::DhcpViewWidget* widget = nullptr;

    DhcpPage()
    {
        dir.write("dhcp.dat", "192.168.0.100$00-11-22-33-44-55$");
        view.setSystemLogCallback([this](const std::string& line) { log.addLogLine(line); });
        // A range in the subnet of the server's own address: one elsewhere
        // is refused at start.
        shell::AppSettings settings;
        settings.dhcpStart = 0x7F000064; // 127.0.0.100
        settings.dhcpEnd = 0x7F00006E;
        view.firstShown(settings, "127.0.0.1", dir.file("dhcp.dat"));
        widget = new gui::DhcpViewWidget(view);
        gui::FrameActions actions;
        actions.toggleDhcp = gui::bindDhcpView(window, view, widget);
        window.setActions(actions);
    }
    QAction* toolbarButton() { return window.action(QStringLiteral("dhcp")); }
};

TEST(DhcpPageGui, ToolbarButtonFollowsTheServer)
{
    DhcpPage page;
    EXPECT_FALSE(page.toolbarButton()->isChecked());
    EXPECT_EQ(page.widget->field(gui::DhcpViewWidget::Start)->text(), "127.0.0.100");
    EXPECT_EQ(page.widget->bootFile()->text(), "zv.bin");

    page.toolbarButton()->trigger();
    ASSERT_TRUE(page.view.running());
    EXPECT_TRUE(page.toolbarButton()->isChecked());
    EXPECT_EQ(page.widget->startButton()->text(), "Stop");
    EXPECT_FALSE(page.widget->field(gui::DhcpViewWidget::Gateway)->isEnabled());
    EXPECT_EQ(page.widget->log()->toPlainText(), "DHCP server @ 127.0.0.1 is running on UDP port 67 successfully.\n\n");
    ASSERT_EQ(page.log.rows().size(), 1u);

    // The page's own button stops it; the toolbar follows.
    QTest::mouseClick(page.widget->startButton(), Qt::LeftButton);
    EXPECT_FALSE(page.view.running());
    EXPECT_FALSE(page.toolbarButton()->isChecked());
    EXPECT_EQ(page.log.rows().back().message, "DHCP server stoped.");

    // A start that fails leaves the button unchecked, though clicking checked it.
    auto blocker = platform::UdpSocket::open();
    ASSERT_TRUE(blocker.ok() && blocker->bind(platform::Ipv4 { 0 }, 67).ok());
    page.toolbarButton()->trigger();
    EXPECT_FALSE(page.view.running());
    EXPECT_FALSE(page.toolbarButton()->isChecked());
    EXPECT_TRUE(page.widget->log()->toPlainText().endsWith(
        "Failed to create socket!\nUDP port 67 of 127.0.0.1: bind: Address already in use (another DHCP server "
        "runs).\n"));
}

TEST(DhcpPageGui, FieldsAndListDriveTheController)
{
    DhcpPage page;
    auto* gateway = page.widget->field(gui::DhcpViewWidget::Gateway);
    gateway->setText(QStringLiteral("10.1.2.3"));
    page.widget->takeFields();
    EXPECT_EQ(page.view.fields().gateway, *platform::parseIpv4("10.1.2.3"));
    gateway->setText(QStringLiteral("10.1."));
    page.widget->takeFields();
    EXPECT_EQ(gateway->text(), "10.1.2.3") << "an unfinished address keeps the old value";

    auto* list = page.widget->list();
    ASSERT_EQ(list->rowCount(), 1);
    EXPECT_FALSE(page.widget->deleteButton()->isEnabled());
    EXPECT_TRUE(page.widget->deleteAllButton()->isEnabled());
    list->resize(400, 200);
    const QRect row = list->visualItemRect(list->topLevelItem(0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row.center());
    EXPECT_TRUE(page.widget->deleteButton()->isEnabled());
    QTest::mouseClick(page.widget->deleteButton(), Qt::LeftButton);
    EXPECT_EQ(list->rowCount(), 0);
    EXPECT_FALSE(page.widget->deleteAllButton()->isEnabled());
}

// Delete All asks before every remembered device loses its address: No
// keeps the mappings, Yes drops them.
TEST(DhcpPageGui, DeleteAllAsksFirst)
{
    DhcpPage page;
    page.widget->setPrompter(&page.prompter);
    auto* list = page.widget->list();
    ASSERT_EQ(list->rowCount(), 1);
    page.prompter.confirmAnswers = { false };
    QTest::mouseClick(page.widget->deleteAllButton(), Qt::LeftButton);
    EXPECT_EQ(list->rowCount(), 1);
    ASSERT_FALSE(page.prompter.shown.empty());
    EXPECT_EQ(page.prompter.shown.back().text, "Delete all 1 address mappings?");
    page.prompter.confirmAnswers = { true };
    QTest::mouseClick(page.widget->deleteAllButton(), Qt::LeftButton);
    EXPECT_EQ(list->rowCount(), 0);
}

} // namespace
