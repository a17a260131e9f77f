#include "tests/support/help_view.h"
#include "tests/support/scripted_prompter.h"
#include "tests/support/temp_dir.h"
#include "utility/gui/help_launcher.h"
#include "utility/gui/main_window.h"
#include "widgets/help_window.h"
#include "widgets/qt_event_loop.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace utility;

namespace {

std::string packagedHelp()
{
    std::ifstream in(std::string(PACKAGING_DIR) + "/QELTA.html");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The main window with the help wired as the program wires it, over a
// settings folder holding the packaged help page.
struct HelpTest : ::testing::Test {
    HelpTest()
    {
        folder.write("QELTA.html", packagedHelp());
        gui::FrameActions actions;
        actions.help = [this] { help.open({}); };
        actions.viewHelp = [this](const std::string& section) { help.open(section); };
        window.setActions(actions);
        frame.setChangedCallback([this] { window.refresh(); });
        window.setBottomView(shell::BottomView::Terminal, terminal);
        window.resize(900, 650);
        window.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
    }

    widgets::QtEventLoop loop;
    testing_support::ScriptedPrompter prompter;
    testing_support::TempDir folder;
    shell::SystemLog log { loop.clock() };
    shell::NavigationTree tree;
    shell::FrameModel frame;
    gui::MainWindow window { frame, tree, log, prompter };
    QLineEdit* terminal = new QLineEdit;
    std::vector<std::string> logged;
    gui::HelpLauncher help { &window, folder.path() + "/", [this](const std::string& line) { logged.push_back(line); },
        "no-such-opener-here" };
};

// Help > Contents shows the page in a window of its own: the main window
// keeps its views, goes on painting and answers its event loop at once.
TEST_F(HelpTest, ContentsOpenInTheirOwnWindowAndTheMainWindowStaysAsItWas)
{
    QWidget* bottom = window.shownBottomView();
    window.action(QStringLiteral("help"))->trigger();
    widgets::HelpWindow* shown = help.window();
    ASSERT_NE(shown, nullptr);
    EXPECT_TRUE(shown->isVisible());
    EXPECT_TRUE(shown->isWindow());
    EXPECT_EQ(window.shownBottomView(), bottom);
    EXPECT_TRUE(testing_support::headingShown(shown->browser(), QStringLiteral("QELTA Configuration Utility")));
    EXPECT_TRUE(logged.empty()) << logged.front();

    bool answered = false;
    QTimer::singleShot(0, &window, [&] { answered = true; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return answered; }, 1000));
    // Painted, not black: most of the window is the style's light colours.
    const QImage picture = window.grab().toImage();
    int dark = 0;
    for (int y = 0; y < picture.height(); y += 4)
        for (int x = 0; x < picture.width(); x += 4)
            dark += qGray(picture.pixel(x, y)) < 40;
    EXPECT_LT(dark, picture.width() * picture.height() / 16 / 4);
}

// F1 opens the help at the section of the view in use.
TEST_F(HelpTest, EachViewsHelpOpensItsSection)
{
    window.action(QStringLiteral("help"))->trigger();
    ASSERT_NE(help.window(), nullptr);
    // Low enough that no section shares the screen with the page's top.
    help.window()->resize(480, 220);
    QApplication::processEvents(); // laid out at its new width before it scrolls
    QTextBrowser* browser = help.window()->browser();
    const struct {
        int control; // 0: the terminal toggle with the terminal focused
        const char* heading;
    } cases[] = {
        { shell::FrameModel::kDeviceManagementButton, "Device Management" },
        { shell::FrameModel::kMonitorButton, "Monitor" },
        { shell::FrameModel::kVspButton, "Virtual Serial Port" },
        { shell::FrameModel::kDhcpButton, "DHCP Server" },
        { shell::FrameModel::kTftpButton, "TFTP Server" },
        { 0, "COM Port Terminal" },
        { shell::FrameModel::kDeviceManagementButton, "Device Management" },
    };
    for (const auto& c : cases) {
        if (c.control == 0) {
            frame.setTerminalChecked(true);
            window.activateWindow();
            terminal->setFocus();
            ASSERT_TRUE(QTest::qWaitFor([&] { return terminal->hasFocus(); }, 2000));
        } else {
            frame.setTerminalChecked(false);
            frame.clickViewButton(c.control);
            // The log (in the bottom pane) would otherwise be the view in use.
            if (QWidget* focused = QApplication::focusWidget())
                focused->clearFocus();
        }
        window.action(QStringLiteral("viewHelp"))->trigger();
        EXPECT_TRUE(testing_support::headingShown(browser, QString::fromLatin1(c.heading))) << c.heading;
        EXPECT_FALSE(testing_support::headingShown(browser, QStringLiteral("QELTA Configuration Utility")))
            << c.heading;
    }
    // The key the menu shows.
    EXPECT_EQ(window.action(QStringLiteral("viewHelp"))->shortcut(), QKeySequence(Qt::Key_F1));
}

} // namespace
