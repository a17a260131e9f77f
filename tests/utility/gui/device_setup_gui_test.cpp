#include "platform/child_process.h"
#include "tests/support/temp_dir.h"
#include "utility/devmgmt/device_view.h"
#include "utility/gui/activity_log.h"
#include "utility/gui/device_dialogs.h"
#include "utility/gui/device_setup_binding.h"
#include "utility/gui/device_view_widget.h"
#include "utility/gui/main_window.h"
#include "utility/gui/setup_sheet_dialog.h"
#include "utility/gui/web_view_pane.h"
#include "widgets/qt_event_loop.h"
#include "widgets/qt_prompter.h"
#include "widgets/report_list.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#if SUITE_HAVE_WEBENGINE
#include <QWebEngineView>
#endif

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

using namespace std::chrono_literals;
using namespace utility;

namespace {

// Runs `action` on the next modal widget that opens and is not `skip`, once.
void onModal(std::function<void(QWidget*)> action, QWidget* skip = nullptr)
{
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, action, skip] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal != skip) {
            timer->stop();
            timer->deleteLater();
            action(modal);
        }
    });
    timer->start();
}

void answer(QWidget* box, QMessageBox::StandardButton button)
{
    auto* message = qobject_cast<QMessageBox*>(box);
    ASSERT_NE(message, nullptr);
    QTest::mouseClick(message->button(button), Qt::LeftButton);
}

void typeInto(QWidget* sheet, const char* name, const QString& text)
{
    auto* edit = sheet->findChild<QLineEdit*>(QString::fromLatin1(name));
    ASSERT_NE(edit, nullptr) << name;
    edit->selectAll();
    QTest::keyClicks(edit, text);
}

// The window's device part with Device Setup and Web Browser, against
// devsim's devices that reboot in half a second.
struct SetupGuiTest : ::testing::Test {
    void SetUp() override
    {
        dialogs = std::make_unique<gui::QtDeviceDialogs>(prompter, nullptr);
        view = std::make_unique<devmgmt::DeviceView>(loop, prompter, *dialogs);
        view->setLocalAddress("127.0.0.1", "255.0.0.0");
        view->setPeriods({ 5, 15, 1 }); // a one-second reboot period keeps the test short
        window = std::make_unique<gui::MainWindow>(frame, tree, log, prompter);
        prompter.setParent(window.get());
        widget = new gui::DeviceViewWidget(*view);
        window->setTopView(shell::TopView::DeviceManagement, widget);
        webPane = new gui::WebViewPane;
        window->setBottomView(shell::BottomView::Web, webPane);
        view->setChangedCallback([this] { widget->refresh(); });
        frame.setChangedCallback([this] { window->refresh(); });
        dialogs->setParent(window.get());
        gui::DeviceSetupBinding::WebView web;
        web.pane = webPane;
        web.show = [this] { frame.showWebPage(); };
        web.log = [this](const std::string& line) { log.addLogLine(line); };
        binding = std::make_unique<gui::DeviceSetupBinding>(loop, *view, *widget, prompter, web, window.get());
        // As the program does: each search ends with its line in the log.
        view->setSearchFinishedCallback([this] { log.addLogLine(gui::searchLogLine(*view)); });
        window->resize(1000, 700);
        window->show();

        auto started = platform::ChildProcess::start({ testing_support::programPath("devsim"), "--devices", "2",
            "--first-address", "127.0.0.10", "--reboot-time", "0.5" });
        ASSERT_TRUE(started.ok());
        devsim = std::move(started.value());
        for (int i = 0; i < 2; ++i)
            ASSERT_TRUE(devsim.readLine(10s).ok());
        search();
    }

    void TearDown() override
    {
        binding.reset();
        window.reset();
        view.reset();
        if (devsim.running()) {
            devsim.terminate();
            devsim.wait(5s);
        }
    }

    void search()
    {
        view->networkSearch(true);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !view->searching(); }, 10000));
        ASSERT_EQ(widget->list()->rowCount(), 2);
    }

    // Whether a line of the system log holds each of `parts`.
    bool logged(std::initializer_list<std::string> parts) const
    {
        for (const auto& row : log.rows()) {
            bool all = true;
            for (const auto& part : parts)
                all = all && row.message.find(part) != std::string::npos;
            if (all)
                return true;
        }
        return false;
    }

    std::string logText() const
    {
        std::string text;
        for (const auto& row : log.rows())
            text += row.message + "\n";
        return text;
    }

    int rowOf(const std::string& address) const
    {
        for (int row = 0; row < widget->list()->rowCount(); ++row)
            if (widget->list()->cellText(row, devmgmt::kColumnIp) == address)
                return row;
        return -1;
    }

    void doubleClickRow(int row)
    {
        auto* list = widget->list();
        const QRect cell = list->visualItemRect(list->topLevelItem(row));
        const QPoint at(cell.left() + 80, cell.center().y());
        // A user's double-click: a click, then the second press that Qt
        // reports as the double-click.
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
        QTest::mousePress(list->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
    }

    widgets::QtEventLoop loop;
    widgets::QtPrompter prompter;
    shell::SystemLog log { loop.clock() };
    shell::NavigationTree tree;
    shell::FrameModel frame;
    std::unique_ptr<gui::QtDeviceDialogs> dialogs;
    std::unique_ptr<devmgmt::DeviceView> view;
    std::unique_ptr<gui::MainWindow> window;
    gui::DeviceViewWidget* widget = nullptr;
    gui::WebViewPane* webPane = nullptr;
    std::unique_ptr<gui::DeviceSetupBinding> binding;
    platform::ChildProcess devsim;
    testing_support::TempDir dir;
};

} // namespace

TEST_F(SetupGuiTest, DoubleClickEditSubmitRefreshesTheRowAndSearchesAgain)
{
    const int row = rowOf("127.0.0.11");
    ASSERT_GE(row, 0);
    bool sheetSeen = false;
    bool refusedSeen = false;
    onModal([&](QWidget* sheet) {
        sheetSeen = sheet->objectName() == "DeviceSetup";
        EXPECT_EQ(sheet->windowTitle(), "Device Setup");
        auto* pages = sheet->findChild<QTabWidget*>("pages");
        ASSERT_NE(pages, nullptr);
        EXPECT_EQ(pages->tabText(0), "Network Setting");
        EXPECT_EQ(pages->tabText(1), "Serial Port Setting");
        EXPECT_FALSE(sheet->findChild<QPushButton*>("password")->isVisible());
        EXPECT_EQ(sheet->findChild<QLineEdit*>("item2")->text(), "02-44-53-00-00-02");
        // A space first: refused, the sheet stays open.
        typeInto(sheet, "item1", "gui name");
        onModal(
            [&, sheet](QWidget* box) {
                auto* message = qobject_cast<QMessageBox*>(box);
                ASSERT_NE(message, nullptr);
                refusedSeen = message->windowTitle() == "Error Info";
                answer(box, QMessageBox::Ok);
                QTimer::singleShot(50, sheet, [sheet] {
                    EXPECT_TRUE(sheet->isVisible());
                    typeInto(sheet, "item1", "GuiName");
                    typeInto(sheet, "item7", "4321");
                    sheet->findChild<QTabWidget*>("pages")->setCurrentIndex(1);
                    auto* baud = sheet->findChild<QComboBox*>("item36");
                    baud->setCurrentIndex(4);
                    emit baud->activated(4);
                    onModal(
                        [](QWidget* question) {
                            auto* message = qobject_cast<QMessageBox*>(question);
                            ASSERT_NE(message, nullptr);
                            EXPECT_EQ(message->windowTitle(), "Device Setup");
                            answer(question, QMessageBox::Yes);
                        },
                        sheet);
                    QTest::mouseClick(sheet->findChild<QPushButton*>("submit"), Qt::LeftButton);
                });
            },
            sheet);
        QTest::mouseClick(sheet->findChild<QPushButton*>("submit"), Qt::LeftButton);
    });
    doubleClickRow(row);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return widget->list()->cellText(row, devmgmt::kColumnName) == "GuiName"; }, 10000));
    EXPECT_TRUE(sheetSeen);
    EXPECT_TRUE(refusedSeen);
    EXPECT_EQ(widget->list()->cellText(row, devmgmt::kColumnPort), "4321");
    EXPECT_EQ(widget->list()->rowTextColour(row), QColor(0, 176, 0));
    EXPECT_FALSE(widget->button(devmgmt::Button::Search)->isEnabled());
    // The log says what went to which device and that it answered.
    EXPECT_TRUE(logged({ "Setup: sent the settings", "name GuiName", "data port 4321", "serial 19200 8N1, flow none",
        "to device 02-44-53-00-00-02 at 127.0.0.11", "accepted" }))
        << logText();
    EXPECT_TRUE(logged({ "Search (broadcast Query", "2 devices found" })) << logText();

    // Reboot period 1 and one device: the list is cleared and searched again
    // after two seconds; the device then answers with its new settings.
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->searching(); }, 5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view->searching(); }, 10000));
    const int again = rowOf("127.0.0.11");
    ASSERT_GE(again, 0);
    EXPECT_EQ(widget->list()->cellText(again, devmgmt::kColumnName), "GuiName");
    EXPECT_EQ(widget->list()->cellText(again, devmgmt::kColumnPort), "4321");
}

// A device that went away: the setup's query times out and the log says
// that nothing was sent; a search then says nobody answered.
TEST_F(SetupGuiTest, TheLogSaysWhenTheDeviceDoesNotAnswer)
{
    const int row = rowOf("127.0.0.10");
    ASSERT_GE(row, 0);
    devsim.terminate();
    devsim.wait(5s);
    bool told = false;
    onModal([&](QWidget* sheet) {
        onModal(
            [&, sheet](QWidget* question) {
                answer(question, QMessageBox::Yes);
                onModal(
                    [&](QWidget* box) {
                        told = qobject_cast<QMessageBox*>(box)->text().contains("disconnected");
                        answer(box, QMessageBox::Ok);
                    },
                    sheet);
            },
            sheet);
        QTest::mouseClick(sheet->findChild<QPushButton*>("submit"), Qt::LeftButton);
    });
    doubleClickRow(row);
    ASSERT_TRUE(QTest::qWaitFor([&] { return told; }, 15000));
    EXPECT_TRUE(logged({ "Setup: device 02-44-53-00-00-01 at 127.0.0.10", "did not answer", "nothing was sent" }))
        << logText();

    view->setPeriods({ 1, 15, 1 });
    onModal([](QWidget* box) { answer(box, QMessageBox::Ok); }); // "No devices found!"
    view->networkSearch(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view->searching(); }, 10000));
    EXPECT_TRUE(logged({ "Search (broadcast Query", "no device answered within 1 s" })) << logText();
}

TEST_F(SetupGuiTest, WebBrowserShowsTheDevicePageEmbeddedOrInTheExternalBrowser)
{
    const int row = rowOf("127.0.0.10");
    view->setChecked(static_cast<std::size_t>(row), true);
#if SUITE_HAVE_WEBENGINE
    QTest::mouseClick(widget->button(devmgmt::Button::WebBrowser), Qt::LeftButton);
    EXPECT_EQ(frame.bottom(), shell::BottomView::Web);
    auto* browser = qobject_cast<QWebEngineView*>(webPane->browser());
    ASSERT_NE(browser, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return browser->title() == "DS-0001"; }, 15000))
        << browser->title().toStdString();
#endif

    // The external browser: xdg-open hands the address to $BROWSER, here
    // curl fetching the page into a file.
    const std::string script = dir.path() + "/browser.sh";
    const std::string page = dir.path() + "/page.html";
    dir.write("browser.sh", "#!/bin/sh\ncurl -s -o '" + page + "' \"$1\"\n");
    ASSERT_EQ(std::system(("chmod +x '" + script + "'").c_str()), 0);
    qputenv("BROWSER", script.c_str());
    widget->externalBrowserBox()->click();
    EXPECT_TRUE(view->useExternalBrowser());
    QTest::mouseClick(widget->button(devmgmt::Button::WebBrowser), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            std::ifstream in(page);
            std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            return text.find("127.0.0.10") != std::string::npos && text.find("DS-0001") != std::string::npos;
        },
        10000));
}
