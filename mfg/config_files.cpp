#include "mfg/config_files.h"
#include "platform/text_file.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace mfg {

namespace {

// Settings files are a few hundred bytes; a larger file is read this far only.
constexpr std::size_t kSettingsFileLimit = 64 * 1024;

constexpr const char* kOptionMissingTest
    = "Option.dat can not be found ...\nPlease config parameters first in Optoin page !!\n";
constexpr const char* kComMissingTest = "Can not find com.dat !!\nProgram will choose COM1 by default...";
constexpr const char* kLogFailed = "Can not open log file ...\nPlease check file directory of setting !!\n";

std::optional<std::string> readSettingsFile(const std::string& directory, const std::string& name)
{
    auto bytes = platform::readFileBytes(settingsFilePath(directory, name), kSettingsFileLimit);
    if (!bytes)
        return std::nullopt;
    return std::move(bytes.value());
}

} // namespace

std::optional<std::string> LineReader::next(std::size_t limit)
{
    if (m_pos >= m_bytes.size())
        return std::nullopt;
    std::size_t end = m_bytes.find('\n', m_pos);
    const bool hasEnd = end != std::string::npos;
    if (!hasEnd)
        end = m_bytes.size();
    std::string line = m_bytes.substr(m_pos, end - m_pos);
    m_pos = hasEnd ? end + 1 : m_bytes.size();
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.size() > limit)
        line.resize(limit);
    return line;
}

std::optional<int> parseItemMask(const std::string& line)
{
    std::size_t i = 0;
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])))
        ++i;
    if (i < line.size() && line[i] == '+')
        ++i;
    if (i >= line.size() || !std::isdigit(static_cast<unsigned char>(line[i])))
        return std::nullopt;
    const int mask = leadingNumber(line);
    if (mask < 0 || mask > 255)
        return std::nullopt;
    return mask;
}

std::string readPortIoFile(const std::string& directory)
{
    auto bytes = readSettingsFile(directory, kPortIoFile);
    if (!bytes)
        return {};
    LineReader reader(std::move(*bytes));
    std::string module = reader.next(1024).value_or("");
    while (!module.empty() && std::isspace(static_cast<unsigned char>(module.back())))
        module.pop_back();
    return module;
}

bool writePortIoFile(const std::string& directory, const std::string& module)
{
    return platform::writeFileAtomic(settingsFilePath(directory, kPortIoFile), module + "\n").ok();
}

int leadingNumber(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long value = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
        value = value * 10 + (text[i++] - '0');
        if (value > INT_MAX)
            value = INT_MAX + 1LL;
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

std::string settingsFilePath(const std::string& directory, const std::string& name)
{
    const std::string exact = directory.empty() ? name : directory + "/" + name;
    if (platform::fileExists(exact))
        return exact;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory.empty() ? "." : directory, error)) {
        const std::string candidate = entry.path().filename().string();
        if (candidate.size() != name.size())
            continue;
        bool same = true;
        for (std::size_t i = 0; i < name.size() && same; ++i)
            same = std::tolower(static_cast<unsigned char>(candidate[i]))
                == std::tolower(static_cast<unsigned char>(name[i]));
        if (same)
            return directory.empty() ? candidate : directory + "/" + candidate;
    }
    return exact;
}

bool ispSpeedIsFast(const std::string& speedText) { return !speedText.empty() && speedText[0] == '9'; }

std::string hostFilePath(const std::string& path)
{
    if (path.find('\\') == std::string::npos || platform::fileExists(path))
        return path;
    std::string converted = path;
    std::replace(converted.begin(), converted.end(), '\\', '/');
    return converted;
}

int eraseWaitTimeForChoice(char choice) { return (choice >= '0' && choice <= '4') ? 6 + (choice - '0') : 9; }

std::string optionFileText(const OptionFileData& data)
{
    std::string text;
    for (const std::string* line : { &data.loaderPath, &data.testFirmwarePath, &data.productionFirmwarePath,
             &data.eepromPath, &data.logPath, &data.clientAddress, &data.currentMac, &data.endMac })
        text += *line + "\n";
    text += std::to_string(data.eraseChoice) + "\n";
    return text;
}

bool writeOptionFile(const std::string& directory, const OptionFileData& data)
{
    return platform::writeFileAtomic(settingsFilePath(directory, kOptionFile), optionFileText(data)).ok();
}

bool readOptionFileForTestPage(const std::string& directory, MfgSettings& settings, std::string& resultMessage)
{
    auto bytes = readSettingsFile(directory, kOptionFile);
    if (!bytes) {
        resultMessage += kOptionMissingTest;
        return false;
    }
    LineReader reader(std::move(*bytes));
    // The path lines keep as much as the Option page's path fields hold.
    std::string* const paths[] = { &settings.loaderPath, &settings.testFirmwarePath, &settings.productionFirmwarePath,
        &settings.eepromPath, &settings.logPath };
    for (std::string* path : paths)
        *path = hostFilePath(reader.next(128).value_or(""));
    settings.clientAddress = reader.next(15).value_or("");
    settings.currentMac = reader.next(15).value_or("");
    settings.endMac = reader.next(15).value_or("");
    settings.macValuesParsed = false;
    const std::string choice = reader.next(9).value_or("");
    settings.erase_wait_time = eraseWaitTimeForChoice(choice.empty() ? '\0' : choice[0]);
    return true;
}

void readItemAndComFiles(const std::string& directory, MfgSettings& settings, platform::Prompter& prompter)
{
    if (auto item = readSettingsFile(directory, kItemFile)) {
        LineReader reader(std::move(*item));
        const auto mask = parseItemMask(reader.next(9).value_or(""));
        if (!mask)
            prompter.message(kItemFileUnreadable, "WARNING", platform::MessageIcon::Warning);
        settings.ItemMask = mask.value_or(255);
    } else {
        settings.ItemMask = 255;
    }
    auto com = readSettingsFile(directory, kComFile);
    if (!com) {
        prompter.message(kComMissingTest, "WARNING", platform::MessageIcon::Warning);
        settings.comName = "COM1";
        settings.comIndex = 0;
        settings.LegacyBase = 0x3F8;
        return;
    }
    LineReader reader(std::move(*com));
    settings.comName = reader.next(9).value_or("");
    settings.comIndex = leadingNumber(settings.comName.size() > 3 ? settings.comName.substr(3) : "") - 1;
    settings.LegacyBase = settings.comIndex == 1 ? 0x2F8
        : settings.comIndex == 2                 ? 0x3E8
        : settings.comIndex == 3                 ? 0x2E8
                                                 : 0x3F8;
    const std::string speed = reader.next(9).value_or("");
    settings.com_port_speed = ispSpeedIsFast(speed) ? 1 : 0;
}

std::vector<int> selectedItems(int itemMask)
{
    std::vector<int> items;
    for (int bit = 0; bit < 8; ++bit) {
        if (itemMask & (1 << bit))
            items.push_back(bit);
    }
    return items;
}

bool AppendLog(const std::string& logPath, const std::string& currentMac, std::string& resultMessage)
{
    // One append of the whole entry; never through a link, never into a
    // FIFO that would hold the station until someone reads it.
    if (!platform::appendFileBytes(logPath, "[" + currentMac + "]\n" + resultMessage + "\n\n")) {
        resultMessage += kLogFailed;
        return false;
    }
    return true;
}

} // namespace mfg
