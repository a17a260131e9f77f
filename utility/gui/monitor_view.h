#pragma once

#include "utility/devmgmt/device_monitor.h"

#include <QWidget>

class QLineEdit;
class QPushButton;
class QSplitter;

namespace widgets {
class ReportList;
}

namespace utility::gui {

class MonitorCharts;

// The device monitor page: "Start"/"Stop", the "Monitor Time Interval" field
// and the list of monitored devices, bound to the monitor's controller, with
// a chart of the byte rates of each device selected in the list beside it.
class MonitorView final : public QWidget {
    Q_OBJECT
public:
    explicit MonitorView(devmgmt::DeviceMonitor& monitor, QWidget* parent = nullptr);

    // Redraws everything from the controller.
    void refresh();

    QPushButton* startButton() const { return m_start; }
    QLineEdit* intervalEdit() const { return m_interval; }
    widgets::ReportList* list() const { return m_list; }
    MonitorCharts* charts() const { return m_charts; }

private:
    devmgmt::DeviceMonitor& m_monitor;
    QPushButton* m_start;
    QLineEdit* m_interval;
    widgets::ReportList* m_list;
    MonitorCharts* m_charts;

    void updateCharts();
};

} // namespace utility::gui
