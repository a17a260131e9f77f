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
    // False: the port com.dat names, which does not open now. It stays in
    // the list and selected, so that Apply never moves the station to
    // another port (the machine's console, say) unless the operator picks it.
    bool present = true;
};

// The Option page: its fields as plain data, and what its buttons do.
class OptionPage {
public:
    enum class Field { None, MacStart, MacEnd, Port };

    OptionPage(std::string directory, MfgSettings& settings, platform::Prompter& prompter, PortProbe probe);

    // Page creation: erase list, Option.dat, port list, com.dat.
    void setUp();
    // The page comes to the front, or a run has ended: the MAC start shows
    // the current MAC.
    void activate();
    // Validates and saves; false when a field was refused, a run goes on or
    // Option.dat or com.dat could not be written.
    bool apply();

    // While a run goes on nothing the page does may reach it: Apply and the
    // port check refuse, and the port the run holds is listed all the same.
    void setRunning(bool running) { m_running = running; }
    bool running() const { return m_running; }
    static constexpr const char* kRunningReason = "A board is being tested: Apply waits until the run has ended.";
    // The COM name this program has open, which no probe can open meanwhile.
    void setPortInUse(const std::string& comName) { m_portInUse = comName; }

    // The current MAC lies above the end: no board gets an address until a
    // new range is applied. The same texts applied again keep it so.
    bool rangeUsedUp() const { return m_rangeUsedUp; }
    static constexpr const char* kRangeUsedUp = "range used up";
    // A shared records store named on the command line (records.dat names
    // one too).
    std::string recordsUrl;
    // Where the MAC addresses come from, when not from these fields: with a
    // shared store they only show its range.
    std::string macSourceNote() const;
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
    // The port-I/O module for direct UART access; empty: serial driver only.
    std::string portIoModule;
    Field focus() const { return m_focus; }

private:
    static std::string macFieldText(const std::string& text);
    void browse(std::string& field, const char* filter);
    void readOptionFile();
    void listPorts();
    void readComFile();
    void showStart(const std::string& stored);

    std::string m_directory;
    MfgSettings& m_settings;
    platform::Prompter& m_prompter;
    PortProbe m_probe;
    std::string m_macStart, m_macEnd;
    std::vector<std::string> m_eraseEntries;
    std::vector<PortEntry> m_ports;
    std::vector<std::string> m_speedEntries { "921.6K", "115.2K" };
    Field m_focus = Field::None;
    bool m_running = false;
    std::string m_portInUse;
    // The start as stored (a used-up range at FFFFFFFFFFFF has 13 digits),
    // and the texts the fields showed for it.
    std::string m_storedStart, m_shownStart, m_shownEnd;
    bool m_rangeUsedUp = false;
};

// The "Test Item Selection" dialog.
class ItemSelection {
public:
    ItemSelection(std::string directory, platform::Prompter& prompter);

    // Ticks the rows from item.dat. A missing one is answered by writing
    // Item.dat with every item ticked (the dialog) unless `create` is false
    // (only showing the items writes nothing).
    void open(bool create = true);
    void selectAll() { checked.fill(true); }
    void unselectAll() { checked.fill(false); }
    // Saves the ticked rows as the new ItemMask; returns the mask, or -1
    // when a run goes on (nothing is written then) or item.dat could not be
    // written (the operator is told).
    int apply();
    void setRunning(bool running) { m_running = running; }
    bool running() const { return m_running; }

    std::array<bool, 8> checked {};

private:
    std::string m_directory;
    platform::Prompter& m_prompter;
    bool m_running = false;
};

// Dotted text to the four parts of an address control; anything that is not
// four numbers 0-255 gives 0.0.0.0.
std::array<std::uint8_t, 4> parseDottedAddress(const std::string& text);

} // namespace mfg
