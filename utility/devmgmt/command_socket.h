#pragma once

#include "platform/event_loop.h"
#include "platform/net.h"
#include "platform/result.h"
#include "utility/devmgmt/protocol.h"

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

namespace utility::devmgmt {

// What the command socket refused since the last request: replies from an
// address the request did not go to, and replies too short to hold a
// device's settings.
struct CommandRefusals {
    std::size_t wrongSender = 0;
    platform::Ipv4 lastWrongSender = 0;
    std::size_t shortReplies = 0;
    std::size_t lastShortLength = 0;
    bool any() const { return wrongSender > 0 || shortReplies > 0; }
};

// The refusals in plain words for the user, one sentence each; empty when
// nothing was refused. `address` is where the request went.
std::string describeRefusals(const CommandRefusals& refusals, const std::string& address);

// The unicast channel to one device at a time: Query, SetConfig, Restore,
// Reboot, Upgrade and ConnectNotice go out here, and the one reply awaited
// lands in a single buffer. Only one exchange is outstanding at a time, so a
// reply is matched by its type, and by coming from the address the request
// went to: anyone on the network can send a datagram to this port. Every
// reply awaited here is a whole settings record; a shorter one is refused.
class CommandSocket {
public:
    CommandSocket(platform::EventLoop& loop, std::string localAddress, std::uint16_t localPort = kCommandPort);
    ~CommandSocket();
    CommandSocket(const CommandSocket&) = delete;
    CommandSocket& operator=(const CommandSocket&) = delete;

    // Binds to the local address and port; does nothing when it exists.
    platform::Result<void> create();
    // Closes the socket, empties the buffer and creates the socket again (at
    // the start of every search, so no reply of an earlier exchange lingers).
    platform::Result<void> recreate();
    void close();
    bool created() const { return m_socket.isOpen(); }
    platform::Endpoint localEndpoint() const { return m_socket.localEndpoint(); }

    // Empties the buffer before a request: length -1, bytes zero, flag clear.
    void prepareForRequest();
    // Sends to a device (dotted address or host name), creating the socket
    // first if needed. False when that fails; nothing is shown.
    bool sendTo(
        const std::string& address, std::span<const std::uint8_t> datagram, std::uint16_t port = kDeviceCommandPort);

    // Set when a signed datagram has arrived; cleared by the consumer.
    bool received() const;
    void clearReceived();
    // Received length, -1 when empty.
    std::int32_t length() const;
    // The received flag is set, the buffer holds a datagram and its type
    // nibble is the one expected.
    bool replyReady(int expectedType) const;
    // Copies the buffer (as much as `out` takes) and returns the length.
    std::int32_t copyBuffer(std::span<std::uint8_t> out) const;
    // Sender of the datagram in the buffer.
    platform::Endpoint sender() const;
    // Datagrams refused since the last send.
    CommandRefusals refusals() const;

private:
    void onReadable();

    platform::EventLoop& m_loop;
    std::string m_localAddress;
    std::uint16_t m_localPort;
    platform::UdpSocket m_socket;

    struct Buffers {
        std::array<std::uint8_t, kMaxDatagram> reply {};
        // Datagrams are read here first so that one without the signature
        // never disturbs a reply still waiting in `reply`.
        std::array<std::uint8_t, kMaxDatagram> incoming {};
    };
    mutable std::mutex m_mutex; // protects m_buffers->reply, m_length, m_sender, m_received, m_peer, m_refusals
    std::unique_ptr<Buffers> m_buffers;
    std::int32_t m_length = -1;
    platform::Endpoint m_sender;
    bool m_received = false;
    std::optional<platform::Ipv4> m_peer; // where the last request went; replies come from there
    CommandRefusals m_refusals;
};

// Sends three identical ConnectNotice datagrams to the device's command port,
// back to back. True when all three were sent.
bool sendConnectNotice(CommandSocket& socket, const std::string& deviceAddress, platform::Ipv4 hostAddress,
    std::uint16_t port, std::uint16_t devicePort = kDeviceCommandPort);

} // namespace utility::devmgmt
