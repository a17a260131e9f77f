#include "driver/daemon/port_frontend.h"

#include "common/byte_order.h"
#include "common/serial_ioctl.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace driver::daemon {

using namespace common;

namespace {

constexpr std::size_t kReadChunk = 4096;
constexpr int kAttachRetryMs = 200;
// How often a receiver blocked in a wait is nudged while it is being stopped.
constexpr auto kStopNudge = std::chrono::milliseconds(50);

// Handshake and flow bits of the serial handflow record.
constexpr std::uint32_t kDtrControl = 0x01;
constexpr std::uint32_t kCtsHandshake = 0x08;
constexpr std::uint32_t kAutoTransmit = 0x01;
constexpr std::uint32_t kAutoReceive = 0x02;
constexpr std::uint32_t kRtsControl = 0x40;
constexpr std::uint32_t kRtsHandshake = 0x80;
constexpr std::uint32_t kPurgeTxAbort = 0x1;
constexpr std::uint32_t kPurgeRxAbort = 0x2;
constexpr std::uint32_t kPurgeTxClear = 0x4;
constexpr std::uint32_t kPurgeRxClear = 0x8;

std::vector<std::uint8_t> words(std::initializer_list<std::uint32_t> values)
{
    std::vector<std::uint8_t> bytes(values.size() * 4);
    std::size_t offset = 0;
    for (std::uint32_t value : values) {
        storeLe32(bytes, offset, value);
        offset += 4;
    }
    return bytes;
}

} // namespace

PortFrontEnd::PortFrontEnd(host::Host& host, std::string deviceName, std::unique_ptr<host::PtyPort> pty)
    : m_host(host)
    , m_deviceName(std::move(deviceName))
    , m_pty(std::move(pty))
{
    m_events = std::thread([this] { run(); });
}

PortFrontEnd::~PortFrontEnd()
{
    m_pty->stop();
    m_events.join();
}

host::Reply PortFrontEnd::control(std::uint32_t code, std::span<const std::uint8_t> input, std::size_t outputLength)
{
    return m_handle->deviceIoControl(code, input, outputLength);
}

void PortFrontEnd::run()
{
    std::vector<host::PtyEvent> events;
    // While a program has the terminal but someone else holds the port, the
    // open is tried again now and then.
    while (m_pty->waitEvents(events, m_openCount > 0 && !m_handle ? kAttachRetryMs : -1)) {
        if (events.empty())
            attach();
        for (auto& event : events) {
            switch (event.kind) {
            case host::PtyEventKind::Opened:
                if (m_openCount++ == 0)
                    attach();
                break;
            case host::PtyEventKind::Closed:
                if (m_openCount > 0)
                    --m_openCount;
                // Merged notifications can miscount: the last close is the
                // one after which no other program has the terminal.
                if (m_pty->openedByOthers()) {
                    m_openCount = std::max(m_openCount, 1);
                } else {
                    m_openCount = 0;
                    detach();
                }
                break;
            case host::PtyEventKind::Data:
                if (!m_handle)
                    attach(); // the port was held by someone else when the program opened it
                if (m_handle) {
                    const host::Reply reply = m_handle->write(event.data);
                    if (!ntSuccess(reply.status))
                        std::fprintf(stderr, "vorpild: %s: %zu bytes not sent (%s)\n", m_deviceName.c_str(),
                            event.data.size(), statusText(reply.status).c_str());
                }
                break;
            case host::PtyEventKind::Settings:
                if (m_handle)
                    applySettings(event.settings);
                break;
            case host::PtyEventKind::FlushInput:
                if (m_handle)
                    (void)control(kIoctlSerialPurge, words({ kPurgeRxAbort | kPurgeRxClear }));
                break;
            case host::PtyEventKind::FlushOutput:
                if (m_handle)
                    (void)control(kIoctlSerialPurge, words({ kPurgeTxAbort | kPurgeTxClear }));
                break;
            }
        }
        events.clear();
    }
    detach();
}

void PortFrontEnd::attach()
{
    if (m_handle || m_openCount == 0)
        return;
    const NtStatus status = m_host.open(m_deviceName, m_handle);
    if (!ntSuccess(status)) {
        // Someone holds the port through the control socket; the program's
        // bytes are dropped until it lets go.
        m_handle.reset();
        return;
    }
    // Reads return what is there at once; the receiver waits for arrivals.
    (void)control(kIoctlSerialSetTimeouts, words({ 0, 0, 0, 0, 0 }));
    (void)control(kIoctlSerialSetWaitMask, words({ kSerialEvRxChar }));
    m_applied.reset();
    applySettings(m_pty->settings());
    m_attached = true;
    m_stopReceiving = false;
    {
        std::lock_guard lock(m_receiverMutex);
        m_receiverDone = false;
    }
    m_receiver = std::thread([this, handle = m_handle.get()] {
        receive(*handle);
        std::lock_guard lock(m_receiverMutex);
        m_receiverDone = true;
        m_receiverFinished.notify_all();
    });
}

void PortFrontEnd::detach()
{
    if (!m_handle)
        return;
    m_attached = false;
    m_stopReceiving = true;
    m_pty->stopWrites();
    // A new wait mask completes a pending wait; repeated until the receiver
    // has seen the stop, so no wait is left behind on the port.
    {
        std::unique_lock lock(m_receiverMutex);
        while (!m_receiverDone) {
            lock.unlock();
            (void)control(kIoctlSerialSetWaitMask, words({ kSerialEvRxChar }));
            lock.lock();
            m_receiverFinished.wait_for(lock, kStopNudge, [this] { return m_receiverDone; });
        }
    }
    m_receiver.join();
    m_pty->resumeWrites();
    m_handle->close();
    m_handle.reset();
    // The next program must not read what was meant for this one.
    m_pty->discardTerminalInput();
}

void PortFrontEnd::receive(host::FileHandle& handle)
{
    while (!m_stopReceiving) {
        const host::Reply reply = handle.read(kReadChunk);
        if (!ntSuccess(reply.status))
            return;
        if (reply.information > 0) {
            if (!m_pty->writeToTerminal({ reply.output.data(), reply.information }))
                return;
            continue;
        }
        if (m_stopReceiving)
            return;
        const host::Reply wait = handle.deviceIoControl(kIoctlSerialWaitOnMask, {}, 4);
        if (!ntSuccess(wait.status))
            return;
    }
}

void PortFrontEnd::applySettings(const host::PtySettings& settings)
{
    const bool lineChanged
        = !m_applied || m_applied->baudRate != settings.baudRate || m_applied->twoStopBits != settings.twoStopBits;
    if (lineChanged) {
        // The device server learns a new rate together with the line control.
        if (settings.baudRate != 0) {
            const host::Reply reply = control(kIoctlSerialSetBaudRate, words({ settings.baudRate }));
            if (!ntSuccess(reply.status))
                std::fprintf(stderr, "vorpild: %s: %u baud refused (%s)\n", m_deviceName.c_str(), settings.baudRate,
                    statusText(reply.status).c_str());
        }
        const std::array<std::uint8_t, 3> line { static_cast<std::uint8_t>(settings.twoStopBits ? 2 : 0), 0, 8 };
        (void)control(kIoctlSerialSetLineControl, line);
    }
    const bool flowChanged = !m_applied || m_applied->rtsCts != settings.rtsCts
        || m_applied->xonOutput != settings.xonOutput || m_applied->xonInput != settings.xonInput
        || m_applied->xonChar != settings.xonChar || m_applied->xoffChar != settings.xoffChar;
    if (flowChanged) {
        if (settings.xonOutput || settings.xonInput) {
            const host::Reply chars = control(kIoctlSerialGetChars, {}, kSerialCharsSize);
            if (ntSuccess(chars.status) && chars.output.size() >= kSerialCharsSize) {
                std::vector<std::uint8_t> updated(chars.output.begin(), chars.output.begin() + kSerialCharsSize);
                updated[4] = settings.xonChar;
                updated[5] = settings.xoffChar;
                (void)control(kIoctlSerialSetChars, updated);
            }
        }
        const std::uint32_t handShake = kDtrControl | (settings.rtsCts ? kCtsHandshake : 0);
        const std::uint32_t flowReplace = (settings.rtsCts ? kRtsHandshake : kRtsControl)
            | (settings.xonOutput ? kAutoTransmit : 0) | (settings.xonInput ? kAutoReceive : 0);
        (void)control(kIoctlSerialSetHandflow, words({ handShake, flowReplace, 0, 0 }));
    }
    m_applied = settings;
}

} // namespace driver::daemon
