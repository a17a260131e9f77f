#include "platform/net.h"
#include "tests/support/scripted_prompter.h"
#include "tests/support/temp_dir.h"
#include "utility/gui/main_window.h"
#include "utility/gui/tftp_view.h"
#include "utility/services/tftp_server.h"
#include "widgets/qt_event_loop.h"

#include <QAction>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include <gtest/gtest.h>

using namespace utility;

namespace {

// The TFTP view inside the main window, with the toolbar's TFTP button.
class TftpViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        server.setLocalAddress("127.0.0.1");
        view = gui::installTftpView(window, actions, server);
        window.setActions(actions);
        view->pathEdit()->setText(QString::fromStdString(served.path()));
    }

    QAction* toolbarButton() const { return window.action(QStringLiteral("tftp")); }

    widgets::QtEventLoop loop;
    testing_support::ScriptedPrompter prompter;
    testing_support::TempDir served;
    shell::SystemLog log { loop.clock() };
    shell::NavigationTree tree;
    shell::FrameModel frame;
    services::TftpServer server { loop, prompter };
    gui::MainWindow window { frame, tree, log, prompter };
    gui::FrameActions actions;
    gui::TftpView* view = nullptr;
};

TEST_F(TftpViewTest, ToolbarButtonStartsAndStopsTheServerAndShowsItsState)
{
    EXPECT_FALSE(toolbarButton()->isChecked());
    toolbarButton()->trigger();
    EXPECT_TRUE(server.running());
    EXPECT_TRUE(toolbarButton()->isChecked());
    EXPECT_EQ(view->startButton()->text(), QStringLiteral("Stop"));
    EXPECT_EQ(server.filePath(), served.path()); // the typed path is used
    view->startButton()->click();
    EXPECT_FALSE(server.running());
    EXPECT_FALSE(toolbarButton()->isChecked());
    EXPECT_EQ(view->startButton()->text(), QStringLiteral("Start"));
    EXPECT_EQ(view->logBox()->toPlainText(),
        QStringLiteral("TFTP server @ 127.0.0.1 is running on UDP port 69 successfully.\n\nTFTP server stoped.\n\n"));
}

TEST_F(TftpViewTest, FailedStartLeavesTheToolbarButtonUnchecked)
{
    auto busy = platform::UdpSocket::open();
    ASSERT_TRUE(busy.ok());
    ASSERT_TRUE(busy->bind("127.0.0.1", 69).ok());
    toolbarButton()->trigger();
    EXPECT_FALSE(server.running());
    EXPECT_FALSE(toolbarButton()->isChecked());
    EXPECT_EQ(view->logBox()->toPlainText(),
        QStringLiteral("Failed to create TFTP server socket!\nUDP port 69 of 127.0.0.1: bind: Address already in use "
                       "(another TFTP server runs).\n"));
}

// Until a folder is chosen the field holds what the settings start with; the
// view says how to choose one and the button stays up.
TEST_F(TftpViewTest, WithoutAChosenFolderTheServerDoesNotStart)
{
    view->pathEdit()->setText(QStringLiteral("C:\\"));
    view->startButton()->click();
    EXPECT_FALSE(server.running());
    EXPECT_FALSE(toolbarButton()->isChecked());
    EXPECT_EQ(view->startButton()->text(), QStringLiteral("Start"));
    EXPECT_EQ(view->logBox()->toPlainText(),
        QStringLiteral("TFTP server not started: no folder to serve files from is chosen. Choose one with the "
                       "\"...\" button.\n"));
}

} // namespace
