#include "utility/shell/interface_selection.h"

#include <cstddef>

namespace utility::shell {
namespace {

const std::string kSocketsFailedMessage = "Windows socket interface initialization failed!";
const std::string kHostNameFailedMessage = "Host name lookup failed!";
const std::string kHostInfoFailedMessage = "Host information lookup failed!";
const std::string kNoAdaptersMessage = "Network adapters lookup failed!";
const std::string kAdapterFailedMessage = "Failed to retrieve the network adapter information!\r\n"
                                          "Please check if the adapter's IP address is configured properly.";
const std::string kDialogTitle(kInterfaceDialogTitle);
const std::string kDialogText(kInterfaceDialogText);
const std::string kDialogLabel(kInterfaceDialogLabel);
const std::string kNoAddress = "0.0.0.0";
constexpr std::size_t kHostNameLimit = 255;

// Addresses compare as numbers when both are dotted quads, so "010.0.0.1"
// typed into the file still finds its adapter.
bool sameAddress(const std::string& a, const std::string& b)
{
    const auto numberA = platform::parseIpv4(a);
    const auto numberB = platform::parseIpv4(b);
    if (numberA && numberB)
        return *numberA == *numberB;
    return a == b;
}

} // namespace

NetworkEnvironment NetworkEnvironment::system()
{
    NetworkEnvironment environment;
    environment.startSockets = [] { return true; };
    environment.hostName = [] { return platform::hostName(); };
    environment.resolveHost
        = [](const std::string&) -> std::optional<std::vector<std::string>> { return platform::hostAddresses(); };
    environment.listAdapters = [] { return platform::listInterfaces(); };
    environment.virtualPortsBusy = [] { return false; };
    return environment;
}

InterfaceSelection selectNetworkInterface(
    AppSettings& settings, platform::Prompter& prompter, const NetworkEnvironment& environment)
{
    InterfaceSelection result;
    if (environment.startSockets && !environment.startSockets()) {
        prompter.message(kSocketsFailedMessage);
        return result;
    }
    std::string hostName = environment.hostName ? environment.hostName() : std::string();
    if (hostName.empty()) {
        prompter.message(kHostNameFailedMessage);
        return result;
    }
    if (hostName.size() > kHostNameLimit)
        hostName.resize(kHostNameLimit);
    const auto addresses = environment.resolveHost ? environment.resolveHost(hostName) : std::nullopt;
    if (!addresses) {
        prompter.message(kHostInfoFailedMessage);
        return result;
    }
    if (addresses->empty()) {
        prompter.message(kNoAdaptersMessage);
        return result;
    }

    if (settings.localHostAddress == kNoAddress)
        settings.localHostAddress = addresses->back();

    std::string effective = settings.localHostAddress;
    if (addresses->size() == 1) {
        effective = addresses->front();
    } else if (!(environment.virtualPortsBusy && environment.virtualPortsBusy())) {
        const int last = static_cast<int>(addresses->size()) - 1;
        const int chosen = prompter.choose(kDialogTitle, kDialogText, kDialogLabel, *addresses, last);
        result.dialogShown = true;
        effective = (*addresses)[static_cast<std::size_t>(chosen >= 0 && chosen <= last ? chosen : last)];
    }
    result.effectiveAddress = effective;

    const auto adapters
        = environment.listAdapters ? environment.listAdapters() : std::vector<platform::InterfaceAddress> {};
    const platform::InterfaceAddress* match = nullptr;
    for (const auto& adapter : adapters) {
        if (sameAddress(adapter.address, effective)) {
            match = &adapter;
            break;
        }
    }
    if (!match) {
        // The address is still used this run, but not remembered: the
        // adapter may come back with its configuration next time.
        prompter.message(kAdapterFailedMessage);
        return result;
    }

    result.selected = true;
    result.netmask = match->netmask;
    settings.localHostAddress = effective;
    result.item38Updated = true;
    if (environment.giveToDeviceView) {
        environment.giveToDeviceView(effective, result.netmask);
        result.deviceViewUpdated = true;
    }
    return result;
}

} // namespace utility::shell
