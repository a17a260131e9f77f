#include "tests/support/scripted_prompter.h"
#include "utility/devmgmt/device_monitor.h"
#include "utility/gui/device_commands_binding.h"
#include "utility/gui/monitor_view.h"
#include "widgets/qt_event_loop.h"
#include "widgets/report_list.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

using namespace utility;

TEST(MonitorViewGui, TypedIntervalIsCorrectedAndStartFollowsTheList)
{
    widgets::QtEventLoop loop;
    testing_support::ScriptedPrompter prompter;
    devmgmt::DeviceMonitor monitor(loop, prompter);
    std::vector<unsigned> stored;
    monitor.setIntervalSink([&](unsigned seconds) { stored.push_back(seconds); });
    ASSERT_TRUE(monitor.create("127.0.0.1"));
    gui::MonitorView view(monitor);
    monitor.setChangedCallback([&](int) { view.refresh(); });
    EXPECT_FALSE(view.startButton()->isEnabled());

    view.intervalEdit()->clear();
    QTest::keyClicks(view.intervalEdit(), QStringLiteral("5000"));
    EXPECT_EQ(view.intervalEdit()->text(), QStringLiteral("3600"));
    EXPECT_EQ(stored.back(), 3600u);

    monitor.rebuild({ { 3, "DS-4", "127.0.0.13" } });
    ASSERT_EQ(view.list()->rowCount(), 1);
    EXPECT_EQ(view.list()->cellText(0, devmgmt::kMonitorNumber), "3");
    EXPECT_EQ(view.list()->rowBackground(0), QColor(215, 215, 230));
    EXPECT_TRUE(view.startButton()->isEnabled());
    view.startButton()->click();
    EXPECT_EQ(view.startButton()->text(), QStringLiteral("Stop"));
    EXPECT_EQ(view.list()->cellText(0, devmgmt::kMonitorStatus), "Querying");
    view.startButton()->click();
    EXPECT_EQ(view.startButton()->text(), QStringLiteral("Start"));
}

TEST(FirmwareUpgradeDialogGui, PeriodIsCorrectedAndUnusableValuesKeepItOpen)
{
    testing_support::ScriptedPrompter prompter;
    devmgmt::UpgradeSettings settings { 20, "0.0.0.0", "fw.bin" };
    gui::FirmwareUpgradeDialog dialog(settings, prompter);
    dialog.show();
    dialog.periodEdit()->clear();
    QTest::keyClicks(dialog.periodEdit(), QStringLiteral("5"));
    EXPECT_EQ(dialog.periodEdit()->text(), QStringLiteral("10"));

    auto* upgrade = dialog.findChild<QPushButton*>(QStringLiteral("upgradeFirmware"));
    ASSERT_NE(upgrade, nullptr);
    upgrade->click();
    EXPECT_EQ(prompter.messages().back(), "Invalid TFTP Server IP address!");
    EXPECT_TRUE(dialog.isVisible());
    dialog.serverEdit()->setText(QStringLiteral("10.0.0.2"));
    dialog.fileEdit()->clear();
    upgrade->click();
    EXPECT_EQ(prompter.messages().back(), "File name is empty!");
    EXPECT_TRUE(dialog.isVisible());
    dialog.fileEdit()->setText(QStringLiteral("new.bin"));
    upgrade->click();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(settings.period, 10);
    EXPECT_EQ(settings.server, "10.0.0.2");
    EXPECT_EQ(settings.fileName, "new.bin");
}
