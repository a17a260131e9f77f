#include "utility/services/terminal_port.h"

#include <array>
#include <chrono>

namespace utility::services {

using namespace std::chrono_literals;

namespace {
constexpr std::chrono::seconds kGoneAfter { 2 };
}

// What the reader and the posted receive calls share. It outlives the port
// object when a posted call runs after the port was closed.
struct TerminalPort::HandOver {
    std::mutex mutex;
    std::condition_variable condition;
    bool stop = false;
    bool handled = false;
};

TerminalPort::TerminalPort(platform::EventLoop& loop, Receiver receiver)
    : m_loop(loop)
    , m_receiver(std::move(receiver))
{
}

TerminalPort::~TerminalPort() { close(); }

bool TerminalPort::open(const std::string& devicePath, const platform::SerialSettings& settings)
{
    close();
    m_openError.clear();
    auto failed = [this](const platform::Error& error) {
        m_openError = error.message;
        return false;
    };
    // The port's own waits run on the machine's clock: the reader is a real
    // thread whatever clock the window's timers use.
    auto port = platform::openSerialPort(devicePath, platform::RealClock::instance());
    if (!port.ok())
        return failed(port.error());
    auto current = (*port)->settings();
    if (!current.ok())
        return failed(current.error());
    if (auto purged = (*port)->purge(); !purged.ok())
        return failed(purged.error());
    platform::SerialSettings wanted = *current;
    wanted.baud = settings.baud;
    wanted.dataBits = settings.dataBits;
    wanted.parity = settings.parity;
    wanted.stopBits = settings.stopBits;
    wanted.flow = settings.flow;
    wanted.rts = true; // driven as the handshake line in every flow mode
    if (auto configured = (*port)->configure(wanted); !configured.ok())
        return failed(configured.error());
    platform::SerialTimeouts timeouts;
    timeouts.readInterval = platform::SerialTimeouts::kReturnAtOnce;
    // Each write attempt is short: what a device does not take at once is
    // sent on in the next turns of the reader, which keeps reading meanwhile.
    timeouts.writeConstant = kWriteSliceMs;
    if (auto set = (*port)->setTimeouts(timeouts); !set.ok())
        return failed(set.error());
    if (auto set = (*port)->setEventMask(platform::kSerialEventRxChar | platform::kSerialEventLineError); !set.ok())
        return failed(set.error());
    m_port = std::move(*port);
    {
        std::lock_guard lock(m_writeMutex);
        m_writePending = false;
        m_transmit.clear();
    }
    startReader();
    return true;
}

void TerminalPort::close()
{
    stopReader();
    m_port.reset();
}

void TerminalPort::write(const std::uint8_t* data, std::size_t size)
{
    if (!m_port)
        return;
    std::lock_guard lock(m_writeMutex);
    m_transmit.assign(data, data + size);
    m_writePending = true;
}

void TerminalPort::purge()
{
    if (!m_port)
        return;
    stopReader();
    {
        std::lock_guard lock(m_writeMutex);
        m_writePending = false;
        m_transmit.clear();
    }
    (void)m_port->purge();
    startReader();
}

void TerminalPort::startReader()
{
    if (m_reader.joinable())
        return;
    m_handOver = std::make_shared<HandOver>();
    m_reader = std::thread([this, handOver = m_handOver] { readerLoop(handOver); });
}

void TerminalPort::stopReader()
{
    if (!m_reader.joinable())
        return;
    {
        std::lock_guard lock(m_handOver->mutex);
        m_handOver->stop = true;
    }
    m_handOver->condition.notify_all();
    m_reader.join();
    m_handOver.reset();
}

void TerminalPort::readerLoop(std::shared_ptr<HandOver> handOver)
{
    // Room for the terminating zero after a full block.
    std::array<std::uint8_t, kBlockSize + 1> block {};
    std::vector<std::uint8_t> sending;
    std::size_t sent = 0; // of `sending`
    // When the port began to report a hang-up; the epoch while it does not.
    std::chrono::steady_clock::time_point hungUpSince {};
    auto stopping = [&] {
        std::lock_guard lock(handOver->mutex);
        return handOver->stop;
    };
    while (!stopping()) {
        if (sent == sending.size()) {
            std::lock_guard lock(m_writeMutex);
            if (m_writePending) {
                sending.swap(m_transmit);
                m_transmit.clear();
                sent = 0;
                m_writePending = false;
            }
        }
        if (sent < sending.size()) {
            // What arrived and was not read yet stays queued: it belongs to
            // the peer's data stream, not to this write. A device that does
            // not read holds the rest of the write, never what it sends.
            const auto written = m_port->write(sending.data() + sent, sending.size() - sent);
            sent += written.count;
            if (written.status != platform::IoStatus::TimedOut) {
                sent = sending.size(); // done, or failed: the port's state says the rest
                continue;
            }
        }
        std::uint32_t events = 0;
        // Waits short enough that a write or the stop is taken up without a
        // delay anyone notices, long enough not to keep a processor busy.
        const auto waited = m_port->waitEvent(20ms, events);
        if (!waited.ok()) {
            if (waited.status == platform::IoStatus::TimedOut) {
                hungUpSince = {};
                continue;
            }
            // A hang-up that lasts is a port gone; a short one (a daemon
            // reopening its side) is waited out.
            const auto now = std::chrono::steady_clock::now();
            if (hungUpSince == std::chrono::steady_clock::time_point {})
                hungUpSince = now;
            if (now - hungUpSince >= kGoneAfter) {
                m_loop.post([this, handOver] {
                    {
                        std::lock_guard lock(handOver->mutex);
                        if (handOver->stop)
                            return; // closed meanwhile: `this` may be gone
                    }
                    if (m_gone)
                        m_gone();
                });
                return;
            }
            std::this_thread::sleep_for(20ms); // a hung-up peer must not make this spin
            continue;
        }
        hungUpSince = {};
        if (events & platform::kSerialEventLineError)
            (void)m_port->clearErrors();
        if (!(events & platform::kSerialEventRxChar))
            continue;
        const auto got = m_port->read(block.data(), kBlockSize, 1s);
        if (got.count == 0)
            continue;
        block[got.count] = 0;
        m_bytesReceived += static_cast<std::uint32_t>(got.count);
        {
            std::lock_guard lock(handOver->mutex);
            handOver->handled = false;
        }
        std::vector<std::uint8_t> copy(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(got.count));
        m_loop.post([this, handOver, copy = std::move(copy)] {
            {
                std::lock_guard lock(handOver->mutex);
                if (handOver->stop)
                    return; // closed meanwhile: `this` may be gone
            }
            m_receiver(copy.data(), copy.size());
            {
                std::lock_guard lock(handOver->mutex);
                handOver->handled = true;
            }
            handOver->condition.notify_all();
        });
        std::unique_lock lock(handOver->mutex);
        handOver->condition.wait(lock, [&] { return handOver->handled || handOver->stop; });
    }
}

} // namespace utility::services
