#pragma once

#include "utility/shell/navigation.h"

#include <QTreeWidget>
#include <QWidget>

#include <functional>
#include <map>
#include <optional>

class QMimeData;

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

// A device dropped onto a port item: the device list's row and its IP text
// as the drag carried them. Returns the item's new text when the port
// connected.
using DeviceDrop = std::function<std::optional<std::string>(int row, const std::string& ip, const std::string& item)>;

// The MIME type of a device row being dragged ("<row> <ip>").
inline constexpr const char* kDeviceMimeType = "application/x-qelta-device";
QMimeData* deviceMimeData(int row, const std::string& ip);

// The port tree: takes device rows dropped on its port items, highlighting
// the item under the pointer while a device is dragged over it.
class PortTree final : public QTreeWidget {
    Q_OBJECT
public:
    explicit PortTree(QWidget* parent = nullptr);
    void setDeviceDrop(DeviceDrop drop) { m_drop = std::move(drop); }

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    QTreeWidgetItem* portItemAt(const QPoint& position) const;

    DeviceDrop m_drop;
};

// The navigation panel: six buttons switching the views, and the tree of
// virtual COM ports with its context menu.
class NavigationPanel final : public QWidget {
    Q_OBJECT
public:
    NavigationPanel(shell::FrameModel& frame, shell::NavigationTree& tree, QWidget* parent = nullptr);

    void setTreeActions(TreeActions actions) { m_actions = std::move(actions); }
    void setDeviceDrop(DeviceDrop drop) { m_treeWidget->setDeviceDrop(std::move(drop)); }
    // Fits the panel into `height`: the buttons drop their descriptions when
    // they would leave the tree too little room.
    void fitHeight(int height);
    bool compact() const { return m_compact; }
    // Redraws buttons and tree from the models.
    void refresh();
    widgets::NavButton* button(int control) const { return m_buttons.at(control); }
    PortTree* tree() const { return m_treeWidget; }
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
    PortTree* m_treeWidget;
    bool m_compact = false;
    int m_fitHeight = 0;
};

} // namespace utility::gui
