// Sending over a port's link: data, control packets and the answers an RFC
// 2217 server is owed.
#include "driver/socket_transport.h"

#include "driver/port_internal.h"
#include "driver/socket_transport_internal.h"

#include <cstdio>

namespace driver {

using namespace common;
using host::NetAddress;
using host::NetEndpoint;
using host::NetProtocol;
using link::isConnected;
using link::isServing;
using link::kSendLimit;
using link::kSuspendCheck;

NtStatus SocketTransport::sendBytes(std::span<const std::uint8_t> bytes, std::size_t* taken)
{
    if (taken)
        *taken = 0;
    const Snapshot link = snapshot();
    // A TCP server whose client left has nobody to send to, even while the
    // old connection is not closed yet (a send to it may still succeed); a
    // UDP server sends to the last peer it heard from.
    const bool udp = link.session.protocol == NetProtocol::Udp;
    const bool reachable = isConnected(link.state) || (udp && isServing(link.state));
    if (!link.endpoint || !reachable) {
        // The peer left while a write was under way (or before it): the
        // bytes go nowhere, and the writer must learn it.
        return taken ? kStatusConnectionDisconnected : kStatusSuccess;
    }
    if (udp) {
        const NtStatus status = link.endpoint->sendTo(link.destination, bytes, taken ? host::kNoLimit : kSendLimit);
        if (taken && ntSuccess(status))
            *taken = bytes.size();
        return status;
    }
    const NtStatus status = link.endpoint->send(bytes, taken ? host::kNoLimit : kSendLimit, taken);
    if (!ntSuccess(status) && status != kStatusCancelled && link.state == LinkState::ServingConnected) {
        // The client is gone: wait for the next one.
        bool restart = false;
        {
            std::lock_guard lock(m_mutex);
            if (m_state == LinkState::ServingConnected && m_endpoint == link.endpoint) {
                m_state = LinkState::Serving;
                restart = true;
            }
        }
        if (restart)
            queue(PortJob::ServerRestart, &SocketTransport::runServerRestart);
    }
    return status;
}

NtStatus SocketTransport::sendTransmitBuffer(std::span<const std::uint8_t> bytes, std::size_t& taken)
{
    if (!telnetSession())
        return sendBytes(bytes, &taken);
    taken = 0;
    // A server that suspended our sending holds the write, as a send that
    // the network does not take would: as long as the connection lives.
    while (!m_telnet.waitUntilSendable(kSuspendCheck)) {
        if (!connected())
            return kStatusConnectionDisconnected;
    }
    std::lock_guard sending(m_telnet.sendMutex());
    const auto pending = m_telnet.takeOutgoing();
    if (!pending.empty())
        (void)sendBytes(pending, nullptr);
    const auto wire = m_telnet.escape(bytes);
    std::size_t wireTaken = 0;
    const NtStatus status = sendBytes(wire, &wireTaken);
    taken = ntSuccess(status) ? bytes.size() : telnet::unescapedLength(bytes, wireTaken);
    return status;
}

void SocketTransport::abandonStream()
{
    const Snapshot link = snapshot();
    if (!link.endpoint || link.session.protocol != NetProtocol::Tcp || !isConnected(link.state))
        return;
    std::fprintf(stderr, "vorpild: %.*s: a send was given up part-way; the connection is reset\n",
        static_cast<int>(m_port.deviceName.view().size()), m_port.deviceName.view().data());
    (void)link.endpoint->disconnect();
    // As if the device server had left: a client reconnects at the next
    // write, a server listens again.
    onPeerDisconnected();
}

NtStatus SocketTransport::sendControlPacket(const ControlPacket& packet)
{
    if (telnetSession()) {
        m_telnet.control(packet);
        std::lock_guard sending(m_telnet.sendMutex());
        const auto bytes = m_telnet.takeOutgoing();
        return bytes.empty() ? kStatusSuccess : sendBytes(bytes, nullptr);
    }
    const auto bytes = packet.encode();
    return sendBytes(std::span(bytes).first(packet.encodedSize()), nullptr);
}

NtStatus SocketTransport::purge(std::uint32_t purgeFlags)
{
    if (!telnetSession() || !connected())
        return kStatusSuccess;
    m_telnet.purge(purgeFlags);
    std::lock_guard sending(m_telnet.sendMutex());
    const auto bytes = m_telnet.takeOutgoing();
    return bytes.empty() ? kStatusSuccess : sendBytes(bytes, nullptr);
}

bool SocketTransport::telnetSession() const
{
    std::lock_guard lock(m_mutex);
    return m_session.telnet && m_endpoint;
}

void SocketTransport::telnetBegin() { m_telnet.begin(); }

void SocketTransport::telnetSendOutgoing()
{
    std::lock_guard sending(m_telnet.sendMutex());
    const auto bytes = m_telnet.takeOutgoing();
    if (!bytes.empty())
        (void)sendBytes(bytes, nullptr);
}

void SocketTransport::runTelnetSend()
{
    if (snapshot().removed || !telnetSession())
        return;
    telnetSendOutgoing();
}

} // namespace driver
