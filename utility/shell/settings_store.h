#pragma once

#include "platform/prompter.h"
#include "utility/shell/app_settings.h"

#include <array>
#include <cstddef>
#include <functional>
#include <string>

namespace utility::shell {

// The views that put their current values into the settings before they are
// written at exit, in the order they are asked.
enum class HandOver {
    DeviceManagement, // items 6 and 7
    Dhcp, // items 13-19; saves "dhcp.dat" as well
    Terminal, // items 21-36
    VirtualPorts, // saves "vsp.dat"
    Count,
};

// Keeps `AppSettings` in "Qelta.dat": reads it in the working directory at
// start-up and writes it back to the same path at exit.
class SettingsStore {
public:
    static constexpr const char* kFileName = "Qelta.dat";
    static constexpr std::size_t kReadLimit = 10000;

    SettingsStore(AppSettings& settings, platform::Prompter& prompter)
        : m_settings(settings)
        , m_prompter(prompter)
    {
    }

    // Told `true` before the settings are read and `false` afterwards, so the
    // device view can tell its own check-box changes from the load.
    void setLoadingHook(std::function<void(bool loading)> hook) { m_loadingHook = std::move(hook); }
    bool loading() const { return m_loading; }

    void setHandOver(HandOver step, std::function<void(AppSettings&)> handOver)
    {
        m_handOver[static_cast<std::size_t>(step)] = std::move(handOver);
    }

    // Reads the file (or creates it with the defaults). Problems are reported
    // through the prompter; the settings are usable either way. False when
    // the file could neither be read nor created.
    bool load();
    // Asks the views for their values and writes the 39 lines: the items
    // this run changed over what the file holds by then (another program may
    // have saved meanwhile). False (after telling the user) when the file
    // cannot be opened or written.
    bool save();

    // Full path of the settings file; where the exit save writes.
    const std::string& path() const { return m_path; }
    // That path without the file name (with its trailing separator).
    const std::string& directory() const { return m_directory; }

private:
    void setLoading(bool loading);
    // Keeps the file that could not be read as "Qelta.dat.bad" and says so.
    void keepBadFile(const std::string& problem);

    AppSettings& m_settings;
    AppSettings m_loaded; // as read (or defaulted) at start, then as last saved
    platform::Prompter& m_prompter;
    std::function<void(bool)> m_loadingHook;
    std::array<std::function<void(AppSettings&)>, static_cast<std::size_t>(HandOver::Count)> m_handOver;
    bool m_loading = false;
    std::string m_path;
    std::string m_directory;
};

} // namespace utility::shell
