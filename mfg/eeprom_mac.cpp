#include "mfg/eeprom_mac.h"
#include "platform/text_file.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace mfg {

namespace {

using std::chrono::milliseconds;

constexpr const char* kOutOfRange = kMacOutOfRange;
constexpr const char* kInvalidMac = "Invalid MAC address format !!\n";
constexpr const char* kEepromMissing = "EEPROM file can not be found !!\n";
constexpr const char* kEepromIncomplete = "EEPROM file is incomplete !!\n";
constexpr const char* kOptionNotUpdated
    = "Can not update Option.dat ..\nMac start address could be wrong in next program starting !!\n";
constexpr const char* kSendFailed4 = "Failed to send command to the COM port! (4)";
constexpr const char* kSendFailed5 = "Failed to send command to the COM port! (5)";
constexpr const char* kSendFailed6 = "Failed to send command to the COM port! (6)";
constexpr const char* kReadFailed7 = "Failed to read EEPROM data from the COM port! (7)";
constexpr const char* kReadFailed8 = "Failed to read EEPROM data from the COM port! (8)";
constexpr const char* kReadFailed9 = "Failed to read EEPROM data from the COM port! (9)";
constexpr const char* kReadFailed10 = "Failed to read EEPROM data from the COM port! (10)";
constexpr const char* kReadFailed11 = "Failed to read EEPROM data from the COM port! (11)";

// The reader of the EEPROM file takes at most this many characters per line.
constexpr std::size_t kLineLimit = 79;
// An EEPROM file is a few hundred bytes; more is never read.
constexpr std::size_t kEepromFileLimit = 64 * 1024;

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper >= 'A' && upper <= 'F')
        return upper - 'A' + 10;
    return -1;
}

std::optional<std::uint64_t> parseMac(const std::string& text)
{
    if (text.empty() || text.size() > 13)
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        const int digit = hexValue(c);
        if (digit < 0)
            return std::nullopt;
        value = (value << 4) | static_cast<std::uint64_t>(digit);
    }
    return value;
}

std::string macText(std::uint64_t value)
{
    char text[20];
    std::snprintf(text, sizeof text, "%012llX", static_cast<unsigned long long>(value));
    return text;
}

std::vector<std::string> eepromLines(const std::string& bytes, std::size_t wanted)
{
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < bytes.size() && lines.size() < wanted) {
        std::size_t end = bytes.find('\n', pos);
        end = end == std::string::npos ? bytes.size() : end + 1;
        const std::size_t take = std::min(end - pos, kLineLimit);
        lines.push_back(bytes.substr(pos, take));
        pos += take;
    }
    return lines;
}

char characterAt(const std::string& line, std::size_t index)
{
    if (index >= line.size() || line[index] == '\n' || line[index] == '\r')
        return '0';
    return line[index];
}

} // namespace

std::optional<std::vector<EepromEntry>> parseEepromFile(const std::string& bytes)
{
    const std::vector<std::string> lines = eepromLines(bytes, 2 * kEepromEntries);
    if (lines.size() < 2 * kEepromEntries)
        return std::nullopt;
    std::vector<EepromEntry> entries(kEepromEntries);
    for (std::size_t i = 0; i < kEepromEntries; ++i) {
        for (std::size_t j = 0; j < 4; ++j) {
            entries[i].address[j] = characterAt(lines[2 * i], 1 + j);
            entries[i].value[j] = characterAt(lines[2 * i + 1], j);
        }
    }
    return entries;
}

std::array<std::uint8_t, kEepromWriteCommandSize> eepromWriteCommand(
    const EepromEntry& entry, std::size_t index, const std::string& currentMac)
{
    std::array<char, 4> value = entry.value;
    if (index >= 6 && index <= 11) {
        // Entry 6 carries the last byte, entry 11 the first.
        const std::size_t digit = 10 - 2 * (index - 6);
        value[2] = digit < currentMac.size() ? currentMac[digit] : '0';
        value[3] = digit + 1 < currentMac.size() ? currentMac[digit + 1] : '0';
    }
    std::array<std::uint8_t, kEepromWriteCommandSize> command {};
    std::size_t n = 0;
    for (char c : { 'e', 'w', ' ' })
        command[n++] = static_cast<std::uint8_t>(c);
    for (char c : entry.address)
        command[n++] = static_cast<std::uint8_t>(c);
    command[n++] = ' ';
    for (char c : value)
        command[n++] = static_cast<std::uint8_t>(c);
    command[n++] = '\r';
    command[n++] = '\n';
    return command;
}

std::string macFromDump(const std::uint8_t* dump, std::size_t size)
{
    long colon = -1;
    for (std::size_t i = 0; i < size; ++i) {
        if (dump[i] == ':') {
            colon = static_cast<long>(i);
            break;
        }
    }
    auto at = [&](long index) -> char {
        if (index < 0 || static_cast<std::size_t>(index) >= size)
            return '\0';
        return static_cast<char>(std::toupper(dump[index]));
    };
    std::string mac;
    for (long entry = 11; entry >= 6; --entry) {
        mac += at(colon + 2 + 3 * entry);
        mac += at(colon + 3 + 3 * entry);
    }
    return mac;
}

namespace {

bool isHexDigit(std::uint8_t byte) { return hexValue(static_cast<char>(byte)) >= 0; }

// The line of the reply that carries its first colon (the whole reply
// without one), control characters and bytes above 126 as \xHH, cut at 80.
std::string answerLine(const std::uint8_t* reply, std::size_t size)
{
    std::size_t begin = 0;
    std::size_t end = size;
    const auto* colon = std::find(reply, reply + size, ':');
    if (colon != reply + size) {
        const auto at = static_cast<std::size_t>(colon - reply);
        for (begin = at; begin > 0 && reply[begin - 1] != '\r' && reply[begin - 1] != '\n';)
            --begin;
        for (end = at; end < size && reply[end] != '\r' && reply[end] != '\n' && reply[end] != 0;)
            ++end;
    }
    std::string text;
    std::size_t i = begin;
    for (; i < end && text.size() < 80; ++i) {
        const std::uint8_t byte = reply[i];
        if (byte == '\r' || byte == '\n') {
            if (!text.empty() && text.back() != ' ')
                text += ' ';
        } else if (byte < 0x20 || byte > 0x7E) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            text += escaped;
        } else {
            text += static_cast<char>(byte);
        }
    }
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return i < end ? text + "..." : text;
}

} // namespace

std::string readBackReason(int code, const std::uint8_t* reply, std::size_t size, const std::string& written)
{
    switch (code) {
    case 4:
        return "the board did not answer the dump command (er) within 3 s";
    case 5:
        return "a line error on the COM port while waiting for the dump";
    case 6:
        return "the dump command (er) could not be sent to the COM port";
    case 7:
        return "the dump did not arrive within 3 s";
    case 8:
        return "the COM port could not be read";
    case 10:
        return "the board's answer to the dump command (er) was empty";
    case 11:
        return "no character came from the board after the dump command (er)";
    default:
        break;
    }
    // A dump holds a two-digit field for each word; where the address words'
    // fields are not digits the board answered something else.
    const auto* colon = std::find(reply, reply + size, ':');
    const long c = colon == reply + size ? -1 : static_cast<long>(colon - reply);
    bool dump = true;
    for (long entry = 6; entry <= 11 && dump; ++entry) {
        for (long index : { c + 2 + 3 * entry, c + 3 + 3 * entry })
            dump = dump && index >= 0 && static_cast<std::size_t>(index) < size && isHexDigit(reply[index]);
    }
    if (!dump)
        return "the board answered \"" + answerLine(reply, size) + "\" instead of its EEPROM words";
    return "the board does not keep what is written: read back MAC " + macFromDump(reply, size) + ", wrote " + written;
}

bool ValidateMacRange(MfgSettings& settings, std::string& resultMessage)
{
    const std::string& current = settings.currentMac;
    const std::string& end = settings.endMac;
    // A longer current text is the mark of a range used up at FFFFFFFFFFFF.
    bool above = current.size() > end.size();
    for (std::size_t i = 0; !above && i < current.size() && i < end.size(); ++i) {
        const int a = std::toupper(static_cast<unsigned char>(current[i]));
        const int b = std::toupper(static_cast<unsigned char>(end[i]));
        if (a == b)
            continue;
        above = a > b;
        break;
    }
    if (above) {
        resultMessage += kOutOfRange;
        return false;
    }
    const auto currentValue = parseMac(current);
    const auto endValue = parseMac(end);
    if (!currentValue || !endValue || current.size() != 12 || end.size() != 12) {
        resultMessage += kInvalidMac;
        return false;
    }
    settings.currentMacValue = *currentValue;
    settings.endMacValue = *endValue;
    settings.macValuesParsed = true;
    return true;
}

bool MacRangeUsedUp(const std::string& currentMac, const std::string& endMac)
{
    const auto current = parseMac(currentMac);
    const auto end = parseMac(endMac);
    if (!current || !end || endMac.size() != 12 || currentMac.size() < 12)
        return false;
    return *current > *end;
}

bool AdvanceMac(const std::string& directory, MfgSettings& settings, std::string& resultMessage)
{
    if (settings.macValuesParsed && settings.currentMacValue <= settings.endMacValue) {
        // At the end the value passes it by one: the range is used up.
        ++settings.currentMacValue;
        settings.currentMac = macText(settings.currentMacValue);
    }
    OptionFileData data;
    data.loaderPath = settings.loaderPath;
    data.testFirmwarePath = settings.testFirmwarePath;
    data.productionFirmwarePath = settings.productionFirmwarePath;
    data.eepromPath = settings.eepromPath;
    data.logPath = settings.logPath;
    data.clientAddress = settings.clientAddress;
    data.currentMac = settings.currentMac;
    data.endMac = settings.endMac;
    data.eraseChoice
        = settings.erase_wait_time >= 6 && settings.erase_wait_time <= 10 ? settings.erase_wait_time - 6 : 3;
    if (writeOptionFile(directory, data))
        return true;
    resultMessage += kOptionNotUpdated;
    return false;
}

bool WriteEepromData(EepromTarget target, MfgSettings& settings, std::string& resultMessage)
{
    if (!ValidateMacRange(settings, resultMessage))
        return false;
    auto bytes = platform::readFileBytes(settings.eepromPath, kEepromFileLimit);
    if (!bytes) {
        resultMessage += kEepromMissing;
        return false;
    }
    const auto entries = parseEepromFile(bytes.value());
    if (!entries) {
        // Writing stale words into a board's EEPROM would ship a broken board.
        resultMessage += kEepromIncomplete;
        return false;
    }
    SerialLink& link = target.link;
    if (!link.UsbPort()) {
        if (!target.portIo) {
            resultMessage += kEepromMissing;
            return false;
        }
        if (target.wordsSent)
            *target.wordsSent = true;
        for (std::size_t i = 0; i < kEepromEntries; ++i) {
            target.clock.sleepFor(milliseconds(200));
            for (std::uint8_t byte : eepromWriteCommand((*entries)[i], i, settings.currentMac))
                target.portIo->Out32(settings.LegacyBase, byte);
        }
        return true;
    }
    std::string expected = settings.currentMac;
    for (char& c : expected)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::size_t replySize = 0;
    auto fail = [&](const char* text) {
        target.prompter.message(text);
        // The box is gone once closed; the log entry keeps its number and
        // says in words what went wrong.
        const std::string box = text;
        const auto open = box.rfind('(');
        const int code = open == std::string::npos ? 0 : std::atoi(box.c_str() + open + 1);
        resultMessage += "EEPROM read-back failed " + box.substr(open == std::string::npos ? box.size() : open) + ": "
            + readBackReason(code, link.receiveBuffer().data(), replySize, expected) + "\n";
        return false;
    };
    platform::SerialPort* port = link.port();
    if (!port)
        return fail(kSendFailed6);
    link.setWaitMask(platform::kSerialEventLineError);
    target.clock.sleepFor(milliseconds(1000));
    (void)port->purge();
    auto& send = link.sendBuffer();
    if (target.wordsSent)
        *target.wordsSent = true;
    for (std::size_t i = 0; i < kEepromEntries; ++i) {
        const auto command = eepromWriteCommand((*entries)[i], i, settings.currentMac);
        std::copy(command.begin(), command.end(), send.begin());
        (void)port->write(send.data(), command.size());
        target.clock.sleepFor(milliseconds(100));
    }

    auto& receive = link.receiveBuffer();
    receive.fill(0);
    const std::uint8_t dumpCommand[] = { 'e', 'r', '\r', '\n' };
    std::copy(std::begin(dumpCommand), std::end(dumpCommand), send.begin());
    link.setWaitMask(platform::kSerialEventRxChar | platform::kSerialEventLineError);
    (void)port->purge();
    const platform::IoResult written = port->write(send.data(), sizeof dumpCommand);
    if (written.status == platform::IoStatus::FailedAtOnce)
        return fail(kSendFailed6);
    std::uint32_t events = 0;
    const platform::IoResult waited = port->waitEvent(milliseconds(3000), events);
    if (!waited.ok())
        return fail(kSendFailed4);
    link.setEventMask(events);
    if (events & platform::kSerialEventLineError)
        return fail(kSendFailed5);
    target.clock.sleepFor(milliseconds(2000)); // the whole dump arrives meanwhile
    if (!(link.eventMask() & platform::kSerialEventRxChar))
        return fail(kReadFailed11);
    const platform::IoResult got = port->read(receive.data(), receive.size(), milliseconds(3000));
    if (got.status == platform::IoStatus::FailedAtOnce)
        return fail(kReadFailed8);
    if (!got.ok())
        return fail(kReadFailed7);
    link.setTransferred(static_cast<std::uint32_t>(got.count));
    if (got.count == 0)
        return fail(kReadFailed10);
    replySize = std::min(static_cast<std::size_t>(got.count), receive.size());
    // The rest of the buffer stays zero, as cleared above.
    if (macFromDump(receive.data(), receive.size()) != expected)
        return fail(kReadFailed9);
    return true;
}

} // namespace mfg
