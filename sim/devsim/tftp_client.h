#pragma once

#include "platform/event_loop.h"
#include "platform/net.h"
#include "platform/result.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim::devsim {

// A TFTP client for one read transfer in octet mode with 512-byte blocks:
// read request, DATA/ACK lock-step, retransmission of the last packet when
// the server is silent, error packets both ways. It runs on an EventLoop and
// times itself with the loop's clock, so it works in virtual time too.
class TftpClient {
public:
    struct Options {
        platform::Ipv4 localAddress = 0; // the device's own address
        platform::Endpoint server; // where the read request goes
        std::string fileName;
        platform::Duration timeout = std::chrono::seconds(1);
        int retries = 5; // retransmissions of one packet before giving up
        std::size_t maxSize = 8u << 20; // larger files are refused (and no block number wraps)
    };
    // The file's bytes, or why the transfer failed.
    using Completion = std::function<void(platform::Result<std::vector<std::uint8_t>>)>;

    TftpClient(platform::EventLoop& loop, Options options, Completion completion);
    ~TftpClient();
    TftpClient(const TftpClient&) = delete;
    TftpClient& operator=(const TftpClient&) = delete;

    // Opens the socket and sends the read request. The completion runs later,
    // on the loop, exactly once (never from start() itself). It may destroy
    // the client.
    platform::Result<void> start();
    // Stops the transfer without calling the completion.
    void cancel();
    bool finished() const { return m_state == State::Finished; }
    std::size_t received() const { return m_data.size(); }

private:
    enum class State {
        Idle, // not started
        Requesting, // read request sent, no DATA yet
        Receiving, // locked to the server's transfer port
        Finished, // done, failed or cancelled
    };

    void onReadable();
    void onDatagram(std::span<const std::uint8_t> packet, const platform::Endpoint& from);
    void onTimeout();
    void sendLast();
    void sendAck(std::uint16_t block);
    void sendError(const platform::Endpoint& to, std::uint16_t code, const std::string& message);
    void restartTimer();
    void stop();
    void finish(platform::Result<std::vector<std::uint8_t>> result);

    platform::EventLoop& m_loop;
    Options m_options;
    Completion m_completion;
    platform::TimerSet m_timers;
    platform::UdpSocket m_socket;
    State m_state = State::Idle;
    platform::Endpoint m_peer; // the server's transfer endpoint once known
    std::vector<std::uint8_t> m_lastPacket; // what a timeout sends again
    platform::Endpoint m_lastTarget;
    std::uint16_t m_expectedBlock = 1;
    int m_retriesLeft = 0;
    std::vector<std::uint8_t> m_data;
    std::shared_ptr<int> m_alive = std::make_shared<int>(0); // reports go only to a live, uncancelled client
};

// TFTP packet opcodes and error codes used here.
namespace tftp {
inline constexpr std::uint16_t kReadRequest = 1;
inline constexpr std::uint16_t kData = 3;
inline constexpr std::uint16_t kAck = 4;
inline constexpr std::uint16_t kError = 5;
inline constexpr std::uint16_t kOptionAck = 6;
inline constexpr std::size_t kBlockSize = 512;
inline constexpr std::uint16_t kErrorUndefined = 0;
inline constexpr std::uint16_t kErrorDiskFull = 3;
inline constexpr std::uint16_t kErrorIllegalOperation = 4;
inline constexpr std::uint16_t kErrorUnknownTransferId = 5;
} // namespace tftp

} // namespace sim::devsim
