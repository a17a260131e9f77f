#include "utility/gui/system_log_widget.h"

#include <QHeaderView>
#include <QLabel>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace utility::gui {

SystemLogWidget::SystemLogWidget(shell::SystemLog& log, QWidget* parent)
    : QWidget(parent)
    , m_log(log)
{
    setObjectName(QStringLiteral("SystemLog"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->addWidget(new QLabel(QStringLiteral("System Log"), this));
    m_list = new QTreeWidget(this);
    m_list->setObjectName(QStringLiteral("logList"));
    m_list->setAccessibleName(QStringLiteral("System Log Messages"));
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    // "No, 60; Time, 140; Message, 605"
    m_list->setHeaderLabels({ QStringLiteral("No"), QStringLiteral("Time"), QStringLiteral("Message") });
    m_list->setColumnWidth(0, 60);
    m_list->setColumnWidth(1, 140);
    m_list->setColumnWidth(2, 605);
    layout->addWidget(m_list, 1);
    refresh();
}

void SystemLogWidget::refresh()
{
    m_list->clear();
    for (const auto& row : m_log.rows()) {
        // The time cell ends in " \r\n"; a one-line list shows it without the break.
        QString time = QString::fromStdString(row.time);
        while (time.endsWith(QLatin1Char('\n')) || time.endsWith(QLatin1Char('\r')))
            time.chop(1);
        new QTreeWidgetItem(m_list, { QString::fromStdString(row.number), time, QString::fromStdString(row.message) });
    }
    m_list->scrollToBottom();
}

} // namespace utility::gui
