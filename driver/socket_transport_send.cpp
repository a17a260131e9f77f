// Sending over a port's link: data, control packets and the answers an RFC
// 2217 server is owed.
#include "driver/socket_transport.h"

#include "driver/port_internal.h"
#include "driver/socket_transport_internal.h"

#include <algorithm>
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

NtStatus SocketTransport::sendBytes(std::span<const std::uint8_t> bytes, std::size_t* taken, const host::SendCuts* cuts)
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
    const NtStatus status = link.endpoint->send(bytes, taken ? host::kNoLimit : kSendLimit, taken, cuts);
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
    if (!telnetSession()) {
        if (!snapshot().session.framed) {
            const host::SendCuts anywhere = [](std::size_t sent) { return sent; };
            return sendBytes(bytes, &taken, &anywhere);
        }
        // Between whole packets: each says its length in its header.
        std::size_t next = 0;
        const host::SendCuts packets = [bytes, &next](std::size_t sent) {
            while (next < sent && next + kPacketHeaderSize <= bytes.size())
                next += kPacketHeaderSize + (std::size_t { bytes[next + 1] } << 8 | bytes[next + 2]);
            return std::max(next, sent);
        };
        return sendBytes(bytes, &taken, &packets);
    }
    taken = 0;
    // A server that suspended our sending holds the write, as a send that
    // the network does not take would: as long as the connection lives.
    while (!m_telnet.waitUntilSendable(kSuspendCheck)) {
        if (!connected())
            return kStatusConnectionDisconnected;
    }
    std::span<const std::uint8_t> wire;
    {
        // What waited goes first; commands and answers after it may go
        // ahead of the data.
        std::lock_guard sending(m_telnet.sendMutex());
        const auto pending = m_telnet.takeOutgoing();
        if (!pending.empty())
            (void)sendBytes(pending, nullptr);
        wire = m_telnet.escape(bytes);
    }
    // Never between the two bytes of a doubled 0xFF: inside a run of them,
    // only after an even count.
    const host::SendCuts pairs = [wire](std::size_t sent) {
        std::size_t run = 0;
        while (run < sent && wire[sent - 1 - run] == telnet::kIac)
            ++run;
        return sent + run % 2;
    };
    std::size_t wireTaken = 0;
    const NtStatus status = sendBytes(wire, &wireTaken, &pairs);
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
