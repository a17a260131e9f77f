#pragma once

#include "platform/event_loop.h"
#include "platform/prompter.h"
#include "utility/services/tftp_session.h"
#include "utility/services/view_socket.h"

#include <functional>
#include <string>

namespace utility::services {

// The "File Path" until the user chooses a folder.
inline constexpr const char* kTftpUnchosenFolder = "C:\\";

// Why a folder cannot be served ("" when it can): none chosen, missing, or
// unreadable.
std::string tftpFolderProblem(const std::string& path);

// The TFTP view's controller: the Start/Stop toggle, the "File Path", the log
// box and the progress bar, the listen socket on UDP 69 and the session with
// its transfer socket and retransmission timer. The Qt view and the command
// line only bind to it.
class TftpServer final : private TftpSessionHost {
public:
    static constexpr std::size_t kFilePathLimit = 128; // the "File Path" field's limit
    static constexpr std::uint16_t kListenPort = 69;
    static constexpr int kRetransmitTimer = 1;

    TftpServer(platform::EventLoop& loop, platform::Prompter& prompter);
    ~TftpServer() override;
    TftpServer(const TftpServer&) = delete;
    TftpServer& operator=(const TftpServer&) = delete;

    // The selected local host address both sockets bind to.
    void setLocalAddress(std::string address) { m_localAddress = std::move(address); }
    const std::string& localAddress() const { return m_localAddress; }
    // The listen port; 69 unless the command line asks for another.
    void setListenPort(std::uint16_t port) { m_listenPort = port; }

    // The "File Path" field: what the server serves from at its next start.
    void setFilePath(std::string path) { m_filePath = std::move(path); }
    const std::string& filePath() const { return m_filePath; }
    // The "..." button: a folder chooser; a chosen folder becomes the "File
    // Path" and is handed to the settings sink (item 20).
    void browse();
    void setFolderSink(std::function<void(const std::string&)> sink) { m_folderSink = std::move(sink); }
    // How to choose a folder, said when the server refuses to start without
    // a usable one.
    void setFolderHint(std::string hint) { m_folderHint = std::move(hint); }

    // Start/Stop (the view's button and the toolbar command).
    void toggle();
    bool running() const { return m_running; }
    const char* buttonCaption() const { return m_running ? "Stop" : "Start"; }

    const std::string& logText() const { return m_log; }
    int progressMaximum() const { return m_progressMaximum; }
    int progressPosition() const { return m_progressPosition; }
    const TftpSession& session() const { return m_session; }
    // The transfer socket's address (the server's transfer identifier).
    platform::Endpoint transferEndpoint() const { return m_transfer.localEndpoint(); }
    platform::Endpoint listenEndpoint() const { return m_listen.localEndpoint(); }

    // The system log's AddLogLine.
    void setSystemLog(std::function<void(const std::string&)> addLogLine) { m_addLogLine = std::move(addLogLine); }
    // After every toggle, with the real running state (the toolbar check).
    void setRunningCallback(std::function<void(bool)> callback) { m_runningChanged = std::move(callback); }
    // Each text appended to the log box.
    void setLogCallback(std::function<void(const std::string&)> callback) { m_logAppended = std::move(callback); }
    // Any change the view shows (log, progress, caption).
    void setChangedCallback(std::function<void()> callback) { m_changed = std::move(callback); }

private:
    void start();
    void stop();
    void receive(ViewSocket& socket, bool fromListenSocket);
    void notifyRunning();
    void changed();

    std::size_t sendDatagram(std::span<const std::uint8_t> datagram, const platform::Endpoint& to) override;
    void startRetransmitTimer(std::chrono::milliseconds period) override;
    void stopRetransmitTimer() override;
    void appendLog(const std::string& text) override;
    void showMessage(const std::string& text) override;
    void beep(int frequencyHz, int durationMs) override;
    void setProgressRange(int maximum) override;
    void setProgressPosition(int position) override;

    platform::EventLoop& m_loop;
    platform::Prompter& m_prompter;
    platform::TimerSet m_timers;
    TftpSession m_session;
    ViewSocket m_listen;
    ViewSocket m_transfer;
    std::vector<std::uint8_t> m_receive;
    std::string m_localAddress;
    std::uint16_t m_listenPort = kListenPort;
    std::string m_filePath = kTftpUnchosenFolder;
    std::string m_folderHint = "Choose one with the \"...\" button.";
    bool m_running = false;
    std::string m_log;
    int m_progressMaximum = 0;
    int m_progressPosition = 0;
    std::function<void(const std::string&)> m_folderSink;
    std::function<void(const std::string&)> m_addLogLine;
    std::function<void(bool)> m_runningChanged;
    std::function<void(const std::string&)> m_logAppended;
    std::function<void()> m_changed;
};

} // namespace utility::services
