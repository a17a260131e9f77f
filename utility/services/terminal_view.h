#pragma once

#include "platform/event_loop.h"
#include "utility/services/terminal_port.h"
#include "utility/services/terminal_ports.h"
#include "utility/shell/app_settings.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace utility::services {

// The texts of the selection lists, by index.
inline constexpr std::array<const char*, 10> kTerminalBaudRates
    = { "1200", "2400", "4800", "9600", "14400", "19200", "38400", "57600", "115200", "921600" };
inline constexpr std::array<const char*, 4> kTerminalDataBits = { "8", "7", "6", "5" };
inline constexpr std::array<const char*, 3> kTerminalParities = { "Odd", "Even", "None" };
inline constexpr std::array<const char*, 3> kTerminalStopBits = { "1", "1.5", "2" };
inline constexpr std::array<const char*, 3> kTerminalFlows = { "None", "Xon/Xoff", "Hardware" };

inline constexpr int kTerminalMinInterval = 10;
inline constexpr int kTerminalMaxInterval = 100000;
inline constexpr int kTerminalMaxLength = 1472;

// Tooltips of the terminal's controls.
inline constexpr const char* kTipOpen = "To open the selected com port";
inline constexpr const char* kTipClose = "To close the selected com port";
inline constexpr const char* kTipInterval = "To set this value to transmit data every xx(ms)";
inline constexpr const char* kTipLength = "To specify the data length between 11 and 1472";
inline constexpr const char* kTipEcho = "To echo the received data";
inline constexpr const char* kTipAutoTest = "To start to transmit the data automatically";
inline constexpr const char* kTipClearLog = "To clear the log";

// The line settings a terminal's five lists stand for.
platform::SerialSettings terminalSerialSettings(const shell::TerminalSettings& lists);

// What a terminal needs from the rest of the window.
struct TerminalEnvironment {
    TerminalPortScanner scanner;
    // The navigation tree's "contains" query: true when the port is one of
    // the utility's own virtual ports.
    std::function<bool(const std::string&)> isVirtualPort;
    // AddLogLine of the system log.
    std::function<void(const std::string&)> systemLog;
};

// One terminal of the COM port terminal view: its port, its lists, its
// buttons and its log. The window and `qelta term` both drive it.
class Terminal {
public:
    Terminal(platform::EventLoop& loop, TerminalEnvironment& environment, int number);
    ~Terminal();
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    int number() const { return m_number; }
    platform::EventLoop& loop() { return m_loop; }

    // The Port list.
    const std::vector<TerminalPortEntry>& ports() const { return m_ports; }
    int portIndex() const { return m_portIndex; }
    void selectPort(int index);
    // Selects a port by name, adding it to the list when the scan did not
    // find it (a device path given on the command line).
    void choosePort(const std::string& name);
    std::string portText() const;
    // Refills the Port list unless the port is open; the first entry is selected.
    void refillPorts();

    // The five lists, Echo, TX Interval and TX Data Length (items 21-28).
    const shell::TerminalSettings& lists() const { return m_lists; }
    void applySettings(const shell::TerminalSettings& settings);
    void setBaudIndex(int index);
    // Any rate the port takes (the free field beside the list); one of the
    // list's rates selects its entry, 0 goes back to the list.
    void setBaudRate(std::uint32_t rate);
    // The rate the port opens with.
    std::uint32_t baudRate() const;
    // A rate from the free field is in force instead of the list's.
    bool freeBaudRate() const { return m_freeBaud != 0; }
    void setDataBitsIndex(int index);
    void setParityIndex(int index);
    void setStopBitsIndex(int index);
    void setFlowIndex(int index);
    // The fields clamp what they are given and show the result.
    void setInterval(int milliseconds);
    void setLength(int length);

    // Buttons and check boxes.
    void clickOpen();
    void clickClose();
    void clickPurge();
    void clickClearLog();
    void setEcho(bool on);
    void setAutoTest(bool on);
    bool echo() const { return m_lists.echo; }
    bool autoTest() const { return m_autoTest; }

    // A key typed while the log has the focus; whether it went out (the
    // typing rules drop some).
    bool type(std::uint8_t key);
    // Bytes sent as they are, without the typing filter (text as typed, hex,
    // a file); nothing when the port is closed. Like every write it replaces
    // one still pending.
    void send(const std::uint8_t* data, std::size_t size);

    // Drops a write the port's reader has not taken up yet; true when there was one.
    bool dropPendingWrite() { return m_port.dropPendingWrite(); }

    // Closes the port if it is the named one (the virtual port manager's
    // close by name); true when it was.
    bool closeIfNamed(const std::string& name);

    bool isOpen() const { return m_port.isOpen(); }
    // Called after the open port went away and was closed.
    void setGoneCallback(std::function<void()> gone) { m_goneCallback = std::move(gone); }
    // Why the last Open Port failed, as the system said it.
    const std::string& openError() const { return m_port.openError(); }
    bool writePending() { return m_port.writePending(); }
    const std::string& openPortName() const { return m_openName; }
    bool rawDisplay() const { return m_rawDisplay; }
    int typedCount() const { return m_typedCount; }
    std::uint32_t bytesReceived() const { return m_port.bytesReceived(); }

    // Enable states.
    bool openEnabled() const { return !isOpen() && !m_ports.empty(); }
    bool listsEnabled() const { return !isOpen(); }
    bool closeEnabled() const { return isOpen() && !m_autoTest && !m_echoRunning; }
    bool purgeEnabled() const { return closeEnabled(); }
    bool autoTestEnabled() const { return isOpen() && !m_echoRunning; }
    bool echoEnabled() const { return isOpen() && !m_autoTest; }
    bool intervalEnabled() const { return !m_autoTest; }
    bool lengthEnabled() const { return !m_autoTest; }

    // The log box.
    const std::string& log() const { return m_log; }

    // The log was changed (text appended, undone or emptied): `received` is
    // set for bytes from the port, clear for status lines.
    struct LogChange {
        enum Kind { Append, Undo, Clear } kind;
        std::string text;
        bool received = false;
    };
    void setLogCallback(std::function<void(const LogChange&)> callback) { m_logCallback = std::move(callback); }
    // After every change of what the terminal shows.
    void setChangedCallback(std::function<void()> callback) { m_changed = std::move(callback); }

    // The receive routine (the reader hands each block here).
    void receive(const std::uint8_t* data, std::size_t size);

private:
    void takeFields() { m_rawDisplay = m_nonPrintableChars; }
    void appendStatus(const std::string& text);
    void appendReceived(const std::string& text);
    void append(const std::string& text, bool received);
    void undo();
    void emptyLog();
    void sendPacket();
    void flushEcho();
    void stopTimers();
    void changed();

    platform::EventLoop& m_loop;
    TerminalEnvironment& m_environment;
    int m_number;
    void portGone();

    TerminalPort m_port;
    std::uint32_t m_freeBaud = 0; // a rate outside the list; 0: the list's
    std::function<void()> m_goneCallback;
    platform::TimerSet m_timers;
    std::vector<TerminalPortEntry> m_ports;
    int m_portIndex = -1;
    shell::TerminalSettings m_lists;
    bool m_autoTest = false;
    bool m_echoRunning = false;
    std::string m_openName;
    bool m_nonPrintableChars = true; // the hidden box, always checked
    bool m_rawDisplay = true;
    int m_typedCount = 0;
    char m_lastFirst = 0;
    std::string m_echoText;
    char m_fill = '0';
    std::string m_log;
    std::vector<std::size_t> m_undo; // sizes of the log's changes, newest last
    std::function<void(const LogChange&)> m_logCallback;
    std::function<void()> m_changed;
};

// The COM port terminal view: two terminals side by side.
class TerminalView {
public:
    TerminalView(platform::EventLoop& loop, TerminalEnvironment environment);
    ~TerminalView();

    Terminal& terminal(int index) { return *m_terminals[static_cast<std::size_t>(index)]; }

    // When the view is first shown: Port lists filled, the other lists,
    // Echo, TX Interval and TX Data Length from items 21-36.
    void firstShown(const shell::AppSettings& settings);
    bool shown() const { return m_shown; }
    // Hand-over at exit: items 21-36.
    void handOver(shell::AppSettings& settings) const;

    // Offered to the virtual serial port manager.
    bool closeByName(const std::string& name);
    void refreshPortLists();

private:
    TerminalEnvironment m_environment;
    std::array<std::unique_ptr<Terminal>, 2> m_terminals;
    bool m_shown = false;
};

} // namespace utility::services
