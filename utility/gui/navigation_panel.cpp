#include "utility/gui/navigation_panel.h"

#include "widgets/nav_button.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace utility::gui {

QMimeData* deviceMimeData(int row, const std::string& ip)
{
    auto* data = new QMimeData;
    data->setData(QString::fromLatin1(kDeviceMimeType), QByteArray::number(row) + ' ' + QByteArray::fromStdString(ip));
    data->setText(QString::fromStdString(ip));
    return data;
}

PortTree::PortTree(QWidget* parent)
    : QTreeWidget(parent)
{
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDropIndicatorShown(false);
}

QTreeWidgetItem* PortTree::portItemAt(const QPoint& position) const
{
    QTreeWidgetItem* item = itemAt(position);
    // Port items are the root's children; the root itself takes no device.
    return item && item->parent() ? item : nullptr;
}

void PortTree::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasFormat(QString::fromLatin1(kDeviceMimeType)))
        event->acceptProposedAction();
    else
        event->ignore();
}

void PortTree::dragMoveEvent(QDragMoveEvent* event)
{
    QTreeWidgetItem* item = portItemAt(event->position().toPoint());
    // A connected port ("COM3 (address)") takes no other device: it is not
    // shown as accepting one.
    if (!item || item->text(0).contains(QLatin1Char('('))
        || !event->mimeData()->hasFormat(QString::fromLatin1(kDeviceMimeType))) {
        event->ignore();
        return;
    }
    setCurrentItem(item);
    event->acceptProposedAction();
}

void PortTree::dropEvent(QDropEvent* event)
{
    QTreeWidgetItem* item = portItemAt(event->position().toPoint());
    const QByteArray payload = event->mimeData()->data(QString::fromLatin1(kDeviceMimeType));
    const auto space = payload.indexOf(' ');
    if (!item || !m_drop || space <= 0) {
        event->ignore();
        return;
    }
    bool numeric = false;
    const int row = payload.left(space).toInt(&numeric);
    if (!numeric) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    // The connection may show message boxes: they open once the drag's own
    // event loop has ended.
    const std::string ip = payload.mid(space + 1).toStdString();
    const std::string text = item->text(0).toStdString();
    QTimer::singleShot(0, this, [drop = m_drop, row, ip, text] { (void)drop(row, ip, text); });
}

NavigationPanel::NavigationPanel(shell::FrameModel& frame, shell::NavigationTree& tree, QWidget* parent)
    : QWidget(parent)
    , m_frame(frame)
    , m_tree(tree)
{
    setObjectName(QStringLiteral("NavigationPanel"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(2);
    for (const auto& info : shell::navigationButtons()) {
        auto* button
            = new widgets::NavButton(QString::fromLatin1(info.text), QString::fromLatin1(info.description), this);
        button->setObjectName(QStringLiteral("nav%1").arg(info.control));
        const int control = info.control;
        if (control == shell::FrameModel::kTerminalButton) {
            button->setCheckable(true);
            connect(button, &QPushButton::toggled, this, [this](bool on) { m_frame.setTerminalChecked(on); });
        } else {
            connect(button, &QPushButton::clicked, this, [this, control] { m_frame.clickViewButton(control); });
        }
        layout->addWidget(button);
        m_buttons[control] = button;
    }
    m_treeWidget = new PortTree(this);
    m_treeWidget->setObjectName(QStringLiteral("portTree"));
    m_treeWidget->setAccessibleName(QStringLiteral("Virtual COM Port Items"));
    m_treeWidget->setHeaderHidden(true);
    m_treeWidget->setMinimumHeight(60);
    m_treeWidget->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_treeWidget, &QTreeWidget::customContextMenuRequested, this, &NavigationPanel::showContextMenu);
    layout->addWidget(m_treeWidget, 1);
    refresh();
}

void NavigationPanel::refresh()
{
    for (auto& [control, button] : m_buttons) {
        if (control == shell::FrameModel::kTerminalButton) {
            const QSignalBlocker block(button);
            button->setChecked(m_frame.terminalChecked());
        } else {
            button->setHighlighted(control == m_frame.highlightedButton());
        }
    }
    m_treeWidget->clear();
    if (!m_tree.hasRoot())
        return;
    auto* root = new QTreeWidgetItem(m_treeWidget, QStringList(QString::fromLatin1(shell::NavigationTree::kRootText)));
    for (const auto& child : m_tree.children()) {
        // A connected port's details may be wider than the column.
        auto* item = new QTreeWidgetItem(root, QStringList(QString::fromStdString(child)));
        item->setToolTip(0, item->text(0));
    }
    root->setExpanded(m_tree.expanded());
    if (m_fitHeight > 0)
        fitHeight(m_fitHeight);
}

void NavigationPanel::fitHeight(int height)
{
    m_fitHeight = height;
    // The tree wants its root and at least four ports in view.
    const int rowHeight = std::max(m_treeWidget->fontMetrics().height() + 4, 18);
    const int rows = 1 + std::max<int>(4, static_cast<int>(m_tree.children().size()));
    const int treeWanted = rows * rowHeight + 2 * m_treeWidget->frameWidth() + 4;
    const QMargins margins = layout()->contentsMargins();
    const int buttonWidth = std::max(60, width() - margins.left() - margins.right());
    int buttons = margins.top() + margins.bottom() + layout()->spacing() * static_cast<int>(m_buttons.size());
    for (const auto& [control, button] : m_buttons)
        buttons += button->fullHeightForWidth(buttonWidth);
    const bool compact = height < buttons + treeWanted;
    if (compact == m_compact)
        return;
    m_compact = compact;
    for (const auto& [control, button] : m_buttons)
        button->setCompact(compact);
}

shell::TreeMenuEntry NavigationPanel::menuEntryFor(QTreeWidgetItem* item) const
{
    return item ? shell::treeMenuEntryFor(item->text(0).toStdString()) : shell::TreeMenuEntry::None;
}

void NavigationPanel::runMenuEntry(QTreeWidgetItem* item)
{
    if (!item)
        return;
    const std::string text = item->text(0).toStdString();
    const std::string name = shell::portNameOf(text);
    switch (shell::treeMenuEntryFor(text)) {
    case shell::TreeMenuEntry::Create:
        if (m_actions.createPort)
            m_actions.createPort();
        break;
    case shell::TreeMenuEntry::Close:
        if (m_actions.closePort && m_actions.closePort(name))
            m_tree.set(name);
        break;
    case shell::TreeMenuEntry::Remove:
        if (m_actions.removePort && m_actions.removePort(name))
            m_tree.remove(name);
        break;
    case shell::TreeMenuEntry::None:
        break;
    }
    refresh();
}

void NavigationPanel::showContextMenu(const QPoint& position)
{
    QTreeWidgetItem* item = m_treeWidget->itemAt(position);
    const shell::TreeMenuEntry entry = menuEntryFor(item);
    if (entry == shell::TreeMenuEntry::None)
        return;
    m_treeWidget->setCurrentItem(item);
    QMenu menu(this);
    QAction* action = menu.addAction(QString::fromLatin1(shell::treeMenuEntryText(entry)));
    m_treeWidget->setEnabled(false);
    QAction* chosen = menu.exec(m_treeWidget->viewport()->mapToGlobal(position));
    m_treeWidget->setEnabled(true);
    if (chosen == action)
        runMenuEntry(item);
}

void NavigationPanel::paintEvent(QPaintEvent*)
{
    // A small tile repeated over the whole panel.
    static const QPixmap tile = [] {
        QPixmap pixmap(36, 36);
        pixmap.fill(QColor(222, 228, 238));
        QPainter painter(&pixmap);
        painter.setPen(QColor(210, 218, 232));
        painter.drawLine(0, 35, 35, 0);
        return pixmap;
    }();
    QPainter painter(this);
    painter.drawTiledPixmap(rect(), tile);
}

} // namespace utility::gui
