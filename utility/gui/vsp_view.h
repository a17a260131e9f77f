#pragma once

#include "utility/vsp/vsp_manager.h"

#include <QDialog>
#include <QWidget>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTimer;
class QTreeWidget;

namespace utility::shell {
class NavigationTree;
}

namespace utility::services {
class TerminalView;
}

namespace utility::gui {

// "COM Port Configuration": the "COM Port Number" list and the "Protocol"
// the port speaks to its device server, with OK and Cancel.
class ComPortDialog final : public QDialog {
    Q_OBJECT
public:
    ComPortDialog(const std::vector<std::string>& texts, int preselected,
        vsp::WireProtocol wire = vsp::WireProtocol::Native, QWidget* parent = nullptr);
    int chosen() const;
    vsp::WireProtocol wireProtocol() const;
    QComboBox* combo() const { return m_combo; }
    QComboBox* protocol() const { return m_protocol; }

private:
    QComboBox* m_combo;
    QComboBox* m_protocol;
};

// The "Protocol" choices, in the order of WireProtocol's values.
void addWireProtocolItems(QComboBox& combo);

// Whether COMn names a serial port of this machine: a line of the user's
// COM name mapping to a device that exists, or a legacy UART that is there.
bool machineSerialPort(int number);

// The manager's dialogs as Qt dialogs; `script` (tests, screenshots) answers
// instead of showing one when set.
class QtVspDialogs final : public vsp::VspDialogs {
public:
    explicit QtVspDialogs(QWidget* parent = nullptr)
        : m_parent(parent)
    {
    }
    void setParent(QWidget* parent) { m_parent = parent; }
    std::optional<int> comPortConfiguration(const std::vector<std::string>& texts, int preselected) override;
    std::optional<vsp::ComPortChoice> comPortChoice(
        const std::vector<std::string>& texts, int preselected, vsp::WireProtocol wire) override;
    std::function<std::optional<int>(ComPortDialog&)> script;
    // Whether COMn leads to a serial port of this machine (not offered first
    // to a new virtual port).
    std::function<bool(int number)> machinePort = machineSerialPort;

private:
    QWidget* m_parent;
};

// The navigation panel's port items and the COM port terminal as the manager
// sees them: a port about to be closed, removed or renamed is closed in the
// terminal first, and every change of the ports refills the terminal's lists
// (a list filled before a port was added would offer a stale COM name).
class TreeNeighbours final : public vsp::VspNeighbours {
public:
    TreeNeighbours(shell::NavigationTree& tree, vsp::VspManager& manager, services::TerminalView* terminal = nullptr)
        : m_tree(tree)
        , m_manager(manager)
        , m_terminal(terminal)
    {
    }
    bool portItemContains(const std::string& text) override;
    void setPortItemText(const std::string& portName, const std::string& text) override;
    void removePortItem(const std::string& portName) override;
    void rebuildPortItems() override;
    void portClosing(const std::string& portName) override;

private:
    void portsChanged();

    shell::NavigationTree& m_tree;
    vsp::VspManager& m_manager;
    services::TerminalView* m_terminal;
};

// The "Virtual Serial Port" view: the port list, the settings controls and
// the five buttons, bound to the manager.
class VspView final : public QWidget {
    Q_OBJECT
public:
    explicit VspView(vsp::VspManager& manager, QWidget* parent = nullptr);

    void refresh();
    // Who asks before Remove takes a port away (none: nobody asks).
    void setPrompter(platform::Prompter* prompter) { m_prompter = prompter; }

    QTreeWidget* list() const { return m_list; }
    QPushButton* addButton() const { return m_add; }
    QPushButton* removeButton() const { return m_remove; }
    QPushButton* connectButton() const { return m_connect; }
    QPushButton* closeButton() const { return m_close; }
    QPushButton* settingButton() const { return m_setting; }
    QLineEdit* addressEdit() const { return m_address; }
    QLineEdit* remotePortEdit() const { return m_remotePort; }
    QLineEdit* listenPortEdit() const { return m_listenPort; }
    QRadioButton* clientButton() const { return m_client; }
    QRadioButton* serverButton() const { return m_server; }
    QRadioButton* tcpButton() const { return m_tcp; }
    QRadioButton* udpButton() const { return m_udp; }
    QComboBox* portNumber() const { return m_portNumber; }
    QComboBox* wireProtocol() const { return m_wire; }
    QSpinBox* maxPacket() const { return m_maxPacket; }
    QLabel* statusLine() const { return m_status; }

private:
    void takeControls();
    void showControls();
    void recheckHeldRow();

    vsp::VspManager& m_manager;
    platform::Prompter* m_prompter = nullptr;
    QTreeWidget* m_list;
    QPushButton *m_add, *m_remove, *m_connect, *m_close, *m_setting;
    QLineEdit *m_address, *m_remotePort, *m_listenPort;
    QRadioButton *m_client, *m_server, *m_tcp, *m_udp;
    QButtonGroup *m_typeGroup, *m_protocolGroup;
    QCheckBox *m_connectAtStart, *m_flowPackets;
    QComboBox* m_portNumber;
    QComboBox* m_wire;
    QLabel* m_maxPacketLabel;
    QSpinBox* m_maxPacket;
    QLabel* m_status;
    QProgressBar* m_progress;
    QTimer* m_heldCheck;
    bool m_refreshing = false;
};

} // namespace utility::gui
