#include "utility/shell/settings_store.h"

#include "platform/text_file.h"

#include <cerrno>

namespace utility::shell {
namespace {

constexpr int kBeepHz = 5000;
constexpr int kBeepMs = 100;

const std::string kFormatUpdatedMessage
    = "The format of application setting file has been updated with default settings!";
const std::string kTooLargeMessage = std::string(SettingsStore::kFileName) + " file size is too large!\r\n";
const std::string kCreateFailedMessage
    = std::string("Failed to create application setting file") + SettingsStore::kFileName + "! \r\n";
const std::string kSaveFailedMessage
    = std::string("Failed to save application settings! (") + SettingsStore::kFileName + " not found)\r\n";

std::string settingsProblem(ParseStatus status, int line)
{
    if (status == ParseStatus::VersionMismatch)
        return std::string(SettingsStore::kFileName) + " line " + std::to_string(line) + " is not the format version "
            + std::string(kSettingsFormatVersion);
    return std::string(SettingsStore::kFileName) + " ends at line " + std::to_string(line) + " of "
        + std::to_string(AppSettings::kItemCount);
}

// The file to write: the items this run changed (they differ from what it
// loaded) over what the file holds now, so two programs that save at once
// keep each other's changes. A file that cannot be parsed now is replaced
// by ours whole.
std::string mergedSettingsFile(const AppSettings& ours, const AppSettings& loaded, const platform::CurrentFile& disk)
{
    AppSettings onDisk;
    if (!disk.exists || parseSettingsFile(disk.bytes, onDisk) != ParseStatus::Ok)
        return formatSettingsFile(ours);
    std::string file;
    for (int item = 0; item < AppSettings::kItemCount; ++item) {
        const std::string mine = formatSettingsLine(ours, item);
        file += mine != formatSettingsLine(loaded, item) ? mine : formatSettingsLine(onDisk, item);
    }
    return file;
}

} // namespace

void SettingsStore::setLoading(bool loading)
{
    m_loading = loading;
    if (m_loadingHook)
        m_loadingHook(loading);
}

void SettingsStore::keepBadFile(const std::string& problem)
{
    auto copy = platform::keepBadCopy(m_path);
    m_prompter.message(problem + (copy.ok() ? "; the file is kept as " + *copy : "; " + copy.error().message) + "\r\n");
}

bool SettingsStore::load()
{
    setLoading(true);
    // The path is fixed now, even when the file cannot be created: a file
    // that appears there during the run still receives the exit save.
    m_path = platform::absolutePath(kFileName);
    m_directory = platform::directoryOf(m_path);

    bool ok = true;
    bool tooLarge = false;
    auto bytes = platform::readDataFile(m_path, kReadLimit, &tooLarge);
    if (bytes.ok()) {
        // Only the first 10,000 bytes are read; if the 39 lines lie within
        // them they are used, otherwise the file counts as cut short.
        if (tooLarge) {
            m_prompter.message(kTooLargeMessage);
            keepBadFile(std::string(kFileName) + " is longer than " + std::to_string(kReadLimit) + " bytes");
        }
        int line = 0;
        const ParseStatus status = parseSettingsFile(*bytes, m_settings, &line);
        if (status != ParseStatus::Ok) {
            // The file on disk stays as it is until the exit save, and a
            // copy of it stays after that.
            m_settings.setDefaults();
            m_prompter.message(kFormatUpdatedMessage);
            keepBadFile(settingsProblem(status, line));
        }
    } else if (bytes.error().code == ENOENT) {
        // Created with the defaults unless another program did it meanwhile.
        auto created = platform::updateFileAtomic(m_path, kReadLimit, [](const platform::CurrentFile& current) {
            return current.exists ? std::nullopt : std::optional<std::string>(formatSettingsFile(AppSettings {}));
        });
        if (created.ok()) {
            m_settings.setDefaults();
        } else {
            m_prompter.beep(kBeepHz, kBeepMs);
            m_prompter.message(kCreateFailedMessage);
            ok = false;
        }
    } else {
        // A link, a FIFO, a folder or an unreadable file: not ours to read,
        // nor to write at exit. The settings keep their initial values, as
        // when the file cannot be created.
        m_prompter.beep(kBeepHz, kBeepMs);
        m_prompter.message(bytes.error().message + "\r\n");
        ok = false;
    }
    m_loaded = m_settings;
    setLoading(false);
    return ok;
}

bool SettingsStore::save()
{
    // Checked before the hand-over: the views save their own files while
    // handing over, and none of that happens when this file cannot be written.
    if (m_path.empty() || !platform::canOpenForWriting(m_path)) {
        m_prompter.beep(kBeepHz, kBeepMs);
        m_prompter.message(kSaveFailedMessage);
        return false;
    }
    for (auto& handOver : m_handOver)
        if (handOver)
            handOver(m_settings);
    // The whole file is written; older, longer content is cut off so the
    // file never carries stale lines behind the 39 items.
    auto saved = platform::updateFileAtomic(m_path, kReadLimit,
        [&](const platform::CurrentFile& current) { return mergedSettingsFile(m_settings, m_loaded, current); });
    if (!saved.ok()) {
        m_prompter.beep(kBeepHz, kBeepMs);
        m_prompter.message(kSaveFailedMessage);
        return false;
    }
    m_loaded = m_settings;
    return true;
}

} // namespace utility::shell
