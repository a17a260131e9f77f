#pragma once

#include "common/ntstatus.h"
#include "platform/clock.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <unordered_map>

namespace driver::host {

using common::NtStatus;

// An IPv4 address and port as numbers: the address's first dotted part is the
// most significant byte, the port is the plain port number.
struct NetAddress {
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
    bool operator==(const NetAddress&) const = default;
};

enum class NetProtocol { Tcp, Udp };

// A send limit that never passes: the send waits as long as the connection
// lives.
inline constexpr platform::Duration kNoLimit = platform::Duration::max();

// Where a send's bytes may be cut to let another sender's bytes in: given
// how many bytes went, the first position at or after it that ends a whole
// unit of the stream (a packet, an escape pair), at most the send's size.
using SendCuts = std::function<std::size_t(std::size_t sent)>;

// Readiness bits handed to a watch's handler.
inline constexpr unsigned kNetReadable = 1u << 0;
inline constexpr unsigned kNetWritable = 1u << 1;
inline constexpr unsigned kNetHangUp = 1u << 2;

// The transport's event thread: one epoll loop that runs the receive,
// disconnect and connect-offer handlers of every endpoint at raised level.
// Handlers must not block; blocking work belongs on the worker pool.
class NetService {
public:
    using IoHandler = std::function<void(unsigned events)>;

    explicit NetService(platform::Clock& clock);
    ~NetService();
    NetService(const NetService&) = delete;
    NetService& operator=(const NetService&) = delete;

    platform::Clock& clock() { return m_clock; }
    bool onNetworkThread() const { return std::this_thread::get_id() == m_threadId; }

    // Watches `fd` for kNetReadable and/or kNetWritable; false on failure.
    bool watch(int fd, unsigned events, IoHandler handler);
    // Adds the `add` bits to what a watched fd is watched for and takes the
    // `remove` bits away; the others stay. A sender waiting for room and the
    // receive side pausing for want of room each change only their own bit.
    void modify(int fd, unsigned add, unsigned remove);
    // Tests: runs at the start of every modify(), on the caller's thread and
    // with the caller's locks held, so a test can act in the middle of an
    // endpoint's change. Set before anything is watched.
    void setModifyHook(std::function<void(int fd, unsigned add, unsigned remove)> hook)
    {
        m_modifyHook = std::move(hook);
    }
    // Stops watching `fd`. Waits for its handler if that runs on another
    // thread, so the fd may be closed and its owner freed afterwards.
    void unwatch(int fd);

private:
    struct Watch {
        std::uint64_t id = 0;
        int fd = -1;
        unsigned events = 0; // what the fd is watched for
        IoHandler handler;
        bool running = false;
    };
    void run();

    platform::Clock& m_clock;
    int m_epoll = -1;
    int m_wake = -1;
    std::mutex m_mutex; // protects m_watches, m_byFd, m_nextId and every Watch's running flag
    std::condition_variable m_handlerDone;
    std::unordered_map<std::uint64_t, std::shared_ptr<Watch>> m_watches;
    std::unordered_map<int, std::uint64_t> m_byFd;
    std::uint64_t m_nextId = 1;
    std::atomic<bool> m_stopping { false };
    std::thread::id m_threadId;
    std::thread m_thread;
    std::function<void(int, unsigned, unsigned)> m_modifyHook;
};

// Handlers of an endpoint; each runs on the network thread and must not block.
struct NetHandlers {
    // Bytes of the TCP connection's stream.
    std::function<void(std::span<const std::uint8_t>)> receive;
    // One datagram and its sender.
    std::function<void(std::span<const std::uint8_t>, NetAddress)> receiveDatagram;
    // The TCP peer closed or reset the connection.
    std::function<void()> disconnect;
    // How many stream bytes the owner can take now. When set, a TCP
    // connection is read no further than that, and not at all while it is 0:
    // the peer is held back by TCP itself until resumeReceive().
    std::function<std::size_t()> receiveRoom;
};

// One network endpoint of a port: a UDP socket, or for TCP an address bound
// to a local port with one connection at a time (connected as a client, or
// accepted as a server). Blocking operations wait on the service's clock.
class NetEndpoint : public std::enable_shared_from_this<NetEndpoint> {
public:
    enum class Role { Client, Server };

    // Binds a socket of `protocol` to `local` (address 0 = any). Received
    // bytes land in `receiveBuffer`, which the owner keeps while the
    // endpoint lives; a handler sees them only for the length of its call.
    static NtStatus open(NetService& service, NetProtocol protocol, Role role, NetAddress local,
        std::span<std::uint8_t> receiveBuffer, NetHandlers handlers, std::shared_ptr<NetEndpoint>& endpoint);
    ~NetEndpoint();
    NetEndpoint(const NetEndpoint&) = delete;
    NetEndpoint& operator=(const NetEndpoint&) = delete;

    NetProtocol protocol() const { return m_protocol; }
    NetAddress local() const { return m_local; }

    // TCP client: connects to `remote`, waiting at most `limit`. After a
    // disconnect the same local address is bound again for the new attempt.
    NtStatus connect(NetAddress remote, platform::Duration limit);
    // TCP server: accepts the next connection offered; `accepted` runs on the
    // network thread once the connection exists. Offers that arrive while no
    // listen is outstanding, or while a connection exists, are refused.
    NtStatus listen(std::function<void()> accepted);
    void cancelListen();
    bool listening() const;
    // Sends every byte over the TCP connection, waiting at most `limit` (or
    // with kNoLimit until the connection ends) for the socket to take them;
    // STATUS_CANCELLED when the limit passed.
    // `taken` (when given) is how many leading bytes the socket took, also
    // when the send failed.
    // A send given `cuts` (data) lets every other use of the sockets go
    // first: it waits for its turn behind them, and while it holds the
    // socket it steps aside at its next cut whenever one waits. Sends
    // without cuts (control, answers) never wait for a data send to finish,
    // only for it to reach a cut. The connection of a send's start is the
    // only one it sends on.
    NtStatus send(std::span<const std::uint8_t> bytes, platform::Duration limit, std::size_t* taken = nullptr,
        const SendCuts* cuts = nullptr);
    // Sends one UDP datagram to `to`, with the same limit.
    NtStatus sendTo(NetAddress to, std::span<const std::uint8_t> bytes, platform::Duration limit);
    // Abortive disconnect: the TCP connection is reset and released.
    NtStatus disconnect();
    // The owner has room again: a connection held back for want of room is
    // read again. Cheap when nothing is held back.
    void resumeReceive();
    // Closes the sockets; no handler runs after this returns (unless called
    // from a handler, which may finish its own call).
    void close();

private:
    NetEndpoint(NetService& service, NetProtocol protocol, Role role, NetAddress local,
        std::span<std::uint8_t> receiveBuffer, NetHandlers handlers);
    NtStatus bindNew(int& fd);
    // With `yieldable`, also returns (success) once another user of the
    // sockets waits for them.
    NtStatus waitWritable(int fd, platform::TimePoint deadline, std::uint64_t generation, bool yieldable = false);
    // A data send at a cut: hands the sockets to those waiting and takes
    // them back after them.
    void yieldIo();
    void onConnectionEvent(int fd, unsigned events);
    void onListenerEvent(int listener);
    void onDatagramEvent(unsigned events);
    // Takes the connection out of service; the caller resets it.
    int detachConnection();
    // Every handler runs inside one; none starts once the endpoint is closed.
    bool enterHandler();
    void leaveHandler();
    struct HandlerScope {
        explicit HandlerScope(NetEndpoint& endpoint)
            : owner(endpoint)
            , entered(endpoint.enterHandler())
        {
        }
        ~HandlerScope()
        {
            if (entered)
                owner.leaveHandler();
        }
        HandlerScope(const HandlerScope&) = delete;
        HandlerScope& operator=(const HandlerScope&) = delete;
        NetEndpoint& owner;
        const bool entered;
    };
    static void resetAndClose(int fd);
    // The blocking use of the sockets (connect, send, reset, close), one
    // caller at a time. A send with a limit waits for its turn no longer
    // than that: a data send held by a device that reads nothing may hold
    // it for as long as the connection lives.
    // A `yielding` caller (a data send) also waits while others wait.
    bool acquireIo(platform::TimePoint deadline, bool yielding = false);
    void releaseIo();
    bool othersWaitForIo() const;
    struct IoScope {
        explicit IoScope(
            NetEndpoint& endpoint, platform::TimePoint deadline = platform::TimePoint::max(), bool yielding = false)
            : owner(endpoint)
            , held(endpoint.acquireIo(deadline, yielding))
        {
        }
        ~IoScope()
        {
            if (held)
                owner.releaseIo();
        }
        IoScope(const IoScope&) = delete;
        IoScope& operator=(const IoScope&) = delete;
        NetEndpoint& owner;
        const bool held;
    };

    NetService& m_service;
    const NetProtocol m_protocol;
    const Role m_role;
    const NetAddress m_local;
    const std::span<std::uint8_t> m_receiveBuffer;
    const NetHandlers m_handlers;

    mutable std::mutex m_mutex; // protects the fds, the flags below and m_generation
    std::condition_variable m_changed;
    int m_socket = -1; // UDP socket, TCP listener (server) or bound connection socket (client)
    int m_connection = -1; // TCP: the connected socket
    bool m_connectionWatched = false;
    bool m_listenStarted = false;
    bool m_listening = false;
    bool m_writable = false;
    bool m_closed = false;
    bool m_ioBusy = false; // an IoScope holds the sockets' blocking use
    int m_ioUrgent = 0; // users other than data sends waiting for the sockets
    std::uint64_t m_generation = 0; // bumped whenever the connection changes or the endpoint closes
    int m_handlersRunning = 0; // a handler may go on after unwatching its own fd
    bool m_receivePaused = false; // the connection is not watched for reading for want of room
    std::function<void()> m_accepted;
};

} // namespace driver::host
