#include "platform/net.h"
#include "tests/support/scripted_prompter.h"
#include "tests/support/temp_dir.h"
#include "utility/gui/main_window.h"
#include "utility/gui/tftp_view.h"
#include "utility/services/tftp_server.h"
#include "widgets/qt_event_loop.h"

#include <QAction>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <fstream>

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

// The folder shown is the folder served: while the server runs no other can
// be chosen, and one chosen after Stop is served by the next Start.
TEST_F(TftpViewTest, TheFolderCannotBeChangedUnderARunningServer)
{
    testing_support::TempDir other;
    auto* browse = view->findChild<QPushButton*>(QStringLiteral("browse"));
    ASSERT_NE(browse, nullptr);
    view->startButton()->click();
    ASSERT_TRUE(server.running());
    EXPECT_FALSE(browse->isEnabled());
    EXPECT_TRUE(view->pathEdit()->isReadOnly());
    prompter.fileAnswers = { other.path() };
    browse->click();
    EXPECT_EQ(server.filePath(), served.path());
    EXPECT_EQ(view->pathEdit()->text().toStdString(), served.path());

    view->startButton()->click();
    ASSERT_FALSE(server.running());
    EXPECT_TRUE(browse->isEnabled());
    EXPECT_FALSE(view->pathEdit()->isReadOnly());
    browse->click();
    EXPECT_EQ(view->pathEdit()->text().toStdString(), other.path());
    view->startButton()->click();
    EXPECT_TRUE(server.running());
    EXPECT_EQ(server.filePath(), other.path());
    view->startButton()->click();
}

} // namespace

namespace {

// The running transfers are listed, each with its client and its own port,
// and leave the list when they end.
TEST_F(TftpViewTest, RunningTransfersAreListed)
{
    std::ofstream(served.file("f.bin")) << std::string(2000, 'x');
    toolbarButton()->trigger();
    ASSERT_TRUE(server.running());
    auto client = platform::UdpSocket::open();
    ASSERT_TRUE(client.ok() && client->bind("127.0.0.1", 0).ok());
    const std::string request = std::string("\0\1f.bin\0octet\0", 14);
    ASSERT_TRUE(client
                    ->sendTo(server.listenEndpoint(),
                        std::span(reinterpret_cast<const std::uint8_t*>(request.data()), request.size()))
                    .ok());
    std::vector<std::uint8_t> data(600);
    platform::Endpoint from;
    for (int i = 0; i < 200 && !client->receiveFrom(data, from).ok(); ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_NE(from.port, 0);
    view->refresh();
    ASSERT_EQ(view->transferList()->topLevelItemCount(), 1);
    const QTreeWidgetItem* row = view->transferList()->topLevelItem(0);
    EXPECT_EQ(row->text(0).toStdString(), "127.0.0.1:" + std::to_string(client->localEndpoint().port));
    EXPECT_EQ(row->text(1).toInt(), from.port);
    EXPECT_EQ(row->text(2).toStdString(), served.path() + "/f.bin");
    EXPECT_EQ(row->text(3), QStringLiteral("1 / 3"));
    // Acknowledged to the end, the transfer leaves the list.
    for (std::uint16_t block = 1; block <= 4; ++block) {
        const std::uint8_t ack[] = { 0, 4, 0, static_cast<std::uint8_t>(block) };
        ASSERT_TRUE(client->sendTo(from, ack).ok());
        for (int i = 0; i < 200 && !client->receiveFrom(data, from).ok() && server.transferCount() > 0; ++i)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    for (int i = 0; i < 200 && view->transferList()->topLevelItemCount() > 0; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(view->transferList()->topLevelItemCount(), 0);
}

} // namespace
