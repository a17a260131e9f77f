#include "sim/devsim/serial_side.h"

#include <algorithm>
#include <array>
#include <cerrno>

namespace sim::devsim {
namespace {

constexpr std::size_t kReadChunk = 1024;
// Reads per readiness callback, so one busy peer cannot starve the loop.
constexpr int kReadsPerEvent = 16;

} // namespace

std::string_view serialModeName(SerialMode mode) { return mode == SerialMode::Echo ? "echo" : "pty"; }

bool parseSerialMode(std::string_view text, SerialMode& mode)
{
    if (text == "pty") {
        mode = SerialMode::Pty;
        return true;
    }
    if (text == "echo") {
        mode = SerialMode::Echo;
        return true;
    }
    return false;
}

SerialSide::SerialSide(platform::EventLoop& loop, SerialMode mode)
    : m_loop(loop)
    , m_mode(mode)
{
}

SerialSide::~SerialSide() { close(); }

platform::Result<void> SerialSide::open()
{
    if (m_open)
        return {};
    if (m_mode == SerialMode::Pty) {
        SUITE_TRY_ASSIGN(m_pty, platform::PtyMaster::open());
    }
    m_open = true;
    updateWatch();
    return {};
}

void SerialSide::close()
{
    if (m_pty) {
        m_loop.unwatchFd(m_pty->fd());
        m_pty.reset();
    }
    m_output.clear();
    m_outputStart = 0;
    m_open = false;
}

std::string SerialSide::path() const { return m_pty ? m_pty->slavePath() : std::string(serialModeName(m_mode)); }

void SerialSide::write(std::span<const std::uint8_t> bytes)
{
    if (!m_open || bytes.empty())
        return;
    m_output.insert(m_output.end(), bytes.begin(), bytes.end());
    if (m_mode == SerialMode::Echo)
        deliverEcho();
    else
        flushPty();
}

void SerialSide::setInputHandler(InputHandler handler)
{
    m_input = std::move(handler);
    if (!m_input && m_mode == SerialMode::Echo) {
        // Nobody takes the echo any more: what was waiting is gone.
        m_output.clear();
        m_outputStart = 0;
    }
    updateWatch();
}

void SerialSide::setInputEnabled(bool enabled)
{
    if (m_inputEnabled == enabled)
        return;
    m_inputEnabled = enabled;
    if (m_mode == SerialMode::Echo)
        deliverEcho();
    else
        updateWatch();
}

void SerialSide::showLineSettings(const SerialState& state)
{
    if (!m_pty)
        return;
    platform::SerialSettings settings;
    settings.baud = state.baud;
    settings.dataBits = state.dataBits;
    // A terminal knows no mark or space parity; it shows none.
    settings.parity = state.parity == ParityMode::Odd ? platform::Parity::Odd
        : state.parity == ParityMode::Even            ? platform::Parity::Even
                                                      : platform::Parity::None;
    settings.stopBits = state.stopBits == StopBits::One ? 1 : 2;
    (void)m_pty->setLineSettings(settings); // only a display; the data flows regardless
}

void SerialSide::updateWatch()
{
    if (!m_pty)
        return;
    unsigned events = 0;
    // Without a handler the input is read and dropped, so it never piles up.
    if (!m_input || m_inputEnabled)
        events |= platform::kIoRead;
    if (pendingOutput() > 0)
        events |= platform::kIoWrite;
    if (events == 0)
        m_loop.unwatchFd(m_pty->fd());
    else
        m_loop.watchFd(m_pty->fd(), events, [this](unsigned ready) { onPtyEvents(ready); });
}

void SerialSide::onPtyEvents(unsigned events)
{
    if (events & platform::kIoWrite)
        flushPty();
    if (!(events & (platform::kIoRead | platform::kIoError)))
        return;
    std::array<std::uint8_t, kReadChunk> buffer;
    for (int i = 0; i < kReadsPerEvent && m_pty && (!m_input || m_inputEnabled); ++i) {
        auto got = m_pty->read(buffer);
        if (!got.ok() || *got == 0)
            return;
        if (m_input)
            m_input(std::span<const std::uint8_t>(buffer.data(), *got));
    }
}

void SerialSide::flushPty()
{
    while (m_pty && pendingOutput() > 0) {
        auto written = m_pty->write(std::span<const std::uint8_t>(m_output).subspan(m_outputStart));
        if (!written.ok() || *written == 0)
            break; // full (EAGAIN): the write watch resumes it
        consumeOutput(*written);
    }
    updateWatch();
}

void SerialSide::deliverEcho()
{
    if (m_delivering)
        return;
    m_delivering = true;
    while (m_input && m_inputEnabled && pendingOutput() > 0) {
        const std::size_t count = std::min(pendingOutput(), kReadChunk);
        // Copied out first: the handler may write to this side again.
        const std::vector<std::uint8_t> chunk(m_output.begin() + static_cast<std::ptrdiff_t>(m_outputStart),
            m_output.begin() + static_cast<std::ptrdiff_t>(m_outputStart + count));
        consumeOutput(count);
        m_input(chunk);
    }
    m_delivering = false;
}

void SerialSide::consumeOutput(std::size_t count)
{
    const std::size_t before = pendingOutput();
    m_outputStart += count;
    if (m_outputStart == m_output.size()) {
        m_output.clear();
        m_outputStart = 0;
    } else if (m_outputStart > m_output.size() / 2) {
        m_output.erase(m_output.begin(), m_output.begin() + static_cast<std::ptrdiff_t>(m_outputStart));
        m_outputStart = 0;
    }
    if (before > kBacklogLow && pendingOutput() <= kBacklogLow && m_drained)
        m_drained();
}

} // namespace sim::devsim
