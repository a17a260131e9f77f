#pragma once

#include "utility/shell/navigation.h"

#include <QWidget>

#include <functional>
#include <map>

class QTreeWidget;
class QTreeWidgetItem;

namespace widgets {
class NavButton;
}

namespace utility::gui {

// What the tree's context menu entries do; each returns true on success.
struct TreeActions {
    std::function<void()> createPort;
    std::function<bool(const std::string& name)> closePort;
    std::function<bool(const std::string& name)> removePort;
};

// The navigation panel: six buttons switching the views, and the tree of
// virtual COM ports with its context menu.
class NavigationPanel final : public QWidget {
    Q_OBJECT
public:
    NavigationPanel(shell::FrameModel& frame, shell::NavigationTree& tree, QWidget* parent = nullptr);

    void setTreeActions(TreeActions actions) { m_actions = std::move(actions); }
    // Redraws buttons and tree from the models.
    void refresh();
    widgets::NavButton* button(int control) const { return m_buttons.at(control); }
    QTreeWidget* tree() const { return m_treeWidget; }
    // The context menu entry an item would show (for the menu and for tests).
    shell::TreeMenuEntry menuEntryFor(QTreeWidgetItem* item) const;
    // Runs the action of an item's entry as if chosen from its menu.
    void runMenuEntry(QTreeWidgetItem* item);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void showContextMenu(const QPoint& position);

    shell::FrameModel& m_frame;
    shell::NavigationTree& m_tree;
    TreeActions m_actions;
    std::map<int, widgets::NavButton*> m_buttons;
    QTreeWidget* m_treeWidget;
};

} // namespace utility::gui
