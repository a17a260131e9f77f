#pragma once

#include "platform/net.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
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

inline constexpr std::size_t kTftpBlockSize = 512; // without a block-size option
inline constexpr std::size_t kTftpMinBlockSize = 8; // the block-size option's range
inline constexpr std::size_t kTftpMaxBlockSize = 65464;
inline constexpr std::size_t kTftpReceiveBufferSize = 1500;
inline constexpr std::size_t kTftpMaxPath = 255; // the path buffer holds 255 characters and a zero
inline constexpr std::chrono::milliseconds kTftpRetransmitPeriod { 2000 };
inline constexpr int kTftpMaxTimeouts = 5;

// What a read session needs from the view that owns it: the transfer socket,
// the retransmission timer, the log box, message boxes and the progress bar.
class TftpSessionHost {
public:
    virtual ~TftpSessionHost() = default;
    // Sends one datagram from the transfer socket; returns the byte count the
    // send reports (0 when it failed).
    virtual std::size_t sendDatagram(std::span<const std::uint8_t> datagram, const platform::Endpoint& to) = 0;
    // One-shot retransmission timer (the view's timer 1).
    virtual void startRetransmitTimer(std::chrono::milliseconds period) = 0;
    virtual void stopRetransmitTimer() = 0;
    virtual void appendLog(const std::string& text) = 0;
    virtual void showMessage(const std::string& text) = 0;
    virtual void beep(int frequencyHz, int durationMs) = 0;
    virtual void setProgressRange(int maximum) = 0;
    virtual void setProgressPosition(int position) = 0;
};

// The TFTP server's one read session: every datagram that reaches the listen
// socket or the transfer socket goes through dispatch(). Files are only ever
// opened for reading, and only inside the served directory.
class TftpSession {
public:
    explicit TftpSession(TftpSessionHost& host);
    ~TftpSession();
    TftpSession(const TftpSession&) = delete;
    TftpSession& operator=(const TftpSession&) = delete;

    // The served directory; the session becomes idle.
    void setDirectory(std::string directory);
    const std::string& directory() const { return m_directory; }
    // Ends any session at once (the server stops): timer stopped, file closed.
    void reset();

    // One received datagram with its sender; `fromListenSocket` tells which
    // socket it reached.
    void dispatch(std::span<const std::uint8_t> datagram, const platform::Endpoint& sender, bool fromListenSocket);
    // The retransmission timer fired.
    void timeout();

    bool active() const { return m_active; }
    int timeoutCount() const { return m_timeouts; }
    bool fileOpen() const { return m_file != nullptr; }
    std::size_t blockSize() const { return m_blockSize; }
    const std::string& path() const { return m_path; }
    const platform::Endpoint& peer() const { return m_peer; }
    std::chrono::milliseconds retransmitPeriod() const { return m_period; }

private:
    struct Options {
        bool any = false; // the request carried option bytes at all
        std::size_t blockSize = 0; // 0: not asked for (or not honoured)
        bool transferSize = false;
        int timeoutSeconds = 0;
        // Honoured options as "name\0value\0" pairs in the client's spelling,
        // value filled in once the file is open.
        std::vector<std::string> names;
    };

    void handleReadRequest(std::span<const std::uint8_t> request);
    void handleAck(std::uint16_t block);
    void sendNextData(std::int64_t acknowledged);
    void resend();
    void send(std::size_t length);
    void sendError(std::uint16_t code, const std::string& text);
    void refuseWrite(std::span<const std::uint8_t> request, const platform::Endpoint& sender);
    void refuse(std::uint16_t code, const std::string& text, const std::string& logReason);
    bool openFile();
    void closeFile();
    void startCounters();
    std::int64_t expandBlock(std::uint16_t wire) const;
    static Options parseOptions(std::span<const std::uint8_t> optionBytes);

    TftpSessionHost& m_host;
    std::string m_directory;
    bool m_active = false;
    int m_timeouts = 0;

    std::vector<std::uint8_t> m_transmit; // the last datagram sent, kept for retransmission
    std::size_t m_transmitLength = 0;
    std::uint16_t m_lastOpcode = 0;
    std::int64_t m_block = 0; // DATA blocks sent; the wire carries its low 16 bits
    std::int64_t m_lastAcknowledged = -1;
    platform::Endpoint m_peer;
    std::string m_path;
    std::FILE* m_file = nullptr;
    std::uint64_t m_bytesSent = 0;
    std::uint64_t m_fileLength = 0;
    int m_blocksSent = 0;
    bool m_lastShort = false; // the last DATA sent held less than a block
    int m_progressMaximum = 0;
    std::size_t m_blockSize = kTftpBlockSize;
    std::chrono::milliseconds m_period = kTftpRetransmitPeriod;
};

// Whether a requested file name stays inside the served directory: no
// absolute path, no ".." component, no drive letter, no backslash.
bool tftpNameStaysInside(const std::string& name);
// Whether `path` still lies inside `directory` once both are resolved
// (symbolic links followed).
bool tftpPathStaysInside(const std::string& directory, const std::string& path);

} // namespace utility::services
