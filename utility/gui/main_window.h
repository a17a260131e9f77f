#pragma once

#include "utility/shell/navigation.h"
#include "utility/shell/system_log.h"

#include <QMainWindow>

#include <functional>
#include <string>

class QAction;
class QSplitter;
class QStackedWidget;
class QLabel;

namespace platform {
class Prompter;
}

namespace utility::gui {

class NavigationPanel;
class SystemLogWidget;

// What the frame's commands do outside the window itself.
struct FrameActions {
    std::function<void()> help;
    // Help on one view: its section of the help page ("devices", "terminal", ...).
    std::function<void(const std::string& section)> viewHelp;
    std::function<void()> about;
    std::function<void()> toggleDhcp; // start / stop the DHCP server
    std::function<void()> toggleTftp;
    // Runs when the window is closing, before it is destroyed (the settings save).
    std::function<void()> closing;
};

// The main window: menu, toolbar, status bar, and the two nested splitters
// with the navigation panel, the five top views and the three bottom views.
// Views are created once; the frame model decides which one is shown.
class MainWindow final : public QMainWindow {
    Q_OBJECT
public:
    MainWindow(shell::FrameModel& frame, shell::NavigationTree& tree, shell::SystemLog& log,
        platform::Prompter& prompter, QWidget* parent = nullptr);

    // Places a view into its pane (replacing the empty one created with the window).
    void setTopView(shell::TopView index, QWidget* view);
    void setBottomView(shell::BottomView index, QWidget* view);
    QWidget* topView(shell::TopView index) const;
    QWidget* bottomView(shell::BottomView index) const;
    QWidget* shownTopView() const;
    QWidget* shownBottomView() const;

    void setActions(FrameActions actions) { m_actions = std::move(actions); }
    // The DHCP and TFTP buttons show what their server reports, never the
    // click itself: only this call checks or unchecks them.
    void setServerChecked(bool dhcp, bool checked);

    // The navigation column's width and the top row's height at start.
    static constexpr int kNavigationWidth = 183;
    static constexpr int kTopRowHeight = 345;
    // The height the bottom row keeps when the window is low.
    static constexpr int kBottomRowHeight = 210;
    // The least the top row keeps then (its views scroll).
    static constexpr int kTopRowLeast = 160;

    NavigationPanel* navigation() const { return m_navigation; }
    SystemLogWidget* systemLog() const { return m_logWidget; }
    QAction* action(const QString& objectName) const;
    QSplitter* verticalSplitter() const { return m_vertical; }
    QSplitter* horizontalSplitter() const { return m_horizontal; }

    // Shows the views the frame model names.
    void refresh();
    // The help section of the view being worked in: the bottom pane's when
    // it has the keyboard focus, else the top pane's.
    std::string helpSection() const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildMenusAndToolbar();
    void applyStartPaneSizes();

    shell::FrameModel& m_frame;
    shell::NavigationTree& m_tree;
    shell::SystemLog& m_log;
    platform::Prompter& m_prompter;
    FrameActions m_actions;
    QSplitter* m_vertical;
    QSplitter* m_horizontal;
    QStackedWidget* m_top;
    QStackedWidget* m_bottom;
    QWidget* m_navigationViewport = nullptr;
    NavigationPanel* m_navigation;
    SystemLogWidget* m_logWidget;
    QAction* m_dhcp = nullptr;
    QAction* m_tftp = nullptr;
    bool m_dhcpRunning = false;
    bool m_tftpRunning = false;
    bool m_paneSizesPending = true;
    bool m_topShrunk = false; // the top row gave height to a low window
};

} // namespace utility::gui
