#pragma once

#include "platform/clock.h"
#include "platform/serial_port.h"
#include "sim/boardsim/boot_client.h"
#include "sim/boardsim/flash.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sim::boardsim {

// How the simulated board behaves, including the faults tests switch on.
struct BoardOptions {
    std::size_t flashSize = 512 * 1024;
    std::chrono::milliseconds eraseTime { 2000 };
    bool eraseNeverFinishes = false; // the chip erase never completes
    bool noSyncAnswer = false; // IspSync frames get no reply
    int syncReplyBytes = 1; // 1: 05; 2: 01 05
    std::uint8_t syncReplyValue = 0x05; // the last sync reply byte
    int busWriteReplyBytes = 1; // 1 or 2 bytes per IspBusWrite (3 or 4 bytes per programmed byte)
    long wrongReadBackAt = -1; // flash address whose programming leaves bit 0 set
    long lineErrorAtFrame = -1; // the reply to this frame (counted from 1) is lost to a line error
    long slowFrame = -1; // the reply to this frame (counted from 1) takes slowTime longer
    std::chrono::milliseconds slowTime { 0 };
    std::chrono::milliseconds replyDelay { 0 }; // extra time before every reply
    bool wireTime = false; // replies take the time their bytes need on the line
    bool checkLineSettings = true; // ignore bytes unless the line is 8E1 at an ISP speed
    std::uint16_t uartBase = 0x3F8; // I/O base of the register-level UART

    // Normal mode: the boot loader and the test firmware.
    bool startInNormalMode = false; // powered in normal mode with a boot loader in flash
    bool startInTestFirmware = false; // ... and already running the test firmware
    // The operator's switch to normal mode and power cycle, this long after
    // the ISP link went quiet following a programmed flash; negative: never.
    std::chrono::milliseconds powerCycleAfter { 300 };
    std::chrono::milliseconds bootMenu { 300 }; // the boot loader waits this long for "3" before it boots
    bool noBanner = false; // the boot loader prints nothing after a reset
    bool ignoreReset = false; // the test firmware ignores rst
    bool eepromReadOnly = false; // ew changes nothing
    std::set<std::string> failingCommands; // answered without the pass mark
    std::set<std::string> muteCommands; // not answered at all
    std::set<std::string> bareCommands; // answered with the pass mark alone
    BootClientOptions network;

    // Parses "key=value" pairs separated by commas or blanks: flash-size,
    // erase-ms (or "never"), no-sync, sync-bytes, sync-value, bus-bytes,
    // bad-readback, line-error-frame, slow-frame, slow-ms, delay-ms, wire-time,
    // any-line, base; normal, test-firmware, power-cycle-ms, menu-ms, no-banner, no-reset,
    // eeprom-ro, fail-CMD, mute-CMD (CMD one of r, c, et, hsiloop, er), bare-CMD (not er),
    // net-start-ms, bootp-retry-ms, tftp-retry-ms, no-bootp, tftp-silent, dup-ack,
    // stop-ack-after, interface=NAME.
    static bool parse(const std::string& text, BoardOptions& options, std::string* error = nullptr);
};

// One ISP frame as the board received it.
struct FrameRecord {
    std::uint8_t command;
    std::uint32_t address;
    std::uint8_t data;
};

// The board in its in-system-programming mode: takes the 5-byte frames off
// the serial line, runs them on the flash bus and queues the replies with the
// time they are due on the line. Thread safe: a serving thread feeds it while
// a test looks at the flash.
class Board {
public:
    static constexpr std::uint8_t kIspRead = 0x00;
    static constexpr std::uint8_t kIspSync = 0x01;
    static constexpr std::uint8_t kIspBusWrite = 0x80;
    static constexpr std::uint8_t kIspProgram = 0xC0;

    Board(platform::Clock& clock, BoardOptions options);

    // The line settings of the PC's side, for the speed and framing check.
    // A pseudo-terminal keeps the speed but not the parity or data bits, so
    // its framing cannot be checked.
    void setLine(const platform::SerialSettings& settings, bool framingKnown = true);
    // Bytes from the PC.
    void receive(const std::uint8_t* data, std::size_t size);
    // Appends the reply bytes that are due to `out`; true when a line error
    // fell due meanwhile.
    bool takeDue(std::vector<std::uint8_t>& out);
    // When the next queued reply byte is due.
    std::optional<platform::TimePoint> nextDue() const;
    std::size_t queuedReplies() const;

    // What happened so far.
    std::vector<FrameRecord> frames() const;
    std::vector<std::size_t> receivedChunks() const;
    std::size_t ignoredBytes() const;
    std::vector<std::uint8_t> flashBytes(std::uint32_t address, std::size_t size);
    bool flashInUnlockBypass() const;
    int chipErases() const;

    // Normal mode.
    enum class Mode {
        Isp, // answers ISP frames
        BootLoader, // printed its banner, waits for a choice or fetches a file
        TestFirmware, // runs the self-test commands
        ProductionFirmware, // the shipped firmware; answers nothing here
    };
    // Moves the board's own time-driven work on: the operator's power cycle,
    // the boot loader's menu and network client. Call it often.
    void tick();
    // Powers the board on again in normal mode.
    void powerCycle();
    Mode mode() const;
    // Files the boot loader has fetched so far, in order, and whether each was
    // asked for as production firmware.
    struct Download {
        std::vector<std::uint8_t> bytes;
        bool production = false;
        std::string offeredFile;
        int announcedBlocks = 0;
    };
    std::vector<Download> downloads() const;
    std::array<std::uint16_t, 64> eeprom() const;
    // The MAC address the EEPROM holds: the low bytes of words 11 down to 6
    // as twelve upper-case digits (the production line writes it there).
    std::string macAddress() const;
    // Test-firmware command lines received, in order.
    std::vector<std::string> commands() const;
    int resets() const;

private:
    struct Pending {
        std::uint8_t value;
        bool lineError; // no byte: a line error in its place
        platform::TimePoint due;
    };
    bool lineUsable() const;
    void handleFrame(const std::uint8_t* frame);
    void reply(std::initializer_list<std::uint8_t> bytes);
    platform::Duration byteTime() const;

    platform::Clock& m_clock;
    BoardOptions m_options;
    mutable std::mutex m_mutex; // protects everything below
    JedecFlash m_flash;
    platform::SerialSettings m_line;
    bool m_lineKnown = false;
    bool m_framingKnown = false;
    std::uint8_t m_frame[5] = {};
    std::size_t m_frameFill = 0;
    platform::TimePoint m_lastByte {};
    platform::TimePoint m_lineFreeAt {}; // when the board's transmitter is idle again
    std::deque<Pending> m_pending;
    std::vector<FrameRecord> m_frames;
    std::vector<std::size_t> m_chunks;
    std::size_t m_ignored = 0;
    bool m_lineErrorNext = false; // the reply being built is lost to a line error
    platform::Duration m_extraDelay {};

    void receiveText(const std::uint8_t* data, std::size_t size);
    void runCommand(const std::string& line);
    void queueText(const std::string& text);
    void bootLoaderStarts();
    bool m_programmed = false; // a byte was programmed since the last power-up
    Mode m_mode = Mode::Isp;
    std::string m_textLine; // the command line being typed
    platform::TimePoint m_menuEnd {};
    bool m_productionChosen = false;
    std::unique_ptr<BootClient> m_client;
    std::vector<Download> m_downloads;
    std::array<std::uint16_t, 64> m_eeprom {};
    std::vector<std::string> m_commands;
    int m_resets = 0;
};

} // namespace sim::boardsim
