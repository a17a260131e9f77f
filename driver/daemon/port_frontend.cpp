#include "driver/daemon/port_frontend.h"

#include "common/byte_order.h"
#include "common/serial_ioctl.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace driver::daemon {

using namespace common;

namespace {

// What one read from the port may bring.
constexpr std::size_t kReadChunk = 0x10000;
// While a program has the terminal but someone else holds the port, the open
// is tried again, soon at first (a control-socket client is often just
// closing), then at most this often.
constexpr int kFirstAttachRetryMs = 2;
constexpr int kAttachRetryMs = 200;

// Handshake and flow bits of the serial handflow record.
constexpr std::uint32_t kDtrControl = 0x01;
constexpr std::uint32_t kCtsHandshake = 0x08;
constexpr std::uint32_t kAutoTransmit = 0x01;
constexpr std::uint32_t kAutoReceive = 0x02;
constexpr std::uint32_t kRtsControl = 0x40;
constexpr std::uint32_t kRtsHandshake = 0x80;
constexpr std::uint32_t kPurgeRxAbort = 0x2;
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
    // What the port has before any program touches the terminal.
    m_applied = m_pty->settings();
    m_events = std::thread([this] { run(); });
}

PortFrontEnd::~PortFrontEnd()
{
    m_pty->stop();
    m_events.join();
}

FrontEndStatus PortFrontEnd::status() const
{
    std::lock_guard lock(m_mutex);
    FrontEndStatus out = m_status;
    out.kind = "pty";
    out.attached = m_attached.load();
    out.bytesToProgram += m_tapBytes.load();
    return out;
}

std::uint64_t PortFrontEnd::requestSettle()
{
    std::uint64_t ticket = 0;
    {
        std::lock_guard lock(m_mutex);
        ticket = ++m_settleRequested;
    }
    m_pty->wake();
    return ticket;
}

bool PortFrontEnd::waitSettled(std::uint64_t ticket, std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock lock(m_mutex);
    return m_settled.wait_until(lock, deadline, [&] { return m_settleDone >= ticket; });
}

bool PortFrontEnd::settle(std::chrono::milliseconds limit)
{
    return waitSettled(requestSettle(), std::chrono::steady_clock::now() + limit);
}

host::Reply PortFrontEnd::control(std::uint32_t code, std::span<const std::uint8_t> input, std::size_t outputLength)
{
    return m_handle->deviceIoControl(code, input, outputLength);
}

std::size_t PortFrontEnd::offer(std::span<const std::uint8_t> bytes)
{
    // Older bytes are on their way through this thread: they go first.
    if (m_draining.load())
        return 0;
    const std::size_t taken = m_pty->writeSome(bytes);
    m_tapBytes += taken;
    return taken;
}

void PortFrontEnd::run()
{
    std::vector<host::PtyEvent> events;
    std::uint64_t settled = 0;
    for (;;) {
        host::PtyWait wait;
        // The terminal is looked at only while a program is there, and read
        // only while the port is the program's: otherwise its writes wait.
        wait.hangUp = m_program && !m_hungUp;
        wait.programData = m_handle != nullptr;
        wait.writable = m_handle && m_backlogSent < m_backlog.size();
        wait.limitMs = m_program && !m_handle ? m_attachRetryMs : -1;
        events.clear();
        if (!m_pty->waitEvents(events, wait))
            break;
        if (events.empty() && m_program && !m_handle) {
            // The port was held by someone else; try again, and wait longer
            // before the next try if it still is.
            if (!attach())
                m_attachRetryMs = std::min(m_attachRetryMs * 2, kAttachRetryMs);
        }
        for (auto& event : events) {
            // A stopping daemon does not wait for paced writes of the rest.
            if (m_pty->stopped())
                break;
            handle(event);
        }
        std::uint64_t wanted = 0;
        {
            std::lock_guard lock(m_mutex);
            wanted = m_settleRequested;
        }
        if (wanted > settled) {
            checkPresence();
            settled = wanted;
            {
                std::lock_guard lock(m_mutex);
                m_settleDone = wanted;
            }
            m_settled.notify_all();
        }
    }
    detach();
    std::lock_guard lock(m_mutex);
    m_settleDone = ~std::uint64_t { 0 }; // nobody waits for a stopped front end
    m_settled.notify_all();
}

void PortFrontEnd::handle(host::PtyEvent& event)
{
    switch (event.kind) {
    case host::PtyEventKind::Opened: {
        if (m_program && !m_hungUp)
            break;
        // Opens are told late at times: a program that came and went and
        // left nothing to pass on needs no port (and must not take it from
        // a control-socket client that opened it meanwhile).
        const bool present = m_pty->programPresent();
        if (!present && !m_program && !m_pty->hasPending())
            break;
        m_program = true;
        m_hungUp = !present; // gone already: what it left goes, then the port
        (void)attach();
        break;
    }
    case host::PtyEventKind::Closed:
        if (m_handle)
            programLeft();
        else if (m_program)
            m_hungUp = true; // its bytes go once the port is free
        break;
    case host::PtyEventKind::Data:
        toPort(event.data);
        break;
    case host::PtyEventKind::Settings:
        // Read only while the port is the program's; a change made before
        // is taken up by attach().
        if (m_handle)
            applySettings(event.settings);
        break;
    case host::PtyEventKind::FlushInput:
        // What the program has not read yet includes what the port holds for it.
        if (m_handle) {
            m_backlog.clear();
            m_backlogSent = 0;
            (void)control(kIoctlSerialPurge, words({ kPurgeRxAbort | kPurgeRxClear }));
        }
        break;
    case host::PtyEventKind::FlushOutput:
        // Nothing waits in the port to be sent: a write goes out as it comes.
        // (A purge would empty the receive buffer, whatever its flags say.)
        break;
    case host::PtyEventKind::Writable:
        fromPort();
        break;
    case host::PtyEventKind::Woken:
        if (m_arrival.exchange(false)) {
            m_waitArmed = false;
            fromPort();
        }
        break;
    }
}

void PortFrontEnd::checkPresence()
{
    if (!m_program || m_hungUp || m_pty->programPresent())
        return;
    if (!m_handle) {
        m_hungUp = true;
        return;
    }
    // Gone: what it wrote before closing is read and sent before the port goes.
    std::vector<host::PtyEvent> pending;
    m_pty->pendingEvents(pending);
    for (auto& event : pending)
        handle(event);
    if (m_program)
        programLeft();
}

void PortFrontEnd::programLeft()
{
    m_program = false;
    m_hungUp = false;
    detach();
}

bool PortFrontEnd::attach()
{
    if (m_handle || !m_program)
        return m_handle != nullptr;
    const NtStatus status = m_host.open(m_deviceName, m_handle);
    if (!ntSuccess(status)) {
        // Someone holds the port through the control socket; the program's
        // bytes wait in the terminal until it lets go.
        m_handle.reset();
        if (!m_heldLogged)
            std::fprintf(stderr, "vorpild: %s: held elsewhere; the program's writes wait (%s)\n", m_deviceName.c_str(),
                statusText(status).c_str());
        m_heldLogged = true;
        std::lock_guard lock(m_mutex);
        m_status.lastError = "port held by another program";
        return false;
    }
    m_heldLogged = false;
    m_attachRetryMs = kFirstAttachRetryMs;
    // Reads return what is there at once; the arrival wait says when to read.
    (void)control(kIoctlSerialSetTimeouts, words({ 0, 0, 0, 0, 0 }));
    (void)control(kIoctlSerialSetWaitMask, words({ kSerialEvRxChar }));
    // The port keeps the settings it has: only what programs change on the
    // terminal is passed on, so parity or data bits given through the control
    // socket survive a program's open. A change already reported waits for
    // its event.
    if (!m_pty->settingsChangePending())
        applySettings(m_pty->settings());
    m_backlog.clear();
    m_backlogSent = 0;
    m_refusalLogged = false;
    m_attached = true;
    m_draining = true;
    (void)setReceiveTap(*m_handle, this);
    fromPort();
    if (m_hungUp) {
        // The program left while the port was held: what it wrote goes now.
        std::vector<host::PtyEvent> pending;
        m_pty->pendingEvents(pending);
        for (auto& event : pending)
            handle(event);
        if (m_handle)
            programLeft();
    }
    return true;
}

void PortFrontEnd::detach()
{
    if (!m_handle)
        return;
    m_attached = false;
    m_draining = true;
    // Once this returns the network thread writes nothing more to the terminal.
    (void)setReceiveTap(*m_handle, nullptr);
    // The next program must not read what was meant for this one. A program
    // that opened meanwhile may have written already: that is sent first.
    // Not on the way out: the flushing settings request waits for the
    // terminal's write lock, which a program blocked on a full terminal
    // holds until somebody reads, and a stopping daemon reads no more.
    if (!m_pty->stopped()) {
        std::vector<host::PtyEvent> unread;
        m_pty->discardTerminalInput(unread);
        for (auto& event : unread)
            toPort(event.data);
    }
    // Closing completes the outstanding arrival wait; the next program's
    // attach arms a new one.
    m_handle->close();
    m_handle.reset();
    m_waitArmed = false;
    m_backlog.clear();
    m_backlogSent = 0;
    m_arrival = false;
}

void PortFrontEnd::toPort(std::span<const std::uint8_t> bytes)
{
    if (bytes.empty())
        return;
    NtStatus status = kStatusInvalidDeviceState;
    std::size_t taken = 0;
    if (m_handle) {
        const host::Reply reply = m_handle->write(bytes);
        status = reply.status;
        // A failed write reports how much of it reached the network.
        taken = ntSuccess(status) ? bytes.size() : std::min(reply.information, bytes.size());
    }
    std::lock_guard lock(m_mutex);
    m_status.bytesToPort += taken;
    if (ntSuccess(status)) {
        m_refusalLogged = false;
        return;
    }
    m_status.bytesNotSent += bytes.size() - taken;
    m_status.lastError = writeFailureText(status);
    // One line for a spell of refusals; devcon status keeps the count.
    if (!m_refusalLogged)
        std::fprintf(stderr, "vorpild: %s: %zu bytes not sent: %s\n", m_deviceName.c_str(), bytes.size() - taken,
            m_status.lastError.c_str());
    m_refusalLogged = true;
}

void PortFrontEnd::fromPort()
{
    if (!m_handle)
        return;
    m_draining = true;
    for (;;) {
        if (m_backlogSent < m_backlog.size()) {
            const std::size_t taken = m_pty->writeSome(std::span(m_backlog).subspan(m_backlogSent));
            m_backlogSent += taken;
            {
                std::lock_guard lock(m_mutex);
                m_status.bytesToProgram += taken;
            }
            if (m_backlogSent < m_backlog.size())
                return; // the terminal is full: go on when it takes more
            m_backlog.clear();
            m_backlogSent = 0;
        }
        host::Reply reply = m_handle->read(kReadChunk);
        if (!ntSuccess(reply.status) || reply.information == 0)
            break;
        reply.output.resize(reply.information);
        m_backlog = std::move(reply.output);
    }
    armArrivalWait();
    m_draining = false;
}

void PortFrontEnd::armArrivalWait()
{
    if (m_waitArmed || !m_handle)
        return;
    auto request = host::Request::makeDeviceControl(kIoctlSerialWaitOnMask, {}, 4);
    request->setCompletionRoutine([this](host::Request& done) {
        // Runs where the port completes the wait (the network thread, with
        // the port's data lock held): only a flag and a wake-up.
        if (ntSuccess(done.status()) && done.information() >= 4 && loadLe32(done.output(), 0) != 0)
            m_arrival = true;
        else
            m_arrival = m_attached.load(); // a cancelled wait is armed again if still attached
        m_pty->wake();
        return true;
    });
    m_waitArmed = true;
    (void)m_handle->submit(request);
}

void PortFrontEnd::logRefusedRate(std::uint32_t rate, NtStatus status)
{
    if (!m_refusedRates.insert(rate).second)
        return;
    std::fprintf(stderr, "vorpild: %s: %u baud refused (%s)\n", m_deviceName.c_str(), rate, statusText(status).c_str());
}

void PortFrontEnd::applySettings(const host::PtySettings& settings)
{
    const host::PtySettings before = m_applied.value_or(settings);
    m_applied = settings;
    const bool rateChanged = before.baudRate != settings.baudRate && settings.baudRate != 0;
    if (rateChanged || before.twoStopBits != settings.twoStopBits) {
        if (rateChanged) {
            // Every rate goes to the port; its own table decides.
            const host::Reply reply = control(kIoctlSerialSetBaudRate, words({ settings.baudRate }));
            if (!ntSuccess(reply.status))
                logRefusedRate(settings.baudRate, reply.status);
        }
        // The device server learns a new rate together with the line control.
        // Parity and word length stay as the port has them: a terminal cannot
        // carry them.
        std::array<std::uint8_t, 3> line { 0, 0, 8 };
        const host::Reply current = control(kIoctlSerialGetLineControl, {}, kSerialLineControlSize);
        if (ntSuccess(current.status) && current.output.size() >= 3)
            line = { current.output[0], current.output[1], current.output[2] };
        if (before.twoStopBits != settings.twoStopBits)
            line[0] = static_cast<std::uint8_t>(settings.twoStopBits ? 2 : 0);
        (void)control(kIoctlSerialSetLineControl, line);
    }
    const bool flowChanged = before.rtsCts != settings.rtsCts || before.xonOutput != settings.xonOutput
        || before.xonInput != settings.xonInput || before.xonChar != settings.xonChar
        || before.xoffChar != settings.xoffChar;
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
}

} // namespace driver::daemon
