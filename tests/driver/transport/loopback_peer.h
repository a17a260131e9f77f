#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace driver_testing {

using Bytes = std::vector<std::uint8_t>;

// The device server's side of a test, written plainly on blocking POSIX
// sockets so that it shares no code with the driver's transport. Every wait
// has a limit in real time; nothing here measures the driver's timing.
inline constexpr std::chrono::milliseconds kPeerLimit { 5000 };

class TcpPeer {
public:
    explicit TcpPeer(int fd);
    ~TcpPeer();
    TcpPeer(const TcpPeer&) = delete;
    TcpPeer& operator=(const TcpPeer&) = delete;

    static std::unique_ptr<TcpPeer> connect(std::uint16_t port);
    bool send(std::span<const std::uint8_t> bytes);
    // Exactly `count` bytes, or what arrived before the limit or the end.
    Bytes receive(std::size_t count, std::chrono::milliseconds limit = kPeerLimit);
    // True when the driver closed or reset the connection within the limit.
    bool closedByOtherSide(std::chrono::milliseconds limit = kPeerLimit);
    // Nothing arrives within a short grace period.
    bool quiet(std::chrono::milliseconds grace = std::chrono::milliseconds(50));
    std::uint16_t remotePort() const;
    // Half-close: the peer sends no more but still reads.
    void shutdownWrite();
    void close();
    // Ends both directions at once; a send blocked in another thread returns.
    void shutdown();

private:
    int m_fd;
};

class TcpListener {
public:
    // Listens on 127.0.0.1:port (0: any free port); a small receive buffer
    // makes a peer that does not read block its sender soon.
    explicit TcpListener(std::uint16_t port = 0, int receiveBuffer = 0);
    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    std::uint16_t port() const { return m_port; }
    std::unique_ptr<TcpPeer> accept(std::chrono::milliseconds limit = kPeerLimit);

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
};

class UdpPeer {
public:
    explicit UdpPeer(std::uint16_t port = 0);
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    struct Datagram {
        Bytes bytes;
        std::uint16_t fromPort = 0;
        std::uint32_t fromAddress = 0; // first dotted part most significant
    };
    std::uint16_t port() const { return m_port; }
    bool sendTo(std::uint16_t port, std::span<const std::uint8_t> bytes);
    std::optional<Datagram> receive(std::chrono::milliseconds limit = kPeerLimit);

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
};

} // namespace driver_testing
