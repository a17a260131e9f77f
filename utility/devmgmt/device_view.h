#pragma once

#include "platform/event_loop.h"
#include "platform/prompter.h"
#include "utility/devmgmt/command_socket.h"
#include "utility/devmgmt/device_config.h"
#include "utility/devmgmt/search_sockets.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace utility::devmgmt {

class CommandSteps;

inline constexpr std::size_t kTableSize = 256;

// One row of the device table: the reply exactly as received.
struct DeviceEntry {
    std::int32_t length = -1; // -1: empty
    std::array<std::uint8_t, kMaxDatagram> record {};

    DeviceConfig config() const
    {
        return DeviceConfig::fromDatagram({ record.data(), length < 0 ? 0 : static_cast<std::size_t>(length) });
    }
};

enum class SearchMode {
    Network, // broadcast or multicast Query
    Ip, // unicast Query to one address
};

enum class DeviceOperation {
    None = 0, // no multi-step command running
    Setup = 1, // device setup exchange
    Restore = 3, // factory settings
    Reboot = 4, // restart
};

enum class SearchKind { Multicast, Broadcast };

// Kept while the utility runs, never saved.
struct SearchSettings {
    SearchKind kind = SearchKind::Broadcast;
    std::string broadcastAddress = std::string(kDefaultBroadcastAddress);
    std::string multicastGroup = std::string(kDefaultMulticastGroup);
    int ttl = 1; // 1..128
    bool loopback = true;
};

struct Rgb {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;
    bool operator==(const Rgb&) const = default;
};

inline constexpr Rgb kSearchedRow { 232, 192, 192 };
inline constexpr Rgb kConnectedRow { 220, 220, 220 };
inline constexpr Rgb kSetupDoneText { 0, 176, 0 };
inline constexpr Rgb kRestoreDoneText { 176, 0, 0 };
inline constexpr Rgb kLostRow { 175, 175, 100 };
inline constexpr Rgb kBlack { 0, 0, 0 };

// Column indices of the device list.
enum Column : int {
    kColumnCheck = 0,
    kColumnNumber,
    kColumnName,
    kColumnMac,
    kColumnDhcp,
    kColumnIp,
    kColumnPort,
    kColumnMode,
    kColumnStatus,
    kColumnCount
};

struct ColumnInfo {
    const char* title;
    int width;
};
const std::array<ColumnInfo, kColumnCount>& deviceColumns();

struct ListRow {
    bool checked = false;
    std::array<std::string, kColumnCount> texts;
    std::optional<Rgb> background;
    std::optional<Rgb> textColour;
};

// The column texts of a table entry at list index `row`.
std::array<std::string, kColumnCount> formatRow(const DeviceEntry& entry, std::size_t row);

// The eight command buttons, in the order the view lays them out.
enum class Button : int {
    SystemSetting,
    Search,
    IpSearch,
    DeviceSetup,
    WebBrowser,
    Restore,
    Reboot,
    FirmwareUpgrade,
    Count
};
inline constexpr int kButtonCount = static_cast<int>(Button::Count);

// The answer of one of the view's small dialogs.
enum class DialogResult { Accepted, Cancelled };

// The three timer periods of the Setting dialog.
struct Periods {
    int search = 10; // 100 ms units, 5..1000
    int restore = 15; // 100 ms units, 10..1000
    int reboot = 15; // seconds, 10..1000
};

// "Please enter an integer between %1 and %2." when a value is out of range.
std::optional<std::string> checkRange(int value, int low, int high);
// The dialogs' own checks; the first failing field's message.
std::optional<std::string> validateSearchSettings(const SearchSettings& settings);
std::optional<std::string> validatePeriods(const Periods& periods);
// An IP text of at most 15 characters, as the dialogs' fields take it.
std::string limitAddressText(const std::string& text);

// Shows the view's dialogs. A dialog edits the values in place and stays
// open until they pass its check (the implementation loops with the check
// functions above); both buttons hand the edited values back.
class DeviceDialogs {
public:
    virtual ~DeviceDialogs() = default;
    virtual DialogResult devicesSearching(SearchSettings& settings) = 0;
    virtual DialogResult ipSearching(std::string& address) = 0;
    virtual DialogResult setting(Periods& periods) = 0;
};

// What the device view asks of the virtual serial port manager.
class VirtualPortLink {
public:
    virtual ~VirtualPortLink() = default;
    // Runs the check of connected ports (which sends ConnectNotice).
    virtual void checkConnectedPorts() = 0;
    // Connects the port named `comName` to a device; true on success.
    virtual bool connectPort(const std::string& comName, const std::string& address, std::uint16_t port, bool udp) = 0;
};

// Ports the view uses; tests and simulators on loopback move them.
struct DevicePorts {
    std::uint16_t broadcastSearch = kBroadcastSearchPort;
    std::uint16_t multicastSearch = kMulticastSearchPort;
    std::uint16_t command = kCommandPort;
    std::uint16_t deviceBroadcast = kDeviceBroadcastPort;
    std::uint16_t deviceMulticast = kDeviceMulticastPort;
    std::uint16_t deviceCommand = kDeviceCommandPort;
};

// The device view's controller: the device table, the list as the view shows
// it, the command buttons, status text and progress, and the searches with
// their 10 ms ticks. A view binds to it and decides nothing itself.
class DeviceView {
public:
    static constexpr int kProgressMax = 1000;
    static constexpr platform::Duration kTick = std::chrono::milliseconds(10);

    DeviceView(platform::EventLoop& loop, platform::Prompter& prompter, DeviceDialogs& dialogs, DevicePorts ports = {});
    ~DeviceView();
    DeviceView(const DeviceView&) = delete;
    DeviceView& operator=(const DeviceView&) = delete;

    // Start-up hand-ins.
    void setLocalAddress(const std::string& address, const std::string& netmask);
    void setPeriods(const Periods& periods) { m_periods = periods; }
    const Periods& periods() const { return m_periods; }
    void setOptions(bool useExternalBrowser, bool searchAfterStart);
    bool useExternalBrowser() const { return m_useExternalBrowser; }
    bool searchAfterStart() const { return m_searchAfterStart; }
    void setUseExternalBrowser(bool on) { m_useExternalBrowser = on; }
    void setSearchAfterStart(bool on) { m_searchAfterStart = on; }
    void setVirtualPortLink(VirtualPortLink* link) { m_portLink = link; }
    // Where the Setting dialog's OK stores the periods (the application
    // settings); unset, OK changes only the view.
    void setPeriodsSink(std::function<void(const Periods&)> sink) { m_periodsSink = std::move(sink); }

    // Controls.
    void clickSearch();
    void clickIpSearch();
    void clickSystemSetting();
    // A click on a list cell: any column but the check box toggles the row;
    // checking it this way makes its IP the next IP search default.
    void clickCell(std::size_t row, int column);
    // The check box itself.
    void setChecked(std::size_t row, bool checked);
    // Double-click: checks the row; the device setup starts from here.
    void doubleClickRow(std::size_t row);
    void setDoubleClickHandler(std::function<void(std::size_t row)> handler) { m_doubleClick = std::move(handler); }

    // One second after the view is first shown.
    void firstShown(bool settingsLoaded);

    // Where a network search comes from. The start-up search and a search
    // repeated by a command (searchAgain) skip the dialog and use the stored
    // settings; only the start-up search makes later "Search" clicks skip it too.
    enum class SearchOrigin { Button, Startup, Command };
    void networkSearch(SearchOrigin origin);
    void networkSearch(bool startupSearch)
    {
        networkSearch(startupSearch ? SearchOrigin::Startup : SearchOrigin::Button);
    }
    void ipSearch(bool showDialog = true);
    // Clears the list and repeats the search of the current mode.
    void searchAgain();
    bool searching() const { return m_searchTimer != 0; }

    // The network segment rule: true when the address is in the local segment
    // or the user confirms it may be reached through a router.
    bool confirmSegment(const std::string& address);
    // The rule's test alone: the address lies in the local network segment.
    bool sameSegment(const std::string& address) const;
    // Empties the list (the table stays) while a command waits to search again.
    void clearList();

    // State a view shows.
    const std::vector<ListRow>& rows() const { return m_rows; }
    std::size_t rowCount() const { return m_rows.size(); }
    const DeviceEntry& entry(std::size_t row) const { return m_table[row]; }
    std::size_t deviceCount() const { return m_deviceCount; }
    bool buttonEnabled(Button button) const { return m_buttons[static_cast<int>(button)]; }
    void setButtonEnabled(Button button, bool enabled);
    const std::string& statusText() const { return m_status; }
    void setStatusText(const std::string& text);
    int progress() const { return m_progress; }
    void setProgress(int position);
    // The progress bar's upper end; 1000 unless a command changes it.
    int progressRange() const { return m_progressRange; }
    void setProgressRange(int upper);
    void setRowColours(std::size_t row, std::optional<Rgb> background, std::optional<Rgb> text);
    // Reformats a row from its entry (after a command changed the entry).
    void refreshRow(std::size_t row);
    DeviceEntry& mutableEntry(std::size_t row) { return m_table[row]; }
    void setRowText(std::size_t row, int column, const std::string& text);
    const DevicePorts& ports() const { return m_ports; }
    platform::Prompter& prompter() { return m_prompter; }
    // The query step, row refresh and re-search countdown the device
    // commands share.
    CommandSteps& steps() { return *m_steps; }

    SearchMode searchMode() const { return m_searchMode; }
    SearchSettings& searchSettings() { return m_searchSettings; }
    const std::string& ipSearchAddress() const { return m_ipSearchAddress; }
    void setIpSearchAddress(const std::string& address) { m_ipSearchAddress = limitAddressText(address); }
    const std::string& localAddress() const { return m_localAddress; }
    const std::string& netmask() const { return m_netmask; }

    // One exchange with the devices at a time: a command that runs tells the
    // view, and nothing else starts while it, a search, a query step or a
    // re-search countdown is under way.
    void setCommandRunning(const void* command, bool running);
    bool exchangeRunning() const;

    // Shared with the device commands.
    std::size_t currentRow = 0;
    int checkedCount = 0;
    DeviceOperation operation = DeviceOperation::None;
    unsigned idleCounter = 0;

    CommandSocket& commandSocket();
    // Sends ConnectNotice to a device on the command socket.
    bool sendConnectNotice(const std::string& deviceAddress, std::uint16_t port);

    // Dragging a row onto a virtual port of the navigation tree. `treeTexts`
    // are the tree's item texts.
    bool canDrag(std::size_t row, const std::vector<std::string>& treeTexts) const;
    // Returns the new item text on success.
    std::optional<std::string> dropOnPort(std::size_t row, const std::string& itemText);

    // Called after every change of what the view shows, and when a search ends.
    void setChangedCallback(std::function<void()> callback) { m_changed = std::move(callback); }
    void setSearchFinishedCallback(std::function<void()> callback) { m_searchFinished = std::move(callback); }

    // Datagrams replies refused in the last search because the table was full.
    std::size_t ignoredReplies() const { return m_ignoredReplies; }
    // What the last search left out of the table and why, one sentence
    // each (replies beyond 256, short replies, replies from an address not
    // asked, one MAC from two addresses); shown when the search ends.
    const std::vector<std::string>& searchNotes() const { return m_searchNotes; }
    // Why the last search could not open its socket (address, port, reason);
    // empty when it could.
    const std::string& socketError() const { return m_socketError; }

private:
    void resetTable();
    void setAllButtons(bool enabled);
    void networkSearchTick();
    void reportSearch() const;
    void ipSearchTick();
    void endSearch();
    void finishSearch(bool reportEmpty);
    // Ends a search whose socket cannot be opened, telling the user why.
    void socketFailed(std::uint16_t port, const platform::Error& error);
    void addRow(std::span<const std::uint8_t> datagram);
    void collectSearchNotes();
    void startTick(void (DeviceView::*tick)());
    void stopTick();
    void changed();
    const ReceiveRing* activeRing() const;

    platform::EventLoop& m_loop;
    platform::Prompter& m_prompter;
    DeviceDialogs& m_dialogs;
    DevicePorts m_ports;
    VirtualPortLink* m_portLink = nullptr;

    std::string m_localAddress;
    std::string m_netmask;
    Periods m_periods;
    bool m_useExternalBrowser = false;
    bool m_searchAfterStart = false;
    SearchSettings m_searchSettings;
    SearchKind m_activeKind = SearchKind::Broadcast;
    std::string m_ipSearchAddress;
    SearchMode m_searchMode = SearchMode::Network;
    bool m_startupSearchRan = false;
    std::string m_socketError;

    std::unique_ptr<std::array<DeviceEntry, kTableSize>> m_tableStorage;
    std::array<DeviceEntry, kTableSize>& m_table;
    std::size_t m_deviceCount = 0;
    std::size_t m_ringRead = 0; // next ring slot the search tick looks at
    std::size_t m_ignoredReplies = 0;
    std::vector<std::string> m_searchNotes;
    std::vector<ListRow> m_rows;
    std::array<bool, kButtonCount> m_buttons {};
    std::string m_status = "Idle";
    int m_progress = 0;
    int m_progressRange = kProgressMax;
    platform::TimerId m_searchTimer = 0;
    platform::TimerId m_startupTimer = 0; // one-shot, a second after the view is first shown

    std::unique_ptr<BroadcastSearchSocket> m_broadcast;
    std::unique_ptr<MulticastSearchSocket> m_multicast;
    std::unique_ptr<CommandSocket> m_command;

    std::function<void(const Periods&)> m_periodsSink;
    std::function<void(std::size_t)> m_doubleClick;
    std::vector<const void*> m_runningCommands;
    std::function<void()> m_changed;
    std::function<void()> m_searchFinished;
    std::unique_ptr<CommandSteps> m_steps; // last: its timers go first
};

} // namespace utility::devmgmt
