#pragma once

#include "platform/event_loop.h"
#include "platform/net.h"
#include "platform/prompter.h"
#include "utility/vsp/connection_watch.h"
#include "utility/vsp/port_access.h"
#include "utility/vsp/port_table.h"
#include "utility/vsp/provisioner.h"
#include "utility/vsp/vsp_file.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace utility::vsp {

inline constexpr std::string_view kColumns = "Port ID, 60;Port Name, 150;Status, 100;Remote IP, 120;Remote Port, 90";

// The other views the manager works with: the navigation panel's port items
// and the device view's table and command socket. Unset, nothing is shown or
// found.
class VspNeighbours {
public:
    virtual ~VspNeighbours() = default;
    // Navigation panel.
    virtual bool portItemContains(const std::string& /*text*/) { return false; }
    virtual void setPortItemText(const std::string& /*portName*/, const std::string& /*text*/) { }
    virtual void removePortItem(const std::string& /*portName*/) { }
    virtual void rebuildPortItems() { }
    // Device view: the UDP flag of the device listed with `address`.
    virtual std::optional<bool> deviceUdpFlag(const std::string& /*address*/) { return std::nullopt; }
    virtual void sendConnectNotice(const std::string& /*deviceAddress*/, std::uint16_t /*localPort*/) { }
    // The COM port terminal: a port is about to close.
    virtual void portClosing(const std::string& /*portName*/) { }
};

struct ComPortChoice {
    int index = 0; // into the dialog's texts: 0 = COM1
    WireProtocol wireProtocol = WireProtocol::Native;
};

// The "COM Port Configuration" dialog: lists `texts` (COM1..COM256),
// preselects `preselected`; returns the chosen index or nothing on Cancel.
// comPortChoice adds the "Protocol" choice, showing `wire` first; dialogs
// without one leave it as it is.
class VspDialogs {
public:
    virtual ~VspDialogs() = default;
    virtual std::optional<int> comPortConfiguration(const std::vector<std::string>& texts, int preselected) = 0;
    virtual std::optional<ComPortChoice> comPortChoice(
        const std::vector<std::string>& texts, int preselected, WireProtocol wire)
    {
        const auto index = comPortConfiguration(texts, preselected);
        if (!index)
            return std::nullopt;
        return ComPortChoice { *index, wire };
    }
};

// MaxPacketLen limits for an MTU.
std::uint32_t packetLimit(std::uint8_t protocol, std::uint32_t mtu);
// The smallest MTU of the up, non-loopback interfaces; 1500 when none.
std::uint32_t smallestMtu();

struct VspOptions {
    std::string runtimeDir; // empty: as devcon finds it
    std::string hardwareId = "ZORV\\Rure";
    std::string infName = "VORPIL.inf";
    std::string bindAddress = "0.0.0.0"; // the selected network interface
    std::string datPath = std::string(kFileName);
    std::string devcon = "devcon"; // the program "devcon remove" starts
    bool showMaxPacket = false; // application setting (11)
    bool watch = false; // application setting (37)
    std::optional<std::uint32_t> mtu; // unset: read from the interfaces
    std::uint16_t queryPort = kQueryPort;
    std::uint16_t watchPort = kWatchPort;
};

// The values bound to the view's controls.
struct VspControls {
    bool connectAtWinStart = false;
    std::uint32_t maxPacketLen = 0;
    std::string remoteHostPort;
    std::uint8_t protocol = 0; // 0 TCP, 1 UDP
    bool cmdByte = false;
    std::optional<std::uint32_t> connType; // 0 server, 1 client; unset: none chosen
    std::string listenPort;
    std::string address;
    int comIndex = 0; // "Virtual Port Number": index 0 = COM1
    WireProtocol wireProtocol = WireProtocol::Native; // "Protocol"; written by Setting's OK
    std::vector<std::string> comTexts;
};

struct VspButtons {
    bool add = true, remove = false, connect = false, close = false, setting = false, list = true;
    bool editControls = false; // the settings controls are editable
    std::string connectCaption = "Connect";
    std::string settingCaption = "Setting";
};

// The virtual serial port view's controller, which the window and `qelta vsp`
// both drive: the controls and buttons over the port table, with the jobs
// handed to their owners (the table, the provisioner, the connection watch).
// Start-up, the list, selection, Setting, Add and Remove are in
// vsp_manager.cpp; Connect, Server, Close and the reconnect at start in
// vsp_connections.cpp.
class VspManager : private WatchActions {
public:
    VspManager(platform::EventLoop& loop, platform::Prompter& prompter, VspDialogs& dialogs, VspOptions options);
    ~VspManager() override;
    VspManager(const VspManager&) = delete;
    VspManager& operator=(const VspManager&) = delete;

    void setNeighbours(VspNeighbours* neighbours) { m_neighbours = neighbours ? neighbours : &m_noNeighbours; }
    void setStatusSink(std::function<void(const std::string&)> sink) { m_statusSink = std::move(sink); }
    void setLogSink(std::function<void(const std::string&)> sink) { m_logSink = std::move(sink); }
    void setChangeSink(std::function<void()> sink) { m_changeSink = std::move(sink); }
    // Failures of the program's own means (the watch endpoint), beside the log.
    void setErrorSink(std::function<void(const std::string&)> sink) { m_errorSink = std::move(sink); }

    // Start-up: loads "vsp.dat", checks for held ports, starts the timers
    // (the enumeration after one second, the watch after five).
    // `enumerateNow` runs the enumeration at once instead of after a second.
    void start(bool enumerateNow = false);
    // Runs the enumeration now (what timer 4 does).
    void enumerate(bool afterAdd = false);
    bool loaded() const { return m_loaded; }
    bool portHeldOpen() const { return m_portHeldOpen; }
    // Whether the driver host's control socket answers.
    bool hostReachable();
    std::string hostSocketPath() const { return m_access.socketPath(); }
    // Any own port held open by another program (also sets the flag).
    bool anyPortHeldOpen();
    // True when any own port reports a connection, or the enumeration fails.
    bool checkConnectionStatus();

    // The list.
    const std::vector<VspRow>& rows() const { return m_table.rows(); }
    std::optional<std::size_t> selected() const { return m_selected; }
    std::optional<std::size_t> rowOf(const std::string& portName) const { return m_table.rowOf(portName); }
    std::uint32_t watchState(std::size_t row) const { return m_watch.state(row); }
    const std::string& statusLine() const { return m_statusLine; }
    std::pair<int, int> progress() const { return { m_progress, m_progressMax }; }
    std::uint32_t mtu() const { return m_mtu; }
    std::uint32_t limit(std::uint8_t protocol) const { return packetLimit(protocol, m_mtu); }
    const VspOptions& options() const { return m_options; }

    VspControls& controls() { return m_controls; }
    const VspButtons& buttons() const { return m_buttons; }
    bool editing() const { return m_editing; }

    void selectRow(std::optional<std::size_t> row);
    void chooseClient();
    void chooseServer();
    void setMaxPacketLen(std::uint32_t value);

    // Buttons; each returns whether it did what it was asked.
    bool clickAdd();
    bool clickRemove();
    bool clickConnect();
    bool clickClose();
    bool clickSetting();
    // Runs what the Remove button's wait ends with (the timer does it after
    // three seconds); true when a removal was pending.
    bool finishRemove();
    bool removing() const { return m_provisioner.removing(); }

    // Offered to other views.
    bool connectByName(const std::string& portName, const std::string& address, std::uint16_t port, bool udp);
    bool closeByName(const std::string& portName);
    bool removeByName(const std::string& portName);
    std::vector<std::string> portDescriptions() const { return m_table.descriptions(); }
    // Binds the connection watch's endpoint now; false (said once through
    // the error sink) when another program holds its port.
    bool listenForWatch() { return m_watch.listen(); }
    // Reconnect remembered connections (the device view calls it).
    void checkConnectedPorts();

    // Writes the wire protocol of the port named `portName`; it applies from
    // the port's next open. False (with a message) when the port is unknown
    // or the host refuses the value.
    bool setWireProtocol(const std::string& portName, WireProtocol wire);

    // Stores the table in "vsp.dat" (merged with what other programs stored
    // meanwhile). False, after saying so, when it cannot be written.
    bool save();
    // Whether any save of this run failed.
    bool saveFailed() const { return m_saveFailed; }
    // The provisioner, for tests that make its steps fail.
    Provisioner& provisioner() { return m_provisioner; }

private:
    std::optional<std::uint32_t> openPort(std::size_t row, bool tellHeld = true);
    common::Win32Error readPort(std::size_t row, PortSettings& settings, bool report = true);
    common::Win32Error writePort(std::size_t row, const PortSettings& settings, bool report = true);
    common::Win32Error sendRequest(std::size_t row, std::uint32_t code);
    std::uint32_t bindAddress() const;
    void setStatusLine(const std::string& text);
    void showMessage(const std::string& text);
    void changed() override;
    void showSettings(const PortSettings& settings);
    void buttonsAfterConnect();
    void buttonsNoSelection();
    bool connectClient(std::size_t row);
    bool connectServer(std::size_t row);
    bool closeRow(std::size_t row);
    void clampAndWrite(std::size_t row, PortSettings& settings);
    bool writeWireProtocol(std::size_t row, WireProtocol wire);
    void reconnectTimer();
    // Copies the row's status into its entry and marks the port as changed
    // by this program for the next save.
    void rememberStatus(std::size_t row, bool connected);

    // WatchActions
    std::optional<PortLink> link(std::size_t row) override;
    common::Win32Error disconnect(std::size_t row) override;
    void closeReported(std::size_t row) override;
    void disconnecting(std::size_t row) override;
    void log(const std::string& text) override;
    void cannotListen(const std::string& text) override;

    platform::EventLoop& m_loop;
    platform::Prompter& m_prompter;
    VspDialogs& m_dialogs;
    VspOptions m_options;
    PortAccess m_access;
    PortTable m_table;
    Provisioner m_provisioner;
    ConnectionWatch m_watch;
    platform::TimerSet m_timers;
    VspNeighbours m_noNeighbours;
    VspNeighbours* m_neighbours = &m_noNeighbours;
    std::function<void(const std::string&)> m_statusSink;
    std::function<void(const std::string&)> m_logSink;
    std::function<void()> m_changeSink;
    std::function<void(const std::string&)> m_errorSink;

    std::vector<PortEntry> m_fileEntries;
    std::optional<std::size_t> m_selected;
    VspControls m_controls;
    VspButtons m_buttons;
    bool m_editing = false;
    bool m_loaded = false;
    bool m_portHeldOpen = false;
    std::uint32_t m_mtu = 1500;
    std::string m_statusLine;
    int m_progress = 0;
    int m_progressMax = 0;
    std::optional<std::size_t> m_removingRow;
    std::set<std::string> m_watchCloseFailed; // ports whose watch close failed, logged once
    std::set<std::string> m_changedPorts; // ports whose entries changed since the last save
    bool m_saveFailed = false;
};

} // namespace utility::vsp
