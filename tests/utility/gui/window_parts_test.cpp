// The qelta window's parts on their own: the terminal's port names, the
// layout at the sizes users run it, the dialogs, the system handler and the
// list's colours.
#include "tests/support/scripted_prompter.h"
#include "utility/devmgmt/device_view.h"
#include "utility/devmgmt/setup_sheet.h"
#include "utility/gui/device_commands_binding.h"
#include "utility/gui/device_dialogs.h"
#include "utility/gui/device_view_widget.h"
#include "utility/gui/main_window.h"
#include "utility/gui/navigation_panel.h"
#include "utility/gui/setup_sheet_dialog.h"
#include "utility/gui/system_log_widget.h"
#include "utility/gui/terminal_view_widget.h"
#include "utility/gui/vsp_view.h"
#include "utility/gui/window_parts.h"
#include "utility/shell/navigation.h"
#include "utility/shell/system_log.h"
#include "widgets/nav_button.h"
#include "widgets/qt_event_loop.h"
#include "widgets/report_list.h"

#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace utility;

// The terminal tells the program's own ports by their whole name: a virtual
// COM15 does not make a physical COM1 virtual.
TEST(WindowParts, TerminalTellsVirtualPortsByTheirWholeName)
{
    widgets::QtEventLoop loop;
    shell::SystemLog log { loop.clock() };
    shell::NavigationTree tree;
    tree.rebuild({ "COM15 (127.0.0.10)", "COM7" });
    const auto environment = gui::windowTerminalEnvironment(tree, log);
    const struct {
        const char* name;
        bool virtualPort;
    } cases[] = { { "COM1", false }, { "COM15", true }, { "COM7", true }, { "COM", false }, { "127.0.0.10", false } };
    for (const auto& c : cases)
        EXPECT_EQ(environment.isVirtualPort(c.name), c.virtualPort) << c.name;
}

// At 1280x1024 the tree shows four connected ports under the buttons, and a
// port item's whole text is in its tooltip.
TEST(WindowLayout, TreeShowsFourConnectedPortsUnderTheButtons)
{
    testing_support::ScriptedPrompter prompter;
    widgets::QtEventLoop loop;
    shell::SystemLog log { loop.clock() };
    shell::NavigationTree tree;
    shell::FrameModel frame;
    gui::MainWindow window(frame, tree, log, prompter);
    tree.setChangedCallback([&] { window.navigation()->refresh(); });
    tree.rebuild({ "COM1 (127.0.0.10)", "COM2 (127.0.0.11)", "COM3 (127.0.0.12)", "COM4 (Server)" });
    window.resize(1280, 1024);
    window.show();
    QApplication::processEvents();
    QTreeWidget* portTree = window.navigation()->tree();
    QTreeWidgetItem* root = portTree->topLevelItem(0);
    ASSERT_EQ(root->childCount(), 4);
    const QRect visible = portTree->viewport()->rect();
    EXPECT_TRUE(visible.contains(portTree->visualItemRect(root)));
    for (int i = 0; i < 4; ++i) {
        QTreeWidgetItem* item = root->child(i);
        EXPECT_TRUE(visible.contains(portTree->visualItemRect(item)))
            << item->text(0).toStdString() << " at " << portTree->visualItemRect(item).y() << " in "
            << visible.height();
        EXPECT_EQ(item->toolTip(0), item->text(0));
    }
    for (const auto& button : shell::navigationButtons()) {
        auto* nav = window.navigation()->button(button.control);
        EXPECT_TRUE(nav->isVisible());
        EXPECT_EQ(nav->toolTip(), QString::fromLatin1(button.description)) << "described where the title stands alone";
    }

    // With room enough the buttons show their descriptions again.
    window.verticalSplitter()->setSizes({ 800, 100 });
    QApplication::processEvents();
    EXPECT_FALSE(window.navigation()->button(shell::FrameModel::kVspButton)->compact());
    EXPECT_TRUE(portTree->viewport()->rect().contains(portTree->visualItemRect(root->child(3))));
}

// At the smallest window size the terminal keeps both logs readable and
// scrolls to its controls.
TEST(WindowLayout, TerminalStaysUsableAtTheSmallestWindow)
{
    testing_support::ScriptedPrompter prompter;
    widgets::QtEventLoop loop;
    shell::SystemLog log { loop.clock() };
    shell::NavigationTree tree;
    shell::FrameModel frame;
    shell::AppSettings settings;
    services::TerminalEnvironment environment;
    environment.scanner.devDir = "/nonexistent";
    services::TerminalView view(loop, std::move(environment));
    gui::MainWindow window(frame, tree, log, prompter);
    auto* widget = new gui::TerminalViewWidget(view, settings);
    window.setBottomView(shell::BottomView::Terminal, widget);
    frame.setChangedCallback([&] { window.refresh(); });
    window.resize(665, 550);
    window.show();
    frame.setTerminalChecked(true);
    QApplication::processEvents();
    ASSERT_EQ(window.size(), QSize(665, 550));

    auto* scroll = widget->findChild<QScrollArea*>();
    ASSERT_NE(scroll, nullptr);
    // The top row gave up height: the terminal's pane is no slit.
    EXPECT_GE(scroll->viewport()->height(), 150);
    EXPECT_LT(window.verticalSplitter()->sizes().value(0), gui::MainWindow::kTopRowHeight);
    for (int i = 0; i < 2; ++i) {
        QPlainTextEdit* terminalLog = widget->controls(i).log;
        EXPECT_GE(terminalLog->viewport()->height(), 4 * terminalLog->fontMetrics().lineSpacing()) << i;
        EXPECT_GT(terminalLog->width(), 150) << i;
    }
    // Each terminal's Open Port can be scrolled to.
    for (int i = 0; i < 2; ++i) {
        QPushButton* open = widget->controls(i).open;
        scroll->ensureWidgetVisible(open);
        QApplication::processEvents();
        const QPoint topLeft = open->mapTo(scroll->viewport(), QPoint(0, 0));
        EXPECT_TRUE(scroll->viewport()->rect().contains(QRect(topLeft, open->size()))) << i;
    }
}

// At the smallest window size the system log shows several rows: the top
// row gives up height it does not need.
TEST(WindowLayout, TheSystemLogShowsSeveralRowsAtTheSmallestWindow)
{
    testing_support::ScriptedPrompter prompter;
    widgets::QtEventLoop loop;
    shell::SystemLog log { loop.clock() };
    shell::NavigationTree tree;
    shell::FrameModel frame;
    gui::MainWindow window(frame, tree, log, prompter);
    log.setChangedCallback([&] { window.systemLog()->refresh(); });
    for (int i = 0; i < 12; ++i)
        log.addLogLine("line " + std::to_string(i));
    window.resize(665, 550);
    window.show();
    QApplication::processEvents();
    QTreeWidget* list = window.systemLog()->list();
    ASSERT_GT(list->topLevelItemCount(), 0);
    const int row = list->visualItemRect(list->topLevelItem(0)).height();
    EXPECT_GE(list->viewport()->height(), 5 * row) << "rows shown: " << list->viewport()->height() / std::max(row, 1);
    // Made large again, the window gives the top row its height back.
    window.resize(1100, 760);
    QApplication::processEvents();
    EXPECT_EQ(window.verticalSplitter()->sizes().value(0), gui::MainWindow::kTopRowHeight);
}

// The three periods say their units.
TEST(WindowDialogs, SettingDialogShowsThePeriodsUnits)
{
    testing_support::ScriptedPrompter prompter;
    gui::SettingDialog dialog({ 10, 20, 30 }, prompter);
    const struct {
        const char* name;
        const char* unit;
    } units[]
        = { { "searchPeriodUnit", "100 ms" }, { "restorePeriodUnit", "100 ms" }, { "rebootPeriodUnit", "seconds" } };
    for (const auto& u : units) {
        auto* label = dialog.findChild<QLabel*>(QString::fromLatin1(u.name));
        ASSERT_NE(label, nullptr) << u.name;
        EXPECT_TRUE(label->text().contains(QString::fromLatin1(u.unit))) << label->text().toStdString();
    }
}

// Help and the external browser learn when the system cannot open a page, so
// they can show it in the built-in browser instead.
TEST(WindowParts, SystemHandlerFailuresAreReported)
{
    const struct {
        const char* opener;
        const char* why; // empty: opened
    } cases[] = {
        { "/bin/true", "" },
        { "/bin/false", "failed (exit status 1)" },
        { "no-such-opener-here", "is not installed" },
    };
    for (const auto& c : cases) {
        QObject owner;
        std::optional<std::string> failure;
        gui::openWithSystemHandler(
            "/nonexistent/QELTA.html", &owner, [&](const std::string& why) { failure = why; }, c.opener);
        // The opener ends within moments; its report comes on the event loop.
        QTest::qWait(std::string(c.why).empty() ? 500 : 0);
        EXPECT_TRUE(QTest::qWaitFor([&] { return failure.has_value() || std::string(c.why).empty(); }, 5000));
        if (std::string(c.why).empty())
            EXPECT_FALSE(failure.has_value()) << c.opener << ": " << failure.value_or("");
        else
            EXPECT_NE(failure.value_or("").find(c.why), std::string::npos) << c.opener << ": " << failure.value_or("");
    }
}

// A selected row keeps its text colour (green after a setup, dark red after
// a restore) instead of the highlight's white.
TEST(WindowParts, SelectedRowsKeepTheirTextColour)
{
    for (const QColor colour : { QColor(0, 176, 0), QColor(176, 0, 0) }) {
        widgets::ReportList list;
        list.setColumns({ { "Name", 200 } }, false);
        widgets::ReportList::Row row;
        row.texts = { "WWWWWWWWWWWW" };
        row.text = colour;
        list.setRows({ row });
        list.resize(240, 80);
        list.show();
        list.topLevelItem(0)->setSelected(true);
        list.setFocus();
        QApplication::processEvents();
        const QImage image = list.viewport()->grab().toImage();
        const QRect rect = list.visualItemRect(list.topLevelItem(0));
        int coloured = 0;
        for (int y = rect.top(); y <= rect.bottom(); ++y)
            for (int x = rect.left(); x <= rect.right(); ++x) {
                const QColor pixel = image.pixelColor(x, y);
                if (std::abs(pixel.red() - colour.red()) < 40 && std::abs(pixel.green() - colour.green()) < 40
                    && pixel.blue() < 60)
                    ++coloured;
            }
        EXPECT_GT(coloured, 20) << colour.name().toStdString();
    }
}

// Every dialog starts wide enough for its whole title beside the title bar's
// icon and buttons ("Device... ching" was "Devices Searching" cut short),
// and the setup's serial choices stay as wide as their texts instead of the
// page's whole width.
TEST(WindowDialogs, EveryDialogShowsItsWholeTitleAndTheSerialChoicesStayNarrow)
{
    testing_support::ScriptedPrompter prompter;
    devmgmt::UpgradeSettings upgrade;
    devmgmt::SetupSheet sheet(prompter);
    gui::DevicesSearchingDialog searching({}, prompter);
    gui::IpSearchingDialog ipSearching("127.0.0.1");
    gui::SettingDialog setting({ 10, 20, 30 }, prompter);
    gui::FirmwareUpgradeDialog firmware(upgrade, prompter);
    gui::ComPortDialog comPort({ "COM1", "COM2" }, 0);
    gui::SetupSheetDialog setup(sheet);
    QFont bold = QApplication::font();
    bold.setBold(true);
    for (QWidget* dialog :
        std::initializer_list<QWidget*> { &searching, &ipSearching, &setting, &firmware, &comPort, &setup }) {
        dialog->show();
        const int title = QFontMetrics(bold).horizontalAdvance(dialog->windowTitle());
        EXPECT_GE(dialog->width(), title + 120) << dialog->windowTitle().toStdString();
        dialog->hide();
    }

    setup.resize(900, setup.height());
    setup.show();
    auto* pages = setup.findChild<QTabWidget*>(QStringLiteral("pages"));
    ASSERT_NE(pages, nullptr);
    pages->setCurrentIndex(1);
    QApplication::processEvents();
    QWidget* serial = pages->currentWidget();
    const auto combos = serial->findChildren<QComboBox*>();
    ASSERT_GE(combos.size(), 6);
    for (QComboBox* combo : combos)
        EXPECT_LE(combo->width(), combo->sizeHint().width() + 4) << combo->currentText().toStdString();
}
