#pragma once

#include "platform/event_loop.h"
#include "platform/prompter.h"
#include "utility/services/tftp_log.h"
#include "utility/services/tftp_session.h"
#include "utility/services/view_socket.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace utility::services {

// The "File Path" until the user chooses a folder.
inline constexpr const char* kTftpUnchosenFolder = "C:\\";

// Why a folder cannot be served ("" when it can): none chosen, missing, or
// unreadable.
std::string tftpFolderProblem(const std::string& path);

// One running transfer as the view lists it.
struct TftpTransferInfo {
    platform::Endpoint client;
    std::uint16_t port = 0; // the server's transfer port
    std::string path;
    int blocksSent = 0;
    int blocksTotal = 0;
};

// The TFTP view's controller: the Start/Stop toggle, the "File Path", the log
// box and the progress bar, the listen socket on UDP 69 and the transfers,
// each with its own session, transfer socket and retransmission timer, side
// by side up to a limit. The Qt view and the command line only bind to it.
class TftpServer final {
public:
    static constexpr std::size_t kFilePathLimit = 128; // the "File Path" field's limit
    static constexpr std::uint16_t kListenPort = 69;
    static constexpr std::size_t kDefaultTransferLimit = 32;

    TftpServer(platform::EventLoop& loop, platform::Prompter& prompter);
    ~TftpServer();
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

    // The process was shut into the served folder as its root (after it
    // bound its port, before it gave up root): files are opened from "/"
    // while the log names them as before.
    void servedFromRoot() { m_openDirectory = "/"; }

    // Start/Stop (the view's button and the toolbar command).
    void toggle();
    bool running() const { return m_running; }
    const char* buttonCaption() const { return m_running ? "Stop" : "Start"; }

    // The log box: its last lines (and those of transfers still running).
    const std::string& logText() const { return m_log.text(); }
    // What was appended from text number `from` on (see TftpLog::since).
    std::string logSince(std::uint64_t from) const { return m_log.since(from); }
    std::uint64_t logNext() const { return m_log.next(); }
    void setLogLineLimit(std::size_t lines) { m_log.setLineLimit(lines); }
    int progressMaximum() const { return m_progressMaximum; }
    int progressPosition() const { return m_progressPosition; }
    platform::Endpoint listenEndpoint() const { return m_listen.localEndpoint(); }

    // How many transfers run side by side; requests beyond are refused.
    void setTransferLimit(std::size_t limit) { m_transferLimit = limit; }
    std::size_t transferLimit() const { return m_transferLimit; }
    // The transfers under way, oldest first.
    std::vector<TftpTransferInfo> transfers() const;
    std::size_t transferCount() const;
    // The session of the transfer with `client`, if one runs.
    const TftpSession* sessionFor(const platform::Endpoint& client) const;

    // Transfers carried by other loops (the command line's workers): every
    // datagram the listen socket takes goes to `route` instead.
    using RequestRoute = std::function<void(std::vector<std::uint8_t>, const platform::Endpoint&)>;
    void setRequestRoute(RequestRoute route) { m_route = std::move(route); }
    // Makes this server a worker of `front`: it serves what is handed to
    // serveRequest() from the front's folder, address and limit, answers
    // refusals through the front's listen socket and counts its transfers in
    // `running` with those of the other workers. The front must outlive it.
    void serveFor(TftpServer& front, std::shared_ptr<std::atomic<std::size_t>> running);
    void serveRequest(std::span<const std::uint8_t> datagram, const platform::Endpoint& sender)
    {
        request(datagram, sender);
    }

    // Each transfer removed once it ended, with its client.
    void setTransferEndedCallback(std::function<void(const platform::Endpoint&)> callback)
    {
        m_transferEnded = std::move(callback);
    }

    // The system log's AddLogLine.
    void setSystemLog(std::function<void(const std::string&)> addLogLine) { m_addLogLine = std::move(addLogLine); }
    // After every toggle, with the real running state (the toolbar check).
    void setRunningCallback(std::function<void(bool)> callback) { m_runningChanged = std::move(callback); }
    // Each text appended to the log box.
    void setLogCallback(std::function<void(const std::string&)> callback) { m_logAppended = std::move(callback); }
    // Any change the view shows (log, progress, caption).
    void setChangedCallback(std::function<void()> callback) { m_changed = std::move(callback); }

private:
    class Transfer;
    friend class Transfer;

    void start();
    void stop();
    void receiveRequests();
    void request(std::span<const std::uint8_t> datagram, const platform::Endpoint& sender);
    void refuseRequest(const platform::Endpoint& sender, std::uint16_t code, const std::string& text);
    // Removes ended transfers once the loop is out of their callbacks.
    void sweepLater();
    void sweep();
    void notifyRunning();
    void changed();
    void appendLog(const std::string& text, TftpLog::Owner owner = 0);
    bool transferRunning(TftpLog::Owner id) const;
    void transferProgress(const Transfer& transfer);
    // Takes a place for a new transfer; false when the limit is reached.
    bool reserveTransfer();

    platform::EventLoop& m_loop;
    platform::Prompter& m_prompter;
    ViewSocket m_listen;
    std::vector<std::unique_ptr<Transfer>> m_transfers; // oldest first
    const Transfer* m_shown = nullptr; // the transfer the progress bar follows
    std::size_t m_transferLimit = kDefaultTransferLimit;
    bool m_sweepPosted = false;
    // Lets a posted sweep know the server is gone.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    std::vector<std::uint8_t> m_receive;
    RequestRoute m_route;
    ViewSocket* m_replies = &m_listen; // where refusals go out from port 69
    std::shared_ptr<std::atomic<std::size_t>> m_counted; // transfers of all workers, when a worker
    std::string m_localAddress;
    std::uint16_t m_listenPort = kListenPort;
    std::string m_filePath = kTftpUnchosenFolder;
    std::string m_openDirectory; // where files are opened when not the "File Path"
    std::string m_folderHint = "Choose one with the \"...\" button.";
    bool m_running = false;
    TftpLog m_log;
    TftpLog::Owner m_nextTransferId = 1;
    int m_progressMaximum = 0;
    int m_progressPosition = 0;
    std::function<void(const std::string&)> m_folderSink;
    std::function<void(const std::string&)> m_addLogLine;
    std::function<void(bool)> m_runningChanged;
    std::function<void(const std::string&)> m_logAppended;
    std::function<void()> m_changed;
    std::function<void(const platform::Endpoint&)> m_transferEnded;
};

} // namespace utility::services
