#pragma once

#include "platform/net.h"
#include "platform/prompter.h"
#include "utility/shell/app_settings.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace utility::shell {

// The dialog shown when the host has several addresses.
inline constexpr std::string_view kInterfaceDialogTitle = "Selecting a network interface";
inline constexpr std::string_view kInterfaceDialogText
    = "Multiple network interfaces are detected!\r\n\r\nPlease select a network interface properly:";
inline constexpr std::string_view kInterfaceDialogLabel = "Network Interface";

// What the interface selection asks of the system and of the other views.
// Every member has a default that asks the real system (or reports nothing).
struct NetworkEnvironment {
    // Starts the socket layer; false when sockets are unavailable.
    std::function<bool()> startSockets;
    // The host name, or an empty string when it cannot be had.
    std::function<std::string()> hostName;
    // The host's IPv4 addresses in resolver order; nothing when the lookup fails.
    std::function<std::optional<std::vector<std::string>>(const std::string& hostName)> resolveHost;
    // Each adapter's first IPv4 address and netmask.
    std::function<std::vector<platform::InterfaceAddress>()> listAdapters;
    // True when the virtual port manager has a port held open by another
    // program or a connected port; changing the interface then would cut
    // those connections, so the user is not asked.
    std::function<bool()> virtualPortsBusy;
    // Receives the effective address and netmask once the adapter is found.
    std::function<void(const std::string& address, const std::string& netmask)> giveToDeviceView;

    // The real system: platform host name, addresses and adapters.
    static NetworkEnvironment system();
};

struct InterfaceSelection {
    bool selected = false; // an adapter with the effective address was found
    std::string effectiveAddress; // empty when the lookups failed
    std::string netmask; // empty unless selected
    bool dialogShown = false;
    bool item38Updated = false; // item 38 was set to the effective address
    bool deviceViewUpdated = false;
};

// Chooses the local interface the utility works on, asking the user (through
// `Prompter::choose`) when the host has several addresses. Updates item 38 of
// `settings`; problems are reported through the prompter.
InterfaceSelection selectNetworkInterface(
    AppSettings& settings, platform::Prompter& prompter, const NetworkEnvironment& environment);

} // namespace utility::shell
