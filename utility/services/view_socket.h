#pragma once

#include "platform/event_loop.h"
#include "platform/net.h"
#include "platform/result.h"

#include <cstdint>
#include <functional>
#include <string>

namespace utility::services {

// Which view a socket's readiness goes to.
enum class ViewSocketKind { VirtualPorts = 1, Monitor = 2, Dhcp = 3, Tftp = 4 };

// A UDP socket that a view owns, bound to a port on the selected local host
// address; when a datagram is readable the loop calls the view's receive
// routine, which reads the datagram itself. Destroying it closes the socket.
class ViewSocket {
public:
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

    ViewSocket(platform::EventLoop& loop, ViewSocketKind kind)
        : m_loop(loop)
        , m_kind(kind)
    {
    }
    ~ViewSocket() { close(); }
    ViewSocket(const ViewSocket&) = delete;
    ViewSocket& operator=(const ViewSocket&) = delete;

    // Opens the socket on `port` (0 = any free port) with broadcasts allowed
    // and starts calling `onReadable` when a datagram waits.
    platform::Result<void> open(
        const std::string& localAddress, std::uint16_t port, Binding binding, std::function<void()> onReadable);
    void close();

    bool isOpen() const { return m_socket.isOpen(); }
    ViewSocketKind kind() const { return m_kind; }
    platform::UdpSocket& socket() { return m_socket; }

private:
    platform::EventLoop& m_loop;
    ViewSocketKind m_kind;
    platform::UdpSocket m_socket;
    std::function<void()> m_onReadable;
};

} // namespace utility::services
