#pragma once

#include "driver/host/network.h"
#include "driver/host/timer.h"
#include "driver/port_device.h"
#include "driver/rfc2217_link.h"
#include "driver/transport.h"

#include <memory>
#include <mutex>

namespace driver {

// Where a port's network link stands.
enum class LinkState : std::uint8_t {
    Closed, // no endpoints
    Opened, // endpoints open, the client not connected yet
    Connected, // a client's TCP connection exists, or its UDP link is open
    ReconnectPending, // a TCP client's peer left; the endpoints stay and the next write reconnects
    Serving, // server mode without a client: listening (TCP) or waiting for a datagram (UDP)
    ServingConnected, // server mode with its one client
};

// A port's transport over the host's TCP and UDP endpoints: client or
// server, framed (CmdByte non-zero), raw, or RFC 2217 (WireProtocol; always
// TCP, the Telnet side in Rfc2217Link). Receive and disconnect handlers
// run on the network thread and only append, set state and queue jobs; the
// blocking work (connect, listen, restart, replies) runs in the callers'
// threads and the port's jobs.
class SocketTransport final : public PortTransport {
public:
    SocketTransport(PortDevice& port, host::NetService& network);
    ~SocketTransport() override;

    bool connected() const override;
    bool serverMode() const override;
    bool reconnectPending() const override;
    common::NtStatus sendControlPacket(const ControlPacket& packet) override;
    common::NtStatus sendTransmitBuffer(std::span<const std::uint8_t> bytes, std::size_t& taken) override;
    common::NtStatus reconnect() override;
    void abandonStream() override;
    common::NtStatus connectAtOpen() override;
    common::NtStatus openAsClient() override;
    common::NtStatus startServer() override;
    common::NtStatus disconnect() override;
    common::NtStatus closeTransport() override;
    void closeForRemoval() override;
    void resumeReceive() override;
    common::NtStatus purge(std::uint32_t purgeFlags) override;

    LinkState state() const;
    // A TCP server's listen is outstanding.
    bool listening() const;
    // The address the endpoint is bound to; port 0 without endpoints.
    host::NetAddress localAddress() const;
    // The port's LocalPort (network byte order), which the network thread
    // changes when a client's peer leaves; read it here, not from the config.
    std::uint16_t localPort() const;

private:
    // What a link is opened with; fixed while its endpoints are open.
    struct Session {
        host::NetProtocol protocol = host::NetProtocol::Tcp;
        bool framed = false;
        bool server = false;
        bool fixedDestination = false; // ConnType non-zero: datagrams go to RemoteHostIP:RemoteHostPort
        bool telnet = false; // RFC 2217 over the TCP connection
    };
    struct Snapshot {
        LinkState state = LinkState::Closed;
        std::shared_ptr<host::NetEndpoint> endpoint;
        Session session;
        host::NetAddress remote;
        host::NetAddress destination;
        bool removed = false;
    };
    Snapshot snapshot() const;

    // Each of these runs with m_operationMutex held.
    common::NtStatus openEndpoints(bool server);
    common::NtStatus closeEndpoints();
    common::NtStatus connectClient();
    common::NtStatus startServerLocked();
    void setState(LinkState state);
    // `taken` is null for control packets, which a port without a link
    // drops as a success (its settings are kept locally). Data gives its
    // `cuts`: control then goes ahead of its bytes not sent yet.
    common::NtStatus sendBytes(
        std::span<const std::uint8_t> bytes, std::size_t* taken, const host::SendCuts* cuts = nullptr);
    // RFC 2217: before a connect, and once it exists (the opening and the
    // commands that waited for it go out).
    void telnetBegin();
    void telnetSendOutgoing();
    bool telnetSession() const;

    // Network thread.
    std::size_t receiveRoom();
    void onStream(std::span<const std::uint8_t> bytes);
    void onDatagram(std::span<const std::uint8_t> bytes, host::NetAddress from);
    void onPeerDisconnected();
    void onAccepted();

    // Jobs on the worker pool.
    void runWriteLocalPort();
    void runServerAccept();
    void runServerRestart();
    void runUdpHelloReply();
    void runReconnect();
    void runTelnetSend();
    // Reconnection of a lost client beyond the next write: attempts on a
    // timer, throttled to the port's interval. With m_operationMutex held.
    bool reconnectEnabled() const;
    bool attemptDue();
    void attemptFailed(NtStatus status);
    void attemptSucceeded();
    void armRetry();
    void queue(PortJob job, void (SocketTransport::*routine)());

    PortDevice& m_port;
    host::NetService& m_network;
    std::mutex m_operationMutex; // serialises opening, connecting, disconnecting and closing the endpoints
    // Protects the fields below and the port's LocalPort; nothing else is
    // locked while it is held.
    mutable std::mutex m_mutex;
    LinkState m_state = LinkState::Closed;
    std::shared_ptr<host::NetEndpoint> m_endpoint;
    Session m_session;
    host::NetAddress m_remote; // RemoteHostIP:RemoteHostPort as this link uses them
    host::NetAddress m_peer; // the source of the datagram that opened a UDP link
    bool m_removed = false;
    // The user connected this client (or it connects at start) and has not
    // disconnected it: a lost connection is to be restored.
    bool m_wanted = false;
    bool m_lastAttemptFailed = false; // with m_lastAttempt: writes wait for the interval
    platform::TimePoint m_lastAttempt {};
    bool m_outageLogged = false;
    std::unique_ptr<host::KernelTimer> m_retryTimer;
    Rfc2217Link m_telnet;
};

// Creates a SocketTransport for every port, on its host's network thread.
class SocketTransports final : public TransportFactory {
public:
    std::unique_ptr<PortTransport> create(PortDevice& port) override;
};

} // namespace driver
