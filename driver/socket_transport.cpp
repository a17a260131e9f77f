#include "driver/socket_transport.h"

#include "driver/host/host.h"
#include "driver/port_internal.h"
#include "driver/socket_transport_internal.h"
#include "driver/vorpil_driver.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace driver {

using namespace common;
using host::NetAddress;
using host::NetEndpoint;
using host::NetProtocol;
using link::isConnected;
using link::isServing;
using link::kSendLimit;

namespace {

// How long a connect may take before it is given up.
constexpr auto kConnectLimit = std::chrono::seconds(20);
// Local ports tried when the next one in the sequence is taken.
constexpr int kLocalPortAttempts = 255;

// The configuration holds addresses and ports in network byte order as a
// little-endian load of their bytes.
constexpr std::uint32_t swap32(std::uint32_t value)
{
    return (value >> 24) | ((value >> 8) & 0xFF00) | ((value << 8) & 0xFF0000) | (value << 24);
}
constexpr std::uint16_t swap16(std::uint16_t value) { return static_cast<std::uint16_t>((value >> 8) | (value << 8)); }

std::string endpointText(NetAddress address)
{
    return std::to_string(address.ip >> 24) + "." + std::to_string((address.ip >> 16) & 0xFF) + "."
        + std::to_string((address.ip >> 8) & 0xFF) + "." + std::to_string(address.ip & 0xFF) + ":"
        + std::to_string(address.port);
}

} // namespace

SocketTransport::SocketTransport(PortDevice& port, host::NetService& network)
    : m_port(port)
    , m_network(network)
    , m_retryTimer(std::make_unique<host::KernelTimer>(port.host->timers()))
    , m_telnet(port)
{
}

SocketTransport::~SocketTransport()
{
    {
        std::lock_guard lock(m_mutex);
        m_removed = true;
    }
    m_retryTimer.reset(); // waits for a firing timer
    std::lock_guard operation(m_operationMutex);
    (void)closeEndpoints();
}

bool SocketTransport::reconnectEnabled() const { return loadShared(m_port.config.reconnectSeconds) != 0; }

// A write after a failed attempt does not try again before the interval has
// passed, so a program writing to a lost device is not held up by every write.
bool SocketTransport::attemptDue()
{
    if (!m_lastAttemptFailed || !reconnectEnabled())
        return true;
    const auto interval = std::chrono::seconds(loadShared(m_port.config.reconnectSeconds));
    return m_port.host->clock().now() - m_lastAttempt >= interval;
}

void SocketTransport::attemptFailed(NtStatus status)
{
    m_lastAttemptFailed = true;
    m_lastAttempt = m_port.host->clock().now();
    if (!m_outageLogged)
        std::fprintf(stderr, "vorpild: %.*s: connection to %s lost (%s); trying again every %u s\n",
            static_cast<int>(m_port.deviceName.view().size()), m_port.deviceName.view().data(),
            endpointText(snapshot().remote).c_str(), statusText(status).c_str(),
            loadShared(m_port.config.reconnectSeconds));
    m_outageLogged = true;
    armRetry();
}

void SocketTransport::attemptSucceeded()
{
    if (m_outageLogged)
        std::fprintf(stderr, "vorpild: %.*s: connection to %s restored\n",
            static_cast<int>(m_port.deviceName.view().size()), m_port.deviceName.view().data(),
            endpointText(snapshot().remote).c_str());
    m_outageLogged = false;
    m_lastAttemptFailed = false;
}

void SocketTransport::armRetry()
{
    if (!reconnectEnabled())
        return;
    (void)m_retryTimer->set(std::chrono::seconds(loadShared(m_port.config.reconnectSeconds)),
        [this] { queue(PortJob::Reconnect, &SocketTransport::runReconnect); });
}

// The retry timer's job: while the user wants the client connected and a
// program has the port open (or the port connects at start), try again.
void SocketTransport::runReconnect()
{
    std::lock_guard operation(m_operationMutex);
    const Snapshot link = snapshot();
    bool wanted = false;
    {
        std::lock_guard lock(m_mutex);
        wanted = m_wanted;
    }
    if (link.removed || !wanted || !reconnectEnabled() || isConnected(link.state) || isServing(link.state))
        return;
    if (!m_port.openFlag.load() && m_port.config.connectAtWinStart == 0) {
        armRetry(); // nobody needs it now; look again later
        return;
    }
    NtStatus status = kStatusSuccess;
    if (link.state == LinkState::ReconnectPending && link.endpoint) {
        (void)link.endpoint->disconnect();
        {
            std::lock_guard lock(m_port.dataLock);
            resetReassembly(m_port);
        }
        if (link.session.telnet)
            telnetBegin();
        status = link.endpoint->connect(link.remote, kConnectLimit);
        if (ntSuccess(status)) {
            setState(LinkState::Connected);
            if (link.session.telnet)
                telnetSendOutgoing();
        }
    } else {
        if (link.endpoint)
            (void)closeEndpoints();
        status = connectClient();
    }
    if (ntSuccess(status))
        attemptSucceeded();
    else
        attemptFailed(status);
}

SocketTransport::Snapshot SocketTransport::snapshot() const
{
    std::lock_guard lock(m_mutex);
    Snapshot out;
    out.state = m_state;
    out.endpoint = m_endpoint;
    out.session = m_session;
    out.remote = m_remote;
    out.destination = m_session.fixedDestination ? m_remote : m_peer;
    out.removed = m_removed;
    return out;
}

void SocketTransport::setState(LinkState state)
{
    std::lock_guard lock(m_mutex);
    m_state = state;
}

bool SocketTransport::connected() const { return isConnected(state()); }
bool SocketTransport::serverMode() const { return isServing(state()); }
bool SocketTransport::reconnectPending() const { return state() == LinkState::ReconnectPending; }

LinkState SocketTransport::state() const
{
    std::lock_guard lock(m_mutex);
    return m_state;
}

bool SocketTransport::listening() const
{
    const auto endpoint = snapshot().endpoint;
    return endpoint && endpoint->listening();
}

NetAddress SocketTransport::localAddress() const
{
    const auto endpoint = snapshot().endpoint;
    return endpoint ? endpoint->local() : NetAddress {};
}

std::uint16_t SocketTransport::localPort() const
{
    std::lock_guard lock(m_mutex);
    return loadShared(m_port.config.localPort);
}

void SocketTransport::queue(PortJob job, void (SocketTransport::*routine)())
{
    (void)queueJob(m_port, job, [this, job, routine](PortDevice&) {
        // Jobs block; one that finds itself at raised level runs again later.
        if (host::atRaisedLevel()) {
            queue(job, routine);
            return;
        }
        (this->*routine)();
    });
}

NtStatus SocketTransport::openEndpoints(bool server)
{
    const PortConfig& config = m_port.config;
    Session session;
    session.telnet = speaksRfc2217(config);
    session.protocol = config.protocol == 0 || session.telnet ? NetProtocol::Tcp : NetProtocol::Udp;
    session.framed = framedStream(config);
    session.server = server;
    session.fixedDestination = config.connType != 0;
    const NetAddress remote { swap32(config.remoteHostIp), swap16(config.remoteHostPort) };
    NetAddress local { swap32(config.bindAddress), remote.port };
    if (!server)
        local.port = m_port.localPorts ? m_port.localPorts->claim() : 0;
    {
        // The handlers may run as soon as the endpoint exists.
        std::lock_guard lock(m_mutex);
        if (m_endpoint)
            return kStatusInvalidDeviceState;
        m_session = session;
        m_remote = remote;
        m_peer = {};
        m_state = server ? LinkState::Serving : LinkState::Opened;
    }
    std::shared_ptr<NetEndpoint> endpoint;
    NtStatus status = kStatusSuccess;
    // A client's local port may be taken by another program (or another
    // driver host on this machine): the sequence moves on to the next one,
    // once around its 256 ports at most.
    for (int attempt = 0;; ++attempt) {
        host::NetHandlers handlers;
        handlers.receive = [this](std::span<const std::uint8_t> bytes) { onStream(bytes); };
        handlers.receiveDatagram
            = [this](std::span<const std::uint8_t> bytes, NetAddress from) { onDatagram(bytes, from); };
        handlers.disconnect = [this] { onPeerDisconnected(); };
        handlers.receiveRoom = [this] { return receiveRoom(); };
        status = NetEndpoint::open(m_network, session.protocol,
            server ? NetEndpoint::Role::Server : NetEndpoint::Role::Client, local, m_port.remainder->buffer,
            std::move(handlers), endpoint);
        if (ntSuccess(status) || server || !m_port.localPorts || status != kStatusAddressAlreadyExists
            || attempt >= kLocalPortAttempts)
            break;
        local.port = m_port.localPorts->claim();
    }
    if (!ntSuccess(status)) {
        if (!server && m_port.localPorts)
            m_port.localPorts->giveBack(local.port);
        setState(LinkState::Closed);
        return status;
    }
    std::lock_guard lock(m_mutex);
    if (!server)
        storeShared(m_port.config.localPort, swap16(local.port));
    m_endpoint = std::move(endpoint);
    return kStatusSuccess;
}

NtStatus SocketTransport::closeEndpoints()
{
    std::shared_ptr<NetEndpoint> endpoint;
    {
        std::lock_guard lock(m_mutex);
        endpoint = std::move(m_endpoint);
        m_endpoint = nullptr;
        m_state = LinkState::Closed;
    }
    if (!endpoint)
        return kStatusInvalidDeviceState;
    endpoint->close(); // no handler of this endpoint runs after this
    return kStatusSuccess;
}

NtStatus SocketTransport::connectClient()
{
    NtStatus status = openEndpoints(false);
    if (!ntSuccess(status))
        return status;
    const Snapshot link = snapshot();
    if (link.session.protocol == NetProtocol::Tcp) {
        {
            std::lock_guard lock(m_port.dataLock);
            resetReassembly(m_port);
        }
        if (link.session.telnet)
            telnetBegin();
        status = link.endpoint->connect(link.remote, kConnectLimit);
        if (!ntSuccess(status)) {
            (void)closeEndpoints();
            return status;
        }
        {
            std::lock_guard lock(m_mutex);
            m_state = LinkState::Connected;
            m_wanted = true;
        }
        if (link.session.telnet)
            telnetSendOutgoing();
        queue(PortJob::WriteLocalPort, &SocketTransport::runWriteLocalPort);
        return kStatusSuccess;
    }
    if (link.session.framed) {
        status = link.endpoint->sendTo(link.remote, kHelloPacket, kSendLimit);
        if (!ntSuccess(status)) {
            (void)closeEndpoints();
            return status;
        }
    }
    setState(LinkState::Connected);
    return kStatusSuccess;
}

NtStatus SocketTransport::connectAtOpen()
{
    std::lock_guard operation(m_operationMutex);
    if (snapshot().removed)
        return kStatusInvalidDeviceState;
    const NtStatus status = connectClient();
    if (!ntSuccess(status) && m_port.config.protocol == 0 && reconnectEnabled()) {
        // A port that connects at start keeps trying while it is open.
        {
            std::lock_guard lock(m_mutex);
            m_wanted = true;
        }
        attemptFailed(status);
    }
    return status;
}

NtStatus SocketTransport::openAsClient()
{
    std::lock_guard operation(m_operationMutex);
    const Snapshot link = snapshot();
    if (link.removed)
        return kStatusInvalidDeviceState;
    if (isConnected(link.state))
        return kStatusSuccess;
    if (link.state == LinkState::ReconnectPending)
        (void)closeEndpoints();
    const NtStatus status = connectClient();
    if (ntSuccess(status))
        attemptSucceeded();
    std::lock_guard lock(m_port.dataLock);
    emptyReceiveBuffers(m_port);
    return status;
}

NtStatus SocketTransport::startServerLocked()
{
    const NtStatus status = openEndpoints(true);
    if (!ntSuccess(status))
        return status;
    if (snapshot().session.protocol == NetProtocol::Tcp)
        queue(PortJob::ServerAccept, &SocketTransport::runServerAccept);
    return kStatusSuccess;
}

NtStatus SocketTransport::startServer()
{
    std::lock_guard operation(m_operationMutex);
    {
        std::lock_guard lock(m_mutex);
        m_wanted = false; // the user's word: no reconnection
    }
    m_lastAttemptFailed = false;
    m_outageLogged = false;
    if (snapshot().removed)
        return kStatusInvalidDeviceState;
    return startServerLocked();
}

NtStatus SocketTransport::disconnect()
{
    std::lock_guard operation(m_operationMutex);
    {
        std::lock_guard lock(m_mutex);
        m_wanted = false; // the user's word: no reconnection
    }
    m_lastAttemptFailed = false;
    m_outageLogged = false;
    const Snapshot link = snapshot();
    if (!link.endpoint)
        return kStatusInvalidDeviceState;
    if (link.session.protocol == NetProtocol::Tcp) {
        if (link.session.server && link.state != LinkState::ServingConnected)
            link.endpoint->cancelListen();
        else if (isConnected(link.state))
            (void)link.endpoint->disconnect();
    } else if (isConnected(link.state) && link.session.framed) {
        (void)link.endpoint->sendTo(link.destination, kByePacket, kSendLimit);
    }
    return closeEndpoints();
}

NtStatus SocketTransport::closeTransport()
{
    std::lock_guard operation(m_operationMutex);
    {
        std::lock_guard lock(m_mutex);
        m_wanted = false; // the user's word: no reconnection
    }
    m_lastAttemptFailed = false;
    m_outageLogged = false;
    const Snapshot link = snapshot();
    if (link.endpoint && link.session.protocol == NetProtocol::Tcp)
        (void)link.endpoint->disconnect();
    (void)closeEndpoints();
    return kStatusSuccess;
}

void SocketTransport::closeForRemoval()
{
    {
        std::lock_guard lock(m_mutex);
        m_removed = true; // jobs still queued find nothing to do
    }
    std::lock_guard operation(m_operationMutex);
    const Snapshot link = snapshot();
    if (!link.endpoint)
        return;
    if (isConnected(link.state)) {
        if (link.session.protocol == NetProtocol::Udp)
            (void)link.endpoint->sendTo(link.destination, kRemovalByePacket, kSendLimit);
        else
            (void)link.endpoint->disconnect();
    }
    (void)closeEndpoints();
}

NtStatus SocketTransport::reconnect()
{
    std::lock_guard operation(m_operationMutex);
    const Snapshot link = snapshot();
    bool wanted = false;
    {
        std::lock_guard lock(m_mutex);
        wanted = m_wanted;
    }
    if (link.state == LinkState::Closed && wanted && reconnectEnabled() && !link.removed && attemptDue()) {
        // An earlier attempt failed and closed the endpoints.
        const NtStatus status = connectClient();
        if (ntSuccess(status))
            attemptSucceeded();
        else
            attemptFailed(status);
        return status;
    }
    if (link.state != LinkState::ReconnectPending || !link.endpoint)
        return kStatusSuccess;
    if (!attemptDue())
        return kStatusConnectionDisconnected;
    (void)link.endpoint->disconnect();
    {
        std::lock_guard lock(m_port.dataLock);
        resetReassembly(m_port);
    }
    if (link.session.telnet)
        telnetBegin();
    const NtStatus status = link.endpoint->connect(link.remote, kConnectLimit);
    if (ntSuccess(status)) {
        setState(LinkState::Connected);
        if (link.session.telnet)
            telnetSendOutgoing();
        attemptSucceeded();
    } else if (reconnectEnabled() && wanted) {
        // The endpoints stay, so the retry timer and later writes try again.
        attemptFailed(status);
    } else {
        (void)closeEndpoints(); // later writes fail until the port is connected again
    }
    return status;
}

std::unique_ptr<PortTransport> SocketTransports::create(PortDevice& port)
{
    return std::make_unique<SocketTransport>(port, port.host->network());
}

} // namespace driver
