#pragma once

#include "platform/clock.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim::boardsim {

// A parallel NOR flash with the JEDEC (AMD-style) command set, driven one bus
// cycle at a time: unlock cycles, chip and sector erase, single-byte program,
// unlock bypass, autoselect and reset. Programming can only clear bits, so a
// byte written over unerased content reads back wrong, as on a real chip.
class JedecFlash {
public:
    static constexpr std::uint8_t kManufacturerId = 0x01;
    static constexpr std::uint8_t kDeviceId = 0x4F;
    static constexpr std::size_t kSectorSize = 64 * 1024;

    JedecFlash(platform::Clock& clock, std::size_t size, platform::Duration eraseTime);

    void write(std::uint32_t address, std::uint8_t data);
    std::uint8_t read(std::uint32_t address);

    void setEraseTime(platform::Duration time) { m_eraseTime = time; }
    // An erase that never completes: the chip stays busy.
    void setEraseNeverFinishes(bool never) { m_eraseNeverFinishes = never; }
    // A weak cell: programming this address leaves bit 0 set.
    void setDefectiveAddress(long address) { m_defect = address; }

    bool busy();
    bool inUnlockBypass() const { return m_state == State::Bypass || m_state == State::BypassProgram; }
    std::size_t size() const { return m_cells.size(); }
    const std::vector<std::uint8_t>& cells() const { return m_cells; }
    int chipErases() const { return m_chipErases; }
    long programmedBytes() const { return m_programmed; }

private:
    enum class State {
        Read, // array reads
        Unlock1, // first unlock cycle seen
        Unlock2, // both unlock cycles seen, command expected
        EraseSetup, // 0x80 seen, second unlock pair expected
        EraseUnlock1,
        EraseUnlock2, // erase command (chip 0x10, sector 0x30) expected
        Program, // next cycle is the byte to program
        Bypass, // unlock bypass: 0xA0 programs, 0x90 leaves
        BypassProgram, // in bypass, next cycle is the byte to program
        BypassReset, // 0x90 seen in bypass, 0x00 or 0xF0 leaves
        Autoselect, // identification reads
        Erasing, // embedded erase running
    };

    void program(std::uint32_t address, std::uint8_t data);
    void startErase(std::size_t first, std::size_t count);
    void finishEraseIfDue();
    std::size_t index(std::uint32_t address) const { return address % m_cells.size(); }

    platform::Clock& m_clock;
    std::vector<std::uint8_t> m_cells;
    platform::Duration m_eraseTime;
    bool m_eraseNeverFinishes = false;
    long m_defect = -1;
    State m_state = State::Read;
    platform::TimePoint m_eraseEnd {};
    std::size_t m_eraseFirst = 0;
    std::size_t m_eraseCount = 0;
    bool m_toggle = false;
    int m_chipErases = 0;
    long m_programmed = 0;
};

} // namespace sim::boardsim
