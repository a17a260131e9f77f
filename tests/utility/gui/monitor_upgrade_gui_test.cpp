#include "tests/support/scripted_prompter.h"
#include "utility/devmgmt/device_monitor.h"
#include "utility/gui/device_commands_binding.h"
#include "utility/gui/monitor_chart.h"
#include "utility/gui/monitor_view.h"
#include "widgets/qt_event_loop.h"
#include "widgets/report_list.h"

#include <QChart>
#include <QLineEdit>
#include <QLineSeries>
#include <QPushButton>
#include <QTest>

#include <QValueAxis>

#include <gtest/gtest.h>

#include <cmath>

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

    // Typed digits stand until the field is left (Enter here); only then is
    // the value corrected and stored.
    struct Case {
        const char* typed;
        const char* shown;
        unsigned stored;
    };
    for (const Case& c : { Case { "10", "10", 10 }, Case { "1", "3", 3 }, Case { "5000", "3600", 3600 } }) {
        view.intervalEdit()->clear();
        QTest::keyClicks(view.intervalEdit(), QString::fromLatin1(c.typed));
        EXPECT_EQ(view.intervalEdit()->text(), QString::fromLatin1(c.typed)) << "while typing " << c.typed;
        QTest::keyClick(view.intervalEdit(), Qt::Key_Return);
        EXPECT_EQ(view.intervalEdit()->text(), QString::fromLatin1(c.shown)) << c.typed;
        ASSERT_FALSE(stored.empty());
        EXPECT_EQ(stored.back(), c.stored) << c.typed;
    }

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
    // Typing "20" passes through 2, and the field may be emptied on the way
    // to a new value: corrected only when left or accepted.
    dialog.periodEdit()->clear();
    EXPECT_EQ(dialog.periodEdit()->text(), QString());
    QTest::keyClicks(dialog.periodEdit(), QStringLiteral("20"));
    EXPECT_EQ(dialog.periodEdit()->text(), QStringLiteral("20"));
    dialog.periodEdit()->clear();
    QTest::keyClicks(dialog.periodEdit(), QStringLiteral("5"));
    EXPECT_EQ(dialog.periodEdit()->text(), QStringLiteral("5"));
    QTest::keyClick(dialog.periodEdit(), Qt::Key_Return);
    EXPECT_EQ(dialog.periodEdit()->text(), QStringLiteral("10"));
    dialog.periodEdit()->clear();

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

TEST(MonitorViewGui, EachSelectedDeviceGetsARateChart)
{
    widgets::QtEventLoop loop;
    testing_support::ScriptedPrompter prompter;
    devmgmt::DeviceMonitor monitor(loop, prompter);
    ASSERT_TRUE(monitor.create("127.0.0.1"));
    gui::MonitorView view(monitor);
    monitor.setChangedCallback([&](int) { view.refresh(); });
    monitor.rebuild({ { 1, "DS-2", "127.0.0.11" }, { 4, "DS-5", "127.0.0.14" }, { 5, "DS-6", "127.0.0.15" } });
    EXPECT_EQ(view.charts()->chartCount(), 0);

    view.list()->topLevelItem(0)->setSelected(true);
    view.list()->topLevelItem(2)->setSelected(true);
    ASSERT_EQ(view.charts()->chartCount(), 2);
    EXPECT_EQ(view.charts()->chart(0)->title(), QStringLiteral("NO. 1  DS-2  127.0.0.11"));
    EXPECT_EQ(view.charts()->chart(1)->title(), QStringLiteral("NO. 5  DS-6  127.0.0.15"));
    EXPECT_EQ(view.charts()->txSeries(0)->count(), 0) << "no rate before two answers";
    EXPECT_EQ(view.charts()->rxSeries(1)->name(), QStringLiteral("RX bytes/s"));
    // Every tick falls on a value its whole-number label shows exactly (no
    // 3 for 3.33).
    for (auto orientation : { Qt::Horizontal, Qt::Vertical }) {
        auto* axis = qobject_cast<QValueAxis*>(view.charts()->chart(0)->axes(orientation).value(0));
        ASSERT_NE(axis, nullptr);
        ASSERT_EQ(axis->tickType(), QValueAxis::TicksDynamic) << orientation;
        ASSERT_GE(axis->tickInterval(), 1.0);
        int ticks = 0;
        for (double tick = axis->tickAnchor(); tick <= axis->max() + 1e-9; tick += axis->tickInterval()) {
            if (tick >= axis->min() - 1e-9)
                ++ticks;
            EXPECT_EQ(tick, std::round(tick)) << orientation;
        }
        EXPECT_GE(ticks, 2) << orientation;
        EXPECT_LE(ticks, 6) << orientation;
    }
    // A refresh keeps the charts of the devices still selected.
    QChart* kept = view.charts()->chart(1);
    view.list()->topLevelItem(0)->setSelected(false);
    view.refresh();
    ASSERT_EQ(view.charts()->chartCount(), 1);
    EXPECT_EQ(view.charts()->chart(0), kept);
    view.list()->clearSelection();
    EXPECT_EQ(view.charts()->chartCount(), 0);
}
