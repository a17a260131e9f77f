#pragma once

#include "utility/shell/system_log.h"

#include <QWidget>

class QTreeWidget;

namespace utility::gui {

// The system log pane: caption and a three-column list bound to the log.
class SystemLogWidget final : public QWidget {
    Q_OBJECT
public:
    SystemLogWidget(shell::SystemLog& log, QWidget* parent = nullptr);
    void refresh();
    QTreeWidget* list() const { return m_list; }

private:
    shell::SystemLog& m_log;
    QTreeWidget* m_list;
};

} // namespace utility::gui
