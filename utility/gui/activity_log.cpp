#include "utility/gui/activity_log.h"

#include <cstdlib>
#include <iterator>

namespace utility::gui {

using devmgmt::Item;

namespace {

// The serial line the sheet's lists describe, as "9600 8N1, flow none".
std::string serialText(const devmgmt::DeviceItems& v)
{
    static const char* const rates[]
        = { "921600", "115200", "57600", "38400", "19200", "9600", "4800", "2400", "1200" };
    static const char* const parities[] = { "O", "E", "N" };
    static const char* const stops[] = { "1", "1.5", "2" };
    static const char* const flows[] = { "Xon/Xoff", "hardware", "none" };
    const auto pick = [&v](Item item, const auto& names) -> std::string {
        const int index = std::atoi(v[item].c_str());
        const int count = static_cast<int>(std::size(names));
        return index >= 0 && index < count ? names[index] : "?";
    };
    const int dataBits = std::atoi(v[Item::DataBits].c_str());
    const std::string bits = dataBits >= 0 && dataBits <= 3 ? std::to_string(dataBits + 5) : "?";
    return pick(Item::BaudRate, rates) + " " + bits + pick(Item::Parity, parities) + pick(Item::StopBits, stops)
        + ", flow " + pick(Item::FlowControl, flows);
}

} // namespace

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
        + ", data port " + v[Item::DataPort] + ", serial " + serialText(v);
    if (outcome == Outcome::Failed)
        return "Setup: sent the settings (" + sent + ") to " + device + "; no reply (timed out)";
    return "Setup: sent the settings (" + sent + ") to " + device + "; the device accepted them and restarts";
}

} // namespace utility::gui
