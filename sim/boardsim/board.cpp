#include "sim/boardsim/board.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace sim::boardsim {

namespace {

using std::chrono::milliseconds;

// A partial frame older than this is dropped, so a board resynchronises
// after a PC gave up in the middle of a frame.
constexpr milliseconds kFrameGap { 50 };

// The largest flash a board is simulated with (its bytes are held in memory).
constexpr long kMaxFlashSize = 64L << 20;

bool parseNumber(const std::string& text, long& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 0);
    return end && *end == '\0' && errno != ERANGE;
}

} // namespace

bool BoardOptions::parse(const std::string& text, BoardOptions& options, std::string* error)
{
    std::size_t pos = 0;
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    while (pos < text.size()) {
        const std::size_t end = text.find_first_of(", ", pos);
        const std::string item = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? text.size() : end + 1;
        if (item.empty())
            continue;
        const std::size_t equals = item.find('=');
        const std::string key = item.substr(0, equals);
        const std::string value = equals == std::string::npos ? "1" : item.substr(equals + 1);
        long number = 0;
        const bool numeric = parseNumber(value, number);
        if (key == "erase-ms" && value == "never") {
            options.eraseNeverFinishes = true;
            continue;
        }
        if (key == "interface") {
            options.network.interfaceName = value;
            continue;
        }
        if (key.rfind("fail-", 0) == 0 || key.rfind("mute-", 0) == 0 || key.rfind("bare-", 0) == 0) {
            const std::string command = key.substr(5);
            if (command != "r" && command != "c" && command != "et" && command != "hsiloop" && command != "er")
                return fail("unknown command in " + item);
            // The EEPROM dump has no pass mark to leave out.
            if (key[0] == 'b' && command == "er")
                return fail("unknown command in " + item + " (bare-CMD: r, c, et or hsiloop)");
            (key[0] == 'f'          ? options.failingCommands
                    : key[0] == 'm' ? options.muteCommands
                                    : options.bareCommands)
                .insert(command);
            continue;
        }
        if (key == "flash-size" && (!numeric || number <= 0 || number > kMaxFlashSize))
            return fail("flash-size: '" + value + "' is not a whole number from 1 to " + std::to_string(kMaxFlashSize));
        if (!numeric)
            return fail("bad value in " + item);
        if (key == "flash-size" && (number <= 0 || number > kMaxFlashSize))
            return fail("flash-size: '" + value + "' is not a whole number from 1 to " + std::to_string(kMaxFlashSize));
        if (key == "flash-size")
            options.flashSize = static_cast<std::size_t>(number);
        else if (key == "erase-ms" && number >= 0)
            options.eraseTime = milliseconds(number);
        else if (key == "no-sync")
            options.noSyncAnswer = number != 0;
        else if (key == "sync-bytes" && (number == 1 || number == 2))
            options.syncReplyBytes = static_cast<int>(number);
        else if (key == "sync-value" && number >= 0 && number <= 255)
            options.syncReplyValue = static_cast<std::uint8_t>(number);
        else if (key == "bus-bytes" && (number == 1 || number == 2))
            options.busWriteReplyBytes = static_cast<int>(number);
        else if (key == "bad-readback")
            options.wrongReadBackAt = number;
        else if (key == "line-error-frame")
            options.lineErrorAtFrame = number;
        else if (key == "slow-frame")
            options.slowFrame = number;
        else if (key == "slow-ms" && number >= 0)
            options.slowTime = milliseconds(number);
        else if (key == "delay-ms" && number >= 0)
            options.replyDelay = milliseconds(number);
        else if (key == "wire-time")
            options.wireTime = number != 0;
        else if (key == "any-line")
            options.checkLineSettings = number == 0;
        else if (key == "base" && number > 0 && number <= 0xFFF8)
            options.uartBase = static_cast<std::uint16_t>(number);
        else if (key == "normal")
            options.startInNormalMode = number != 0;
        else if (key == "test-firmware")
            options.startInTestFirmware = options.startInNormalMode = number != 0;
        else if (key == "power-cycle-ms")
            options.powerCycleAfter = milliseconds(number);
        else if (key == "menu-ms" && number >= 0)
            options.bootMenu = milliseconds(number);
        else if (key == "no-banner")
            options.noBanner = number != 0;
        else if (key == "no-reset")
            options.ignoreReset = number != 0;
        else if (key == "eeprom-ro")
            options.eepromReadOnly = number != 0;
        else if (key == "net-start-ms" && number >= 0)
            options.network.networkStart = milliseconds(number);
        else if (key == "bootp-retry-ms" && number > 0)
            options.network.bootpRetry = milliseconds(number);
        else if (key == "tftp-retry-ms" && number > 0)
            options.network.tftpRetry = milliseconds(number);
        else if (key == "no-bootp")
            options.network.noBootp = number != 0;
        else if (key == "tftp-silent")
            options.network.tftpSilent = number != 0;
        else if (key == "dup-ack")
            options.network.duplicateAcks = number != 0;
        else if (key == "stop-ack-after")
            options.network.stopAckAfter = number;
        else
            return fail("unknown option " + item);
    }
    return true;
}

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

void Board::queueText(const std::string& text)
{
    const platform::TimePoint now = m_clock.now();
    platform::TimePoint at = std::max(now + m_options.replyDelay, m_lineFreeAt);
    for (char c : text) {
        if (m_options.wireTime)
            at += byteTime();
        m_pending.push_back({ static_cast<std::uint8_t>(c), false, at });
    }
    m_lineFreeAt = at;
}

void Board::bootLoaderStarts()
{
    m_mode = Mode::BootLoader;
    m_client.reset();
    m_textLine.clear();
    m_productionChosen = false;
    m_menuEnd = m_clock.now() + m_options.bootMenu;
    ++m_resets;
    if (!m_options.noBanner)
        queueText("A-boot 1.2\r\n3: update production firmware\r\n");
}

void Board::powerCycle()
{
    std::lock_guard lock(m_mutex);
    m_pending.clear();
    m_programmed = false;
    m_frameFill = 0;
    // Without a loader in flash the board stays silent in normal mode.
    m_flash.busy();
    if (m_flash.cells()[0] == 0xFF) {
        m_mode = Mode::ProductionFirmware;
        return;
    }
    bootLoaderStarts();
}

void Board::tick()
{
    bool cycle = false;
    {
        std::lock_guard lock(m_mutex);
        const platform::TimePoint now = m_clock.now();
        switch (m_mode) {
        case Mode::Isp:
            cycle = m_programmed && m_options.powerCycleAfter.count() >= 0 && !m_flash.inUnlockBypass()
                && now - m_lastByte > m_options.powerCycleAfter;
            break;
        case Mode::BootLoader:
            if (!m_client && now >= m_menuEnd)
                m_client = std::make_unique<BootClient>(m_clock, m_options.network);
            if (m_client) {
                m_client->poll();
                if (m_client->state() == BootClient::State::Done) {
                    m_downloads.push_back(
                        { m_client->file(), m_productionChosen, m_client->offeredFile(), m_client->announcedBlocks() });
                    m_mode = m_productionChosen ? Mode::ProductionFirmware : Mode::TestFirmware;
                    m_client.reset();
                    m_textLine.clear();
                    queueText(m_mode == Mode::TestFirmware ? "\r\nTest firmware 2.0\r\n>" : "\r\nReady.\r\n");
                }
            }
            break;
        default:
            break;
        }
    }
    if (cycle)
        powerCycle();
}

void Board::receiveText(const std::uint8_t* data, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        m_textLine += c;
        if (c != '\n')
            continue;
        const std::string line = m_textLine;
        m_textLine.clear();
        runCommand(line);
    }
    if (m_textLine.size() > 256)
        m_textLine.clear(); // noise without a line end
}

void Board::runCommand(const std::string& line)
{
    std::string word = line;
    while (!word.empty() && (word.back() == '\n' || word.back() == '\r'))
        word.pop_back();
    if (m_mode == Mode::BootLoader) {
        // The menu choice counts until the file has arrived.
        if (word == "3") {
            m_productionChosen = true;
            if (!m_client)
                m_menuEnd = m_clock.now();
        }
        return;
    }
    if (m_mode != Mode::TestFirmware || word.empty())
        return;
    m_commands.push_back(word);
    const std::string command = word.substr(0, word.find(' '));
    if (command == "rst") {
        if (m_options.ignoreReset)
            return;
        m_pending.clear();
        bootLoaderStarts();
        return;
    }
    if (m_options.muteCommands.count(command))
        return;
    static const std::pair<const char*, char> kMarks[]
        = { { "r", '!' }, { "c", '@' }, { "et", '#' }, { "hsiloop", '@' } };
    for (const auto& [name, mark] : kMarks) {
        if (command != name)
            continue;
        // The command as typed, then the verdict one byte after it.
        const bool fails = m_options.failingCommands.count(command) != 0;
        if (m_options.bareCommands.count(command)) {
            queueText(std::string(1, mark));
            return;
        }
        queueText(line + "=" + std::string(1, fails ? 'X' : mark) + "\r\n>");
        return;
    }
    if (command == "ew") {
        unsigned address = 0;
        unsigned value = 0;
        if (std::sscanf(word.c_str(), "ew %x %x", &address, &value) == 2 && address < m_eeprom.size()
            && !m_options.eepromReadOnly)
            m_eeprom[address] = static_cast<std::uint16_t>(value);
        queueText(line + ">");
        return;
    }
    if (command == "er") {
        // One field per word: a blank and the low byte in two digits.
        std::string dump = line + "EEPROM:";
        for (std::uint16_t word16 : m_eeprom) {
            char field[8];
            std::snprintf(field, sizeof field, " %02x", word16 & 0xFF);
            dump += field;
        }
        if (m_options.failingCommands.count("er"))
            dump = line + "EEPROM: read error";
        queueText(dump + "\r\n>");
        return;
    }
    queueText(line + "?\r\n>");
}

Board::Mode Board::mode() const
{
    std::lock_guard lock(m_mutex);
    return m_mode;
}

std::vector<Board::Download> Board::downloads() const
{
    std::lock_guard lock(m_mutex);
    return m_downloads;
}

std::array<std::uint16_t, 64> Board::eeprom() const
{
    std::lock_guard lock(m_mutex);
    return m_eeprom;
}

std::string Board::macAddress() const
{
    const auto words = eeprom();
    std::string mac;
    for (int word = 11; word >= 6; --word) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%02X", words[word] & 0xFF);
        mac += digits;
    }
    return mac;
}

std::vector<std::string> Board::commands() const
{
    std::lock_guard lock(m_mutex);
    return m_commands;
}

int Board::resets() const
{
    std::lock_guard lock(m_mutex);
    return m_resets;
}

} // namespace sim::boardsim
