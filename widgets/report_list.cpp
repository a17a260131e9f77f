#include "widgets/report_list.h"

#include <QDrag>
#include <QHeaderView>
#include <QMimeData>
#include <QPainter>
#include <QStyledItemDelegate>

namespace widgets {
namespace {

// A selected row keeps its own text colour (green after a setup, dark red
// after a restore) on a light highlight; the usual white-on-blue would hide it.
class RowColourDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        const QVariant foreground = index.data(Qt::ForegroundRole);
        if (!foreground.isValid() || foreground.value<QBrush>().style() == Qt::NoBrush)
            return;
        const QColor text = foreground.value<QBrush>().color();
        option->palette.setColor(QPalette::HighlightedText, text);
        option->palette.setColor(QPalette::Highlight, QColor(200, 215, 240));
    }
};

} // namespace

ReportList::ReportList(QWidget* parent)
    : QTreeWidget(parent)
{
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    header()->setStretchLastSection(false);
    header()->setDefaultAlignment(Qt::AlignCenter);
    setItemDelegate(new RowColourDelegate(this));
    connect(this, &QTreeWidget::itemClicked, this,
        [this](QTreeWidgetItem* item, int column) { emit cellClicked(indexOfTopLevelItem(item), column); });
    connect(this, &QTreeWidget::itemDoubleClicked, this,
        [this](QTreeWidgetItem* item, int) { emit rowDoubleClicked(indexOfTopLevelItem(item)); });
    connect(this, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int column) {
        if (m_updating || !m_checkBoxes || column != 0)
            return;
        emit checkToggled(indexOfTopLevelItem(item), item->checkState(0) == Qt::Checked);
    });
}

void ReportList::setColumns(const std::vector<Column>& columns, bool checkBoxes)
{
    m_checkBoxes = checkBoxes;
    QStringList titles;
    for (const auto& column : columns)
        titles << QString::fromStdString(column.title);
    setColumnCount(static_cast<int>(columns.size()));
    setHeaderLabels(titles);
    for (int i = 0; i < static_cast<int>(columns.size()); ++i)
        setColumnWidth(i, columns[static_cast<std::size_t>(i)].width);
}

void ReportList::setRows(const std::vector<Row>& rows)
{
    m_updating = true;
    while (topLevelItemCount() > static_cast<int>(rows.size()))
        delete takeTopLevelItem(topLevelItemCount() - 1);
    for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
        QTreeWidgetItem* item = topLevelItem(i);
        if (!item) {
            item = new QTreeWidgetItem(this);
            if (m_checkBoxes)
                item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        }
        const Row& row = rows[static_cast<std::size_t>(i)];
        for (int column = 0; column < columnCount(); ++column) {
            const auto text = column < static_cast<int>(row.texts.size())
                ? QString::fromStdString(row.texts[static_cast<std::size_t>(column)])
                : QString();
            item->setText(column, text);
            item->setTextAlignment(column, Qt::AlignCenter);
            item->setBackground(column, row.background ? QBrush(*row.background) : QBrush());
            item->setForeground(column, row.text ? QBrush(*row.text) : QBrush());
        }
        if (m_checkBoxes)
            item->setCheckState(0, row.checked ? Qt::Checked : Qt::Unchecked);
    }
    m_updating = false;
}

std::string ReportList::cellText(int row, int column) const
{
    const QTreeWidgetItem* item = topLevelItem(row);
    return item ? item->text(column).toStdString() : std::string();
}

bool ReportList::isChecked(int row) const
{
    const QTreeWidgetItem* item = topLevelItem(row);
    return item && item->checkState(0) == Qt::Checked;
}

QColor ReportList::rowBackground(int row) const
{
    const QTreeWidgetItem* item = topLevelItem(row);
    return item ? item->background(1).color() : QColor();
}

QColor ReportList::rowTextColour(int row) const
{
    const QTreeWidgetItem* item = topLevelItem(row);
    return item ? item->foreground(1).color() : QColor();
}

void ReportList::setDragData(std::function<QMimeData*(int row)> data)
{
    m_dragData = std::move(data);
    setDragEnabled(m_dragData != nullptr);
    setDragDropMode(m_dragData ? QAbstractItemView::DragOnly : QAbstractItemView::NoDragDrop);
}

void ReportList::startDrag(Qt::DropActions)
{
    const int row = currentIndex().isValid() ? currentIndex().row() : -1;
    QMimeData* data = row >= 0 ? dragData(row) : nullptr;
    if (!data)
        return;
    auto* drag = new QDrag(this);
    drag->setMimeData(data);
    // The pointer carries the row's third column (the device list's name).
    const QString label = topLevelItem(row)->text(std::min(2, columnCount() - 1));
    const QFontMetrics metrics(font());
    QPixmap picture(metrics.horizontalAdvance(label) + 12, metrics.height() + 6);
    picture.fill(QColor(255, 255, 225));
    QPainter painter(&picture);
    painter.setPen(QColor(90, 90, 90));
    painter.drawRect(picture.rect().adjusted(0, 0, -1, -1));
    painter.drawText(picture.rect(), Qt::AlignCenter, label);
    painter.end();
    drag->setPixmap(picture);
    drag->exec(Qt::LinkAction | Qt::CopyAction, Qt::LinkAction);
}

} // namespace widgets
