#pragma once

#include "utility/devmgmt/monitor_history.h"

#include <QWidget>

#include <string>
#include <vector>

class QLabel;
class QVBoxLayout;
class QChart;
class QChartView;
class QLineSeries;
class QValueAxis;

namespace utility::gui {

// Beside the monitor's list: one chart per selected device of its transmit
// and receive byte rates over the last cycles.
class MonitorCharts final : public QWidget {
    Q_OBJECT
public:
    explicit MonitorCharts(QWidget* parent = nullptr);
    ~MonitorCharts() override;

    // The devices to chart, by the rows' "NO.", "IP" and name, and the
    // history their rates come from.
    struct Device {
        std::string number;
        std::string ip;
        std::string name;
    };
    void show(const std::vector<Device>& devices, const devmgmt::MonitorHistory& history);

    int chartCount() const { return static_cast<int>(m_charts.size()); }
    QChart* chart(int i) const;
    QLineSeries* txSeries(int i) const;
    QLineSeries* rxSeries(int i) const;

private:
    struct Chart {
        Device device;
        QChartView* view = nullptr;
        QLineSeries* tx = nullptr;
        QLineSeries* rx = nullptr;
        QValueAxis* x = nullptr;
        QValueAxis* y = nullptr;
    };
    Chart makeChart(const Device& device);
    static void fill(Chart& chart, const devmgmt::MonitorHistory& history);

    QVBoxLayout* m_layout;
    QLabel* m_hint;
    std::vector<Chart> m_charts;
};

} // namespace utility::gui
