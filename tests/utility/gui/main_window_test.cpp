#include "platform/child_process.h"
#include "tests/support/scripted_prompter.h"
#include "tests/support/temp_dir.h"
#include "utility/devmgmt/device_view.h"
#include "utility/gui/device_dialogs.h"
#include "utility/gui/device_view_widget.h"
#include "utility/gui/main_window.h"
#include "utility/gui/navigation_panel.h"
#include "utility/gui/system_log_widget.h"
#include "utility/gui/web_view_pane.h"
#include "widgets/nav_button.h"
#include "widgets/qt_event_loop.h"
#include "widgets/qt_prompter.h"
#include "widgets/report_list.h"

#include <QAction>
#include <QApplication>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QSplitter>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <set>

using namespace std::chrono_literals;
using namespace utility;
using testing_support::ScriptedPrompter;

namespace {

QApplication* g_application = nullptr;

QApplication& application() { return *g_application; }

// Runs `action` on the next modal dialog that opens, once.
void onNextModal(std::function<void(QWidget*)> action)
{
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, action] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            action(modal);
        }
    });
    timer->start();
}

void clickChild(QWidget* parent, const char* name)
{
    auto* button = parent->findChild<QPushButton*>(QString::fromLatin1(name));
    ASSERT_NE(button, nullptr) << name;
    QTest::mouseClick(button, Qt::LeftButton);
}

// The qelta window's device part as the program assembles it, on a real Qt
// loop and real sockets.
struct GuiTest : ::testing::Test {
    GuiTest() { application(); }

    void build(platform::Prompter& used)
    {
        dialogs = std::make_unique<gui::QtDeviceDialogs>(used, nullptr);
        view = std::make_unique<devmgmt::DeviceView>(loop, used, *dialogs);
        view->setLocalAddress("127.0.0.1", "255.255.255.0");
        view->setPeriods({ 5, 15, 15 });
        window = std::make_unique<gui::MainWindow>(frame, tree, log, used);
        widget = new gui::DeviceViewWidget(*view);
        window->setTopView(shell::TopView::DeviceManagement, widget);
        view->setChangedCallback([this] { widget->refresh(); });
        log.setChangedCallback([this] { window->systemLog()->refresh(); });
        tree.setChangedCallback([this] { window->navigation()->refresh(); });
        frame.setChangedCallback([this] { window->refresh(); });
        dialogs->setParent(window.get());
        window->resize(1000, 700);
        window->show();
    }

    void startDevices(int count)
    {
        auto started = platform::ChildProcess::start({ testing_support::programPath("devsim"), "--devices",
            std::to_string(count), "--first-address", "127.0.0.10" });
        ASSERT_TRUE(started.ok());
        devsim = std::move(started.value());
        for (int i = 0; i < count; ++i)
            ASSERT_TRUE(devsim.readLine(10s).ok());
    }

    void searchFinished()
    {
        ASSERT_TRUE(QTest::qWaitFor([&] { return !view->searching(); }, 15000));
    }

    std::vector<bool> buttons() const
    {
        std::vector<bool> result;
        for (int i = 0; i < devmgmt::kButtonCount; ++i)
            result.push_back(widget->button(static_cast<devmgmt::Button>(i))->isEnabled());
        return result;
    }

    ~GuiTest() override
    {
        if (devsim.running()) {
            devsim.terminate();
            devsim.wait(5s);
        }
    }

    widgets::QtEventLoop loop;
    ScriptedPrompter scripted;
    shell::SystemLog log { loop.clock() };
    shell::NavigationTree tree;
    shell::FrameModel frame;
    std::unique_ptr<gui::QtDeviceDialogs> dialogs;
    std::unique_ptr<devmgmt::DeviceView> view;
    std::unique_ptr<gui::MainWindow> window;
    gui::DeviceViewWidget* widget = nullptr;
    platform::ChildProcess devsim;
};

const std::vector<bool> kIdle = { true, true, true, false, false, false, false, true };

} // namespace

TEST_F(GuiTest, SearchThroughTheDialogFillsTheListAndNoToTheSegmentWarningLeavesIt)
{
    widgets::QtPrompter prompter;
    build(prompter);
    prompter.setParent(window.get());
    startDevices(3);
    EXPECT_EQ(buttons(), kIdle);

    onNextModal([](QWidget* dialog) {
        EXPECT_EQ(dialog->objectName(), "DevicesSearchingDialog");
        clickChild(dialog, "search");
    });
    QTest::mouseClick(widget->button(devmgmt::Button::Search), Qt::LeftButton);
    EXPECT_EQ(buttons(), std::vector<bool>(8, false)); // nothing can start while searching
    EXPECT_EQ(widget->statusLabel()->text(), " Searching ...");
    searchFinished();

    auto* list = widget->list();
    ASSERT_EQ(list->rowCount(), 3);
    EXPECT_EQ(buttons(), std::vector<bool>(8, true));
    EXPECT_EQ(widget->statusLabel()->text(), " Idle");
    EXPECT_EQ(widget->progressBar()->value(), 1000);
    std::set<std::string> addresses;
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(list->cellText(row, devmgmt::kColumnNumber), std::to_string(row + 1));
        EXPECT_EQ(list->cellText(row, devmgmt::kColumnMode), "Server");
        EXPECT_EQ(list->cellText(row, devmgmt::kColumnStatus), "Idle");
        EXPECT_EQ(list->rowBackground(row), QColor(232, 192, 192));
        addresses.insert(list->cellText(row, devmgmt::kColumnIp));
    }
    EXPECT_EQ(addresses, (std::set<std::string> { "127.0.0.10", "127.0.0.11", "127.0.0.12" }));

    // A click on a row's IP cell checks it and makes it the IP search default.
    const QRect cell = list->visualItemRect(list->topLevelItem(1));
    const int ipX = list->header()->sectionPosition(devmgmt::kColumnIp) + 10;
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(ipX, cell.center().y()));
    EXPECT_TRUE(list->isChecked(1));
    EXPECT_EQ(view->ipSearchAddress(), list->cellText(1, devmgmt::kColumnIp));

    // IP search outside the segment: the warning, answered No.
    onNextModal([](QWidget* dialog) {
        EXPECT_EQ(dialog->objectName(), "IpSearchingDialog");
        dialog->findChild<QLineEdit*>("ip")->setText("127.0.1.5");
        onNextModal([](QWidget* box) {
            auto* message = qobject_cast<QMessageBox*>(box);
            ASSERT_NE(message, nullptr);
            EXPECT_EQ(message->windowTitle(), "Warning");
            EXPECT_TRUE(message->text().startsWith("The device's  ip network segment isn't same as host"));
            EXPECT_EQ(message->defaultButton(), message->button(QMessageBox::No));
            QTest::mouseClick(message->button(QMessageBox::No), Qt::LeftButton);
        });
        clickChild(dialog, "search");
    });
    QTest::mouseClick(widget->button(devmgmt::Button::IpSearch), Qt::LeftButton);
    QTest::qWait(100);
    EXPECT_FALSE(view->searching());
    EXPECT_EQ(list->rowCount(), 3);
    EXPECT_EQ(addresses.count(list->cellText(0, devmgmt::kColumnIp)), 1u);
    EXPECT_EQ(buttons(), std::vector<bool>(8, true));
}

TEST_F(GuiTest, EmptySearchShowsTheMessageAndKeepsTheIdleButtons)
{
    build(scripted);
    onNextModal([](QWidget* dialog) { clickChild(dialog, "search"); });
    QTest::mouseClick(widget->button(devmgmt::Button::Search), Qt::LeftButton);
    searchFinished();
    EXPECT_EQ(widget->list()->rowCount(), 0);
    EXPECT_EQ(buttons(), kIdle);
    EXPECT_EQ(scripted.messages(), (std::vector<std::string> { "No devices found!" }));
}

TEST_F(GuiTest, SearchDialogRefusesABadTtlAndCancelKeepsTheEdits)
{
    build(scripted);
    onNextModal([this](QWidget* dialog) {
        // Multicast, clicked on its circle (the row is wider than the button).
        auto* multicast = dialog->findChild<QRadioButton*>();
        QTest::mouseClick(multicast, Qt::LeftButton, {}, QPoint(8, multicast->height() / 2));
        auto* ttl = dialog->findChild<QLineEdit*>("ttl");
        EXPECT_TRUE(ttl->isEnabled());
        EXPECT_FALSE(dialog->findChild<QLineEdit*>("broadcastIp")->isEnabled());
        ttl->setText("200");
        clickChild(dialog, "cancel");
        EXPECT_TRUE(dialog->isVisible()); // refused, still open
        EXPECT_EQ(scripted.messages().back(), "Please enter an integer between 1 and 128.");
        ttl->setText("7");
        clickChild(dialog, "cancel");
    });
    QTest::mouseClick(widget->button(devmgmt::Button::Search), Qt::LeftButton);
    EXPECT_FALSE(view->searching());
    EXPECT_EQ(view->searchSettings().kind, devmgmt::SearchKind::Multicast);
    EXPECT_EQ(view->searchSettings().ttl, 7);
}

TEST_F(GuiTest, SaveLogThenOpenLogRestoresRowsAndNumbering)
{
    build(scripted);
    testing_support::TempDir dir;
    log.writeInitialRows("127.0.0.1");
    log.addLogLine("TFTP server starts.");
    const auto saved = log.rows();
    scripted.fileAnswers = { dir.file("run.log") };
    window->action("saveLog")->trigger();
    log.addLogLine("after the save");
    scripted.fileAnswers = { dir.file("run.log") };
    window->action("openLog")->trigger();
    EXPECT_EQ(log.rows(), saved);
    auto* list = window->systemLog()->list();
    ASSERT_EQ(list->topLevelItemCount(), 3);
    EXPECT_EQ(list->topLevelItem(2)->text(0), "3");
    EXPECT_EQ(list->topLevelItem(2)->text(2), "TFTP server starts.");
    log.addLogLine("next");
    EXPECT_EQ(list->topLevelItem(3)->text(0), "4");

    dir.write("empty.log", "QELTA Log File$");
    scripted.fileAnswers = { dir.file("empty.log") };
    window->action("openLog")->trigger();
    EXPECT_EQ(list->topLevelItemCount(), 0);
    log.addLogLine("again");
    EXPECT_EQ(list->topLevelItem(0)->text(0), "1");
}

// Ctrl+S, shown beside Save Log in the File menu, saves what Save Log saves.
TEST_F(GuiTest, CtrlSSavesTheLogAsTheMenuItemDoes)
{
    build(scripted);
    testing_support::TempDir dir;
    log.writeInitialRows("127.0.0.1");
    log.addLogLine("TFTP server starts.");
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    scripted.fileAnswers = { dir.file("keys.log") };
    QTest::keyClick(window.get(), Qt::Key_S, Qt::ControlModifier);
    scripted.fileAnswers = { dir.file("menu.log") };
    window->action("saveLog")->trigger();
    EXPECT_EQ(dir.read("keys.log"), log.serialize());
    EXPECT_EQ(dir.read("keys.log"), dir.read("menu.log"));
    EXPECT_NE(dir.read("keys.log").find("TFTP server starts.$"), std::string::npos);
}

// The pointer on a toolbar button shows its status tip; leaving it clears
// the tip, and the bar says "Ready" again.
TEST_F(GuiTest, TheStatusBarSaysReadyAgainAfterAStatusTip)
{
    build(scripted);
    EXPECT_EQ(window->statusBar()->currentMessage(), "Ready");
    QStatusTipEvent over(QStringLiteral("DHCP server function start / stop"));
    QApplication::sendEvent(window.get(), &over);
    EXPECT_EQ(window->statusBar()->currentMessage(), "DHCP server function start / stop");
    QStatusTipEvent left { QString() };
    QApplication::sendEvent(window.get(), &left);
    EXPECT_EQ(window->statusBar()->currentMessage(), "Ready");
}

// Tab reaches a navigation button and the button shows it has the focus;
// Space then switches to its view.
TEST_F(GuiTest, TheNavigationButtonWithTheFocusShowsIt)
{
    build(scripted);
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    auto* button = window->navigation()->button(shell::FrameModel::kMonitorButton);
    ASSERT_EQ(button->focusPolicy() & Qt::TabFocus, Qt::TabFocus);
    const QImage without = button->grab().toImage();
    button->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(button->hasFocus());
    EXPECT_NE(button->grab().toImage(), without) << "the focus is not drawn";
    QTest::keyClick(button, Qt::Key_Space);
    EXPECT_EQ(window->shownTopView()->objectName(), "MonitorView");
}

TEST_F(GuiTest, NavigationButtonsTreeAndContextMenuEntries)
{
    build(scripted);
    auto* panel = window->navigation();
    EXPECT_EQ(window->shownTopView()->objectName(), "DeviceView");
    QTest::mouseClick(panel->button(shell::FrameModel::kMonitorButton), Qt::LeftButton);
    EXPECT_EQ(window->shownTopView()->objectName(), "MonitorView");
    EXPECT_TRUE(panel->button(shell::FrameModel::kMonitorButton)->highlighted());
    EXPECT_FALSE(panel->button(shell::FrameModel::kDeviceManagementButton)->highlighted());
    QTest::mouseClick(panel->button(shell::FrameModel::kTerminalButton), Qt::LeftButton);
    EXPECT_EQ(window->shownBottomView()->objectName(), "TerminalView");
    QTest::mouseClick(panel->button(shell::FrameModel::kTerminalButton), Qt::LeftButton);
    EXPECT_EQ(window->shownBottomView()->objectName(), "SystemLog");

    std::vector<std::string> closed, removed;
    int created = 0;
    panel->setTreeActions({ [&] { ++created; },
        [&](const std::string& name) {
            closed.push_back(name);
            return true;
        },
        [&](const std::string& name) {
            removed.push_back(name);
            return true;
        } });
    tree.rebuild({ "COM3", "COM4 (127.0.0.10)" });
    QTreeWidget* widgetTree = panel->tree();
    ASSERT_EQ(widgetTree->topLevelItemCount(), 1);
    QTreeWidgetItem* root = widgetTree->topLevelItem(0);
    EXPECT_EQ(root->text(0), "Virtual COM Ports");
    ASSERT_EQ(root->childCount(), 2);
    EXPECT_TRUE(root->isExpanded());
    EXPECT_EQ(panel->menuEntryFor(root), shell::TreeMenuEntry::Create);
    EXPECT_EQ(panel->menuEntryFor(root->child(0)), shell::TreeMenuEntry::Remove);
    EXPECT_EQ(panel->menuEntryFor(root->child(1)), shell::TreeMenuEntry::Close);

    panel->runMenuEntry(widgetTree->topLevelItem(0)->child(1));
    EXPECT_EQ(closed, (std::vector<std::string> { "COM4" }));
    EXPECT_EQ(widgetTree->topLevelItem(0)->child(1)->text(0), "COM4");
    panel->runMenuEntry(widgetTree->topLevelItem(0)->child(0));
    EXPECT_EQ(removed, (std::vector<std::string> { "COM3" }));
    ASSERT_EQ(widgetTree->topLevelItem(0)->childCount(), 1);
    panel->runMenuEntry(widgetTree->topLevelItem(0));
    EXPECT_EQ(created, 1);
}

TEST_F(GuiTest, WindowKeepsItsMinimumSizeAndPaneSizes)
{
    build(scripted);
    EXPECT_EQ(window->minimumSize(), QSize(665, 550));
    EXPECT_EQ(window->horizontalSplitter()->widget(0)->minimumWidth(), 120);
    EXPECT_EQ(window->verticalSplitter()->widget(1)->minimumHeight(), 80);
    for (const char* name : { "openLog", "saveLog", "help", "dhcp", "tftp" })
        EXPECT_NE(window->action(name), nullptr) << name;
    EXPECT_EQ(window->action("openLog")->shortcut(), QKeySequence("Ctrl+O"));
    EXPECT_EQ(window->action("saveLog")->shortcut(), QKeySequence("Ctrl+S"));
}

TEST_F(GuiTest, PanesStartAtTheirSizesOnceTheWindowHasItsSizeAndKeepThem)
{
    gui::MainWindow fresh(frame, tree, log, scripted);
    fresh.resize(1100, 760);
    fresh.show();
    QApplication::processEvents();
    auto* area = qobject_cast<QScrollArea*>(fresh.horizontalSplitter()->widget(0));
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(fresh.horizontalSplitter()->sizes().value(0), 183);
    EXPECT_EQ(fresh.verticalSplitter()->sizes().value(0), 345);
    // A larger window (maximised) gives the extra room to the views.
    fresh.resize(1400, 900);
    QApplication::processEvents();
    EXPECT_EQ(fresh.horizontalSplitter()->sizes().value(0), 183);
    EXPECT_EQ(fresh.verticalSplitter()->sizes().value(0), 345);

    // Every navigation button has its description as tooltip, and shows all
    // of it unless the column is too low for the buttons and the tree: then
    // the buttons show their titles alone.
    fresh.resize(1100, 760);
    QApplication::processEvents();
    int buttons = 0;
    for (auto* button : fresh.navigation()->findChildren<widgets::NavButton*>()) {
        ++buttons;
        EXPECT_EQ(button->toolTip(), button->description());
        EXPECT_EQ(button->compact(), fresh.navigation()->compact());
        const QRect box = button->descriptionRect();
        const QRect needed = QFontMetrics(button->descriptionFont())
                                 .boundingRect(QRect(box.topLeft(), QSize(box.width(), 1000)),
                                     Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, button->description());
        if (!button->compact()) {
            EXPECT_LE(needed.width(), box.width()) << button->description().toStdString();
            EXPECT_LE(needed.height(), box.height()) << button->description().toStdString();
        }
        // Inside the visible part of the column at the start size.
        EXPECT_TRUE(button->isVisible());
        const QPoint bottom = button->mapTo(area->viewport(), QPoint(0, button->height()));
        EXPECT_LE(bottom.y(), area->viewport()->height()) << button->description().toStdString();
    }
    EXPECT_EQ(buttons, 6);
}

TEST_F(GuiTest, ServerButtonsShowTheServersStateNotTheClick)
{
    build(scripted);
    QAction* dhcp = window->action("dhcp");
    QAction* tftp = window->action("tftp");
    dhcp->trigger(); // no server behind it
    tftp->trigger();
    EXPECT_FALSE(dhcp->isChecked());
    EXPECT_FALSE(tftp->isChecked());

    // A server that starts reports it; the button follows the report.
    bool running = false;
    gui::FrameActions actions;
    actions.toggleDhcp = [&] {
        running = !running;
        window->setServerChecked(true, running);
    };
    actions.toggleTftp = [] {}; // a start that fails reports nothing
    window->setActions(actions);
    dhcp->trigger();
    EXPECT_TRUE(dhcp->isChecked());
    dhcp->trigger();
    EXPECT_FALSE(dhcp->isChecked());
    tftp->trigger();
    EXPECT_FALSE(tftp->isChecked());
}

TEST(QeltaScreenshots, RenderWithoutAnyDisplay)
{
    testing_support::TempDir dir;
    ASSERT_EQ(
        std::system(("cp '" + testing_support::programPath("VORPIL.inf") + "' '" + dir.path() + "/'").c_str()), 0);
    const std::string command = "cd '" + dir.path() + "' && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '"
        + testing_support::programPath("qelta") + "' --screenshots pictures >out.txt 2>err.txt; echo $? >status.txt";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(std::atoi(dir.read("status.txt").c_str()), 0) << dir.read("err.txt");
    for (const char* name : { "main-window.png", "about.png" })
        EXPECT_FALSE(dir.read(std::string("pictures/") + name).empty()) << name;
}

// The application object must outlive every test and die before Qt's own
// globals, so it lives on main's stack.
int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // Off screen unless told otherwise; listing the tests needs no display either.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    gui::WebViewPane::prepareApplication();
    QApplication app(argc, argv);
    g_application = &app;
    return RUN_ALL_TESTS();
}
