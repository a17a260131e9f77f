#pragma once

#include "platform/event_loop.h"
#include "platform/prompter.h"
#include "utility/services/dhcp_file.h"
#include "utility/services/dhcp_server.h"
#include "utility/services/view_socket.h"
#include "utility/shell/app_settings.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace utility::services {

inline constexpr std::uint16_t kDhcpServerPort = 67;
inline constexpr const char* kDhcpSaveFailed = "Failed to save DHCP server MAC to IP address mapping data!";

// The DHCP view's controller: the server with its socket, the address
// fields, the mapping list with its Delete buttons, and the log box. The
// window and the command line both drive it.
class DhcpView {
public:
    DhcpView(platform::EventLoop& loop, platform::Prompter& prompter);
    ~DhcpView();
    DhcpView(const DhcpView&) = delete;
    DhcpView& operator=(const DhcpView&) = delete;

    // When the view is first shown: the fields from the settings (items 13 to
    // 19), the selected local host address as the server identifier and the
    // mapping list from `mappingFile` ("dhcp.dat").
    void firstShown(const shell::AppSettings& settings, const std::string& localAddress, std::string mappingFile);

    // The address fields and the boot file; changes are taken only while
    // the server is stopped (the fields are locked while it runs).
    bool setFields(const DhcpFields& fields);
    const DhcpFields& fields() const { return m_server.fields(); }
    bool fieldsEnabled() const { return !m_running; }

    // Start/Stop (the view's button and the toolbar's DHCP command).
    void toggle();
    bool running() const { return m_running; }
    // "Start" or "Stop".
    const char* buttonCaption() const { return m_running ? "Stop" : "Start"; }

    // The mapping list and its buttons.
    const std::vector<DhcpMapping>& rows() const { return m_server.rows(); }
    // A click in the list: on a row (index) or beside every row (-1).
    void clickList(int row);
    void clickDelete();
    void clickDeleteAll();
    bool deleteEnabled() const { return m_deleteEnabled; }
    bool deleteAllEnabled() const { return m_deleteAllEnabled; }
    int selectedRow() const { return m_selected; }

    // Everything appended to the view's log box.
    const std::string& logText() const { return m_log; }

    // Hand-over at exit: items 13 to 19 into the settings, then "dhcp.dat"
    // (also saved at every change of the list while the server runs).
    // False (after the message) when the file could not be written.
    bool handOver(shell::AppSettings& settings);
    // Items 13 to 19 only.
    void handOverSettings(shell::AppSettings& settings) const;
    bool saveMappingFile();
    // How "dhcp.dat" is written (its path, its text); by default here, as a
    // change of what the file holds now (DhcpFileSaver). A worker without
    // root hands the text to its parent instead, which saves it with
    // fileSaver() as it was before the worker started.
    using MappingWriter = std::function<bool(const std::string& path, const std::string& text)>;
    void setMappingWriter(MappingWriter writer) { m_writer = std::move(writer); }
    DhcpFileSaver fileSaver() const { return m_saver; }

    const DhcpServer& server() const { return m_server; }
    // The socket's local port while running (0 when stopped).
    std::uint16_t boundPort();

    // Text appended to the log box, as it is appended.
    void setLogCallback(std::function<void(const std::string&)> callback) { m_logCallback = std::move(callback); }
    // Start and stop messages for the system log (AddLogLine).
    void setSystemLogCallback(std::function<void(const std::string&)> callback) { m_systemLog = std::move(callback); }
    // After every change of what the view shows (toolbar check state included).
    void setChangedCallback(std::function<void()> callback) { m_changed = std::move(callback); }

    // Receive routine of the kind-3 socket: reads one datagram and answers it.
    void receive();

private:
    static constexpr int kExpiryTimer = 1;

    void start();
    void stop();
    // The rows changed: saved at once, buttons and view follow.
    void listChanged();
    // The file there could not be read: kept as dhcp.dat.bad, or never written over.
    void keepUnreadableFile(const std::string& why);
    void appendLog(const std::string& text);
    void changed();

    platform::EventLoop& m_loop;
    platform::Prompter& m_prompter;
    platform::TimerSet m_timers;
    DhcpServer m_server;
    std::unique_ptr<ViewSocket> m_socket;
    std::string m_localAddress;
    std::string m_mappingFile = kDhcpFileName;
    std::string m_log;
    bool m_running = false;
    bool m_deleteEnabled = false;
    bool m_deleteAllEnabled = false;
    bool m_saveFailing = false;
    bool m_keepFile = false; // the file there could not be read nor kept aside: never written over
    int m_selected = -1;
    std::function<void(const std::string&)> m_logCallback;
    std::function<void(const std::string&)> m_systemLog;
    std::function<void()> m_changed;
    MappingWriter m_writer;
    DhcpFileSaver m_saver;
};

} // namespace utility::services
