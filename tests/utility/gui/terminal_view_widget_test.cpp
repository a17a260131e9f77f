#include "platform/pty.h"
#include "tests/support/scripted_prompter.h"
#include "utility/gui/main_window.h"
#include "utility/gui/system_log_widget.h"
#include "utility/gui/terminal_view_widget.h"
#include "utility/shell/navigation.h"
#include "utility/shell/system_log.h"
#include "widgets/qt_event_loop.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include <gtest/gtest.h>

using namespace utility;

namespace {

// The terminal view in the window's bottom pane, bound as the program binds
// it, with a pseudo-terminal as the device on terminal 1.
struct TerminalPage {
    testing_support::ScriptedPrompter prompter;
    widgets::QtEventLoop loop;
    shell::SystemLog log { loop.clock() };
    shell::NavigationTree tree;
    shell::FrameModel frame;
    shell::AppSettings settings;
    std::unique_ptr<services::TerminalView> view;
    gui::MainWindow window { frame, tree, log, prompter };
    gui::TerminalViewWidget* widget = nullptr;
    std::unique_ptr<platform::Pty> device = std::move(*platform::Pty::open());

    TerminalPage()
    {
        services::TerminalEnvironment environment;
        environment.scanner.devDir = "/nonexistent";
        environment.isVirtualPort = [this](const std::string& name) { return tree.contains(name); };
        environment.systemLog = [this](const std::string& line) { log.addLogLine(line); };
        view = std::make_unique<services::TerminalView>(loop, std::move(environment));
        settings.terminal[0].baudRateIndex = 8;
        settings.terminal[1].echo = true;
        widget = new gui::TerminalViewWidget(*view, settings);
        window.setBottomView(shell::BottomView::Terminal, widget);
        frame.setChangedCallback([this] { window.refresh(); });
        window.show();
    }
    const gui::TerminalControls& c(int i = 0) { return widget->controls(i); }
    std::string received(std::size_t expected)
    {
        std::string got;
        QElapsedTimer timer;
        timer.start();
        while (got.size() < expected && timer.elapsed() < 3000) {
            std::uint8_t buffer[256];
            auto n = device->read(buffer, sizeof buffer, std::chrono::milliseconds(20));
            if (n.ok())
                got.append(reinterpret_cast<char*>(buffer), *n);
        }
        return got;
    }
};

} // namespace

TEST(TerminalPageGui, ToggleShowsTheViewWithItsSettings)
{
    TerminalPage page;
    EXPECT_FALSE(page.view->shown());
    page.frame.setTerminalChecked(true);
    QApplication::processEvents();
    EXPECT_EQ(page.window.shownBottomView(), static_cast<QWidget*>(page.widget));
    ASSERT_TRUE(page.view->shown()) << "first shown when the toggle shows it";
    EXPECT_EQ(page.c(0).lists[0]->currentText(), "115200");
    EXPECT_TRUE(page.c(1).echo->isChecked());
    EXPECT_FALSE(page.c(1).echo->isEnabled());
    EXPECT_FALSE(page.c(0).open->isEnabled()) << "no port found";
    EXPECT_EQ(page.c(0).open->toolTip().contains("To open the selected com port"), true);
    EXPECT_EQ(page.c(0).log->font().pointSize(), 10);
    page.frame.setTerminalChecked(false);
    EXPECT_EQ(page.window.shownBottomView(), static_cast<QWidget*>(page.window.systemLog()));
}

TEST(TerminalPageGui, OpenTypeAndClampTheFields)
{
    TerminalPage page;
    page.frame.setTerminalChecked(true);
    QApplication::processEvents();
    page.view->terminal(0).choosePort(page.device->slavePath());
    ASSERT_TRUE(page.c(0).open->isEnabled());
    QTest::mouseClick(page.c(0).open, Qt::LeftButton);
    ASSERT_TRUE(page.view->terminal(0).isOpen());
    EXPECT_TRUE(page.c(0).close->isEnabled());
    EXPECT_FALSE(page.c(0).lists[0]->isEnabled());
    EXPECT_FALSE(page.c(0).port->isEnabled());

    // A key typed in the log goes to the port, not into the log.
    page.c(0).log->setFocus();
    QTest::keyClick(page.c(0).log, Qt::Key_A);
    EXPECT_EQ(page.received(1), "a");
    EXPECT_FALSE(page.c(0).log->toPlainText().contains("a\n"));
    EXPECT_TRUE(page.c(0).log->toPlainText().startsWith("Open "));

    // A TX Interval of 5 shows as 10.
    page.c(0).interval->setFocus();
    page.c(0).interval->selectAll();
    QTest::keyClicks(page.c(0).interval, "5");
    QTest::keyClick(page.c(0).interval, Qt::Key_Return);
    EXPECT_EQ(page.c(0).interval->text(), "10");

    QTest::mouseClick(page.c(0).close, Qt::LeftButton);
    EXPECT_FALSE(page.view->terminal(0).isOpen());
    EXPECT_TRUE(page.c(0).log->toPlainText().contains(" closed."));
}

// Beside the Baud Rate list, a field takes any rate the port takes: the
// port opens with it; one of the list's rates selects its entry, and an
// empty field goes back to the list.
TEST(TerminalPageGui, TheOtherBaudFieldTakesAnyRate)
{
    TerminalPage page;
    page.frame.setTerminalChecked(true);
    QApplication::processEvents();
    services::Terminal& terminal = page.view->terminal(0);
    QLineEdit* other = page.c(0).otherBaud;
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->text(), "");
    auto enter = [&](const char* text) {
        other->setFocus();
        other->selectAll();
        QTest::keyClicks(other, text);
        QTest::keyClick(other, Qt::Key_Return);
    };
    enter("250000");
    EXPECT_EQ(terminal.baudRate(), 250000u);
    EXPECT_EQ(other->text(), "250000");
    terminal.choosePort(page.device->slavePath());
    QTest::mouseClick(page.c(0).open, Qt::LeftButton);
    ASSERT_TRUE(terminal.isOpen());
    EXPECT_FALSE(other->isEnabled()) << "fixed while the port is open";
    EXPECT_EQ(terminal.baudRate(), 250000u);
    QTest::mouseClick(page.c(0).close, Qt::LeftButton);

    enter("9600");
    EXPECT_EQ(page.c(0).lists[0]->currentText(), "9600") << "a rate of the list selects its entry";
    EXPECT_EQ(other->text(), "");
    enter("9000000");
    EXPECT_EQ(other->text(), "4000000") << "clamped as the other fields are";
    enter("230400");
    EXPECT_EQ(terminal.baudRate(), 230400u);
    other->setFocus();
    other->selectAll();
    QTest::keyClick(other, Qt::Key_Delete);
    QTest::keyClick(other, Qt::Key_Return);
    EXPECT_EQ(terminal.baudRate(), 9600u) << "emptied: the list's rate again";
}

// Hex and Time Stamps change how received bytes are shown from then on.
TEST(TerminalPageGui, ReceivedBytesShowAsHexAfterTheirTime)
{
    TerminalPage page;
    page.frame.setTerminalChecked(true);
    QApplication::processEvents();
    page.view->terminal(0).choosePort(page.device->slavePath());
    QTest::mouseClick(page.c(0).open, Qt::LeftButton);
    ASSERT_TRUE(page.view->terminal(0).isOpen());
    page.c(0).hex->click();
    page.c(0).timeStamps->click();
    const std::uint8_t bytes[] = { 'A', 'T', 0x0D, 0xFF };
    ASSERT_TRUE(page.device->write(bytes, sizeof bytes).ok());
    const QRegularExpression shown(QStringLiteral("\n\\[\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d\\] 41 54 0D FF $"));
    QElapsedTimer timer;
    timer.start();
    while (!shown.match(page.c(0).log->toPlainText()).hasMatch() && timer.elapsed() < 10000)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_TRUE(shown.match(page.c(0).log->toPlainText()).hasMatch()) << page.c(0).log->toPlainText().toStdString();
    QTest::mouseClick(page.c(0).close, Qt::LeftButton);
}

// As Typed sends keys as they are and Enter as the Line End chosen; Local
// Echo shows them. By default the typing rules drop the space.
TEST(TerminalPageGui, KeysGoOutAsTypedAndAreEchoedWhenAsked)
{
    TerminalPage page;
    page.frame.setTerminalChecked(true);
    QApplication::processEvents();
    page.view->terminal(0).choosePort(page.device->slavePath());
    QTest::mouseClick(page.c(0).open, Qt::LeftButton);
    ASSERT_TRUE(page.view->terminal(0).isOpen());
    // One key at a time: the terminal keeps one write under way.
    auto typeLine = [&page] {
        for (const Qt::Key key : { Qt::Key_A, Qt::Key_Space, Qt::Key_B, Qt::Key_Return }) {
            QTest::keyClick(page.c(0).log, key);
            QElapsedTimer timer;
            timer.start();
            while (page.view->terminal(0).writePending() && timer.elapsed() < 10000)
                QApplication::processEvents(QEventLoop::AllEvents, 5);
        }
    };
    page.c(0).log->setFocus();
    typeLine();
    EXPECT_EQ(page.received(3), "ab\r");
    EXPECT_FALSE(page.c(0).log->toPlainText().contains("ab"));

    page.c(0).asTyped->click();
    page.c(0).localEcho->click();
    page.c(0).lineEnd->setCurrentIndex(2);
    emit page.c(0).lineEnd->activated(2);
    typeLine();
    EXPECT_EQ(page.received(5), "a b\r\n");
    EXPECT_TRUE(page.c(0).log->toPlainText().contains("a b\n")) << page.c(0).log->toPlainText().toStdString();
    QTest::mouseClick(page.c(0).close, Qt::LeftButton);
}

// Keys typed faster than the port takes them all go out, in order: a key
// typed while the last one still waits for the port waits behind it instead
// of taking its place (a quick typist's "walk-echo-1" went out as
// "wak-eho-1"). By the typing rules and as typed alike.
TEST(TerminalPageGui, KeysTypedFasterThanThePortTakesThemAllGoOutInOrder)
{
    TerminalPage page;
    page.frame.setTerminalChecked(true);
    QApplication::processEvents();
    page.view->terminal(0).choosePort(page.device->slavePath());
    QTest::mouseClick(page.c(0).open, Qt::LeftButton);
    ASSERT_TRUE(page.view->terminal(0).isOpen());
    page.c(0).log->setFocus();
    const struct {
        bool asTyped;
        std::string expected;
    } rows[] = { { false, "walk-echo1\r" }, { true, "walk-echo 1\r" } };
    for (const auto& row : rows) {
        page.c(0).asTyped->setChecked(row.asTyped);
        // All keys at once, before the port has taken the first.
        QTest::keyClicks(page.c(0).log, "walk-echo 1");
        QTest::keyClick(page.c(0).log, Qt::Key_Return);
        std::string got;
        // The bound only ends a test that would hang; the keys go out as the
        // window's loop runs.
        (void)QTest::qWaitFor(
            [&] {
                std::uint8_t buffer[64];
                if (auto n = page.device->read(buffer, sizeof buffer, std::chrono::milliseconds(1)); n.ok())
                    got.append(reinterpret_cast<char*>(buffer), *n);
                return got.size() >= row.expected.size();
            },
            20000);
        EXPECT_EQ(got, row.expected) << (row.asTyped ? "as typed" : "by the typing rules");
    }
    QTest::mouseClick(page.c(0).close, Qt::LeftButton);
}
