#pragma once

#include "platform/data_files.h"
#include "platform/prompter.h"
#include "utility/shell/app_settings.h"
#include "utility/shell/interface_selection.h"
#include "utility/shell/settings_store.h"
#include "utility/shell/startup.h"

#include <string>
#include <string_view>
#include <vector>

namespace utility::shell {

// The utility's start-up and exit around its settings: the driver INF check,
// the settings load, the interface selection and the exit save. Front ends
// (the window program, the command line) run the same sequence through it.
class Shell {
public:
    Shell(platform::Prompter& prompter, NetworkEnvironment network = NetworkEnvironment::system())
        : m_prompter(prompter)
        , m_network(std::move(network))
        , m_store(m_settings, prompter)
    {
    }
    Shell(const Shell&) = delete;
    Shell& operator=(const Shell&) = delete;

    // Runs the start-up in the working directory. False when the program
    // must end (no driver INF file, no sockets); the user has been told why.
    bool startUp();
    // The exit save (hand-over, then the file). False when it failed.
    bool shutDown() { return m_store.save(); }

    AppSettings& settings() { return m_settings; }
    SettingsStore& store() { return m_store; }
    NetworkEnvironment& network() { return m_network; }
    const std::string& driverInf() const { return m_driverInf; }
    std::string_view hardwareId() const { return hardwareIdFor(m_driverInf); }
    const InterfaceSelection& selection() const { return m_selection; }
    // True when "Qelta.dat" was read, or created, without a problem: the
    // start-up search runs only then.
    bool settingsLoaded() const { return m_settingsLoaded; }
    // Where the INF file is looked for after the working directory.
    void setDataDirectories(std::vector<std::string> directories) { m_dataDirectories = std::move(directories); }

private:
    platform::Prompter& m_prompter;
    NetworkEnvironment m_network;
    AppSettings m_settings;
    SettingsStore m_store;
    std::string m_driverInf;
    InterfaceSelection m_selection;
    bool m_settingsLoaded = false;
    std::vector<std::string> m_dataDirectories = platform::dataDirectories();
};

} // namespace utility::shell
