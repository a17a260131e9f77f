// The board's settings and faults as the command line and tests give them.

#include "sim/boardsim/board.h"

#include <cerrno>
#include <cstdlib>

namespace sim::boardsim {

namespace {

using std::chrono::milliseconds;

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

} // namespace sim::boardsim
