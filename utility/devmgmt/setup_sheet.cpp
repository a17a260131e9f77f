#include "utility/devmgmt/setup_sheet.h"

#include "platform/text_file.h"

#include "utility/devmgmt/setting_file.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace utility::devmgmt {
namespace {

const char* const kFailedToOpen = "Failed to open file";
const char* const kFileSaved = "File saved.";
const char* const kFileInfoTitle = "File Info";
const char* const kFileTooLarge = "File size is too large!!";
const char* const kItemEmpty = "Item is empty!!";
constexpr int kBeepHz = 5000;
constexpr int kBeepMs = 100;

bool on(const std::string& value) { return value == "1"; }

} // namespace

bool nameAcceptable(const std::string& name)
{
    return name.find(' ') == std::string::npos && name.size() <= kNameLimit;
}

bool portAcceptable(const std::string& port)
{
    if (port.empty() || port.size() > 5)
        return false;
    long value = 0;
    for (const char c : port) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return value >= 1024 && value <= 65535;
}

SetupSheet::SetupSheet(platform::Prompter& prompter)
    : m_prompter(prompter)
{
}

void SetupSheet::changed()
{
    if (m_changed)
        m_changed();
}

void SetupSheet::open(const DeviceEntry& entry, std::size_t row)
{
    const DeviceConfig record = entry.config();
    std::copy_n(record.bytes.begin(), kSheetHeaderSize, m_header.begin());
    m_values = parseItems(record);
    if (m_values[Item::DeviceName].empty())
        m_values[Item::DeviceName] = "ZIR" + std::to_string(row + 1);
    m_values[Item::BroadcastPort] = std::to_string(kDeviceBroadcastPort);
    m_values[Item::MulticastPort] = std::to_string(kDeviceMulticastPort);
    // Only the five event lists are on the page.
    m_values[Item::SmtpEvents] = formatEventBits(parseEventBits(m_values[Item::SmtpEvents]));
    m_opened = true;
    m_submitted = false;
    applyPageRules();
    // Said when the record is read, not first when a file refuses it.
    if (const auto refused = unloadableValues(m_values); !refused.empty()) {
        std::string text = "Device NO." + std::to_string(row + 1) + " reports settings the sheet cannot show:";
        for (const auto& item : refused)
            text += "\n" + refusedItemMessage(item);
        text += "\nThey are kept as the device sent them; a setting file cannot hold them.";
        m_prompter.message(text, kSetupTitle, platform::MessageIcon::Warning);
    }
}

bool SetupSheet::udp() const { return on(m_values[Item::Udp]); }
bool SetupSheet::client() const { return on(m_values[Item::ClientMode]); }

void SetupSheet::applyPageRules()
{
    // A record (or a file) may say what the page can never show: exactly one
    // data packet type and at least one management packet type.
    if (on(m_values[Item::Udp]) == on(m_values[Item::Tcp])) {
        m_values[Item::Udp] = "0";
        m_values[Item::Tcp] = "1";
    }
    if (!on(m_values[Item::Broadcast]) && !on(m_values[Item::Multicast]))
        m_values[Item::Broadcast] = "1";
    chooseClient(client());
    setDhcp(on(m_values[Item::Dhcp]));
}

void SetupSheet::chooseClient(bool isClient)
{
    m_values[Item::ClientMode] = isClient ? "1" : "0";
    m_controls.dataPortEnabled = !isClient;
    m_controls.destinationEnabled = isClient;
    if (isClient) {
        m_values[Item::AutoConnect] = "0";
        m_controls.autoConnectEnabled = false;
    } else {
        m_controls.autoConnectEnabled = udp();
    }
    changed();
}

void SetupSheet::setDhcp(bool enabled)
{
    m_values[Item::Dhcp] = enabled ? "1" : "0";
    m_controls.dynamicIpShown = enabled;
    changed();
}

void SetupSheet::clickUdp(bool checked)
{
    m_values[Item::Udp] = checked ? "1" : "0";
    if (checked) {
        m_values[Item::Tcp] = "0";
        m_controls.autoConnectEnabled = !client();
    } else {
        m_values[Item::Tcp] = "1";
        m_values[Item::AutoConnect] = "0";
        m_controls.autoConnectEnabled = false;
    }
    changed();
}

void SetupSheet::clickTcp(bool checked)
{
    m_values[Item::Tcp] = checked ? "1" : "0";
    if (checked) {
        m_values[Item::Udp] = "0";
        m_values[Item::AutoConnect] = "0";
        m_controls.autoConnectEnabled = false;
    } else {
        m_values[Item::Udp] = "1";
        m_controls.autoConnectEnabled = !client();
    }
    changed();
}

void SetupSheet::clickBroadcast(bool checked)
{
    m_values[Item::Broadcast] = checked ? "1" : "0";
    if (!checked)
        m_values[Item::Multicast] = "1";
    changed();
}

void SetupSheet::clickMulticast(bool checked)
{
    m_values[Item::Multicast] = checked ? "1" : "0";
    if (!checked)
        m_values[Item::Broadcast] = "1";
    changed();
}

void SetupSheet::edit(Item item, const std::string& value)
{
    switch (item) {
    case Item::MacAddress:
    case Item::DynamicIp:
    case Item::BroadcastPort:
    case Item::MulticastPort:
        return;
    case Item::ClientMode:
        chooseClient(on(value));
        return;
    case Item::Dhcp:
        setDhcp(on(value));
        return;
    case Item::Udp:
        clickUdp(on(value));
        return;
    case Item::Tcp:
        clickTcp(on(value));
        return;
    case Item::Broadcast:
        clickBroadcast(on(value));
        return;
    case Item::Multicast:
        clickMulticast(on(value));
        return;
    case Item::AutoConnect:
        if (m_controls.autoConnectEnabled)
            m_values[item] = on(value) ? "1" : "0";
        changed();
        return;
    default:
        m_values[item] = value.substr(0, settingTextLimit(static_cast<int>(item)));
        changed();
        return;
    }
}

bool SetupSheet::setFileValue(int item, const std::string& value)
{
    if (item < 1 || item > kItemCount || loadRule(item) == LoadRule::Ignored)
        return false;
    std::array<std::string, kItemCount> values;
    values[static_cast<std::size_t>(item - 1)] = value;
    // The other items are empty and so untouched.
    std::vector<int> empty;
    std::vector<RefusedItem> refused;
    DeviceItems edited = m_values;
    applySettingValues(values, edited, empty, refused);
    if (std::find(empty.begin(), empty.end(), item) != empty.end()) {
        m_prompter.message(kItemEmpty, {}, platform::MessageIcon::Warning);
        return false;
    }
    if (!refused.empty()) {
        showRefused(refused.front());
        return false;
    }
    const std::string& newValue = edited.values[static_cast<std::size_t>(item - 1)];
    // A single packet-type switch acts as a click on it would, so that
    // setting UDP on turns TCP off rather than being undone by the rule that
    // exactly one is on.
    switch (static_cast<Item>(item)) {
    case Item::Udp:
        clickUdp(on(newValue));
        break;
    case Item::Tcp:
        clickTcp(on(newValue));
        break;
    case Item::Broadcast:
        clickBroadcast(on(newValue));
        break;
    case Item::Multicast:
        clickMulticast(on(newValue));
        break;
    default:
        m_values.values[static_cast<std::size_t>(item - 1)] = newValue;
        break;
    }
    applyPageRules();
    return true;
}

bool SetupSheet::submit()
{
    for (int item = 1; item <= kItemCount; ++item) {
        const std::string& value = m_values.values[static_cast<std::size_t>(item - 1)];
        if (item == static_cast<int>(Item::DeviceName) && !nameAcceptable(value)) {
            m_prompter.message(kNameRefused, kNameRefusedTitle, platform::MessageIcon::Error);
            return false;
        }
        if ((item == static_cast<int>(Item::DataPort) || item == static_cast<int>(Item::ClientDestinationPort))
            && !portAcceptable(value)) {
            m_prompter.message(kPortRefused, kPortRefusedTitle, platform::MessageIcon::Information);
            return false;
        }
    }
    MacAddress mac {};
    std::copy_n(m_header.begin() + offset::kMac, mac.size(), mac.begin());
    m_setConfig = buildSetConfig(m_values, mac);
    m_submitted = true;
    return true;
}

void SetupSheet::clickSave()
{
    const std::string path
        = m_prompter.saveFile("Save", std::string(kSettingFileFilter), std::string(kSaveProposedName));
    if (!path.empty())
        saveTo(path);
}

void SetupSheet::clickLoad()
{
    const std::string path
        = m_prompter.openFile("Open", std::string(kSettingFileFilter), std::string(kLoadProposedName));
    if (!path.empty())
        loadFrom(path);
}

bool SetupSheet::saveTo(const std::string& path)
{
    auto failedToOpen = [&] {
        m_prompter.beep(kBeepHz, kBeepMs);
        m_prompter.message(kFailedToOpen + path, {}, platform::MessageIcon::Error);
        return false;
    };
    // A file that cannot be written is said before the name is checked.
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (!std::filesystem::is_directory(folder.empty() ? std::filesystem::path(".") : folder, error))
        return failedToOpen();
    if (m_values[Item::DeviceName].find(' ') != std::string::npos) {
        m_prompter.message(kNameRefused, kNameRefusedTitle, platform::MessageIcon::Error);
        return false;
    }
    // A file its own Load would refuse is no setting file: CR LF inside a
    // name would shift every later line, a list index past its list cannot
    // be loaded back.
    if (const auto refused = unloadableValues(m_values); !refused.empty()) {
        std::string text = "The file is not saved:";
        for (const auto& item : refused)
            text += "\n" + refusedItemMessage(item);
        m_prompter.message(text, kFileInfoTitle, platform::MessageIcon::Error);
        return false;
    }
    // Saving over a longer file leaves its tail, which loading never reads.
    // The file is written whole through a temporary file all the same: a
    // failed save leaves the old file as it was, and a link or a device in
    // its place is not written. (No lock: the old bytes are only kept behind
    // the 43 lines, never merged.)
    std::string text = formatSettingFile(m_values);
    if (auto old = platform::readDataFile(path); old.ok() && old->size() > text.size())
        text += old->substr(text.size());
    if (!platform::writeFileAtomic(path, text).ok())
        return failedToOpen();
    m_prompter.message(kFileSaved, kFileInfoTitle, platform::MessageIcon::Information);
    return true;
}

void SetupSheet::showRefused(const RefusedItem& refused)
{
    m_prompter.message(refusedItemMessage(refused) + "; the item is left unchanged.", kNameRefusedTitle,
        platform::MessageIcon::Warning);
}

bool SetupSheet::loadFrom(const std::string& path)
{
    m_lastLoad = {};
    auto failedToOpen = [&] {
        m_prompter.beep(kBeepHz, kBeepMs);
        m_prompter.message(kFailedToOpen + path, {}, platform::MessageIcon::Error);
        return false;
    };
    // A directory or a device opens, but is no setting file: reading it
    // fails or yields nothing, which would report every item as empty.
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        return failedToOpen();
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open())
        return failedToOpen();
    std::string data;
    char buffer[4096];
    while (file && data.size() <= kSettingFileLimit) {
        file.read(buffer, sizeof buffer);
        data.append(buffer, static_cast<std::size_t>(file.gcount()));
    }
    if (file.bad())
        return failedToOpen();
    if (data.size() > kSettingFileLimit) {
        m_prompter.message(kFileTooLarge, {}, platform::MessageIcon::Warning);
        return false;
    }
    LoadReport report;
    report.read = true;
    report.lines = settingLinesIn(data);
    applySettingValues(readSettingValues(data), m_values, report.emptyItems, report.refusedItems);
    // Items past the end of a file cut short are missing, not empty.
    std::erase_if(report.emptyItems, [&](int item) { return item > report.lines; });
    for (std::size_t i = 0; i < report.emptyItems.size(); ++i)
        m_prompter.message(kItemEmpty, {}, platform::MessageIcon::Warning);
    for (const auto& item : report.refusedItems)
        showRefused(item);
    if (report.lines < kItemCount)
        m_prompter.message("The file ends after line " + std::to_string(report.lines) + " of "
                + std::to_string(kItemCount) + "; items " + std::to_string(report.lines + 1) + " to "
                + std::to_string(kItemCount) + " are not loaded.",
            kNameRefusedTitle, platform::MessageIcon::Warning);
    applyPageRules();
    for (int item = 1; item <= kItemCount; ++item) {
        const bool applied = loadRule(item) != LoadRule::Ignored && item <= report.lines
            && std::find(report.emptyItems.begin(), report.emptyItems.end(), item) == report.emptyItems.end()
            && std::none_of(report.refusedItems.begin(), report.refusedItems.end(),
                [&](const RefusedItem& refused) { return refused.item == item; });
        report.applied += applied ? 1 : 0;
    }
    m_lastLoad = std::move(report);
    return true;
}

} // namespace utility::devmgmt
