#include "utility/gui/navigation_panel.h"

#include "widgets/nav_button.h"

#include <QMenu>
#include <QPainter>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace utility::gui {

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
    m_treeWidget = new QTreeWidget(this);
    m_treeWidget->setObjectName(QStringLiteral("portTree"));
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
    for (const auto& child : m_tree.children())
        new QTreeWidgetItem(root, QStringList(QString::fromStdString(child)));
    root->setExpanded(m_tree.expanded());
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
