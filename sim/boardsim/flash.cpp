#include "sim/boardsim/flash.h"

namespace sim::boardsim {

namespace {
bool isCycle(std::uint32_t address, std::uint32_t expected) { return (address & 0x7FF) == expected; }
} // namespace

JedecFlash::JedecFlash(platform::Clock& clock, std::size_t size, platform::Duration eraseTime)
    : m_clock(clock)
    , m_cells(size == 0 ? 1 : size)
    , m_eraseTime(eraseTime)
{
    // A board comes with whatever an earlier image left behind.
    for (std::size_t i = 0; i < m_cells.size(); ++i)
        m_cells[i] = static_cast<std::uint8_t>((i * 7 + 3) & 0x7F);
}

bool JedecFlash::busy()
{
    finishEraseIfDue();
    return m_state == State::Erasing;
}

void JedecFlash::finishEraseIfDue()
{
    if (m_state != State::Erasing || m_eraseNeverFinishes || m_clock.now() < m_eraseEnd)
        return;
    for (std::size_t i = 0; i < m_eraseCount; ++i)
        m_cells[(m_eraseFirst + i) % m_cells.size()] = 0xFF;
    m_state = State::Read;
}

void JedecFlash::startErase(std::size_t first, std::size_t count)
{
    m_eraseFirst = first;
    m_eraseCount = count;
    m_eraseEnd = m_clock.now() + m_eraseTime;
    m_state = State::Erasing;
    m_toggle = true;
    finishEraseIfDue();
}

void JedecFlash::program(std::uint32_t address, std::uint8_t data)
{
    std::uint8_t value = data;
    if (m_defect >= 0 && index(address) == static_cast<std::size_t>(m_defect) % m_cells.size())
        value |= 0x01;
    m_cells[index(address)] &= value;
    ++m_programmed;
}

void JedecFlash::write(std::uint32_t address, std::uint8_t data)
{
    finishEraseIfDue();
    switch (m_state) {
    case State::Erasing:
        return; // the embedded erase ignores the bus
    case State::Program:
        program(address, data);
        m_state = State::Read;
        return;
    case State::BypassProgram:
        program(address, data);
        m_state = State::Bypass;
        return;
    case State::Bypass:
        if (data == 0xA0)
            m_state = State::BypassProgram;
        else if (data == 0x90)
            m_state = State::BypassReset;
        else if (data == 0xF0)
            m_state = State::Read;
        return;
    case State::BypassReset:
        m_state = (data == 0x00 || data == 0xF0) ? State::Read : State::Bypass;
        return;
    default:
        break;
    }
    if (data == 0xF0) {
        m_state = State::Read;
        return;
    }
    switch (m_state) {
    case State::Read:
    case State::Autoselect:
        if (isCycle(address, 0x555) && data == 0xAA)
            m_state = State::Unlock1;
        return;
    case State::Unlock1:
        m_state = (isCycle(address, 0x2AA) && data == 0x55) ? State::Unlock2 : State::Read;
        return;
    case State::Unlock2:
        if (!isCycle(address, 0x555)) {
            m_state = State::Read;
        } else if (data == 0x80) {
            m_state = State::EraseSetup;
        } else if (data == 0x20) {
            m_state = State::Bypass;
        } else if (data == 0x90) {
            m_state = State::Autoselect;
        } else if (data == 0xA0) {
            m_state = State::Program;
        } else {
            m_state = State::Read;
        }
        return;
    case State::EraseSetup:
        m_state = (isCycle(address, 0x555) && data == 0xAA) ? State::EraseUnlock1 : State::Read;
        return;
    case State::EraseUnlock1:
        m_state = (isCycle(address, 0x2AA) && data == 0x55) ? State::EraseUnlock2 : State::Read;
        return;
    case State::EraseUnlock2:
        if (isCycle(address, 0x555) && data == 0x10) {
            ++m_chipErases;
            startErase(0, m_cells.size());
        } else if (data == 0x30) {
            startErase(index(address) / kSectorSize * kSectorSize, kSectorSize);
        } else {
            m_state = State::Read;
        }
        return;
    default:
        m_state = State::Read;
        return;
    }
}

std::uint8_t JedecFlash::read(std::uint32_t address)
{
    finishEraseIfDue();
    if (m_state == State::Erasing) {
        // Data polling: DQ7 reads 0 until the erase is done, DQ6 toggles on
        // every read.
        const std::uint8_t status = m_toggle ? 0x7F : 0x3F;
        m_toggle = !m_toggle;
        return status;
    }
    if (m_state == State::Autoselect) {
        switch (address & 0xFF) {
        case 0:
            return kManufacturerId;
        case 1:
            return kDeviceId;
        default:
            return 0x00;
        }
    }
    return m_cells[index(address)];
}

} // namespace sim::boardsim
