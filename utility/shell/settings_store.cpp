#include "utility/shell/settings_store.h"

#include "platform/text_file.h"

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

} // namespace

void SettingsStore::setLoading(bool loading)
{
    m_loading = loading;
    if (m_loadingHook)
        m_loadingHook(loading);
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
    auto bytes = platform::readFileBytes(m_path, kReadLimit, &tooLarge);
    if (bytes.ok()) {
        // Only the first 10,000 bytes are read; if the 39 lines lie within
        // them they are used, otherwise the file counts as cut short.
        if (tooLarge)
            m_prompter.message(kTooLargeMessage);
        if (parseSettingsFile(*bytes, m_settings) != ParseStatus::Ok) {
            // The file on disk stays as it is until the exit save.
            m_settings.setDefaults();
            m_prompter.message(kFormatUpdatedMessage);
        }
    } else if (platform::writeFileBytes(m_path, formatSettingsFile(AppSettings {})).ok()) {
        m_settings.setDefaults();
    } else {
        m_prompter.beep(kBeepHz, kBeepMs);
        m_prompter.message(kCreateFailedMessage);
        ok = false;
    }
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
    // Written from the first byte; older, longer content is cut off so the
    // file never carries stale lines behind the 39 items.
    if (!platform::writeFileBytes(m_path, formatSettingsFile(m_settings)).ok()) {
        m_prompter.beep(kBeepHz, kBeepMs);
        m_prompter.message(kSaveFailedMessage);
        return false;
    }
    return true;
}

} // namespace utility::shell
