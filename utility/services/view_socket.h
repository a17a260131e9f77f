#pragma once

#include "platform/event_loop.h"
#include "platform/net.h"
#include "platform/result.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace utility::services {

// Which view a socket's readiness goes to.
enum class ViewSocketKind { VirtualPorts = 1, Monitor = 2, Dhcp = 3, Tftp = 4 };

// A UDP socket that a view owns, bound to a port on the selected local host
// address; when a datagram is readable the loop calls the view's receive
// routine, which reads the datagram itself. Destroying it closes the socket.
class ViewSocket {
public:
    enum Kind : int { kVirtualSerialPort = 1, kDeviceMonitor = 2, kDhcp = 3, kTftp = 4 };
    using Receiver = std::function<void(ViewSocket&)>;

    // How the socket takes its local address.
    enum class Binding {
        // Bound to the selected address itself.
        Address,
        // Bound to every address and restricted to the interface that carries
        // the selected address. A Linux socket bound to a unicast address never
        // receives broadcast datagrams, which a server for clients without an
        // address (DHCP) must; restricting it to the interface keeps it from
        // answering on any other network, and its broadcasts leave there.
        InterfaceOfAddress,
    };

    // The receive routine is given when the socket is opened.
    ViewSocket(platform::EventLoop& loop, ViewSocketKind kind);
    // The receive routine is fixed with the object.
    ViewSocket(platform::EventLoop& loop, int kind, Receiver receiver);
    ~ViewSocket();
    ViewSocket(const ViewSocket&) = delete;
    ViewSocket& operator=(const ViewSocket&) = delete;

    // Opens the socket on `port` (0 = any free port) with broadcasts allowed
    // and starts calling `onReadable` when a datagram waits.
    platform::Result<void> open(
        const std::string& localAddress, std::uint16_t port, Binding binding, std::function<void()> onReadable);
    // Opens the socket on the local address ("" or "0.0.0.0" = any) and port
    // (0 = one the system chooses); the receiver set at construction reads.
    platform::Result<void> create(std::uint16_t port, const std::string& localAddress);
    void close();

    bool isOpen() const { return m_socket.isOpen(); }
    int kind() const { return m_kind; }
    platform::UdpSocket& socket() { return m_socket; }
    platform::Endpoint localEndpoint() const { return m_socket.localEndpoint(); }

    platform::Result<std::size_t> receiveFrom(std::span<std::uint8_t> buffer, platform::Endpoint& sender)
    {
        return m_socket.receiveFrom(buffer, sender);
    }
    platform::Result<std::size_t> sendTo(const platform::Endpoint& to, std::span<const std::uint8_t> data)
    {
        return m_socket.sendTo(to, data);
    }

private:
    void watch();

    platform::EventLoop& m_loop;
    int m_kind;
    Receiver m_receiver;
    platform::UdpSocket m_socket;
    std::function<void()> m_onReadable;
};

} // namespace utility::services
