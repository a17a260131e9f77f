#include "utility/gui/monitor_view.h"

#include "utility/gui/monitor_chart.h"
#include "widgets/report_list.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QSplitter>
#include <QTreeWidgetItem>
#include <QVBoxLayout>

namespace utility::gui {

MonitorView::MonitorView(devmgmt::DeviceMonitor& monitor, QWidget* parent)
    : QWidget(parent)
    , m_monitor(monitor)
{
    setObjectName(QStringLiteral("MonitorView"));
    auto* layout = new QVBoxLayout(this);
    auto* controls = new QHBoxLayout;
    m_start = new QPushButton(QStringLiteral("Start"), this);
    m_start->setObjectName(QStringLiteral("start"));
    auto* label = new QLabel(QStringLiteral("Monitor Time Interval"), this);
    m_interval = new QLineEdit(this);
    m_interval->setObjectName(QStringLiteral("interval"));
    m_interval->setMaxLength(4);
    m_interval->setFixedWidth(60);
    m_interval->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,4}")), m_interval));
    auto* note = new QLabel(QString::fromLatin1(devmgmt::kMonitorIntervalNote), this);
    controls->addWidget(m_start);
    controls->addSpacing(20);
    controls->addWidget(label);
    controls->addWidget(m_interval);
    controls->addWidget(note);
    controls->addStretch();
    layout->addLayout(controls);

    m_list = new widgets::ReportList(this);
    m_list->setObjectName(QStringLiteral("monitorList"));
    std::vector<widgets::ReportList::Column> columns;
    for (const auto& column : devmgmt::monitorColumns())
        columns.push_back({ column.title, column.width });
    m_list->setColumns(columns, false);
    m_list->header()->setDefaultAlignment(Qt::AlignCenter);
    // Several devices may be charted at once.
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_charts = new MonitorCharts(this);
    auto* splitter = new QSplitter(Qt::Horizontal, this);
    splitter->setObjectName(QStringLiteral("monitorSplitter"));
    splitter->addWidget(m_list);
    splitter->addWidget(m_charts);
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 1);
    layout->addWidget(splitter, 1);
    connect(m_list, &QTreeWidget::itemSelectionChanged, this, [this] { updateCharts(); });

    connect(m_start, &QPushButton::clicked, this, [this] { m_monitor.clickStart(); });
    // Corrected and stored when the field is left (Enter, or the focus
    // going elsewhere, such as to "Start"): correcting every keystroke made
    // the "1" of "10" a 3 before the 0 was typed.
    connect(m_interval, &QLineEdit::editingFinished, this, [this] {
        const unsigned corrected = m_monitor.editInterval(m_interval->text().toStdString());
        if (m_interval->text() != QString::number(corrected))
            m_interval->setText(QString::number(corrected));
    });
    refresh();
}

void MonitorView::refresh()
{
    std::vector<widgets::ReportList::Row> rows;
    for (const auto& row : m_monitor.rows()) {
        widgets::ReportList::Row item;
        item.texts.assign(row.texts.begin(), row.texts.end());
        item.background = QColor(row.background.red, row.background.green, row.background.blue);
        rows.push_back(std::move(item));
    }
    m_list->setRows(rows);
    for (int r = 0; r < m_list->topLevelItemCount(); ++r)
        for (int c = 0; c < devmgmt::kMonitorColumnCount; ++c)
            m_list->topLevelItem(r)->setTextAlignment(c, Qt::AlignCenter);
    m_start->setText(QString::fromLatin1(m_monitor.startLabel()));
    m_start->setEnabled(m_monitor.running() || m_monitor.startEnabled());
    if (!m_interval->hasFocus())
        m_interval->setText(QString::number(m_monitor.interval()));
    updateCharts();
}

void MonitorView::updateCharts()
{
    std::vector<MonitorCharts::Device> devices;
    const auto& rows = m_monitor.rows();
    for (int r = 0; r < m_list->topLevelItemCount() && r < static_cast<int>(rows.size()); ++r) {
        if (!m_list->topLevelItem(r)->isSelected())
            continue;
        const auto& texts = rows[static_cast<std::size_t>(r)].texts;
        devices.push_back({ texts[devmgmt::kMonitorNumber], texts[devmgmt::kMonitorIp], texts[devmgmt::kMonitorName] });
    }
    m_charts->show(devices, m_monitor.history());
}

} // namespace utility::gui
