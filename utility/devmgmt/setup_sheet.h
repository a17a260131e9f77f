#pragma once

#include "platform/prompter.h"
#include "utility/devmgmt/device_config.h"
#include "utility/devmgmt/device_view.h"
#include "utility/devmgmt/setting_file.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace utility::devmgmt {

inline constexpr const char* kSetupTitle = "Device Setup";
inline constexpr const char* kNetworkPageTitle = "Network Setting";
inline constexpr const char* kSerialPageTitle = "Serial Port Setting";
inline constexpr const char* kNameRefused
    = "1. Device name must LESS THAN 16 LETTERS\n2. NO SPACES between the letters.";
inline constexpr const char* kNameRefusedTitle = "Error Info";
inline constexpr const char* kPortRefused = "Port number(s) should greater than 1024 or smaller than 65535.";
inline constexpr const char* kPortRefusedTitle = "Searching Result";
inline constexpr std::size_t kSheetHeaderSize = 70; // header through connection state

// Limits of the sheet's text controls.
inline constexpr std::size_t kNameLimit = 16;
inline constexpr std::size_t kAddressLimit = 15;
inline constexpr std::size_t kLongTextLimit = 36;

// What the last Load did with the file.
struct LoadReport {
    bool read = false; // the file was opened and read
    int lines = 0; // item lines the file holds, up to 43
    int applied = 0; // items that changed the pages' values
    std::vector<int> emptyItems;
    std::vector<RefusedItem> refusedItems;
    // Everything the file says reached the sheet: all 43 lines, no item refused.
    bool complete() const { return read && lines == kItemCount && refusedItems.empty(); }
};

// What the network page's controls allow at the moment.
struct NetworkControls {
    bool dataPortEnabled = true;
    bool destinationEnabled = false; // destination port and hostname
    bool autoConnectEnabled = false;
    bool dynamicIpShown = false; // the read-only field; the static one otherwise
};

// The device setup sheet's controller: the values of both pages as the 43
// item texts of the setting file, the network page's rules, Submit's checks
// and the SetConfig it builds, and the sheet's Save and Load of a setting
// file. The pages bind to it; it decides everything.
class SetupSheet {
public:
    explicit SetupSheet(platform::Prompter& prompter);

    // Fills both pages from a device's row: the record as the table holds it
    // and its list index. Values the pages cannot show (a list index past
    // the list, a timeout above 20, control characters in a text) are said
    // at once; they stay as the device sent them, so Submit sends them back
    // unchanged, but the setting file does not take them.
    void open(const DeviceEntry& entry, std::size_t row);
    bool opened() const { return m_opened; }

    // The pages' values; item 2 is the MAC shown, items 8 and 9 are fixed.
    const DeviceItems& values() const { return m_values; }
    const std::string& value(Item item) const { return m_values[item]; }
    // Sets a value as the user would type or choose it (text limits apply)
    // and applies the page rules a click on that control applies. Items the
    // sheet has no control for (2, 5, 8, 9) are not changed.
    void edit(Item item, const std::string& value);
    // Sets item 1..43 as a line of the setting file would: the load rules,
    // "Item is empty!!" for an empty value, then the rules of an opening page.
    // False when the value was not applied (empty, or an item loading ignores).
    bool setFileValue(int item, const std::string& value);

    // The network page's rules.
    void chooseClient(bool client);
    void setDhcp(bool enabled);
    void clickUdp(bool checked);
    void clickTcp(bool checked);
    void clickBroadcast(bool checked);
    void clickMulticast(bool checked);
    // The rules applied when the page opens or becomes active.
    void applyPageRules();
    const NetworkControls& controls() const { return m_controls; }

    // Submit: checks items 1 to 43 in order; on a refused value shows its
    // message and returns false (the sheet stays open). Otherwise builds the
    // SetConfig and returns true.
    bool submit();
    bool submitted() const { return m_submitted; }
    void markNotSubmitted() { m_submitted = false; }
    const DeviceConfig& setConfig() const { return m_setConfig; }
    // The record's first bytes, from which the MAC of the SetConfig is taken.
    const std::array<std::uint8_t, kSheetHeaderSize>& header() const { return m_header; }

    // Save and Load with the file dialogs.
    void clickSave();
    void clickLoad();
    // The same without the dialog; true when the file was written or read.
    // Saving refuses values loading would refuse. A file that ends before
    // its 43rd line loads the lines it has and says where it ends.
    bool saveTo(const std::string& path);
    bool loadFrom(const std::string& path);
    const LoadReport& lastLoad() const { return m_lastLoad; }

    // Called after values changed from outside a page (load, open).
    void setChangedCallback(std::function<void()> callback) { m_changed = std::move(callback); }

private:
    void showRefused(const RefusedItem& refused);
    bool udp() const;
    bool client() const;
    void changed();

    platform::Prompter& m_prompter;
    bool m_opened = false;
    bool m_submitted = false;
    DeviceItems m_values;
    NetworkControls m_controls;
    std::array<std::uint8_t, kSheetHeaderSize> m_header {};
    DeviceConfig m_setConfig;
    LoadReport m_lastLoad;
    std::function<void()> m_changed;
};

// Item 1 as Submit and Save check it: no space (and no longer than the
// control takes).
bool nameAcceptable(const std::string& name);
// Items 7 and 11 as Submit checks them.
bool portAcceptable(const std::string& port);

} // namespace utility::devmgmt
