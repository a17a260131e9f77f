// What arrives over a port's link, and the link's own events: a peer that
// left, a client accepted.
#include "driver/socket_transport.h"

#include "driver/host/host.h"
#include "driver/port_internal.h"
#include "driver/socket_transport_internal.h"
#include "driver/vorpil_driver.h"

#include <algorithm>
#include <vector>

namespace driver {

using namespace common;
using host::NetAddress;
using host::NetEndpoint;
using host::NetProtocol;
using link::kSendLimit;

namespace {

// Framed stream packets: data into the receive buffer, modem reports to the
// serial emulation. The payloads of one receive go in together (one lock,
// one write to a waiting program's terminal), a modem report between them
// in its place.
class StreamSink final : public FrameSink {
public:
    explicit StreamSink(PortDevice& port, std::size_t received)
        : m_port(port)
    {
        m_batch.reserve(received);
    }
    void data(std::span<const std::uint8_t> payload) override
    {
        m_batch.insert(m_batch.end(), payload.begin(), payload.end());
        m_largest = std::max(m_largest, payload.size());
    }
    void control(std::span<const std::uint8_t> packet) override
    {
        flush();
        reportModemStatus(m_port, packet);
    }
    void flush()
    {
        if (m_batch.empty())
            return;
        const std::uint32_t unread = appendReceived(m_port, m_batch);
        // A packet's worth counts once more, so the stop goes out a packet early.
        if (unread + m_largest >= kFlowStopLevel)
            m_stopLevelReached = true;
        m_batch.clear();
    }
    bool stopLevelReached() const { return m_stopLevelReached; }

private:
    PortDevice& m_port;
    std::vector<std::uint8_t> m_batch;
    std::size_t m_largest = 0;
    bool m_stopLevelReached = false;
};

} // namespace

// While a program has the port, a TCP stream is never read past the free
// part of the receive buffer, so no byte is overwritten: TCP holds the device
// server back until the program reads. (UDP has no such brake; there the
// oldest unread bytes give way.) While nobody has the port open the stream is
// read on, and the buffer keeps the newest bytes as it does for UDP: the next
// program gets what arrived last, not what waited in the network for minutes.
// A program on its way (its front end's probe says so) counts as having the
// port: the bytes that arrive before the port is opened for it are its own.
// A framed stream also counts the incomplete packet held for reassembly: the
// bytes that complete it deliver the whole payload at once, so room for the
// new bytes alone would let a completed packet run over unread ones.
std::size_t SocketTransport::receiveRoom()
{
    std::lock_guard lock(m_port.dataLock);
    // The reassembly fill changes only on this thread, or under the data lock.
    const bool held = m_port.openFlag.load() || programWaitingLocked(m_port);
    const std::size_t unread = held ? std::size_t { m_port.serial.commStatus.amountInInQueue } : 0;
    const std::size_t taken = unread + m_port.buffers->reassemblyFill;
    return taken >= kBufferSize ? 0 : kBufferSize - taken;
}

void SocketTransport::resumeReceive()
{
    if (const auto endpoint = snapshot().endpoint)
        endpoint->resumeReceive();
}

void SocketTransport::onStream(std::span<const std::uint8_t> bytes)
{
    bool framed = false;
    bool telnetLink = false;
    {
        std::lock_guard lock(m_mutex);
        framed = m_session.framed;
        telnetLink = m_session.telnet;
    }
    if (telnetLink) {
        // Answers go out from a job: a send may block, this thread must not.
        const auto answers = m_telnet.receive(bytes);
        if (answers == Rfc2217Link::Answers::Due)
            queue(PortJob::TelnetSend, &SocketTransport::runTelnetSend);
        if (answers == Rfc2217Link::Answers::Overflow) {
            // Ended as a peer that left: a waiting send returns, the link restarts.
            if (const auto endpoint = snapshot().endpoint)
                (void)endpoint->disconnect();
            onPeerDisconnected();
        }
        return;
    }
    if (!framed) {
        (void)appendReceived(m_port, bytes);
        return;
    }
    // Only this thread parses, and a new connection resets the reassembly
    // buffer before its first bytes arrive.
    StreamSink sink(m_port, bytes.size());
    PortBuffers& buffers = *m_port.buffers;
    parseFramed(bytes, buffers.reassembly, buffers.reassemblyFill, sink);
    sink.flush();
    if (sink.stopLevelReached())
        flowThresholdReached(m_port);
}

void SocketTransport::onDatagram(std::span<const std::uint8_t> bytes, NetAddress from)
{
    bool framed = false;
    bool server = false;
    {
        std::lock_guard lock(m_mutex);
        framed = m_session.framed;
        server = m_session.server;
        if (!framed) {
            // Whoever sent last is the peer.
            m_peer = from;
            m_remote = from;
            if (m_state == LinkState::Serving)
                m_state = LinkState::ServingConnected;
        }
    }
    if (!framed) {
        // Every datagram replaces what is still unread.
        replaceReceived(m_port, bytes);
        return;
    }
    if (bytes.empty())
        return;
    switch (bytes[0]) {
    case kHelloPacketType: {
        {
            std::lock_guard lock(m_mutex);
            m_peer = from;
            m_remote.ip = from.ip;
        }
        if (server)
            queue(PortJob::UdpHelloReply, &SocketTransport::runUdpHelloReply);
        return;
    }
    case kControlPacketType:
        if (bytes.size() <= kMaxControlDatagram)
            reportModemStatus(m_port, bytes);
        return;
    default:
        // The length field is not looked at: the datagram is the packet.
        if (bytes.size() > kPacketHeaderSize)
            (void)appendReceived(m_port, bytes.subspan(kPacketHeaderSize));
        return;
    }
}

void SocketTransport::onPeerDisconnected()
{
    bool restart = false;
    bool writeLocalPort = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_session.server && m_state == LinkState::ServingConnected) {
            m_state = LinkState::Serving;
            restart = true;
        } else if (!m_session.server && m_state == LinkState::Connected) {
            m_state = LinkState::ReconnectPending;
            storeShared(m_port.config.localPort, loadShared(m_port.config.savedLocalPort));
            writeLocalPort = true;
        }
    }
    if (restart) {
        queue(PortJob::ServerRestart, &SocketTransport::runServerRestart);
    } else if (writeLocalPort) {
        queue(PortJob::WriteLocalPort, &SocketTransport::runWriteLocalPort);
        // Reads resume too once the device server is back, not only writes.
        armRetry();
    }
}

void SocketTransport::onAccepted()
{
    bool telnetLink = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_state == LinkState::Serving)
            m_state = LinkState::ServingConnected;
        telnetLink = m_session.telnet;
    }
    {
        std::lock_guard lock(m_port.dataLock);
        resetReassembly(m_port);
    }
    if (telnetLink) {
        // The client's first bytes are read on this thread after this
        // returns, so the negotiation is ready for them.
        m_telnet.begin();
        queue(PortJob::TelnetSend, &SocketTransport::runTelnetSend);
    }
}

void SocketTransport::runWriteLocalPort()
{
    std::uint32_t localPort = 0;
    {
        std::lock_guard lock(m_mutex);
        localPort = loadShared(m_port.config.localPort);
    }
    std::string key;
    if (ntSuccess(m_port.host->openDeviceKey(*m_port.node, key)))
        (void)m_port.host->writeRegistryDword(key, "LocalPort", localPort);
}

void SocketTransport::runServerAccept()
{
    std::lock_guard operation(m_operationMutex);
    const Snapshot link = snapshot();
    if (link.removed || !link.endpoint || link.state != LinkState::Serving)
        return;
    // The accept completes on the network thread; no worker waits for it.
    if (!ntSuccess(link.endpoint->listen([this] { onAccepted(); })))
        (void)closeEndpoints();
}

void SocketTransport::runServerRestart()
{
    std::lock_guard operation(m_operationMutex);
    const Snapshot link = snapshot();
    if (link.removed || !link.endpoint || !link.session.server)
        return;
    (void)link.endpoint->disconnect();
    (void)closeEndpoints();
    (void)startServerLocked();
}

void SocketTransport::runUdpHelloReply()
{
    std::lock_guard operation(m_operationMutex);
    const Snapshot link = snapshot();
    if (link.removed || !link.endpoint)
        return;
    (void)link.endpoint->sendTo(link.destination, kHelloPacket, kSendLimit);
    {
        std::lock_guard lock(m_port.dataLock);
        emptyReceiveBuffers(m_port);
    }
    std::lock_guard lock(m_mutex);
    if (m_state == LinkState::Serving)
        m_state = LinkState::ServingConnected;
}

} // namespace driver
