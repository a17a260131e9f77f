#pragma once

#include "mfg/config_files.h"
#include "mfg/isp.h"
#include "mfg/serial_link.h"
#include "platform/prompter.h"

#include <array>
#include <functional>
#include <string>
#include <vector>

namespace mfg {

// Whether "\\.\COMn" can be opened for reading and writing.
using PortProbe = std::function<bool(int number)>;
PortProbe systemPortProbe(const SerialOpener& opener);

struct PortEntry {
    std::string text; // "COM3"
    int number; // 3
};

// The Option page: its fields as plain data, and what its buttons do.
class OptionPage {
public:
    enum class Field { None, MacStart, MacEnd };

    OptionPage(std::string directory, MfgSettings& settings, platform::Prompter& prompter, PortProbe probe);

    // Page creation: erase list, Option.dat, port list, com.dat.
    void setUp();
    // The page comes to the front: the MAC start shows the current MAC.
    void activate();
    // Validates and saves; false when a MAC field was refused.
    bool apply();
    // Tries the selected port with the transport DetectUsbPort chooses.
    bool checkPort(SerialLink& link, IspSession& isp);

    // Typing into the MAC fields: upper case, at most 12 characters.
    void typeMacStart(const std::string& text) { m_macStart = macFieldText(text); }
    void typeMacEnd(const std::string& text) { m_macEnd = macFieldText(text); }
    // Browse buttons: a file dialog with the field's filter fills the field.
    void browseLoader();
    void browseTestFirmware();
    void browseProductionFirmware();
    void browseEeprom();
    void browseLog();

    static constexpr std::size_t kPathLimit = 128;
    static constexpr int kFastSpeedEntry = 0; // "921.6K"
    static constexpr int kSlowSpeedEntry = 1; // "115.2K"
    static constexpr std::size_t kMacLimit = 12;

    // Fields.
    std::string loaderPath, testFirmwarePath, productionFirmwarePath, eepromPath, logPath;
    std::array<std::uint8_t, 4> clientAddress {};
    const std::string& macStart() const { return m_macStart; }
    const std::string& macEnd() const { return m_macEnd; }
    const std::vector<std::string>& eraseEntries() const { return m_eraseEntries; }
    int eraseSelection = 3;
    const std::vector<PortEntry>& ports() const { return m_ports; }
    int portSelection = -1;
    const std::vector<std::string>& speedEntries() const { return m_speedEntries; }
    int speedSelection = 1;
    Field focus() const { return m_focus; }

private:
    static std::string macFieldText(const std::string& text);
    void browse(std::string& field, const char* filter);
    void readOptionFile();
    void listPorts();
    void readComFile();

    std::string m_directory;
    MfgSettings& m_settings;
    platform::Prompter& m_prompter;
    PortProbe m_probe;
    std::string m_macStart, m_macEnd;
    std::vector<std::string> m_eraseEntries;
    std::vector<PortEntry> m_ports;
    std::vector<std::string> m_speedEntries { "921.6K", "115.2K" };
    Field m_focus = Field::None;
};

// The "Test Item Selection" dialog.
class ItemSelection {
public:
    ItemSelection(std::string directory, platform::Prompter& prompter);

    // Ticks the rows from item.dat, creating the file when it is missing.
    void open();
    void selectAll() { checked.fill(true); }
    void unselectAll() { checked.fill(false); }
    // Saves the ticked rows as the new ItemMask; returns the mask.
    int apply();

    std::array<bool, 8> checked {};

private:
    std::string m_directory;
    platform::Prompter& m_prompter;
};

// Dotted text to the four parts of an address control; anything that is not
// four numbers 0-255 gives 0.0.0.0.
std::array<std::uint8_t, 4> parseDottedAddress(const std::string& text);

} // namespace mfg
