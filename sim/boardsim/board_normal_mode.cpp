// The board in normal mode: the operator's power cycle, the boot loader's
// menu and network client, and the test firmware's commands.

#include "sim/boardsim/board.h"

#include <algorithm>
#include <cstdio>

namespace sim::boardsim {

using std::chrono::milliseconds;

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
