#pragma once

#include "platform/event_loop.h"
#include "platform/net.h"
#include "platform/result.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace utility::services {

// A UDP socket a view creates on the selected local host address. When a
// datagram is readable it calls the receive routine of the view its kind
// names, which reads the datagram itself. Destroying it closes the socket.
class ViewSocket {
public:
    enum Kind : int { kVirtualSerialPort = 1, kDeviceMonitor = 2, kDhcp = 3, kTftp = 4 };
    using Receiver = std::function<void(ViewSocket&)>;

    ViewSocket(platform::EventLoop& loop, int kind, Receiver receiver);
    ~ViewSocket();
    ViewSocket(const ViewSocket&) = delete;
    ViewSocket& operator=(const ViewSocket&) = delete;

    // Opens the socket on the local address ("" or "0.0.0.0" = any) and port
    // (0 = one the system chooses) and starts watching it.
    platform::Result<void> create(std::uint16_t port, const std::string& localAddress);
    void close();

    bool isOpen() const { return m_socket.isOpen(); }
    int kind() const { return m_kind; }
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
    platform::EventLoop& m_loop;
    int m_kind;
    Receiver m_receiver;
    platform::UdpSocket m_socket;
};

} // namespace utility::services
