#pragma once

#include "platform/net.h"
#include "utility/services/tftp_progress.h"
#include "utility/services/tftp_request.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <span>
#include <string>
#include <vector>

namespace utility::services {

inline constexpr std::uint16_t kTftpRrq = 1;
inline constexpr std::uint16_t kTftpWrq = 2;
inline constexpr std::uint16_t kTftpData = 3;
inline constexpr std::uint16_t kTftpAck = 4;
inline constexpr std::uint16_t kTftpError = 5;
inline constexpr std::uint16_t kTftpOack = 6;

inline constexpr std::size_t kTftpReceiveBufferSize = 1500;
inline constexpr std::size_t kTftpMaxPath = 255; // the path buffer holds 255 characters and a zero
inline constexpr std::chrono::milliseconds kTftpRetransmitPeriod { 2000 };
// The wait doubles with every time-out of the same block, up to this.
inline constexpr std::chrono::milliseconds kTftpLongestRetransmitPeriod { 16000 };
// An OACK is sent again only after this long: some clients take a second
// OACK for a protocol error and give up, so theirs (a repeated request, or
// the acknowledgement of block 0 sent again) is waited for first.
inline constexpr std::chrono::milliseconds kTftpOackPatience { 10000 };
// Time-outs in a row without progress after which a transfer is dropped.
inline constexpr int kTftpMaxTimeouts = 5;

// How long the session waits for the client after `timeouts` time-outs in
// a row, starting from `period`: a client that answers a repeated block
// only once and then waits for its own time-out (atftp does) must see a
// pause longer than that time-out before the server gives up.
std::chrono::milliseconds tftpRetransmitDelay(std::chrono::milliseconds period, int timeouts);

// What a read session needs from whoever carries it: its transfer socket,
// its retransmission timer, the log box, message boxes and the progress bar.
class TftpSessionHost {
public:
    virtual ~TftpSessionHost() = default;
    // Sends one datagram from the session's transfer socket; returns the
    // byte count the send reports (0 when it failed).
    virtual std::size_t sendDatagram(std::span<const std::uint8_t> datagram, const platform::Endpoint& to) = 0;
    // One-shot retransmission timer.
    virtual void startRetransmitTimer(std::chrono::milliseconds period) = 0;
    virtual void stopRetransmitTimer() = 0;
    virtual void appendLog(const std::string& text) = 0;
    virtual void showMessage(const std::string& text) = 0;
    virtual void beep(int frequencyHz, int durationMs) = 0;
    virtual void setProgressRange(int maximum) = 0;
    virtual void setProgressPosition(int position) = 0;
};

// One read transfer to one client. The request comes in through start();
// every later datagram that reaches the session's own transfer socket goes
// through dispatch(), which takes only the client's address and port (its
// transfer identifier) and tells anyone else the transfer is not theirs.
// Files are only ever opened for reading, and only inside the served
// directory.
class TftpSession {
public:
    enum class State {
        Idle, // no transfer, or the transfer has ended
        OptionsSent, // OACK sent, waiting for the acknowledgement of block 0
        Sending, // DATA sent, waiting for the acknowledgement of the window
    };

    explicit TftpSession(TftpSessionHost& host);
    ~TftpSession();
    TftpSession(const TftpSession&) = delete;
    TftpSession& operator=(const TftpSession&) = delete;

    // The served directory, as the log shows it and (when the process sees
    // it elsewhere, shut into it as its root) as files are opened there;
    // the session becomes idle.
    void setDirectory(std::string directory, std::string openedAs = {});
    const std::string& directory() const { return m_directory; }
    // Ends any transfer at once (the server stops): timer stopped, file closed.
    void reset();

    // A read request from `client`, received on the listen socket.
    void start(std::span<const std::uint8_t> request, const platform::Endpoint& client);
    // A datagram received on the session's transfer socket.
    void dispatch(std::span<const std::uint8_t> datagram, const platform::Endpoint& sender);
    // The retransmission timer fired.
    void timeout();
    // The client asked for another file from the same port: if all it was
    // sent is the whole file, it has it (its last acknowledgement was lost)
    // and the transfer is complete. Returns whether it was.
    bool completeOnNewRequest();
    // The client asked again for the transfer under way: when it cannot have
    // had an answer yet (the OACK is not acknowledged), the OACK goes again.
    void repeatedRequest();

    bool active() const { return m_state != State::Idle; }
    State state() const { return m_state; }
    // The last block of the file is out and only its acknowledgement is awaited.
    bool awaitingFinalAck() const { return m_state == State::Sending && m_finalBlock >= 0 && m_block == m_finalBlock; }
    int timeoutCount() const { return m_timeouts; }
    bool fileOpen() const { return m_file != nullptr; }
    std::size_t blockSize() const { return m_blockSize; }
    std::size_t window() const { return m_window; }
    bool netascii() const { return m_netascii; }
    const std::string& path() const { return m_path; }
    const platform::Endpoint& peer() const { return m_peer; }
    std::chrono::milliseconds retransmitPeriod() const { return m_period; }
    int blocksSent() const { return m_blocksSent; }
    // File bytes the client acknowledged so far.
    std::uint64_t bytesAcknowledged() const;
    int progressMaximum() const { return m_progressMaximum; }

private:
    void handleRequest(const TftpRequest& request);
    void handleAck(std::uint16_t block);
    void handleError(std::span<const std::uint8_t> datagram);
    void sendWindow();
    std::size_t readBlock(std::uint8_t* out);
    void resend();
    void startTimer();
    void send(std::span<const std::uint8_t> datagram);
    void sendError(std::uint16_t code, const std::string& text);
    void refuse(std::uint16_t code, const std::string& text, const std::string& logReason);
    // Ends a transfer whose file failed it part-way: the client is told.
    void abandonRead(const std::string& reason);
    // Ends a transfer whose last block may or may not have arrived: no
    // success is claimed.
    void endUnacknowledged();
    void complete();
    void reportProgress();
    void logProgress(TftpProgress::Kind kind);
    void end();
    // `lengthWanted`: the client asked for the transfer size.
    bool openFile(bool lengthWanted);
    void closeFile();
    void startCounters();
    std::int64_t expandBlock(std::uint16_t wire) const;

    TftpSessionHost& m_host;
    std::string m_directory;
    std::string m_openDirectory;
    State m_state = State::Idle;
    int m_timeouts = 0; // time-outs since the client last made progress

    std::vector<std::uint8_t> m_oack; // the option acknowledgement, kept for retransmission
    // DATA sent and not yet acknowledged, oldest first, kept for retransmission.
    std::deque<std::vector<std::uint8_t>> m_unacknowledged;
    std::vector<std::vector<std::uint8_t>> m_spare; // buffers of acknowledged blocks, for the next ones
    std::int64_t m_block = 0; // highest DATA block sent; the wire carries its low 16 bits
    std::int64_t m_lastAcknowledged = 0;
    std::int64_t m_finalBlock = -1; // the short block that ends the file, once read
    platform::Endpoint m_peer;
    std::string m_path; // as the log shows it
    std::string m_openPath;
    static constexpr std::size_t kFileBufferSize = 64 * 1024;
    std::vector<char> m_fileBuffer; // the open file's stdio buffer (outlives it)
    std::FILE* m_file = nullptr;
    bool m_netascii = false;
    int m_pendingByte = -1; // netascii: second byte of a CR pair that did not fit the last block
    std::uint64_t m_fileLength = 0;
    bool m_lengthKnown = false; // m_fileLength is what the client gets (tsize may say it)
    std::uint64_t m_bytesRead = 0; // file bytes put into DATA so far
    int m_stepsReported = 0; // tenths of the file whose progress line is out
    int m_blocksSent = 0;
    int m_progressMaximum = 0;
    std::size_t m_blockSize = kTftpBlockSize;
    std::size_t m_window = 1;
    std::chrono::milliseconds m_period = kTftpRetransmitPeriod;
};

} // namespace utility::services
