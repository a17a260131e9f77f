#include "utility/gui/monitor_chart.h"

#include <QChart>
#include <QChartView>
#include <QFont>
#include <QLabel>
#include <QLineSeries>
#include <QPainter>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

namespace utility::gui {

namespace {

// A whole 1, 2 or 5 times a power of ten that cuts `span` into at most four
// parts: every tick falls on a value its label shows exactly.
double tickStep(double span)
{
    const double rough = std::max(span / 4, 1.0);
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    for (double factor : { 1.0, 2.0, 5.0 }) {
        if (factor * power >= rough)
            return factor * power;
    }
    return 10 * power;
}

} // namespace

MonitorCharts::MonitorCharts(QWidget* parent)
    : QWidget(parent)
    , m_layout(new QVBoxLayout(this))
    , m_hint(new QLabel(
          QStringLiteral("Select devices in the list to chart\ntheir transmit and receive byte rates."), this))
{
    setObjectName(QStringLiteral("monitorCharts"));
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_hint->setAlignment(Qt::AlignCenter);
    m_layout->addWidget(m_hint);
}

MonitorCharts::~MonitorCharts() = default;

QChart* MonitorCharts::chart(int i) const { return m_charts.at(static_cast<std::size_t>(i)).view->chart(); }
QLineSeries* MonitorCharts::txSeries(int i) const { return m_charts.at(static_cast<std::size_t>(i)).tx; }
QLineSeries* MonitorCharts::rxSeries(int i) const { return m_charts.at(static_cast<std::size_t>(i)).rx; }

MonitorCharts::Chart MonitorCharts::makeChart(const Device& device)
{
    Chart made;
    made.device = device;
    auto* chart = new QChart;
    chart->setTitle(QStringLiteral("NO. %1  %2  %3")
                        .arg(QString::fromStdString(device.number), QString::fromStdString(device.name),
                            QString::fromStdString(device.ip)));
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->setMargins(QMargins(4, 4, 4, 4));
    made.tx = new QLineSeries(chart);
    made.tx->setName(QStringLiteral("TX bytes/s"));
    made.rx = new QLineSeries(chart);
    made.rx->setName(QStringLiteral("RX bytes/s"));
    chart->addSeries(made.tx);
    chart->addSeries(made.rx);
    made.x = new QValueAxis(chart);
    made.x->setTitleText(QStringLiteral("seconds since Start"));
    made.x->setLabelFormat(QStringLiteral("%d"));
    made.y = new QValueAxis(chart);
    made.y->setLabelFormat(QStringLiteral("%.0f"));
    // Small labels and few ticks, so that a chart beside the list still
    // has room to show its numbers.
    QFont small = made.x->labelsFont();
    small.setPointSize(7);
    for (auto* axis : { made.x, made.y }) {
        axis->setLabelsFont(small);
        axis->setTitleFont(small);
        axis->setTickType(QValueAxis::TicksDynamic);
    }
    chart->legend()->setFont(small);
    chart->addAxis(made.x, Qt::AlignBottom);
    chart->addAxis(made.y, Qt::AlignLeft);
    for (auto* series : { made.tx, made.rx }) {
        series->attachAxis(made.x);
        series->attachAxis(made.y);
    }
    made.view = new QChartView(chart, this);
    made.view->setRenderHint(QPainter::Antialiasing);
    made.view->setMinimumSize(300, 170);
    return made;
}

void MonitorCharts::fill(Chart& chart, const devmgmt::MonitorHistory& history)
{
    QList<QPointF> tx;
    QList<QPointF> rx;
    double top = 0;
    if (const auto* device = history.device(chart.device.number, chart.device.ip)) {
        for (const auto& point : device->rates) {
            tx.append({ point.seconds, point.txPerSecond });
            rx.append({ point.seconds, point.rxPerSecond });
            top = std::max({ top, point.txPerSecond, point.rxPerSecond });
        }
    }
    chart.tx->replace(tx);
    chart.rx->replace(rx);
    const double first = tx.isEmpty() ? 0 : tx.front().x();
    const double last = tx.isEmpty() ? 0 : tx.back().x();
    chart.x->setRange(first, std::max(last, first + 1));
    const double xStep = tickStep(std::max(last, first + 1) - first);
    chart.x->setTickAnchor(std::floor(first / xStep) * xStep);
    chart.x->setTickInterval(xStep);
    // Headroom over the highest rate, and a scale even when nothing flows;
    // the scale ends on a tick.
    const double yStep = tickStep(std::max(top * 1.15, 10.0));
    chart.y->setRange(0, std::ceil(std::max(top * 1.15, 10.0) / yStep) * yStep);
    chart.y->setTickAnchor(0);
    chart.y->setTickInterval(yStep);
}

void MonitorCharts::show(const std::vector<Device>& devices, const devmgmt::MonitorHistory& history)
{
    // Keep the charts of devices still shown; make the missing ones.
    std::vector<Chart> kept;
    for (const auto& device : devices) {
        auto same = std::find_if(m_charts.begin(), m_charts.end(),
            [&](const Chart& chart) { return chart.device.number == device.number && chart.device.ip == device.ip; });
        if (same != m_charts.end()) {
            kept.push_back(*same);
            m_charts.erase(same);
        } else {
            kept.push_back(makeChart(device));
        }
    }
    for (auto& stale : m_charts)
        delete stale.view;
    m_charts = std::move(kept);
    for (auto& chart : m_charts) {
        m_layout->removeWidget(chart.view);
        m_layout->addWidget(chart.view, 1);
        fill(chart, history);
    }
    m_hint->setVisible(m_charts.empty());
}

} // namespace utility::gui
