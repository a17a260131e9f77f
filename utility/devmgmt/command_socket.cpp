#include "utility/devmgmt/command_socket.h"

#include <algorithm>

namespace utility::devmgmt {

CommandSocket::CommandSocket(platform::EventLoop& loop, std::string localAddress, std::uint16_t localPort)
    : m_loop(loop)
    , m_localAddress(std::move(localAddress))
    , m_localPort(localPort)
    , m_buffers(std::make_unique<Buffers>())
{
}

CommandSocket::~CommandSocket() { close(); }

platform::Result<void> CommandSocket::create()
{
    if (m_socket.isOpen())
        return {};
    SUITE_TRY_ASSIGN(platform::UdpSocket socket, platform::UdpSocket::open());
    SUITE_TRY(socket.bind(m_localAddress, m_localPort));
    m_socket = std::move(socket);
    m_loop.watchFd(m_socket.fd(), platform::kIoRead, [this](unsigned) { onReadable(); });
    return {};
}

platform::Result<void> CommandSocket::recreate()
{
    close();
    prepareForRequest();
    return create();
}

void CommandSocket::close()
{
    if (!m_socket.isOpen())
        return;
    m_loop.unwatchFd(m_socket.fd());
    m_socket.close();
}

void CommandSocket::prepareForRequest()
{
    std::lock_guard lock(m_mutex);
    m_buffers->reply.fill(0);
    m_length = -1;
    m_sender = {};
    m_received = false;
}

bool CommandSocket::sendTo(const std::string& address, std::span<const std::uint8_t> datagram, std::uint16_t port)
{
    if (!create().ok())
        return false;
    const auto peer = platform::resolveIpv4(address);
    {
        std::lock_guard lock(m_mutex);
        m_peer = peer;
        m_refusals = {};
    }
    return peer && m_socket.sendTo(platform::Endpoint { *peer, port }, datagram).ok();
}

bool CommandSocket::received() const
{
    std::lock_guard lock(m_mutex);
    return m_received;
}

void CommandSocket::clearReceived()
{
    std::lock_guard lock(m_mutex);
    m_received = false;
}

std::int32_t CommandSocket::length() const
{
    std::lock_guard lock(m_mutex);
    return m_length;
}

bool CommandSocket::replyReady(int expectedType) const
{
    std::lock_guard lock(m_mutex);
    if (!m_received || m_length < 0)
        return false;
    return recordType(std::span(m_buffers->reply).first(static_cast<std::size_t>(m_length))) == expectedType;
}

std::int32_t CommandSocket::copyBuffer(std::span<std::uint8_t> out) const
{
    std::lock_guard lock(m_mutex);
    std::copy_n(m_buffers->reply.begin(), std::min(out.size(), m_buffers->reply.size()), out.begin());
    return m_length;
}

platform::Endpoint CommandSocket::sender() const
{
    std::lock_guard lock(m_mutex);
    return m_sender;
}

CommandRefusals CommandSocket::refusals() const
{
    std::lock_guard lock(m_mutex);
    return m_refusals;
}

void CommandSocket::onReadable()
{
    auto& incoming = m_buffers->incoming;
    platform::Endpoint from;
    auto received = m_socket.receiveFrom(incoming, from);
    if (!received.ok())
        return; // nothing waiting, or a pending network error
    const auto datagram = std::span(incoming).first(*received);
    if (!hasSignature(datagram))
        return;
    std::lock_guard lock(m_mutex);
    // A reply to a unicast request comes from the address it went to; an
    // answer from elsewhere could make a forged device look like the one
    // asked for, and the next request would go wherever it points.
    if (!m_peer || from.address != *m_peer) {
        ++m_refusals.wrongSender;
        m_refusals.lastWrongSender = from.address;
        return;
    }
    // Every reply awaited here carries a whole record; the bytes a short
    // one lacks would read as zeros (address 0.0.0.0, MAC 0, 921600 baud).
    if (datagram.size() < kRecordSize) {
        ++m_refusals.shortReplies;
        m_refusals.lastShortLength = datagram.size();
        return;
    }
    // A later reply replaces an earlier one whole.
    std::copy(datagram.begin(), datagram.end(), m_buffers->reply.begin());
    std::fill(m_buffers->reply.begin() + static_cast<std::ptrdiff_t>(datagram.size()), m_buffers->reply.end(),
        std::uint8_t { 0 });
    m_length = static_cast<std::int32_t>(datagram.size());
    m_sender = from;
    m_received = true;
}

std::string describeRefusals(const CommandRefusals& refusals, const std::string& address)
{
    std::string text;
    if (refusals.wrongSender > 0) {
        text += std::to_string(refusals.wrongSender) + (refusals.wrongSender == 1 ? " reply" : " replies") + " from "
            + platform::formatIpv4(refusals.lastWrongSender)
            + (refusals.wrongSender == 1 ? " was" : " (the last one) were") + " ignored: the request went to " + address
            + ".";
    }
    if (refusals.shortReplies > 0) {
        if (!text.empty())
            text += " ";
        text += std::to_string(refusals.shortReplies) + (refusals.shortReplies == 1 ? " reply" : " replies") + " from "
            + address + " " + (refusals.shortReplies == 1 ? "was" : "were")
            + " refused: " + std::to_string(refusals.lastShortLength) + " bytes, shorter than the "
            + std::to_string(kRecordSize) + " bytes of a device's settings.";
    }
    return text;
}

bool sendConnectNotice(CommandSocket& socket, const std::string& deviceAddress, platform::Ipv4 hostAddress,
    std::uint16_t port, std::uint16_t devicePort)
{
    const auto notice = buildConnectNotice(hostAddress, port);
    bool allSent = true;
    for (int copy = 0; copy < 3; ++copy)
        allSent = socket.sendTo(deviceAddress, notice, devicePort) && allSent;
    return allSent;
}

} // namespace utility::devmgmt
