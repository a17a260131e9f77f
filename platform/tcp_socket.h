#pragma once

#include "platform/net.h"
#include "platform/result.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace platform {

// Non-blocking TCP sockets. Readiness comes from EventLoop::watchFd on fd():
// a listener is readable when a connection waits to be accepted; a
// connection is readable when bytes (or the peer's close) arrived and
// writable when send() can take more, or when a connect() in progress has
// ended. Errors carry errno; EAGAIN means "not now".

// One end of a TCP connection (closed on destruction).
class TcpSocket {
public:
    enum class ConnectStatus {
        Connected, // done at once (loopback often is)
        InProgress, // wait until writable, then call finishConnect()
    };

    TcpSocket() = default;
    ~TcpSocket();
    TcpSocket(TcpSocket&& other) noexcept;
    TcpSocket& operator=(TcpSocket&& other) noexcept;
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Creates an unconnected socket; bind() it first to choose the local
    // address, then connect().
    static Result<TcpSocket> open();

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    Result<void> setReuseAddress(bool on);
    Result<void> setNoDelay(bool on);
    Result<void> bind(Ipv4 localAddress, std::uint16_t port);
    Result<ConnectStatus> connect(const Endpoint& to);
    // The outcome of a connect() that was in progress, once the socket is writable.
    Result<void> finishConnect();

    // Sends what the kernel takes now (possibly less than given).
    Result<std::size_t> send(std::span<const std::uint8_t> data);
    // Receives what is there; 0 bytes means the peer closed its side.
    Result<std::size_t> receive(std::span<std::uint8_t> buffer);
    // No more sending from this side; the peer reads an end of stream.
    Result<void> shutdownSend();

    // Orderly close: unsent bytes still go out, then the peer sees the end.
    void close();
    // Abortive close: the peer sees a reset at once and unsent bytes are dropped.
    void closeReset();

    Endpoint localEndpoint() const;
    Endpoint peerEndpoint() const;

private:
    friend class TcpListener;
    explicit TcpSocket(int fd)
        : m_fd(fd)
    {
    }
    int m_fd = -1;
};

// A listening socket.
class TcpListener {
public:
    TcpListener() = default;
    ~TcpListener();
    TcpListener(TcpListener&& other) noexcept;
    TcpListener& operator=(TcpListener&& other) noexcept;
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // Listens on a local address (0 = any) and port (0 = any free port).
    // The address may be reused at once after a previous listener closed.
    static Result<TcpListener> listen(Ipv4 localAddress, std::uint16_t port, int backlog = 8);

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    void close();

    // The next waiting connection, non-blocking; EAGAIN when none waits.
    Result<TcpSocket> accept(Endpoint& peer);
    Endpoint localEndpoint() const;

private:
    explicit TcpListener(int fd)
        : m_fd(fd)
    {
    }
    int m_fd = -1;
};

} // namespace platform
