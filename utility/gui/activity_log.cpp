#include "utility/gui/activity_log.h"

namespace utility::gui {

using devmgmt::Item;

std::string searchLogLine(devmgmt::DeviceView& view)
{
    const bool ip = view.searchMode() == devmgmt::SearchMode::Ip;
    const auto& settings = view.searchSettings();
    const std::string how = ip ? "IP search of " + view.ipSearchAddress()
        : settings.kind == devmgmt::SearchKind::Multicast
        ? "Search (multicast Query to " + settings.multicastGroup + ")"
        : "Search (broadcast Query to " + settings.broadcastAddress + ")";
    if (!view.socketError().empty())
        return how + ": not sent: " + view.socketError();
    const std::size_t found = view.deviceCount();
    if (found == 0)
        return how + ": no device answered within " + std::to_string(view.periods().search) + " s";
    if (ip)
        return how + ": the device answered";
    return how + ": " + std::to_string(found) + (found == 1 ? " device" : " devices") + " found";
}

std::string setupLogLine(const devmgmt::SetupSheet& sheet, devmgmt::DeviceSetup::Outcome outcome,
    const std::string& address, const std::string& mac)
{
    using Outcome = devmgmt::DeviceSetup::Outcome;
    const std::string device = "device " + mac + " at " + address;
    if (outcome == Outcome::Disconnected)
        return "Setup: " + device + " did not answer the query (timed out); nothing was sent";
    if (outcome != Outcome::Failed && outcome != Outcome::Done)
        return {};
    const auto& v = sheet.values();
    const bool dhcp = v[Item::Dhcp] == "1";
    const std::string sent = "name " + v[Item::DeviceName] + ", "
        + (dhcp ? std::string("DHCP")
                : "IP " + v[Item::StaticIp] + "/" + v[Item::Netmask] + " gateway " + v[Item::Gateway])
        + ", data port " + v[Item::DataPort];
    if (outcome == Outcome::Failed)
        return "Setup: sent the settings (" + sent + ") to " + device + "; no reply (timed out)";
    return "Setup: sent the settings (" + sent + ") to " + device + "; the device accepted them and restarts";
}

} // namespace utility::gui
