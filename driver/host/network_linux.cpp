#include "driver/host/network.h"

#include "driver/host/network_internal_linux.h"
#include "platform/faults.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace driver::host {

using namespace common;

namespace detail {

NtStatus statusFromErrno(int error)
{
    switch (error) {
    case EADDRINUSE:
        return kStatusAddressAlreadyExists;
    case EADDRNOTAVAIL:
    case EAFNOSUPPORT:
        return kStatusInvalidAddress;
    case ECONNREFUSED:
        return kStatusConnectionRefused;
    case ECONNRESET:
    case EPIPE:
        return kStatusConnectionReset;
    case ECONNABORTED:
        return kStatusConnectionAborted;
    case ENOTCONN:
        return kStatusConnectionDisconnected;
    case ENETUNREACH:
        return kStatusNetworkUnreachable;
    case EHOSTUNREACH:
        return kStatusHostUnreachable;
    case ETIMEDOUT:
        return kStatusIoTimeout;
    case ENOMEM:
    case ENOBUFS:
    case EMFILE:
    case ENFILE:
        return kStatusInsufficientResources;
    default:
        return kStatusUnsuccessful;
    }
}

sockaddr_in socketAddress(NetAddress address)
{
    sockaddr_in out {};
    out.sin_family = AF_INET;
    out.sin_addr.s_addr = htonl(address.ip);
    out.sin_port = htons(address.port);
    return out;
}

NetAddress netAddress(const sockaddr_in& address)
{
    return { ntohl(address.sin_addr.s_addr), ntohs(address.sin_port) };
}

std::uint32_t epollEvents(unsigned events)
{
    std::uint32_t out = 0;
    if (events & kNetReadable)
        out |= EPOLLIN | EPOLLRDHUP;
    if (events & kNetWritable)
        out |= EPOLLOUT;
    return out;
}

} // namespace detail

using detail::netAddress;
using detail::socketAddress;
using detail::statusFromErrno;

NetEndpoint::NetEndpoint(NetService& service, NetProtocol protocol, Role role, NetAddress local,
    std::span<std::uint8_t> receiveBuffer, NetHandlers handlers)
    : m_service(service)
    , m_protocol(protocol)
    , m_role(role)
    , m_local(local)
    , m_receiveBuffer(receiveBuffer)
    , m_handlers(std::move(handlers))
{
}

NetEndpoint::~NetEndpoint() { close(); }

NtStatus NetEndpoint::open(NetService& service, NetProtocol protocol, Role role, NetAddress local,
    std::span<std::uint8_t> receiveBuffer, NetHandlers handlers, std::shared_ptr<NetEndpoint>& endpoint)
{
    std::shared_ptr<NetEndpoint> created(
        new NetEndpoint(service, protocol, role, local, receiveBuffer, std::move(handlers)));
    int fd = -1;
    const NtStatus status = created->bindNew(fd);
    if (!ntSuccess(status))
        return status;
    {
        std::lock_guard lock(created->m_mutex);
        created->m_socket = fd;
    }
    if (protocol == NetProtocol::Udp) {
        NetEndpoint* self = created.get();
        if (!service.watch(fd, kNetReadable, [self](unsigned events) { self->onDatagramEvent(events); }))
            return kStatusInsufficientResources; // the destructor closes the socket
    }
    endpoint = std::move(created);
    return kStatusSuccess;
}

NtStatus NetEndpoint::bindNew(int& fd)
{
    if (platform::faults::shouldFail(platform::faults::Op::Open))
        return kStatusInsufficientResources;
    const int type = m_protocol == NetProtocol::Tcp ? SOCK_STREAM : SOCK_DGRAM;
    const int created = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (created < 0)
        return statusFromErrno(errno);
    // Client ports cycle through a small range; a TCP port used a moment ago
    // must be usable again at once. Not for UDP: there it would let two
    // sockets share a port and the later one take the other's datagrams.
    if (m_protocol == NetProtocol::Tcp) {
        const int on = 1;
        ::setsockopt(created, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    const sockaddr_in address = socketAddress(m_local);
    if (platform::faults::shouldFail(platform::faults::Op::Bind)) {
        ::close(created);
        return kStatusAddressAlreadyExists;
    }
    if (::bind(created, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(created);
        return statusFromErrno(error);
    }
    fd = created;
    return kStatusSuccess;
}

NtStatus NetEndpoint::connect(NetAddress remote, platform::Duration limit)
{
    if (m_protocol != NetProtocol::Tcp || m_role != Role::Client)
        return kStatusInvalidDeviceRequest;
    IoScope io(*this);
    int fd = -1;
    {
        std::lock_guard lock(m_mutex);
        if (m_closed || m_connection >= 0)
            return kStatusInvalidDeviceState;
        fd = m_socket;
        m_socket = -1;
    }
    if (fd < 0) {
        // A connection was made and reset before: the address is bound anew.
        const NtStatus status = bindNew(fd);
        if (!ntSuccess(status))
            return status;
    }
    const sockaddr_in address = socketAddress(remote);
    NtStatus status = kStatusSuccess;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS) {
            status = statusFromErrno(errno);
        } else {
            std::unique_lock lock(m_mutex);
            m_writable = false;
            const std::uint64_t generation = m_generation;
            lock.unlock();
            // Any readiness ends the attempt; the handler steps aside at
            // once, since a refused socket reports hang-up until closed.
            const bool watched = m_service.watch(fd, kNetWritable, [this, fd](unsigned) {
                HandlerScope scope(*this);
                m_service.unwatch(fd);
                if (!scope.entered)
                    return;
                std::lock_guard inner(m_mutex);
                m_writable = true;
                m_changed.notify_all();
            });
            lock.lock();
            const bool ready = watched && m_service.clock().waitFor(m_changed, lock, limit, [&] {
                return m_writable || m_closed || m_generation != generation;
            });
            const bool closed = m_closed;
            lock.unlock();
            m_service.unwatch(fd);
            int error = 0;
            socklen_t length = sizeof error;
            if (!watched)
                status = kStatusInsufficientResources;
            else if (closed)
                status = kStatusCancelled;
            else if (!ready)
                status = kStatusIoTimeout;
            else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
                status = statusFromErrno(error);
        }
    }
    if (!ntSuccess(status)) {
        resetAndClose(fd);
        return status;
    }
    std::lock_guard lock(m_mutex);
    if (m_closed) {
        resetAndClose(fd);
        return kStatusCancelled;
    }
    m_connection = fd;
    ++m_generation;
    m_receivePaused = false;
    m_connectionWatched
        = m_service.watch(fd, kNetReadable, [this, fd](unsigned events) { onConnectionEvent(fd, events); });
    return kStatusSuccess;
}

NtStatus NetEndpoint::listen(std::function<void()> accepted)
{
    if (m_protocol != NetProtocol::Tcp || m_role != Role::Server)
        return kStatusInvalidDeviceRequest;
    std::lock_guard lock(m_mutex);
    if (m_closed || m_socket < 0)
        return kStatusInvalidDeviceState;
    if (!m_listenStarted) {
        if (::listen(m_socket, 4) != 0)
            return statusFromErrno(errno);
        const int fd = m_socket;
        if (!m_service.watch(fd, kNetReadable, [this, fd](unsigned) { onListenerEvent(fd); }))
            return kStatusInsufficientResources;
        m_listenStarted = true;
    }
    m_listening = true;
    m_accepted = std::move(accepted);
    return kStatusSuccess;
}

void NetEndpoint::cancelListen()
{
    std::lock_guard lock(m_mutex);
    m_listening = false;
    m_accepted = nullptr;
}

bool NetEndpoint::listening() const
{
    std::lock_guard lock(m_mutex);
    return m_listening;
}

bool NetEndpoint::enterHandler()
{
    std::lock_guard lock(m_mutex);
    if (m_closed)
        return false;
    ++m_handlersRunning;
    return true;
}

void NetEndpoint::leaveHandler()
{
    std::lock_guard lock(m_mutex);
    if (--m_handlersRunning == 0)
        m_changed.notify_all();
}

void NetEndpoint::onListenerEvent(int listener)
{
    HandlerScope scope(*this);
    if (!scope.entered)
        return;
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    std::function<void()> accepted;
    {
        std::lock_guard lock(m_mutex);
        // One client at a time, and only while a listen is outstanding.
        if (m_listening && m_connection < 0 && !m_closed) {
            m_connection = fd;
            m_listening = false;
            ++m_generation;
            m_receivePaused = false;
            accepted = std::move(m_accepted);
            m_accepted = nullptr;
            m_connectionWatched
                = m_service.watch(fd, kNetReadable, [this, fd](unsigned events) { onConnectionEvent(fd, events); });
        }
    }
    if (!accepted) {
        resetAndClose(fd);
        return;
    }
    accepted();
}

void NetEndpoint::onConnectionEvent(int fd, unsigned events)
{
    HandlerScope scope(*this);
    if (!scope.entered)
        return;
    if (events & kNetWritable) {
        std::lock_guard lock(m_mutex);
        m_writable = true;
        m_changed.notify_all();
        m_service.modify(fd, 0, kNetWritable);
    }
    if (!(events & (kNetReadable | kNetHangUp)))
        return;
    std::size_t room = m_receiveBuffer.size();
    if (m_handlers.receiveRoom) {
        room = std::min(room, m_handlers.receiveRoom());
        if (room == 0 && !(events & kNetHangUp)) {
            // Nothing is read until the owner has room. The flag and the
            // watch change together under the lock, as resumeReceive()
            // changes them, so a resume in between is never undone.
            {
                std::lock_guard lock(m_mutex);
                m_receivePaused = true;
                m_service.modify(fd, 0, kNetReadable);
            }
            room = std::min(m_receiveBuffer.size(), m_handlers.receiveRoom());
            if (room == 0)
                return;
            std::lock_guard lock(m_mutex);
            if (!m_receivePaused)
                return; // resumed meanwhile: readable again already
            m_receivePaused = false;
            m_service.modify(fd, kNetReadable, 0);
        }
    }
    // A hung-up connection with no room left is taken down without reading.
    const ssize_t received = room == 0 ? 0 : ::recv(fd, m_receiveBuffer.data(), room, MSG_DONTWAIT);
    if (received > 0) {
        if (m_handlers.receive)
            m_handlers.receive(m_receiveBuffer.first(static_cast<std::size_t>(received)));
        return;
    }
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    // The peer closed or reset the connection. The socket stays until the
    // owner resets it, so a sender never sees its descriptor reused.
    m_service.unwatch(fd);
    {
        std::lock_guard lock(m_mutex);
        if (m_connection == fd)
            m_connectionWatched = false;
        ++m_generation;
        m_changed.notify_all();
    }
    if (m_handlers.disconnect)
        m_handlers.disconnect();
}

void NetEndpoint::onDatagramEvent(unsigned events)
{
    HandlerScope scope(*this);
    if (!scope.entered)
        return;
    int fd = -1;
    {
        std::lock_guard lock(m_mutex);
        fd = m_socket;
        if (events & kNetWritable) {
            m_writable = true;
            m_changed.notify_all();
            m_service.modify(fd, 0, kNetWritable);
        }
    }
    if (!(events & (kNetReadable | kNetHangUp)) || fd < 0)
        return;
    sockaddr_in from {};
    socklen_t length = sizeof from;
    const ssize_t received = ::recvfrom(
        fd, m_receiveBuffer.data(), m_receiveBuffer.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &length);
    // Errors (an ICMP report of an earlier datagram) are of no interest.
    if (received < 0)
        return;
    if (m_handlers.receiveDatagram)
        m_handlers.receiveDatagram(m_receiveBuffer.first(static_cast<std::size_t>(received)), netAddress(from));
}

int NetEndpoint::detachConnection()
{
    std::lock_guard lock(m_mutex);
    const int fd = m_connection;
    m_connection = -1;
    m_connectionWatched = false;
    ++m_generation;
    m_changed.notify_all();
    return fd;
}

void NetEndpoint::resumeReceive()
{
    std::lock_guard lock(m_mutex);
    if (!m_receivePaused)
        return;
    m_receivePaused = false;
    if (m_connection >= 0 && m_connectionWatched)
        m_service.modify(m_connection, kNetReadable, 0);
}

NtStatus NetEndpoint::disconnect()
{
    const int fd = detachConnection();
    if (fd < 0)
        return kStatusSuccess;
    m_service.unwatch(fd);
    IoScope io(*this); // a sender still inside has been woken and leaves
    resetAndClose(fd);
    return kStatusSuccess;
}

void NetEndpoint::close()
{
    int socket = -1;
    int connection = -1;
    {
        std::lock_guard lock(m_mutex);
        if (m_closed)
            return;
        m_closed = true;
        ++m_generation;
        socket = m_socket;
        connection = m_connection;
        m_socket = -1;
        m_connection = -1;
        m_listening = false;
        m_accepted = nullptr;
        m_changed.notify_all();
    }
    if (socket >= 0)
        m_service.unwatch(socket);
    if (connection >= 0)
        m_service.unwatch(connection);
    if (!m_service.onNetworkThread()) {
        // A disconnect handler goes on after unwatching its fd; the owner
        // may free what it uses once close() returns.
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_handlersRunning == 0; });
    }
    IoScope io(*this);
    if (connection >= 0)
        resetAndClose(connection);
    if (socket >= 0)
        ::close(socket);
}

void NetEndpoint::resetAndClose(int fd)
{
    // A zero linger time makes the close a reset, as the device server expects
    // of an abortive disconnect.
    linger option {};
    option.l_onoff = 1;
    option.l_linger = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    ::close(fd);
}

} // namespace driver::host
