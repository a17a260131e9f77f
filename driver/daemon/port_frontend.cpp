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

constexpr std::uint32_t kPurgeRxAbort = 0x2;
constexpr std::uint32_t kPurgeRxClear = 0x8;
// While a write is under way the terminal is read until this much waits
// behind it; then the program is held back by the terminal.
constexpr std::size_t kHoldLimit = 0x40000;

} // namespace

std::vector<std::uint8_t> ioctlWords(std::initializer_list<std::uint32_t> values)
{
    std::vector<std::uint8_t> bytes(values.size() * 4);
    std::size_t offset = 0;
    for (std::uint32_t value : values) {
        storeLe32(bytes, offset, value);
        offset += 4;
    }
    return bytes;
}

bool TerminalProbe::programWaiting() const
{
    std::lock_guard lock(m_mutex);
    return m_pty && m_pty->programPresent();
}

void TerminalProbe::forget()
{
    std::lock_guard lock(m_mutex);
    m_pty = nullptr;
}

PortFrontEnd::PortFrontEnd(host::Host& host, std::string deviceName, std::unique_ptr<host::PtyPort> pty)
    : m_host(host)
    , m_deviceName(std::move(deviceName))
    , m_pty(std::move(pty))
    , m_probe(std::make_shared<TerminalProbe>(*m_pty))
{
    // What the port has before any program touches the terminal.
    m_applied = m_pty->settings();
    m_sender = std::thread([this] { sendLoop(); });
    m_events = std::thread([this] { run(); });
}

PortFrontEnd::~PortFrontEnd()
{
    (void)stop();
    m_probe->forget(); // the port outlives the terminal
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
    notePassedOn(taken);
    m_tapBytes += taken;
    return taken;
}

// Bytes from the network newer than a flush not yet told stay the program's:
// a purge would drop them with the older ones.
void PortFrontEnd::arriving()
{
    if (m_pty->reportWaiting())
        ++m_passedOnBehindReport;
}

void PortFrontEnd::run()
{
    std::vector<host::PtyEvent> events;
    std::uint64_t settled = 0;
    for (;;) {
        waitWhileHeld();
        // With no report waiting, every byte passed on so far came before
        // any flush still to be told. The count is taken first: one made
        // after it is seen at the flush, and one made before it behind this
        // flush finds its report still waiting here.
        const std::uint64_t passedOn = m_passedOnBehindReport.load();
        if (!m_pty->reportWaiting())
            m_passedOnBehindSeen = passedOn;
        host::PtyWait wait;
        // The terminal is looked at only while a program is there, and read
        // only while the port is the program's: otherwise its writes wait.
        // Behind a write under way it is read up to a limit, and not past
        // the program's leaving.
        // A stopping daemon reads nothing more from the terminal.
        if (m_drainRequested.load() && !m_drainStarted) {
            startDrain();
            markDrained(); // an idle port is done at once
        }
        const bool holding = m_drainStarted || m_closeDeferred || m_deferredBytes >= kHoldLimit;
        wait.hangUp = m_program && !m_hungUp && !holding;
        wait.programData = m_handle != nullptr && !holding;
        wait.writable = m_handle && m_backlogSent < m_backlog.size();
        wait.limitMs = m_program && !m_handle && !m_drainStarted ? m_attachRetryMs : -1;
        events.clear();
        if (!m_pty->waitEvents(events, wait))
            break;
        if (events.empty() && m_program && !m_handle && !m_drainStarted) {
            // The port was held by someone else; try again, and wait longer
            // before the next try if it still is.
            if (!attach())
                m_attachRetryMs = std::min(m_attachRetryMs * 2, kAttachRetryMs);
        }
        joinData(events);
        for (auto& event : events) {
            if (m_pty->stopped())
                break;
            dispatch(event);
        }
        markSettled(settled);
        markDrained();
    }
    // A stopping daemon does not wait for the rest of a write.
    stopSender();
    detach();
    std::lock_guard lock(m_mutex);
    m_settleDone = ~std::uint64_t { 0 }; // nobody waits for a stopped front end
    m_drainDone = true;
    m_settled.notify_all();
}

// A settle request is answered once the program's leaving has been looked
// for and nothing it wrote waits to be sent any more.
void PortFrontEnd::markSettled(std::uint64_t& settled)
{
    std::uint64_t wanted = 0;
    {
        std::lock_guard lock(m_mutex);
        wanted = m_settleRequested;
    }
    if (wanted > m_settleSeen) {
        checkPresence();
        m_settleSeen = wanted;
    }
    if (m_settleSeen > settled && !m_sendOutstanding && m_deferred.empty()) {
        settled = m_settleSeen;
        {
            std::lock_guard lock(m_mutex);
            m_settleDone = settled;
        }
        m_settled.notify_all();
    }
}

void PortFrontEnd::dispatch(host::PtyEvent& event)
{
    const bool behind = m_sendOutstanding || !m_deferred.empty();
    switch (event.kind) {
    case host::PtyEventKind::Data:
        if (!behind) {
            startSend(std::move(event.data));
            return;
        }
        m_deferredBytes += event.data.size();
        break;
    case host::PtyEventKind::Settings:
        if (!behind) {
            handle(event);
            return;
        }
        break;
    case host::PtyEventKind::Closed:
        if (!behind) {
            handle(event);
            return;
        }
        m_closeDeferred = true;
        break;
    default:
        handle(event);
        return;
    }
    m_deferred.push_back(std::move(event));
}

void PortFrontEnd::handle(host::PtyEvent& event)
{
    switch (event.kind) {
    case host::PtyEventKind::Opened: {
        if ((m_program && !m_hungUp) || m_drainStarted)
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
        if (m_handle) {
            // A close seen late, after another program opened the terminal:
            // the port stays, and is that program's now.
            if (!m_pty->programPresent())
                programLeft();
            else
                m_hungUp = false;
        } else if (m_program) {
            m_hungUp = true; // its bytes go once the port is free
        }
        break;
    case host::PtyEventKind::Data:
        startSend(std::move(event.data));
        break;
    case host::PtyEventKind::Settings:
        // Read only while the port is the program's; a change made before
        // is taken up by attach().
        if (m_handle)
            applySettings(event.settings);
        break;
    case host::PtyEventKind::FlushInput:
        // What the program has not read yet includes what the port holds for
        // it. The flush is told late, though: bytes may have arrived since,
        // or reached the terminal (the program may have read them already,
        // and what the port holds follows them). Purged, they would leave a
        // hole. So the port is purged only if nothing arrived or was passed
        // on behind a report that could be this one.
        if (m_handle && m_passedOnBehindReport.load() == m_passedOnBehindSeen && m_pty->unreadByProgram() == 0) {
            m_backlog.clear();
            m_backlogSent = 0;
            (void)control(kIoctlSerialPurge, ioctlWords({ kPurgeRxAbort | kPurgeRxClear }));
        }
        m_pty->flushReportHandled();
        // Goes on with what came since: nothing else would once the backlog
        // it waited to write is gone.
        fromPort();
        break;
    case host::PtyEventKind::FlushOutput:
        // Nothing waits in the port to be sent: a write goes out as it comes.
        // (A purge would empty the receive buffer, whatever its flags say.)
        break;
    case host::PtyEventKind::Writable:
        fromPort();
        break;
    case host::PtyEventKind::Woken:
        if (m_sendDone.exchange(false))
            sendFinished();
        if (m_arrival.exchange(false)) {
            m_waitArmed = false;
            fromPort();
        }
        break;
    }
}

void PortFrontEnd::checkPresence()
{
    if (!m_program || m_hungUp || m_closeDeferred || m_drainStarted || m_pty->programPresent())
        return;
    if (!m_handle) {
        m_hungUp = true;
        return;
    }
    // Gone: what it wrote before closing is read and sent before the port goes.
    std::vector<host::PtyEvent> pending;
    m_pty->pendingEvents(pending);
    if (pending.empty() || pending.back().kind != host::PtyEventKind::Closed)
        pending.push_back({ host::PtyEventKind::Closed, {}, {} });
    for (auto& event : pending)
        dispatch(event);
}

void PortFrontEnd::programLeft()
{
    // Received bytes reach the terminal until the tap is gone. A program that
    // opened it before then may have some of them already: it keeps the port
    // (a close seen late). One that opens after it finds only older bytes
    // discarded; its own wait in the port.
    if (m_handle) {
        (void)setReceiveTap(*m_handle, nullptr);
        if (m_pty->programPresent()) {
            (void)setReceiveTap(*m_handle, this);
            m_hungUp = false;
            return;
        }
    }
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
    (void)control(kIoctlSerialSetTimeouts, ioctlWords({ 0, 0, 0, 0, 0 }));
    (void)control(kIoctlSerialSetWaitMask, ioctlWords({ kSerialEvRxChar }));
    // The port keeps the settings it has: only what programs change on the
    // terminal is passed on, so parity or data bits given through the control
    // socket survive a program's open. A change already reported waits for
    // its event.
    if (!m_pty->settingsChangePending())
        followPort(m_pty->settings());
    m_backlog.clear();
    m_backlogSent = 0;
    m_refusalLogged = false;
    m_attached = true;
    m_draining = true;
    (void)setReceiveTap(*m_handle, this);
    // Stays with the port when it is closed: between a next program's open
    // and the port's, the device is held back instead of overwriting.
    (void)setProgramProbe(*m_handle, m_probe);
    fromPort();
    if (m_hungUp) {
        // The program left while the port was held: what it wrote goes now,
        // then the port.
        std::vector<host::PtyEvent> pending;
        m_pty->pendingEvents(pending);
        if (pending.empty() || pending.back().kind != host::PtyEventKind::Closed)
            pending.push_back({ host::PtyEventKind::Closed, {}, {} });
        for (auto& event : pending)
            dispatch(event);
    }
    return true;
}

// Unchanged since the port last followed it, the terminal takes the port's
// rate (given through the control socket meanwhile, say): a program that
// sets a rate then makes a change the port hears of, whatever it was before.
// A terminal that was changed is followed by the port.
void PortFrontEnd::followPort(const host::PtySettings& terminal)
{
    if (!m_applied || terminal != *m_applied) {
        applySettings(terminal);
        return;
    }
    const host::Reply reply = control(kIoctlSerialGetBaudRate, {}, 4);
    if (!ntSuccess(reply.status) || reply.output.size() < 4)
        return;
    const std::uint32_t rate = loadLe32(reply.output, 0);
    if (rate != terminal.baudRate && m_pty->setRate(rate))
        m_applied->baudRate = rate;
}

void PortFrontEnd::detach()
{
    if (!m_handle)
        return;
    m_attached = false;
    m_draining = true;
    // Once this returns the network thread writes nothing more to the terminal.
    (void)setReceiveTap(*m_handle, nullptr);
    // The next program must not read what was meant for this one. What a
    // program that opened meanwhile wrote stays in the terminal for its
    // attach.
    if (!m_pty->stopped())
        m_pty->discardTerminalInput();
    // Closing completes the outstanding arrival wait; the next program's
    // attach arms a new one.
    m_handle->close();
    m_handle.reset();
    m_waitArmed = false;
    m_backlog.clear();
    m_backlogSent = 0;
    m_arrival = false;
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
            notePassedOn(taken);
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

// Bytes just written towards the program. With a report waiting they may
// have come after a flush: counted, the flush's purge is left out. (A
// settings report counts too; the purge is then left out needlessly, which
// loses nothing.)
void PortFrontEnd::notePassedOn(std::size_t taken)
{
    if (taken > 0 && m_pty->reportWaiting())
        ++m_passedOnBehindReport;
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

} // namespace driver::daemon
