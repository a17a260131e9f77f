// The board in its in-system-programming mode: frames in, the flash bus,
// replies queued with the time they are due, and what a test looks at.

#include "sim/boardsim/board.h"

#include <algorithm>

namespace sim::boardsim {

namespace {

using std::chrono::milliseconds;

// A partial frame older than this is dropped, so a board resynchronises
// after a PC gave up in the middle of a frame.
constexpr milliseconds kFrameGap { 50 };

} // namespace

Board::Board(platform::Clock& clock, BoardOptions options)
    : m_clock(clock)
    , m_options(options)
    , m_flash(clock, options.flashSize, options.eraseTime)
{
    m_flash.setEraseNeverFinishes(options.eraseNeverFinishes);
    m_flash.setDefectiveAddress(options.wrongReadBackAt);
    m_eeprom.fill(0xFFFF);
    if (options.startInNormalMode) {
        // A board that already carries its boot loader.
        m_flash.write(0x555, 0xAA);
        m_flash.write(0x2AA, 0x55);
        m_flash.write(0x555, 0xA0);
        m_flash.write(0, 0x00);
        bootLoaderStarts();
        if (options.startInTestFirmware) {
            m_pending.clear();
            m_mode = Mode::TestFirmware;
        }
    }
}

void Board::setLine(const platform::SerialSettings& settings, bool framingKnown)
{
    std::lock_guard lock(m_mutex);
    m_line = settings;
    m_lineKnown = true;
    m_framingKnown = framingKnown;
}

bool Board::lineUsable() const
{
    if (!m_options.checkLineSettings || !m_lineKnown)
        return true;
    if (m_mode != Mode::Isp)
        return m_line.baud == 9600;
    if (m_line.baud != 115200 && m_line.baud != 921600)
        return false;
    return !m_framingKnown || (m_line.dataBits == 8 && m_line.parity == platform::Parity::Even && m_line.stopBits == 1);
}

platform::Duration Board::byteTime() const
{
    const std::uint32_t baud = m_lineKnown && m_line.baud ? m_line.baud : 115200;
    // Start bit, eight data bits, parity and stop bit.
    return std::chrono::duration_cast<platform::Duration>(std::chrono::duration<double>(11.0 / baud));
}

void Board::receive(const std::uint8_t* data, std::size_t size)
{
    std::lock_guard lock(m_mutex);
    m_chunks.push_back(size);
    if (!lineUsable()) {
        // At the wrong speed or framing the board only sees garbage.
        m_ignored += size;
        return;
    }
    const platform::TimePoint now = m_clock.now();
    if (m_mode != Mode::Isp) {
        receiveText(data, size);
        return;
    }
    if (m_frameFill > 0 && now - m_lastByte > kFrameGap)
        m_frameFill = 0;
    m_lastByte = now;
    for (std::size_t i = 0; i < size; ++i) {
        m_frame[m_frameFill++] = data[i];
        if (m_frameFill == 5) {
            m_frameFill = 0;
            handleFrame(m_frame);
        }
    }
}

void Board::reply(std::initializer_list<std::uint8_t> bytes)
{
    const platform::TimePoint now = m_clock.now();
    platform::TimePoint at = std::max(now + m_options.replyDelay + m_extraDelay, m_lineFreeAt);
    if (m_lineErrorNext) {
        m_pending.push_back({ 0, true, at });
        return;
    }
    for (std::uint8_t byte : bytes) {
        if (m_options.wireTime)
            at += byteTime();
        m_pending.push_back({ byte, false, at });
    }
    m_lineFreeAt = at;
}

void Board::handleFrame(const std::uint8_t* frame)
{
    const std::uint8_t command = frame[0];
    const std::uint32_t address = frame[1] | (frame[2] << 8) | (frame[3] << 16);
    const std::uint8_t data = frame[4];
    m_frames.push_back({ command, address, data });
    m_lineErrorNext
        = m_options.lineErrorAtFrame > 0 && m_frames.size() == static_cast<std::size_t>(m_options.lineErrorAtFrame);
    m_extraDelay = (m_options.slowFrame > 0 && m_frames.size() == static_cast<std::size_t>(m_options.slowFrame))
        ? platform::Duration(m_options.slowTime)
        : platform::Duration::zero();
    switch (command) {
    case kIspSync:
        if (m_options.noSyncAnswer)
            return;
        if (m_options.syncReplyBytes == 2)
            reply({ kIspSync, m_options.syncReplyValue });
        else
            reply({ m_options.syncReplyValue });
        return;
    case kIspRead:
        reply({ m_flash.read(address) });
        return;
    case kIspBusWrite:
        m_flash.write(address, data);
        if (m_options.busWriteReplyBytes == 2)
            reply({ kIspBusWrite, data });
        else
            reply({ data });
        return;
    case kIspProgram:
        // The board runs the byte's bus cycle and reads the address back.
        m_programmed = true;
        m_flash.write(address, data);
        reply({ kIspProgram, m_flash.read(address) });
        return;
    default:
        return; // not a frame the ISP mode knows
    }
}

bool Board::takeDue(std::vector<std::uint8_t>& out)
{
    std::lock_guard lock(m_mutex);
    const platform::TimePoint now = m_clock.now();
    bool lineError = false;
    while (!m_pending.empty() && m_pending.front().due <= now) {
        if (m_pending.front().lineError)
            lineError = true;
        else
            out.push_back(m_pending.front().value);
        m_pending.pop_front();
    }
    return lineError;
}

std::optional<platform::TimePoint> Board::nextDue() const
{
    std::lock_guard lock(m_mutex);
    if (m_pending.empty())
        return std::nullopt;
    return m_pending.front().due;
}

std::size_t Board::queuedReplies() const
{
    std::lock_guard lock(m_mutex);
    return m_pending.size();
}

std::vector<FrameRecord> Board::frames() const
{
    std::lock_guard lock(m_mutex);
    return m_frames;
}

std::vector<std::size_t> Board::receivedChunks() const
{
    std::lock_guard lock(m_mutex);
    return m_chunks;
}

std::size_t Board::ignoredBytes() const
{
    std::lock_guard lock(m_mutex);
    return m_ignored;
}

std::vector<std::uint8_t> Board::flashBytes(std::uint32_t address, std::size_t size)
{
    std::lock_guard lock(m_mutex);
    m_flash.busy(); // completes an erase whose time has come
    const auto& cells = m_flash.cells();
    std::vector<std::uint8_t> result;
    result.reserve(size);
    for (std::size_t i = 0; i < size; ++i)
        result.push_back(cells[(address + i) % cells.size()]);
    return result;
}

bool Board::flashInUnlockBypass() const
{
    std::lock_guard lock(m_mutex);
    return m_flash.inUnlockBypass();
}

int Board::chipErases() const
{
    std::lock_guard lock(m_mutex);
    return m_flash.chipErases();
}

} // namespace sim::boardsim
