#include "utility/services/view_socket.h"

namespace utility::services {

ViewSocket::ViewSocket(platform::EventLoop& loop, int kind, Receiver receiver)
    : m_loop(loop)
    , m_kind(kind)
    , m_receiver(std::move(receiver))
{
}

ViewSocket::~ViewSocket() { close(); }

platform::Result<void> ViewSocket::create(std::uint16_t port, const std::string& localAddress)
{
    close();
    auto socket = platform::UdpSocket::open();
    if (!socket)
        return socket.error();
    if (auto bound = socket->bind(localAddress, port); !bound)
        return bound.error();
    m_socket = std::move(*socket);
    m_loop.watchFd(m_socket.fd(), platform::kIoRead, [this](unsigned) {
        if (m_receiver)
            m_receiver(*this);
    });
    return {};
}

void ViewSocket::close()
{
    if (!m_socket.isOpen())
        return;
    m_loop.unwatchFd(m_socket.fd());
    m_socket.close();
}

} // namespace utility::services
