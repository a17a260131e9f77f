#pragma once

#include <QColor>
#include <QTreeWidget>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace widgets {

// A report-style list: fixed columns, optional check box in column 0, and a
// background and text colour per row. Used by the utility's device and port
// lists and by the production-line program's result list.
class ReportList final : public QTreeWidget {
    Q_OBJECT
public:
    struct Column {
        std::string title;
        int width = 80;
    };
    struct Row {
        bool checked = false;
        std::vector<std::string> texts; // one per column
        std::optional<QColor> background;
        std::optional<QColor> text;
    };

    explicit ReportList(QWidget* parent = nullptr);

    void setColumns(const std::vector<Column>& columns, bool checkBoxes);
    // Replaces every row (the list keeps its scroll position and selection
    // where the rows still exist).
    void setRows(const std::vector<Row>& rows);
    int rowCount() const { return topLevelItemCount(); }
    std::string cellText(int row, int column) const;
    bool isChecked(int row) const;
    QColor rowBackground(int row) const;
    QColor rowTextColour(int row) const;

    // Rows become drag sources: `data` gives what a row carries, or nothing
    // when that row may not be dragged now.
    void setDragData(std::function<QMimeData*(int row)> data);
    QMimeData* dragData(int row) const { return m_dragData ? m_dragData(row) : nullptr; }

signals:
    void cellClicked(int row, int column);
    void rowDoubleClicked(int row);
    void checkToggled(int row, bool checked);

protected:
    void startDrag(Qt::DropActions supportedActions) override;

private:
    std::function<QMimeData*(int row)> m_dragData;
    bool m_checkBoxes = false;
    bool m_updating = false;
};

} // namespace widgets
