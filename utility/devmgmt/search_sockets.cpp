#include "utility/devmgmt/search_sockets.h"

#include <array>
#include <cerrno>

namespace utility::devmgmt {
namespace {

constexpr const char* kTtlWarning = "Warning! Error Setting TTL";
constexpr const char* kReceiveError = "Error receiving data from the host group";

// Enough of a datagram that finds the ring full to tell whether it is a reply
// (signature, MAC) before it is dropped.
constexpr std::size_t kOverflowPeek = 32;

} // namespace

std::optional<platform::Ipv4> firstHostAddress()
{
    const auto addresses = platform::hostAddresses();
    if (addresses.empty())
        return std::nullopt;
    return platform::parseIpv4(addresses.front());
}

BroadcastSearchSocket::BroadcastSearchSocket(
    platform::EventLoop& loop, std::string localAddress, std::uint16_t localPort)
    : m_loop(loop)
    , m_localAddress(std::move(localAddress))
    , m_localPort(localPort)
    , m_ring(std::make_unique<ReceiveRing>())
{
}

BroadcastSearchSocket::~BroadcastSearchSocket()
{
    if (m_socket.isOpen())
        m_loop.unwatchFd(m_socket.fd());
}

platform::Result<void> BroadcastSearchSocket::create()
{
    if (m_socket.isOpen())
        return {};
    SUITE_TRY_ASSIGN(platform::UdpSocket socket, platform::UdpSocket::open());
    SUITE_TRY(socket.setBroadcast(true));
    SUITE_TRY(socket.bind(m_localAddress, m_localPort));
    m_socket = std::move(socket);
    m_loop.watchFd(m_socket.fd(), platform::kIoRead, [this](unsigned) { onReadable(); });
    return {};
}

bool BroadcastSearchSocket::sendTo(
    const std::string& address, std::uint16_t port, std::span<const std::uint8_t> datagram)
{
    if (!create().ok())
        return false;
    return m_socket.sendTo(address, port, datagram).ok();
}

void BroadcastSearchSocket::onReadable()
{
    ReceiveRing& ring = *m_ring;
    platform::Endpoint sender;
    if (ring.full()) {
        std::array<std::uint8_t, kOverflowPeek> peek {};
        auto received = m_socket.receiveFrom(peek, sender);
        if (!received.ok())
            return;
        const auto head = std::span(peek).first(*received);
        if (hasSignature(head) && !ring.holdsMac(head))
            ring.countIgnored();
        return;
    }
    RingSlot& slot = ring.current();
    auto received = m_socket.receiveFrom(slot.data, sender);
    if (!received.ok())
        return; // nothing waiting, or a pending network error: nothing to take
    ring.recordCurrent(*received, sender);
    const auto datagram = slot.datagram();
    if (!hasSignature(datagram)) {
        ring.discardCurrent();
        return;
    }
    // A reply too short for a record would list a device of zeros (MAC 0,
    // 0.0.0.0) and, by that MAC, hide a real one answering after it.
    if (datagram.size() < kRecordSize) {
        if (recordType(datagram) == opcode::kQueryReply)
            ring.countShort();
        ring.discardCurrent();
        return;
    }
    if (const auto kept = ring.findMac(datagram)) {
        ring.noteSameMac(*kept, sender);
        ring.discardCurrent();
        return;
    }
    ring.advance();
}

MulticastSearchSocket::MulticastSearchSocket(platform::EventLoop& loop, platform::Prompter& prompter,
    std::string localAddress, std::uint16_t localPort, HostAddressLookup hostAddress)
    : m_loop(loop)
    , m_prompter(prompter)
    , m_localAddress(std::move(localAddress))
    , m_localPort(localPort)
    , m_hostAddress(std::move(hostAddress))
    , m_ring(std::make_unique<ReceiveRing>())
{
}

MulticastSearchSocket::~MulticastSearchSocket()
{
    if (m_socket.isOpen())
        m_loop.unwatchFd(m_socket.fd());
}

platform::Result<void> MulticastSearchSocket::create(const MulticastSearchSettings& settings)
{
    if (m_socket.isOpen())
        return {};
    SUITE_TRY_ASSIGN(platform::UdpSocket socket, platform::UdpSocket::open());
    // Reuse only lets other programs share the port; the search works without it.
    (void)socket.setReuseAddress(true);
    SUITE_TRY(socket.bind(m_localAddress, m_localPort));
    m_socket = std::move(socket);
    m_joined = false;
    m_ownEndpoint.reset();
    m_loop.watchFd(m_socket.fd(), platform::kIoRead, [this](unsigned) { onReadable(); });

    // Without membership the socket still sends and still receives the
    // replies addressed to it, so a failed join is no error.
    const auto group = platform::parseIpv4(settings.group);
    if (!group || !m_socket.joinMulticast(*group).ok())
        return {};
    m_joined = true;

    if (!m_socket.setMulticastTtl(settings.ttl).ok())
        m_prompter.message(kTtlWarning, {}, platform::MessageIcon::Warning);

    if (!m_socket.setMulticastLoopback(settings.loopback).ok() && !settings.loopback) {
        // Loopback stays on, so this host's own datagrams come back: recognise
        // them by this host's address and this socket's port.
        if (const auto host = m_hostAddress ? m_hostAddress() : std::nullopt)
            m_ownEndpoint = platform::Endpoint { *host, m_socket.localEndpoint().port };
    }
    // The Query leaves through the selected interface, not whichever one the
    // default route names.
    if (const auto local = platform::parseIpv4(m_localAddress); local && *local != 0)
        (void)m_socket.setMulticastInterface(*local);
    return {};
}

bool MulticastSearchSocket::sendTo(
    const std::string& address, std::uint16_t port, std::span<const std::uint8_t> datagram)
{
    if (!m_socket.isOpen())
        return false;
    return m_socket.sendTo(address, port, datagram).ok();
}

void MulticastSearchSocket::onReadable()
{
    ReceiveRing& ring = *m_ring;
    platform::Endpoint sender;
    if (ring.full()) {
        std::array<std::uint8_t, kOverflowPeek> peek {};
        auto received = m_socket.receiveFrom(peek, sender);
        if (!received.ok()) {
            if (received.error().code != EAGAIN)
                m_prompter.message(kReceiveError);
            return;
        }
        if (sender != m_ownEndpoint && hasSignature(std::span(peek).first(*received)))
            ring.countIgnored();
        return;
    }
    RingSlot& slot = ring.current();
    auto received = m_socket.receiveFrom(slot.data, sender);
    if (!received.ok()) {
        if (received.error().code != EAGAIN)
            m_prompter.message(kReceiveError);
        return;
    }
    ring.recordCurrent(*received, sender);
    if (sender == m_ownEndpoint || !hasSignature(slot.datagram())) {
        ring.discardCurrent();
        return;
    }
    if (slot.datagram().size() < kRecordSize) {
        if (recordType(slot.datagram()) == opcode::kQueryReply)
            ring.countShort();
        ring.discardCurrent();
        return;
    }
    // Every reply is kept here, but one MAC from two addresses is a clash
    // the user is told about.
    if (const auto kept = ring.findMac(slot.datagram()))
        ring.noteSameMac(*kept, sender);
    ring.advance();
}

} // namespace utility::devmgmt
