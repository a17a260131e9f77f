#include "sim/devsim/data_channel.h"

#include "sim/devsim/device.h"

#include <algorithm>
#include <cerrno>

namespace sim::devsim {
namespace {

// Reads per readiness callback, so one busy port cannot starve the loop.
constexpr int kReadsPerEvent = 16;
// Large enough for any framed datagram (3 + 0xFFFF bytes).
constexpr std::size_t kDatagramBuffer = 0x10002;

bool isAgain(const platform::Error& error) { return error.code == EAGAIN || error.code == EWOULDBLOCK; }

} // namespace

void DataChannel::sayHello()
{
    if (!m_udp.isOpen())
        return;
    if (m_settings.destination.address == 0 || m_settings.destination.port == 0) {
        m_log.event(m_label + ": client mode without a destination; no data peer");
        return;
    }
    // The peer is known from the settings; a framed channel greets it, and
    // its answer (if any) only confirms what the device already knows.
    setConnected(true, m_settings.destination, "sending to " + m_settings.destination.text());
}

void DataChannel::onDatagrams()
{
    std::vector<std::uint8_t> buffer(kDatagramBuffer);
    for (int i = 0; i < kReadsPerEvent && m_udp.isOpen() && m_readingNetwork; ++i) {
        platform::Endpoint from;
        auto received = m_udp.receiveFrom(buffer, from);
        if (!received.ok())
            return;
        onDatagram(std::span<const std::uint8_t>(buffer.data(), *received), from);
    }
}

void DataChannel::onDatagram(std::span<const std::uint8_t> datagram, const platform::Endpoint& from)
{
    if (!m_settings.framing) {
        // The last sender is the one to answer; a client keeps sending to
        // its destination.
        if (!m_settings.client && !(m_connected && m_peer == from))
            setConnected(true, from, "data from " + from.text());
        toSerial(datagram);
        return;
    }
    if (datagram.size() < packet::kHeaderSize) {
        verbose(m_label + ": datagram of " + std::to_string(datagram.size()) + " bytes from " + from.text()
            + " ignored: shorter than a packet header");
        return;
    }
    const std::uint8_t type = datagram[0];
    const std::size_t declared = (std::size_t { datagram[1] } << 8) | datagram[2];
    std::span<const std::uint8_t> payload = datagram.subspan(packet::kHeaderSize);
    if (declared != payload.size()) {
        // Never read past the datagram, never take bytes its header disowns.
        verbose(m_label + ": datagram from " + from.text() + " declares " + std::to_string(declared)
            + " bytes, carries " + std::to_string(payload.size()));
        payload = payload.first(std::min(declared, payload.size()));
    }
    verbose(m_label + " <- " + from.text() + " " + packetName(type, payload));
    switch (type) {
    case packet::kHello:
        if (m_settings.client) {
            // The answer to our own greeting: nothing to answer back.
            if (!(m_connected && m_peer == from))
                setConnected(true, from, "greeted by " + from.text());
            return;
        }
        if (m_connected && m_peer == from) {
            // The port greets again (it reconnected from the same port):
            // it waits for the answer all the same.
            verbose(m_label + " -> " + m_peer.text() + " HelloPacket");
            send(encodePacket(packet::kHello, {}));
            report(control::kModemStatus);
            return;
        }
        setConnected(true, from, "greeted by " + from.text());
        return;
    case packet::kBye:
        if (!m_connected || !(m_peer == from)) {
            verbose(m_label + ": ByePacket from " + from.text() + " ignored: not the peer");
            return;
        }
        setConnected(false, {}, "farewell from " + from.text());
        if (m_settings.client)
            scheduleRetry();
        return;
    case packet::kControl:
        if (datagram.size() > packet::kHeaderSize + packet::kMaxControlPayload) {
            verbose(m_label + ": control datagram of " + std::to_string(datagram.size()) + " bytes skipped");
            return;
        }
        onControl(payload);
        return;
    case packet::kData:
        if (!m_connected)
            setConnected(true, from, "data from " + from.text());
        toSerial(payload);
        return;
    default:
        verbose(m_label + ": " + packetName(type, payload) + " from " + from.text() + " ignored");
        return;
    }
}

void DataChannel::flushUdp()
{
    while (m_udp.isOpen() && !m_udpOut.empty()) {
        if (!m_connected) {
            m_udpOut.clear();
            m_udpOutBytes = 0;
            break;
        }
        auto sent = m_udp.sendTo(m_peer, m_udpOut.front());
        if (!sent.ok() && isAgain(sent.error()))
            break;
        if (!sent.ok())
            m_log.event(m_label + ": cannot send to " + m_peer.text() + ": " + sent.error().message);
        m_udpOutBytes -= m_udpOut.front().size();
        m_udpOut.pop_front();
    }
    updateFlow();
}

} // namespace sim::devsim
