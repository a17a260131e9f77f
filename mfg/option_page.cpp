#include "mfg/option_page.h"
#include "mfg/eeprom_mac.h"
#include "mfg/station_records.h"
#include "platform/text_file.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace mfg {

namespace {

constexpr const char* kOptionMissing = "Option.dat can not be found ...\nPlease config parameters here !!";
constexpr const char* kNoPorts = "Could not find any usable COM port";
constexpr const char* kComMissing = "Can not find com.dat !!\nProgram will select COM1 automatically...";
constexpr const char* kOptionWriteFailed = "Option.dat can not be found !!";
constexpr const char* kComWriteFailed = "com.dat can not be found !!";
constexpr const char* kItemWriteFailed = "item.dat can not be saved !!";
constexpr const char* kPortOk = "The selected COM port successful !!";
constexpr const char* kPortFailed = "Can not open the selected COM port";
constexpr const char* kItemMissing
    = "Can not find item.dat !!\nThis program will select all items\nPlease click 'OK' to create item.dat";
constexpr const char* kMacStartAboveEnd = "MAC start address is above the end address !!";
constexpr const char* kNoPortSelected = "No COM port selected !!";
constexpr const char* kBinaryFilter = "Binary files(*.bin)|*.bin|";

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Empty when valid, else the complaint for a MAC field named `which`.
std::string macComplaint(const std::string& mac, const char* which)
{
    if (mac.size() != 12)
        return std::string("MAC ") + which + " address must be 12 hexs !!";
    for (char c : mac) {
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return std::string("MAC ") + which + " address invalid !!";
    }
    return {};
}

std::optional<std::string> readFile(const std::string& directory, const char* name)
{
    auto bytes = platform::readFileBytes(settingsFilePath(directory, name), 64 * 1024);
    if (!bytes)
        return std::nullopt;
    return std::move(bytes.value());
}

} // namespace

PortProbe systemPortProbe(const SerialOpener& opener)
{
    return [opener](int number) { return opener("COM" + std::to_string(number)).ok(); };
}

std::array<std::uint8_t, 4> parseDottedAddress(const std::string& text)
{
    std::array<std::uint8_t, 4> parts {};
    unsigned values[4];
    char tail;
    if (std::sscanf(text.c_str(), "%3u.%3u.%3u.%3u%c", &values[0], &values[1], &values[2], &values[3], &tail) != 4)
        return {};
    for (int i = 0; i < 4; ++i) {
        if (values[i] > 255)
            return {};
        parts[i] = static_cast<std::uint8_t>(values[i]);
    }
    return parts;
}

OptionPage::OptionPage(std::string directory, MfgSettings& settings, platform::Prompter& prompter, PortProbe probe)
    : m_directory(std::move(directory))
    , m_settings(settings)
    , m_prompter(prompter)
    , m_probe(std::move(probe))
{
}

std::string OptionPage::macFieldText(const std::string& text)
{
    std::string result = text.substr(0, kMacLimit);
    for (char& c : result)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return result;
}

void OptionPage::setUp()
{
    m_eraseEntries = { "6", "7", "8", "9", "10" };
    readOptionFile();
    listPorts();
    readComFile();
}

void OptionPage::readOptionFile()
{
    auto bytes = readFile(m_directory, kOptionFile);
    if (!bytes) {
        m_prompter.message(kOptionMissing, "ERROR");
        return;
    }
    LineReader reader(std::move(*bytes));
    std::string* const paths[] = { &loaderPath, &testFirmwarePath, &productionFirmwarePath, &eepromPath, &logPath };
    // Paths stay as written: on this system a slash is the separator, and
    // the run reads backslash paths of older files itself (hostFilePath).
    for (std::string* path : paths)
        *path = reader.next(kPathLimit).value_or("");
    clientAddress = parseDottedAddress(reader.next(127).value_or(""));
    const std::string start = reader.next(127).value_or("");
    m_macEnd = macFieldText(reader.next(127).value_or(""));
    showStart(start);
    const std::string choice = reader.next(9).value_or("");
    eraseSelection = (!choice.empty() && choice[0] >= '0' && choice[0] <= '4') ? choice[0] - '0' : 3;
}

void OptionPage::listPorts()
{
    m_ports.clear();
    for (int n = 1; n <= 255; ++n) {
        const std::string name = "COM" + std::to_string(n);
        // The run's port is busy because this program has it open.
        if (name == m_portInUse || (m_probe && m_probe(n)))
            m_ports.push_back({ "COM" + std::to_string(n), n });
    }
    if (m_ports.empty())
        m_prompter.message(kNoPorts);
}

void OptionPage::readComFile()
{
    auto bytes = readFile(m_directory, kComFile);
    if (!bytes) {
        m_prompter.message(kComMissing, "WARNING", platform::MessageIcon::Warning);
        portSelection = m_ports.empty() ? -1 : 0;
        // The run programs at 115200 until a com.dat says otherwise; the
        // page shows that, so an Apply does not switch the speed unasked.
        speedSelection = kSlowSpeedEntry;
        portIoModule = readPortIoFile(m_directory);
        return;
    }
    LineReader reader(std::move(*bytes));
    const std::string port = reader.next(9).value_or("");
    const std::string speed = reader.next(9).value_or("");
    portSelection = m_ports.empty() ? -1 : 0;
    portIoModule = readPortIoFile(m_directory);
    // The entry of the speed the run takes from this text: a missing or
    // empty line must not match the first entry by its empty prefix.
    speedSelection = ispSpeedIsFast(speed) ? kFastSpeedEntry : kSlowSpeedEntry;
    for (std::size_t i = 0; i < m_ports.size(); ++i) {
        if (startsWith(m_ports[i].text, port)) {
            portSelection = static_cast<int>(i);
            return;
        }
    }
    // The configured port is absent: listed as such, in its place, and kept.
    const int number = port.size() > 3 && startsWith(port, "COM") ? leadingNumber(port.substr(3)) : 0;
    if (number < 1 || number > 255 || "COM" + std::to_string(number) != port)
        return;
    auto at = std::find_if(
        m_ports.begin(), m_ports.end(), [number](const PortEntry& entry) { return entry.number > number; });
    at = m_ports.insert(at, PortEntry { port, number, false });
    portSelection = static_cast<int>(at - m_ports.begin());
}

void OptionPage::showStart(const std::string& stored)
{
    m_storedStart = stored;
    m_rangeUsedUp = MacRangeUsedUp(stored, m_macEnd);
    // Twelve digits cannot show a range used up at FFFFFFFFFFFF: the field
    // shows the last address handed out, and the mark is kept (apply).
    m_macStart = macFieldText(m_rangeUsedUp && stored.size() > kMacLimit ? m_macEnd : stored);
    m_shownStart = m_macStart;
    m_shownEnd = m_macEnd;
}

void OptionPage::activate() { showStart(m_settings.currentMac); }

bool OptionPage::apply()
{
    m_focus = Field::None;
    if (m_running)
        return false;
    if (std::string complaint = macComplaint(m_macStart, "start"); !complaint.empty()) {
        m_prompter.message(complaint, "MAC ERROR");
        m_focus = Field::MacStart;
        return false;
    }
    if (std::string complaint = macComplaint(m_macEnd, "end"); !complaint.empty()) {
        m_prompter.message(complaint, "MAC ERROR");
        m_focus = Field::MacEnd;
        return false;
    }
    // The same texts as shown keep a used-up range used up; new texts must
    // make a range (the end itself may be the only address).
    const bool unchanged = m_macStart == m_shownStart && m_macEnd == m_shownEnd;
    if (!(m_rangeUsedUp && unchanged) && MacRangeUsedUp(m_macStart, m_macEnd)) {
        m_prompter.message(kMacStartAboveEnd, "MAC ERROR");
        m_focus = Field::MacStart;
        return false;
    }
    if (portSelection < 0 || portSelection >= static_cast<int>(m_ports.size())) {
        // com.dat without a port would make the next run open "COM0".
        m_prompter.message(kNoPortSelected, "ERROR");
        m_focus = Field::Port;
        return false;
    }
    OptionFileData data;
    data.loaderPath = loaderPath;
    data.testFirmwarePath = testFirmwarePath;
    data.productionFirmwarePath = productionFirmwarePath;
    data.eepromPath = eepromPath;
    data.logPath = logPath;
    char address[16];
    std::snprintf(
        address, sizeof address, "%u.%u.%u.%u", clientAddress[0], clientAddress[1], clientAddress[2], clientAddress[3]);
    data.clientAddress = address;
    data.currentMac = m_rangeUsedUp && unchanged ? m_storedStart : m_macStart;
    data.endMac = m_macEnd;
    data.eraseChoice = std::clamp(eraseSelection, 0, 4);
    // A file that could not be written leaves the Apply unsuccessful (the
    // message said so), though what could be written stays written.
    bool saved = true;
    if (!writeOptionFile(m_directory, data)) {
        m_prompter.message(kOptionWriteFailed, "ERROR");
        saved = false;
    } else {
        m_settings.loaderPath = data.loaderPath;
        m_settings.testFirmwarePath = data.testFirmwarePath;
        m_settings.productionFirmwarePath = data.productionFirmwarePath;
        m_settings.eepromPath = data.eepromPath;
        m_settings.logPath = data.logPath;
        m_settings.clientAddress = data.clientAddress;
        m_settings.currentMac = data.currentMac;
        m_settings.endMac = data.endMac;
        m_settings.macValuesParsed = false;
        m_settings.erase_wait_time = 6 + data.eraseChoice;
        showStart(data.currentMac);
    }
    const std::string port = m_ports[portSelection].text;
    const std::string speed = m_speedEntries[std::clamp(speedSelection, 0, 1)];
    if (!platform::writeFileAtomic(settingsFilePath(m_directory, kComFile), port + "\n" + speed)) {
        m_prompter.message(kComWriteFailed, "ERROR");
        saved = false;
    }
    if (portIoModule != readPortIoFile(m_directory))
        (void)writePortIoFile(m_directory, portIoModule);
    return saved;
}

bool OptionPage::checkPort(SerialLink& link, IspSession& isp)
{
    // Writing the legacy UART's registers under a running sequence would
    // disturb its board.
    if (m_running)
        return false;
    bool opened = false;
    if (portSelection >= 0 && portSelection < static_cast<int>(m_ports.size())) {
        const PortEntry& port = m_ports[portSelection];
        const int index = port.number - 1;
        isp.DetectUsbPort(link, index);
        opened = link.UsbPort() ? link.OpenUsbPort(1, port.text, false) : link.OpenLegacyPort(true, index);
    }
    if (!opened) {
        m_prompter.message(kPortFailed, "ERROR", platform::MessageIcon::Error);
        return false;
    }
    m_prompter.message(kPortOk, "Success");
    link.close();
    return true;
}

void OptionPage::browse(std::string& field, const char* filter)
{
    std::string chosen = m_prompter.openFile({}, filter);
    if (!chosen.empty())
        field = chosen.substr(0, kPathLimit);
}

void OptionPage::browseLoader() { browse(loaderPath, kBinaryFilter); }
void OptionPage::browseTestFirmware() { browse(testFirmwarePath, kBinaryFilter); }
void OptionPage::browseProductionFirmware() { browse(productionFirmwarePath, kBinaryFilter); }
void OptionPage::browseEeprom() { browse(eepromPath, "EEPROM files(*.ini)|*.ini|"); }
void OptionPage::browseLog() { browse(logPath, "Text files(*.txt)|*.txt|All files(*.*)|*.*|"); }

ItemSelection::ItemSelection(std::string directory, platform::Prompter& prompter)
    : m_directory(std::move(directory))
    , m_prompter(prompter)
{
}

void ItemSelection::open(bool create)
{
    auto bytes = readFile(m_directory, kItemFile);
    if (!bytes) {
        m_prompter.message(kItemMissing, "WARNING", platform::MessageIcon::Warning);
        const std::string created = m_directory.empty() ? kItemFileCreated : m_directory + "/" + kItemFileCreated;
        if (create)
            (void)platform::writeFileAtomic(created, "255");
        checked.fill(true);
        return;
    }
    LineReader reader(std::move(*bytes));
    const auto mask = parseItemMask(reader.next(9).value_or(""));
    if (!mask) {
        m_prompter.message(kItemFileUnreadable, "WARNING", platform::MessageIcon::Warning);
        checked.fill(true);
        return;
    }
    for (int i = 0; i < 8; ++i)
        checked[i] = (*mask >> i) & 1;
}

int ItemSelection::apply()
{
    if (m_running)
        return -1;
    int mask = 0;
    for (int i = 0; i < 8; ++i) {
        if (checked[i])
            mask |= 1 << i;
    }
    if (!platform::writeFileAtomic(settingsFilePath(m_directory, kItemFile), std::to_string(mask) + "\n")) {
        m_prompter.message(kItemWriteFailed, "ERROR");
        return -1;
    }
    return mask;
}

std::string OptionPage::macSourceNote() const
{
    return recordsUrl.empty() && readRecordsFile(m_directory).empty() ? std::string() : kSharedRangeNote;
}

} // namespace mfg
