#include "utility/shell/navigation.h"

namespace utility::shell {

void NavigationTree::rebuild(const std::vector<std::string>& portNames)
{
    m_children = portNames;
    m_hasRoot = true;
    m_expanded = true;
    changed();
}

bool NavigationTree::contains(const std::string& text) const
{
    for (const auto& child : m_children)
        if (child.find(text) != std::string::npos)
            return true;
    return false;
}

bool NavigationTree::hasPort(const std::string& name) const
{
    for (const auto& child : m_children)
        if (portNameOf(child) == name)
            return true;
    return false;
}

void NavigationTree::remove(const std::string& name)
{
    for (auto it = m_children.begin(); it != m_children.end(); ++it) {
        if (portNameOf(*it) == portNameOf(name)) {
            m_children.erase(it);
            changed();
            return;
        }
    }
}

void NavigationTree::setByName(const std::string& fullText) { set(portNameOf(fullText), fullText); }

void NavigationTree::set(const std::string& text) { set(text, text); }

void NavigationTree::set(const std::string& match, const std::string& text)
{
    // Port items are found by their whole name: COM1 is not COM15.
    for (auto& child : m_children) {
        if (portNameOf(child) == portNameOf(match)) {
            child = text;
            changed();
            return;
        }
    }
}

void NavigationTree::append(const std::string& text)
{
    m_children.push_back(text);
    changed();
}

TreeMenuEntry treeMenuEntryFor(const std::string& itemText)
{
    if (itemText.empty())
        return TreeMenuEntry::None;
    if (itemText.front() == 'V')
        return TreeMenuEntry::Create;
    if (itemText.find('(') != std::string::npos)
        return TreeMenuEntry::Close;
    if (itemText.rfind("COM", 0) == 0)
        return TreeMenuEntry::Remove;
    return TreeMenuEntry::None;
}

const char* treeMenuEntryText(TreeMenuEntry entry)
{
    switch (entry) {
    case TreeMenuEntry::Create:
        return "&Create";
    case TreeMenuEntry::Close:
        return "&Close";
    case TreeMenuEntry::Remove:
        return "&Remove";
    case TreeMenuEntry::None:
        break;
    }
    return "";
}

std::string portNameOf(const std::string& itemText) { return itemText.substr(0, itemText.find(' ')); }

const std::vector<NavigationButton>& navigationButtons()
{
    static const std::vector<NavigationButton> buttons = {
        { 1002, " Device Management", "Provides devices search, configuration and firmware update." },
        { 1004, " Virtual Serial Port", "Provides Virtual Serial Port add, configuration, delete and connection." },
        { 1003, " Device Monitor", "Provides Device status monitor." },
        { 1006, " DHCP Server", "Provides DHCP server function." },
        { 1007, " TFTP Server", "Provides TFTP server function." },
        { 1008, " COM Port Terminal", "Provides COM port terminal function." },
    };
    return buttons;
}

void FrameModel::clickViewButton(int control)
{
    TopView view;
    switch (control) {
    case kDeviceManagementButton:
        view = TopView::DeviceManagement;
        break;
    case kVspButton:
        view = TopView::Vsp;
        break;
    case kMonitorButton:
        view = TopView::Monitor;
        break;
    case kDhcpButton:
        view = TopView::Dhcp;
        break;
    case kTftpButton:
        view = TopView::Tftp;
        break;
    default:
        return;
    }
    m_top = view;
    m_highlighted = control;
    // Any view button also closes the embedded browser.
    if (!m_terminalChecked && m_browserOpen) {
        m_browserOpen = false;
        m_bottom = BottomView::SystemLog;
    }
    changed();
    if (view == TopView::Monitor && m_monitorSelected)
        m_monitorSelected();
}

void FrameModel::setTerminalChecked(bool checked)
{
    m_terminalChecked = checked;
    if (checked)
        m_bottom = BottomView::Terminal;
    else
        m_bottom = m_browserOpen ? BottomView::Web : BottomView::SystemLog;
    changed();
}

void FrameModel::showWebPage()
{
    m_browserOpen = true;
    m_bottom = BottomView::Web;
    m_terminalChecked = false;
    changed();
}

} // namespace utility::shell
