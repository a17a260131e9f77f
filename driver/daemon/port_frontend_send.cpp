// The way from the program to the port: one write at a time on the sender
// thread, what waits behind it, and what an orderly stop still sends.
#include "driver/daemon/port_frontend.h"

#include "common/vorpil_ioctl.h"
#include "driver/port_device.h"
#include "driver/receive_tap.h"

#include <algorithm>
#include <cstdio>

namespace driver::daemon {

using namespace common;

namespace {

// One write carries what the line takes in about a quarter of a second at
// the terminal's rate, within these bounds: settings changes and the
// program's leaving wait behind no more than that.
constexpr std::size_t kSmallestSend = 0x1000;
constexpr std::size_t kLargestSend = 0x10000;
// Unpaced, one write carries what one send of the port takes: the transmit
// buffer's worth, framed packets' headers included (578 packets of 447
// bytes and their headers fill 260,100 of its 262,144 bytes). Each write
// costs two hand-offs between this thread and the sender, which on a busy
// machine cost more than the bytes.
constexpr std::size_t kUnpacedSend = 0x3F000;
static_assert(kUnpacedSend <= kBufferSize);
// What an orderly stop still reads from the terminal: more than it holds.
constexpr std::size_t kDrainReadLimit = 0x40000;

} // namespace

std::size_t PortFrontEnd::sendLimit() const
{
    // Unpaced, the line holds nothing back: a write takes what the network does.
    if (m_handle && !writesPaced(*m_handle))
        return kUnpacedSend;
    const std::size_t rate = m_applied ? m_applied->baudRate : 9600;
    return std::clamp<std::size_t>(rate / 40, kSmallestSend, kLargestSend);
}

// Bytes the terminal gave in one go travel as one write, up to the limit.
void PortFrontEnd::joinData(std::vector<host::PtyEvent>& events) const
{
    const std::size_t limit = sendLimit();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < events.size(); ++i) {
        host::PtyEvent& event = events[i];
        if (kept > 0 && event.kind == host::PtyEventKind::Data) {
            host::PtyEvent& last = events[kept - 1];
            if (last.kind == host::PtyEventKind::Data && last.data.size() + event.data.size() <= limit) {
                last.data.insert(last.data.end(), event.data.begin(), event.data.end());
                continue;
            }
        }
        if (kept != i)
            events[kept] = std::move(event);
        ++kept;
    }
    events.resize(kept);
}

void PortFrontEnd::startSend(std::vector<std::uint8_t> bytes)
{
    if (bytes.empty())
        return;
    // A stopping daemon does not connect again to send.
    if (!m_handle || (m_drainStarted && !portConnected(*m_handle))) {
        account(bytes.size(), kStatusInvalidDeviceState, 0);
        return;
    }
    m_sendOutstanding = true;
    {
        std::lock_guard lock(m_sendMutex);
        m_sendBytes = std::move(bytes);
        m_sendHandle = m_handle.get();
        m_sendQueued = true;
    }
    m_sendWake.notify_all();
}

void PortFrontEnd::sendLoop()
{
    std::unique_lock lock(m_sendMutex);
    for (;;) {
        m_sendWake.wait(lock, [this] { return m_sendQueued || m_sendStopping; });
        if (!m_sendQueued)
            return;
        const std::vector<std::uint8_t> bytes = std::move(m_sendBytes);
        host::FileHandle* handle = m_sendHandle;
        lock.unlock();
        const host::Reply reply = handle->write(bytes);
        lock.lock();
        m_sendStatus = reply.status;
        m_sendSize = bytes.size();
        m_sendInformation = reply.information;
        m_sendQueued = false;
        m_sendDone = true;
        m_pty->wake();
    }
}

void PortFrontEnd::stopSender()
{
    bool busy = false;
    {
        std::lock_guard lock(m_sendMutex);
        m_sendStopping = true;
        busy = m_sendQueued;
    }
    // A write may be held for as long as the connection lives.
    if (busy && m_handle)
        (void)control(kIoctlCloseTransport, {});
    m_sendWake.notify_all();
    if (m_sender.joinable())
        m_sender.join();
    if (m_sendDone.exchange(false))
        sendFinished(false);
    // What waited behind it is not sent by a stopping daemon, but counted.
    for (const auto& event : m_deferred)
        if (event.kind == host::PtyEventKind::Data)
            account(event.data.size(), kStatusInvalidDeviceState, 0);
    m_deferred.clear();
    m_deferredBytes = 0;
    m_closeDeferred = false;
}

void PortFrontEnd::sendFinished(bool goOn)
{
    std::size_t size = 0;
    std::size_t information = 0;
    NtStatus status = kStatusSuccess;
    {
        std::lock_guard lock(m_sendMutex);
        size = m_sendSize;
        information = m_sendInformation;
        status = m_sendStatus;
    }
    m_sendOutstanding = false;
    account(size, status, information);
    if (goOn)
        runDeferred();
}

// What waited behind the finished write goes on in order, until the next
// write is under way.
void PortFrontEnd::runDeferred()
{
    while (!m_sendOutstanding && !m_deferred.empty()) {
        if (m_deferred.front().kind != host::PtyEventKind::Data) {
            host::PtyEvent event = std::move(m_deferred.front());
            m_deferred.pop_front();
            if (event.kind == host::PtyEventKind::Closed)
                m_closeDeferred = false;
            handle(event);
            continue;
        }
        const std::size_t chunk = sendLimit();
        std::vector<std::uint8_t> bytes;
        while (!m_deferred.empty() && m_deferred.front().kind == host::PtyEventKind::Data
            && (bytes.empty() || bytes.size() + m_deferred.front().data.size() <= chunk)) {
            const auto& data = m_deferred.front().data;
            bytes.insert(bytes.end(), data.begin(), data.end());
            m_deferredBytes -= data.size();
            m_deferred.pop_front();
        }
        startSend(std::move(bytes));
    }
}

void PortFrontEnd::account(std::size_t size, NtStatus status, std::size_t information)
{
    // A failed write reports how much of it reached the network.
    const std::size_t taken = ntSuccess(status) ? size : std::min(information, size);
    std::lock_guard lock(m_mutex);
    m_status.bytesToPort += taken;
    if (ntSuccess(status)) {
        m_refusalLogged = false;
        return;
    }
    m_status.bytesNotSent += size - taken;
    m_status.lastError = writeFailureText(status);
    // One line for a spell of refusals; devcon status keeps the count.
    if (!m_refusalLogged)
        std::fprintf(stderr, "vorpild: %s: %zu bytes not sent: %s\n", m_deviceName.c_str(), size - taken,
            m_status.lastError.c_str());
    m_refusalLogged = true;
}

void PortFrontEnd::requestDrain()
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_drainBase)
            m_drainBase = m_status;
    }
    m_drainRequested = true;
    m_pty->wake();
}

bool PortFrontEnd::waitDrained(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock lock(m_mutex);
    return m_settled.wait_until(lock, deadline, [&] { return m_drainDone; });
}

bool PortFrontEnd::holdEvents(bool hold)
{
    std::unique_lock lock(m_mutex);
    m_holdEvents = hold;
    m_settled.notify_all();
    if (!hold)
        return true;
    lock.unlock();
    m_pty->wake();
    lock.lock();
    m_settled.wait(lock, [&] { return m_eventsHeld || m_pty->stopped(); });
    return m_eventsHeld;
}

void PortFrontEnd::waitWhileHeld()
{
    std::unique_lock lock(m_mutex);
    if (!m_holdEvents)
        return;
    m_eventsHeld = true;
    m_settled.notify_all();
    m_settled.wait(lock, [&] { return !m_holdEvents || m_pty->stopped(); });
    m_eventsHeld = false;
}

DrainReport PortFrontEnd::stop()
{
    m_pty->stop();
    {
        std::lock_guard lock(m_mutex); // a held front end goes on to stop
        m_settled.notify_all();
    }
    if (m_events.joinable())
        m_events.join();
    std::lock_guard lock(m_mutex);
    if (!m_drainBase)
        return {};
    return { m_status.bytesToPort - m_drainBase->bytesToPort, m_status.bytesNotSent - m_drainBase->bytesNotSent };
}

void PortFrontEnd::startDrain()
{
    m_drainStarted = true;
    if (!m_handle || !portConnected(*m_handle))
        return;
    // Bytes the program wrote before the stop were written as far as it
    // knows (it may have closed the port since): they go too. A program
    // that goes on writing adds at most a terminal's worth.
    std::vector<host::PtyEvent> pending;
    m_pty->pendingEvents(pending, kDrainReadLimit);
    joinData(pending);
    for (auto& event : pending)
        dispatch(event);
}

void PortFrontEnd::markDrained()
{
    if (!m_drainStarted)
        return;
    const bool held = m_sendOutstanding || !m_deferred.empty();
    // Without a connection nothing more can go: the stop need not wait.
    if (held && m_handle && portConnected(*m_handle))
        return;
    {
        std::lock_guard lock(m_mutex);
        if (m_drainDone)
            return;
        m_drainDone = true;
    }
    m_settled.notify_all();
}

} // namespace driver::daemon
