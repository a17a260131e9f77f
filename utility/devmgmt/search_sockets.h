#pragma once

#include "platform/event_loop.h"
#include "platform/net.h"
#include "platform/prompter.h"
#include "platform/result.h"
#include "utility/devmgmt/protocol.h"
#include "utility/devmgmt/receive_ring.h"

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace utility::devmgmt {

// Sends the broadcast Query and collects the replies of a network search.
// Created at first use and kept; readiness arrives on the loop's thread. Each
// device is kept once: a reply whose MAC an earlier reply of the same search
// carried is dropped.
class BroadcastSearchSocket {
public:
    BroadcastSearchSocket(
        platform::EventLoop& loop, std::string localAddress, std::uint16_t localPort = kBroadcastSearchPort);
    ~BroadcastSearchSocket();
    BroadcastSearchSocket(const BroadcastSearchSocket&) = delete;
    BroadcastSearchSocket& operator=(const BroadcastSearchSocket&) = delete;

    // Binds to the local address and port with broadcast permitted; does
    // nothing when the socket exists already.
    platform::Result<void> create();
    bool created() const { return m_socket.isOpen(); }
    platform::Endpoint localEndpoint() const { return m_socket.localEndpoint(); }

    // Sends to a dotted address (or a host name), creating the socket first if
    // needed. False when the socket cannot be created, the name does not
    // resolve or the send fails; nothing is shown.
    bool sendTo(const std::string& address, std::uint16_t port, std::span<const std::uint8_t> datagram);

    ReceiveRing& ring() { return *m_ring; }
    const ReceiveRing& ring() const { return *m_ring; }

private:
    void onReadable();

    platform::EventLoop& m_loop;
    std::string m_localAddress;
    std::uint16_t m_localPort;
    platform::UdpSocket m_socket;
    std::unique_ptr<ReceiveRing> m_ring;
};

struct MulticastSearchSettings {
    std::string group = std::string(kDefaultMulticastGroup);
    int ttl = 1; // 1..128
    bool loopback = true;
};

// The first address of this host as a resolver of its name gives it; empty
// when the host has none.
using HostAddressLookup = std::function<std::optional<platform::Ipv4>()>;
std::optional<platform::Ipv4> firstHostAddress();

// Sends the multicast Query and collects the replies of a network search.
// Every reply is kept, duplicates included.
class MulticastSearchSocket {
public:
    MulticastSearchSocket(platform::EventLoop& loop, platform::Prompter& prompter, std::string localAddress,
        std::uint16_t localPort = kMulticastSearchPort, HostAddressLookup hostAddress = firstHostAddress);
    ~MulticastSearchSocket();
    MulticastSearchSocket(const MulticastSearchSocket&) = delete;
    MulticastSearchSocket& operator=(const MulticastSearchSocket&) = delete;

    // Binds to the local address and port with address reuse, then joins the
    // group and applies TTL and loopback. Only a failure to create or bind the
    // socket is an error; does nothing when the socket exists already.
    platform::Result<void> create(const MulticastSearchSettings& settings);
    bool created() const { return m_socket.isOpen(); }
    // False when the group could not be joined (TTL and loopback were then
    // left as they were).
    bool joined() const { return m_joined; }
    // True when loopback could not be switched off and this host's own
    // datagrams are dropped by address and port instead.
    bool filtersOwnDatagrams() const { return m_ownEndpoint.has_value(); }
    platform::Endpoint localEndpoint() const { return m_socket.localEndpoint(); }

    // Sends to the group (or any address) once the socket is created.
    bool sendTo(const std::string& address, std::uint16_t port, std::span<const std::uint8_t> datagram);

    ReceiveRing& ring() { return *m_ring; }
    const ReceiveRing& ring() const { return *m_ring; }

private:
    void onReadable();

    platform::EventLoop& m_loop;
    platform::Prompter& m_prompter;
    std::string m_localAddress;
    std::uint16_t m_localPort;
    HostAddressLookup m_hostAddress;
    platform::UdpSocket m_socket;
    bool m_joined = false;
    std::optional<platform::Endpoint> m_ownEndpoint; // set when filtering by hand
    std::unique_ptr<ReceiveRing> m_ring;
};

} // namespace utility::devmgmt
