#include "utility/services/view_socket.h"

namespace utility::services {

ViewSocket::ViewSocket(platform::EventLoop& loop, ViewSocketKind kind)
    : m_loop(loop)
    , m_kind(static_cast<int>(kind))
{
}

ViewSocket::ViewSocket(platform::EventLoop& loop, int kind, Receiver receiver)
    : m_loop(loop)
    , m_kind(kind)
    , m_receiver(std::move(receiver))
{
}

ViewSocket::~ViewSocket() { close(); }

void ViewSocket::watch()
{
    m_loop.watchFd(m_socket.fd(), platform::kIoRead, [this](unsigned) {
        if (m_onReadable)
            m_onReadable();
        else if (m_receiver)
            m_receiver(*this);
    });
}

platform::Result<void> ViewSocket::open(
    const std::string& localAddress, std::uint16_t port, Binding binding, std::function<void()> onReadable)
{
    close();
    const auto address = platform::parseIpv4(localAddress);
    if (!address)
        return platform::Error { "'" + localAddress + "' is not a local address" };
    SUITE_TRY_ASSIGN(platform::UdpSocket socket, platform::UdpSocket::open());
    if (binding == Binding::InterfaceOfAddress) {
        const auto device = platform::interfaceWithAddress(*address);
        if (!device)
            return platform::Error { "no interface carries " + localAddress };
        SUITE_TRY(socket.bindToDevice(*device));
        SUITE_TRY(socket.bind(platform::Ipv4 { 0 }, port));
    } else {
        SUITE_TRY(socket.bind(*address, port));
    }
    SUITE_TRY(socket.setBroadcast(true));
    m_socket = std::move(socket);
    m_onReadable = std::move(onReadable);
    watch();
    return {};
}

platform::Result<void> ViewSocket::create(std::uint16_t port, const std::string& localAddress)
{
    close();
    auto socket = platform::UdpSocket::open();
    if (!socket)
        return socket.error();
    if (auto bound = socket->bind(localAddress, port); !bound)
        return bound.error();
    m_socket = std::move(*socket);
    watch();
    return {};
}

void ViewSocket::close()
{
    if (!m_socket.isOpen())
        return;
    m_loop.unwatchFd(m_socket.fd());
    m_socket.close();
    m_onReadable = nullptr;
}

} // namespace utility::services
