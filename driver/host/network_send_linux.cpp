// Sending on an endpoint: waiting for room, one sender at a time, data
// stepping aside for control at whole units of the stream.
#include "driver/host/network.h"

#include "driver/host/network_internal_linux.h"
#include "platform/faults.h"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>

namespace driver::host {

using namespace common;
using detail::socketAddress;
using detail::statusFromErrno;

NtStatus NetEndpoint::waitWritable(int fd, platform::TimePoint deadline, std::uint64_t generation, bool yieldable)
{
    std::unique_lock lock(m_mutex);
    m_writable = false;
    m_service.modify(fd, kNetWritable, 0);
    platform::Clock& clock = m_service.clock();
    const auto done
        = [&] { return m_writable || m_closed || m_generation != generation || (yieldable && m_ioUrgent > 0); };
    bool woken = true;
    if (deadline == platform::TimePoint::max())
        m_changed.wait(lock, done); // no limit: until the socket takes more or the connection ends
    else
        woken = clock.waitFor(m_changed, lock, deadline - clock.now(), done);
    m_service.modify(fd, 0, kNetWritable);
    if (m_closed || m_generation != generation)
        return kStatusConnectionDisconnected;
    // The limit passed with the socket still full: the send is cancelled.
    return woken ? kStatusSuccess : kStatusCancelled;
}

NtStatus NetEndpoint::send(
    std::span<const std::uint8_t> bytes, platform::Duration limit, std::size_t* taken, const SendCuts* cuts)
{
    std::size_t ignored = 0;
    std::size_t& sent = taken ? *taken : ignored;
    sent = 0;
    if (m_protocol != NetProtocol::Tcp)
        return kStatusInvalidDeviceRequest;
    const platform::TimePoint deadline
        = limit == kNoLimit ? platform::TimePoint::max() : m_service.clock().now() + limit;
    IoScope io(*this, deadline, cuts != nullptr);
    if (!io.held)
        return kStatusCancelled; // another send held the socket past the limit
    if (platform::faults::shouldFail(platform::faults::Op::Send))
        return kStatusConnectionReset;
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(m_mutex);
        generation = m_generation;
    }
    while (sent < bytes.size()) {
        int fd = -1;
        {
            std::lock_guard lock(m_mutex);
            if (m_closed)
                return kStatusInvalidDeviceState;
            // Bytes after a hole would reach a new connection: never.
            if (m_generation != generation)
                return kStatusConnectionDisconnected;
            fd = m_connection;
        }
        if (fd < 0)
            return kStatusConnectionDisconnected;
        std::size_t end = bytes.size();
        bool atCut = false;
        if (cuts) {
            const std::size_t cut = std::min((*cuts)(sent), bytes.size());
            atCut = cut <= sent;
            if (othersWaitForIo()) {
                if (atCut) {
                    yieldIo();
                    continue;
                }
                end = cut; // up to the cut, then the others
            }
        }
        const ssize_t written = ::send(fd, bytes.data() + sent, end - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written > 0) {
            sent += static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const NtStatus status = waitWritable(fd, deadline, generation, atCut);
            if (!ntSuccess(status))
                return status;
            continue;
        }
        return statusFromErrno(errno);
    }
    return kStatusSuccess;
}

NtStatus NetEndpoint::sendTo(NetAddress to, std::span<const std::uint8_t> bytes, platform::Duration limit)
{
    if (m_protocol != NetProtocol::Udp)
        return kStatusInvalidDeviceRequest;
    const platform::TimePoint deadline
        = limit == kNoLimit ? platform::TimePoint::max() : m_service.clock().now() + limit;
    IoScope io(*this, deadline);
    if (!io.held)
        return kStatusCancelled;
    if (platform::faults::shouldFail(platform::faults::Op::Send))
        return kStatusUnsuccessful;
    const sockaddr_in address = socketAddress(to);
    for (;;) {
        int fd = -1;
        std::uint64_t generation = 0;
        {
            std::lock_guard lock(m_mutex);
            if (m_closed || m_socket < 0)
                return kStatusInvalidDeviceState;
            fd = m_socket;
            generation = m_generation;
        }
        const ssize_t written = ::sendto(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
            reinterpret_cast<const sockaddr*>(&address), sizeof address);
        if (written >= 0)
            return kStatusSuccess;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            const NtStatus status = waitWritable(fd, deadline, generation);
            if (!ntSuccess(status))
                return status;
            continue;
        }
        return statusFromErrno(errno);
    }
}

bool NetEndpoint::acquireIo(platform::TimePoint deadline, bool yielding)
{
    std::unique_lock lock(m_mutex);
    const auto free = [this, yielding] { return !m_ioBusy && (!yielding || m_ioUrgent == 0); };
    if (!yielding) {
        // A data send holding the sockets steps aside at its next cut.
        ++m_ioUrgent;
        if (m_ioBusy)
            m_changed.notify_all();
    }
    bool got = true;
    if (deadline == platform::TimePoint::max()) {
        m_changed.wait(lock, free);
    } else {
        platform::Clock& clock = m_service.clock();
        got = clock.waitFor(m_changed, lock, deadline - clock.now(), free);
    }
    if (!yielding) {
        --m_ioUrgent;
        m_changed.notify_all(); // a data send waiting behind this one looks again
    }
    if (!got)
        return false;
    m_ioBusy = true;
    return true;
}

void NetEndpoint::releaseIo()
{
    std::lock_guard lock(m_mutex);
    m_ioBusy = false;
    m_changed.notify_all();
}

bool NetEndpoint::othersWaitForIo() const
{
    std::lock_guard lock(m_mutex);
    return m_ioUrgent > 0;
}

void NetEndpoint::yieldIo()
{
    releaseIo();
    (void)acquireIo(platform::TimePoint::max(), true);
}

} // namespace driver::host
