#pragma once

#include <functional>
#include <string>
#include <vector>

namespace utility::shell {

// The navigation panel's tree: one root "Virtual COM Ports" whose children are
// the virtual port names, a port's text carrying its connection details while
// it is connected. Every operation walks the children in order.
class NavigationTree {
public:
    static constexpr const char* kRootText = "Virtual COM Ports";

    // Deletes every item and inserts the root and one child per name.
    void rebuild(const std::vector<std::string>& portNames);
    // True if some child's text contains the text.
    bool contains(const std::string& text) const;
    // True if some child is the port of that whole name (COM1 is not COM15).
    bool hasPort(const std::string& name) const;
    // Deletes the child of that port name (the text up to its first space;
    // the whole name must match, so COM1 never hits COM15).
    void remove(const std::string& name);
    // The name is the full text up to its first space; the child of that
    // port name gets the full text.
    void setByName(const std::string& fullText);
    // The child of the text's port name gets exactly that text.
    void set(const std::string& text);
    // Adds a child at the end (a port created while the program runs).
    void append(const std::string& text);

    const std::vector<std::string>& children() const { return m_children; }
    bool hasRoot() const { return m_hasRoot; }
    bool expanded() const { return m_expanded; }

    void setChangedCallback(std::function<void()> callback) { m_changed = std::move(callback); }

private:
    void set(const std::string& match, const std::string& text);
    void changed()
    {
        if (m_changed)
            m_changed();
    }

    bool m_hasRoot = false;
    bool m_expanded = false;
    std::vector<std::string> m_children;
    std::function<void()> m_changed;
};

// The one entry of the tree's context menu, chosen by the item's text.
enum class TreeMenuEntry {
    None, // no menu
    Create, // "&Create": add a virtual port
    Close, // "&Close": close the port's connection
    Remove, // "&Remove": remove the port
};

TreeMenuEntry treeMenuEntryFor(const std::string& itemText);
const char* treeMenuEntryText(TreeMenuEntry entry);
// The port name of an item: its text up to the first space.
std::string portNameOf(const std::string& itemText);

// Views of the top-right pane, by index.
enum class TopView { Tftp = 0, Dhcp = 1, Monitor = 2, Vsp = 3, DeviceManagement = 4 };
// Views of the bottom pane, by index.
enum class BottomView { Web = 0, Terminal = 1, SystemLog = 2 };

// The navigation buttons with their texts and descriptions.
struct NavigationButton {
    int control;
    const char* text;
    const char* description;
};
const std::vector<NavigationButton>& navigationButtons();

// Which view each pane shows, the highlighted navigation button, the terminal
// toggle and whether the device view has a web page open. Views are created
// once; this only decides which one is visible.
class FrameModel {
public:
    static constexpr int kDeviceManagementButton = 1002;
    static constexpr int kMonitorButton = 1003;
    static constexpr int kVspButton = 1004;
    static constexpr int kDhcpButton = 1006;
    static constexpr int kTftpButton = 1007;
    static constexpr int kTerminalButton = 1008;

    TopView top() const { return m_top; }
    BottomView bottom() const { return m_bottom; }
    int highlightedButton() const { return m_highlighted; }
    bool terminalChecked() const { return m_terminalChecked; }
    bool browserOpen() const { return m_browserOpen; }

    // A click on one of the five view buttons (not the terminal toggle).
    // `monitorSelected` runs after the monitor view is shown.
    void clickViewButton(int control);
    void setTerminalChecked(bool checked);
    // The device view opens a device's web page in the embedded browser.
    void showWebPage();

    void setMonitorSelectedCallback(std::function<void()> callback) { m_monitorSelected = std::move(callback); }
    void setChangedCallback(std::function<void()> callback) { m_changed = std::move(callback); }

private:
    void changed()
    {
        if (m_changed)
            m_changed();
    }

    TopView m_top = TopView::DeviceManagement;
    BottomView m_bottom = BottomView::SystemLog;
    int m_highlighted = kDeviceManagementButton;
    bool m_terminalChecked = false;
    bool m_browserOpen = false;
    std::function<void()> m_monitorSelected;
    std::function<void()> m_changed;
};

} // namespace utility::shell
