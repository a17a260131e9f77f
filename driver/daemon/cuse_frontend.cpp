#include "driver/daemon/cuse_frontend.h"

#include "driver/daemon/cuse_records.h"
#include "driver/receive_tap.h"

#include "common/byte_order.h"
#include "common/serial_ioctl.h"
#include "common/vorpil_ioctl.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace driver::daemon {

using namespace common;
using host::TtyIoctl;
using host::TtyLine;
using host::TtyParity;

namespace {

constexpr std::uint32_t kPurgeRxAbort = 0x2;
constexpr std::uint32_t kPurgeRxClear = 0x8;
// SERIAL_STATUS.
constexpr std::size_t kAmountInInQueue = 8;
constexpr std::size_t kAmountInOutQueue = 12;
// What a tty's break lasts when the program does not say (TCSBRK 0).
constexpr std::chrono::milliseconds kDefaultBreak { 250 };
// The events the device waits for: arrivals and every modem line.
constexpr std::uint32_t kWatchedEvents
    = kSerialEvRxChar | kSerialEvCts | kSerialEvDsr | kSerialEvRlsd | kSerialEvRing | kSerialEvBreak;

std::vector<std::uint8_t> intBytes(std::uint32_t value)
{
    std::vector<std::uint8_t> out(sizeof(int));
    std::memcpy(out.data(), &value, sizeof(int)); // the program's own int
    return out;
}

unsigned int intOf(std::span<const std::uint8_t> in)
{
    unsigned int value = 0;
    std::memcpy(&value, in.data(), std::min(in.size(), sizeof(value)));
    return value;
}

int errnoOf(NtStatus status)
{
    switch (status) {
    case kStatusSuccess:
        return 0;
    case kStatusInvalidParameter:
    case kStatusNotSupported:
        return EINVAL;
    case kStatusInvalidDeviceState:
    case kStatusDeviceBusy:
        return EBUSY;
    case kStatusCancelled:
        return EINTR;
    default:
        return EIO;
    }
}

} // namespace

CuseFrontEnd::CuseFrontEnd(host::Host& host, std::string deviceName)
    : m_host(host)
    , m_deviceName(std::move(deviceName))
{
    m_status.kind = "cuse";
}

CuseFrontEnd::~CuseFrontEnd()
{
    m_notify = nullptr;
    m_port.reset(); // no program reaches the port from here on
    const std::shared_ptr<host::FileHandle> handle = takeHandle();
    if (handle)
        (void)handle->close();
}

void CuseFrontEnd::requestDrain()
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_drainBase)
            m_drainBase = m_status;
    }
    if (m_port)
        m_port->beginDrain();
}

bool CuseFrontEnd::waitDrained(std::chrono::steady_clock::time_point deadline)
{
    if (!m_port)
        return true;
    // Without a connection nothing more can go: the stop need not wait.
    return m_port->waitDrained(deadline, [this] {
        auto handle = this->handle();
        return !handle || !portConnected(*handle);
    });
}

DrainReport CuseFrontEnd::stop()
{
    // A write that waits for a device server that reads nothing waits as
    // long as the connection lives: with bytes still held the connection
    // ends (the write counts what did not go), then the port closes.
    std::size_t left = 0;
    if (m_port)
        left = m_port->endOutput([this](bool held) {
            const std::shared_ptr<host::FileHandle> handle = takeHandle();
            if (!handle)
                return;
            if (held)
                (void)handle->deviceIoControl(kIoctlCloseTransport, {}, 0);
            (void)handle->close();
        });
    std::lock_guard lock(m_mutex);
    m_status.bytesNotSent += left;
    if (!m_drainBase)
        return { 0, left };
    return { m_status.bytesToPort - m_drainBase->bytesToPort, m_status.bytesNotSent - m_drainBase->bytesNotSent };
}

bool CuseFrontEnd::start(const std::string& name, int group, std::string& error)
{
    std::unique_ptr<host::CusePort> port;
    if (!host::CusePort::create(port, name, *this, group, error))
        return false;
    m_path = port->devicePath();
    m_port = std::move(port);
    m_notify = m_port.get();
    return true;
}

FrontEndStatus CuseFrontEnd::status() const
{
    std::lock_guard lock(m_mutex);
    FrontEndStatus out = m_status;
    out.attached = m_handle != nullptr;
    return out;
}

std::shared_ptr<host::FileHandle> CuseFrontEnd::handle() const
{
    std::lock_guard lock(m_mutex);
    return m_handle;
}

std::shared_ptr<host::FileHandle> CuseFrontEnd::takeHandle()
{
    std::lock_guard lock(m_mutex);
    return std::exchange(m_handle, nullptr);
}

host::Reply CuseFrontEnd::control(
    host::FileHandle& handle, std::uint32_t code, std::span<const std::uint8_t> input, std::size_t outputLength)
{
    host::Reply reply = handle.deviceIoControl(code, input, outputLength);
    if (ntSuccess(reply.status)) {
        switch (code) {
        case kIoctlSerialSetDtr:
            m_linesSet |= kSerialDtrState;
            break;
        case kIoctlSerialClrDtr:
            m_linesSet &= ~kSerialDtrState;
            break;
        case kIoctlSerialSetRts:
            m_linesSet |= kSerialRtsState;
            break;
        case kIoctlSerialClrRts:
            m_linesSet &= ~kSerialRtsState;
            break;
        default:
            break;
        }
    }
    return reply;
}

int CuseFrontEnd::open()
{
    if (this->handle())
        return EBUSY; // the port admits one open
    std::unique_ptr<host::FileHandle> opened;
    const NtStatus status = m_host.open(m_deviceName, opened);
    if (!ntSuccess(status)) {
        // Held by a control-socket client (devcon, qelta, the start-up restore).
        if (status == kStatusInvalidDeviceState || status == kStatusDeviceBusy)
            return EBUSY;
        std::fprintf(stderr, "vorpild: %s: open failed (%s)\n", m_deviceName.c_str(), statusText(status).c_str());
        return EIO;
    }
    // Reads return what is there at once; the arrival wait says when to read.
    (void)control(*opened, kIoctlSerialSetTimeouts, wordRecord({ 0, 0, 0, 0, 0 }));
    (void)control(*opened, kIoctlSerialSetWaitMask, wordRecord({ kWatchedEvents }));
    // Each open starts from a raw terminal with the port's own settings.
    m_termios = host::defaultTermios();
    m_settingsSent = false;
    refreshTermios(*opened);
    publishTermios();
    if (const host::Reply lines = control(*opened, kIoctlSerialGetDtrRts, {}, 4);
        ntSuccess(lines.status) && lines.output.size() >= 4)
        m_linesSet = loadLe32(lines.output, 0) & (kSerialDtrState | kSerialRtsState);
    // A serial port's open raises DTR and RTS (not at B0, a hang-up).
    if (host::lineOf(m_termios).baudRate != 0)
        (void)setModemLines(*opened, true, true);
    std::lock_guard lock(m_mutex);
    m_handle = std::move(opened);
    m_status.lastError.clear();
    m_waitArmed = false;
    return 0;
}

void CuseFrontEnd::release()
{
    const std::shared_ptr<host::FileHandle> handle = takeHandle();
    if (!handle)
        return;
    // The last close hangs up with HUPCL: DTR and RTS drop.
    if (host::hangsUpOnClose(m_termios))
        (void)setModemLines(*handle, false, false);
    // Closing completes the outstanding arrival wait.
    (void)handle->close();
}

int CuseFrontEnd::write(std::span<const std::uint8_t> bytes, std::size_t& written)
{
    written = 0;
    auto handle = this->handle();
    if (!handle)
        return EIO;
    const host::Reply reply = handle->write(bytes);
    // A failed write reports how much of it reached the network.
    written = ntSuccess(reply.status) ? bytes.size() : std::min(reply.information, bytes.size());
    std::lock_guard lock(m_mutex);
    m_status.bytesToPort += written;
    m_counts.tx += static_cast<std::uint32_t>(written);
    if (ntSuccess(reply.status))
        return 0;
    m_status.bytesNotSent += bytes.size() - written;
    m_status.lastError = writeFailureText(reply.status);
    return EIO;
}

std::size_t CuseFrontEnd::writeSlice()
{
    // A tenth of a second of the line (ten bits a byte), at least 16 bytes.
    return std::clamp<std::size_t>(m_rate.load() / 100, 16, 64 * 1024);
}

host::TtyReadRule CuseFrontEnd::readRule()
{
    const std::uint16_t rule = m_readRule.load();
    return host::TtyReadRule { static_cast<std::uint8_t>(rule & 0xFF), static_cast<std::uint8_t>(rule >> 8) };
}

std::size_t CuseFrontEnd::read(std::span<std::uint8_t> out)
{
    auto handle = this->handle();
    if (!handle || out.empty())
        return 0;
    const host::Reply reply = handle->read(out.size());
    if (!ntSuccess(reply.status) || reply.information == 0)
        return 0;
    const std::size_t got = std::min({ reply.information, reply.output.size(), out.size() });
    std::copy_n(reply.output.begin(), got, out.begin());
    std::lock_guard lock(m_mutex);
    m_status.bytesToProgram += got;
    m_counts.rx += static_cast<std::uint32_t>(got);
    return got;
}

bool CuseFrontEnd::readable()
{
    auto handle = this->handle();
    return handle && commStatusWord(*handle, kAmountInInQueue) > 0;
}

host::TtyCounts CuseFrontEnd::counts()
{
    std::lock_guard lock(m_mutex);
    return m_counts;
}

void CuseFrontEnd::watch()
{
    auto handle = this->handle();
    if (!handle || m_waitArmed.exchange(true))
        return;
    auto request = host::Request::makeDeviceControl(kIoctlSerialWaitOnMask, {}, 4);
    request->setCompletionRoutine([this](host::Request& done) {
        // Runs where the port completes the wait (the network thread, with
        // the port's data lock held): counts, a flag and a wake-up only.
        if (ntSuccess(done.status()) && done.information() >= 4) {
            std::lock_guard lock(m_mutex);
            countEvents(m_counts, loadLe32(done.output(), 0));
        }
        m_waitArmed = false;
        if (host::CusePort* port = m_notify.load())
            port->notify();
        return true;
    });
    if (const NtStatus status = handle->submit(request); !ntSuccess(status) && status != kStatusPending)
        m_waitArmed = false;
}

std::uint32_t CuseFrontEnd::commStatusWord(host::FileHandle& handle, std::size_t offset)
{
    const host::Reply reply = control(handle, kIoctlSerialGetCommStatus, {}, kSerialStatusSize);
    if (!ntSuccess(reply.status) || reply.output.size() < offset + 4)
        return 0;
    return loadLe32(reply.output, offset);
}

int CuseFrontEnd::setModemLines(host::FileHandle& handle, bool dtr, bool rts)
{
    const NtStatus first = control(handle, dtr ? kIoctlSerialSetDtr : kIoctlSerialClrDtr, {}).status;
    const NtStatus second = control(handle, rts ? kIoctlSerialSetRts : kIoctlSerialClrRts, {}).status;
    return errnoOf(ntSuccess(first) ? second : first);
}

int CuseFrontEnd::sendBreak(host::FileHandle& handle, std::chrono::milliseconds length)
{
    const NtStatus on = control(handle, kIoctlSerialSetBreakOn, {}).status;
    if (!ntSuccess(on))
        return errnoOf(on);
    m_host.clock().sleepFor(length);
    return errnoOf(control(handle, kIoctlSerialSetBreakOff, {}).status);
}

int CuseFrontEnd::ioctl(
    const host::TtyIoctlInfo& info, unsigned long arg, std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out)
{
    auto handle = this->handle();
    if (!handle)
        return EIO;
    switch (info.request) {
    case TtyIoctl::GetTermios:
    case TtyIoctl::GetTermios2:
        // What the port holds, also what devcon changed meanwhile.
        refreshTermios(*handle);
        out.resize(info.outSize);
        host::termiosToBytes(m_termios, out.data(), out.size());
        return 0;
    case TtyIoctl::SetTermios:
    case TtyIoctl::SetTermiosDrain:
    case TtyIoctl::SetTermiosFlush:
    case TtyIoctl::SetTermios2:
    case TtyIoctl::SetTermios2Drain:
    case TtyIoctl::SetTermios2Flush: {
        if (in.size() < info.inSize)
            return EFAULT;
        host::TtyTermios wanted = host::termiosFromBytes(in.data(), in.size());
        if (info.inSize < host::kTermios2Size) {
            // The older termios has no rate numbers: BOTHER keeps the one set.
            wanted.ispeed = m_termios.ispeed;
            wanted.ospeed = m_termios.ospeed;
        }
        // The drain variants come once the device's output went.
        if (info.request == TtyIoctl::SetTermiosFlush || info.request == TtyIoctl::SetTermios2Flush)
            (void)control(*handle, kIoctlSerialPurge, wordRecord({ kPurgeRxAbort | kPurgeRxClear }));
        return setTermios(*handle, wanted);
    }
    case TtyIoctl::ModemGet: {
        const host::Reply status = control(*handle, kIoctlSerialGetModemStatus, {}, 4);
        if (!ntSuccess(status.status))
            return EIO;
        out = intBytes(host::modemBits(modemOf(loadLe32(status.output, 0), m_linesSet.load())));
        return 0;
    }
    case TtyIoctl::ModemSet:
    case TtyIoctl::ModemBitsOn:
    case TtyIoctl::ModemBitsOff: {
        if (in.size() < sizeof(int))
            return EFAULT;
        const host::TtyModem asked = host::modemOfBits(intOf(in));
        if (info.request == TtyIoctl::ModemSet)
            return setModemLines(*handle, asked.dtr, asked.rts);
        const bool on = info.request == TtyIoctl::ModemBitsOn;
        // Only the lines named change.
        NtStatus status = kStatusSuccess;
        if (asked.dtr)
            status = control(*handle, on ? kIoctlSerialSetDtr : kIoctlSerialClrDtr, {}).status;
        if (asked.rts && ntSuccess(status))
            status = control(*handle, on ? kIoctlSerialSetRts : kIoctlSerialClrRts, {}).status;
        return errnoOf(status);
    }
    case TtyIoctl::Counts:
        out.resize(host::kCountsSize);
        host::countsToBytes(counts(), out.data());
        return 0;
    case TtyIoctl::Break:
        // A non-zero argument is tcdrain: the device's output went before it came.
        return arg == 0 ? sendBreak(*handle, kDefaultBreak) : 0;
    case TtyIoctl::BreakTenths:
        return sendBreak(*handle, arg == 0 ? kDefaultBreak : std::chrono::milliseconds(arg * 100));
    case TtyIoctl::BreakOn:
        return errnoOf(control(*handle, kIoctlSerialSetBreakOn, {}).status);
    case TtyIoctl::BreakOff:
        return errnoOf(control(*handle, kIoctlSerialSetBreakOff, {}).status);
    case TtyIoctl::Flush:
        switch (host::flushOf(arg)) {
        case host::TtyFlush::Input:
        case host::TtyFlush::Both:
            return errnoOf(control(*handle, kIoctlSerialPurge, wordRecord({ kPurgeRxAbort | kPurgeRxClear })).status);
        case host::TtyFlush::Output:
            // Nothing waits in the port to be sent: a write goes out as it
            // comes (and a purge would empty the receive buffer as well).
            return 0;
        case host::TtyFlush::Invalid:
            return EINVAL;
        }
        return EINVAL;
    case TtyIoctl::FlowControl: {
        const TtyLine line = host::lineOf(m_termios);
        switch (host::flowOf(arg)) {
        case host::TtyFlow::OutputOff:
            return errnoOf(control(*handle, kIoctlSerialSetXoff, {}).status);
        case host::TtyFlow::OutputOn:
            return errnoOf(control(*handle, kIoctlSerialSetXon, {}).status);
        case host::TtyFlow::SendStop:
            return errnoOf(
                control(*handle, kIoctlSerialImmediateChar, std::vector<std::uint8_t> { line.xoffChar }).status);
        case host::TtyFlow::SendStart:
            return errnoOf(
                control(*handle, kIoctlSerialImmediateChar, std::vector<std::uint8_t> { line.xonChar }).status);
        case host::TtyFlow::Invalid:
            return EINVAL;
        }
        return EINVAL;
    }
    case TtyIoctl::InputCount:
        out = intBytes(commStatusWord(*handle, kAmountInInQueue));
        return 0;
    case TtyIoctl::OutputCount:
        out = intBytes(commStatusWord(*handle, kAmountInOutQueue));
        return 0;
    case TtyIoctl::Exclusive:
    case TtyIoctl::NotExclusive:
        // The port admits one open whatever is asked.
        return 0;
    case TtyIoctl::GetSerial: {
        out.resize(host::serialInfoSize());
        int line = 0;
        const std::size_t digits = m_path.find_last_not_of("0123456789");
        if (digits != std::string::npos && digits + 1 < m_path.size())
            line = std::atoi(m_path.c_str() + digits + 1);
        host::serialInfoToBytes(line, 115200, out.data());
        return 0;
    }
    case TtyIoctl::ModemWait: // waits on the device's event thread
    case TtyIoctl::WindowSize:
        return ENOTTY;
    }
    return ENOTTY;
}

} // namespace driver::daemon
