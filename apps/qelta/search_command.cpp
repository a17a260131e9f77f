#include "apps/qelta/command.h"

#include "platform/event_loop.h"
#include "platform/net.h"
#include "utility/devmgmt/device_list_text.h"
#include "utility/devmgmt/device_view.h"

#include <charconv>
#include <cstdio>
#include <optional>

namespace qelta {

const std::string_view kSearchUsage
    = "[--broadcast[=ADDR] | --multicast[=GROUP] [--ttl N] [--no-loopback] | --ip ADDR] [--period N] [--yes] [--json]";

const std::string_view kSearchHelp = R"(usage: qelta [--local ADDR] search [OPTIONS]

Runs one device search exactly as the device view does (a 10 ms tick taking
one reply per tick; the search ends one search period after the last reply)
and prints the device table.

options:
  --broadcast[=ADDR]   network search by broadcast (the default), to ADDR
                       (default 255.255.255.255), device port 25122
  --multicast[=GROUP]  network search by multicast to GROUP (default
                       225.1.2.3), device port 25123
  --ttl N              multicast TTL, 1..128 (default 1)
  --no-loopback        switch multicast loopback off
  --ip ADDR            IP search: one Query to ADDR, device port 25124
  --local ADDR         use the local interface with this address
  --period N           search period in units of 100 ms, 5..1000 (default:
                       the setting in Qelta.dat); not saved
  --yes                answer yes when the device is outside the local
                       network segment (the default answer is no)
  --json               print a JSON array of objects with the keys no, name,
                       mac, dhcp, ip, port, mode and status

Messages the device view would show go to stderr with the same texts.
Exit status: 0 when devices were found, 1 when none (or the start-up
failed), 2 for bad arguments, 3 when the search socket cannot be opened
(its local port 25120, 25121 or 25125 taken by another program; stderr names
the address, the port and the reason). A failed save of Qelta.dat at exit
is reported on stderr and leaves the status as the search decided it.
)";

namespace {

struct SearchOptions {
    utility::devmgmt::SearchSettings settings;
    std::optional<std::string> ip;
    std::optional<int> period;
    bool yes = false;
    bool json = false;
};

std::optional<int> parseInt(std::string_view text)
{
    int value = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size())
        return std::nullopt;
    return value;
}

// Parses the arguments; an empty error text means they are fine.
std::string parse(const std::vector<std::string>& arguments, SearchOptions& options)
{
    bool broadcastGiven = false;
    bool multicastGiven = false;
    bool multicastOnly = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        auto valueOf = [&](std::string_view name) -> std::optional<std::string> {
            if (argument.rfind(std::string(name) + "=", 0) == 0)
                return argument.substr(name.size() + 1);
            return std::nullopt;
        };
        auto next = [&](std::string& out) {
            if (i + 1 >= arguments.size())
                return false;
            out = arguments[++i];
            return true;
        };
        std::string value;
        if (argument == "--broadcast") {
            broadcastGiven = true;
        } else if (auto address = valueOf("--broadcast")) {
            broadcastGiven = true;
            if (!platform::parseIpv4(*address))
                return "'" + *address + "' is not an IPv4 address";
            options.settings.broadcastAddress = *address;
        } else if (argument == "--multicast") {
            multicastGiven = true;
        } else if (auto group = valueOf("--multicast")) {
            multicastGiven = true;
            const auto parsed = platform::parseIpv4(*group);
            if (!parsed || (*parsed >> 28) != 0xE)
                return "'" + *group + "' is not a multicast group address";
            options.settings.multicastGroup = *group;
        } else if (argument == "--ttl") {
            if (!next(value))
                return "--ttl needs a number";
            const auto ttl = parseInt(value);
            if (!ttl || utility::devmgmt::checkRange(*ttl, 1, 128))
                return "--ttl: " + utility::devmgmt::checkRange(ttl.value_or(0), 1, 128).value_or("");
            options.settings.ttl = *ttl;
            multicastOnly = true;
        } else if (argument == "--no-loopback") {
            options.settings.loopback = false;
            multicastOnly = true;
        } else if (argument == "--ip") {
            if (!next(value))
                return "--ip needs an address";
            if (value.size() > 15 || !platform::parseIpv4(value))
                return "'" + value + "' is not an IPv4 address";
            options.ip = value;
        } else if (argument == "--period") {
            if (!next(value))
                return "--period needs a number";
            const auto period = parseInt(value);
            if (!period || utility::devmgmt::checkRange(*period, 5, 1000))
                return "--period: " + utility::devmgmt::checkRange(period.value_or(0), 5, 1000).value_or("");
            options.period = *period;
        } else if (argument == "--yes") {
            options.yes = true;
        } else if (argument == "--json") {
            options.json = true;
        } else {
            return "unknown option '" + argument + "'";
        }
    }
    if (int(broadcastGiven) + int(multicastGiven) + int(options.ip.has_value()) > 1)
        return "choose one of --broadcast, --multicast and --ip";
    if (multicastOnly && !multicastGiven)
        return "--ttl and --no-loopback go with --multicast";
    options.settings.kind
        = multicastGiven ? utility::devmgmt::SearchKind::Multicast : utility::devmgmt::SearchKind::Broadcast;
    return {};
}

// The command line has no dialogs: the options are the dialogs' answers.
class OptionDialogs final : public utility::devmgmt::DeviceDialogs {
public:
    explicit OptionDialogs(const SearchOptions& options)
        : m_options(options)
    {
    }
    utility::devmgmt::DialogResult devicesSearching(utility::devmgmt::SearchSettings& settings) override
    {
        settings = m_options.settings;
        return utility::devmgmt::DialogResult::Accepted;
    }
    utility::devmgmt::DialogResult ipSearching(std::string& address) override
    {
        address = m_options.ip.value_or(address);
        return utility::devmgmt::DialogResult::Accepted;
    }
    utility::devmgmt::DialogResult setting(utility::devmgmt::Periods&) override
    {
        return utility::devmgmt::DialogResult::Cancelled;
    }

private:
    const SearchOptions& m_options;
};

// Answers the network-segment question with --yes; everything else as the console does.
class SearchPrompter final : public platform::Prompter {
public:
    SearchPrompter(platform::Prompter& inner, bool yes)
        : m_inner(inner)
        , m_yes(yes)
    {
    }
    void message(const std::string& text, const std::string& title, platform::MessageIcon icon) override
    {
        m_inner.message(text, title, icon);
    }
    bool confirm(
        const std::string& text, const std::string& title, platform::MessageIcon icon, bool defaultYes) override
    {
        return m_inner.confirm(text, title, icon, m_yes || defaultYes);
    }
    int choose(const std::string& title, const std::string& text, const std::string& label,
        const std::vector<std::string>& options, int preselected) override
    {
        return m_inner.choose(title, text, label, options, preselected);
    }
    std::string openFile(const std::string& title, const std::string& filter, const std::string& name) override
    {
        return m_inner.openFile(title, filter, name);
    }
    std::string saveFile(const std::string& title, const std::string& filter, const std::string& name) override
    {
        return m_inner.saveFile(title, filter, name);
    }
    std::string chooseFolder(const std::string& title, const std::string& start) override
    {
        return m_inner.chooseFolder(title, start);
    }
    void beep(int frequencyHz, int durationMs) override { m_inner.beep(frequencyHz, durationMs); }

private:
    platform::Prompter& m_inner;
    bool m_yes;
};

} // namespace

std::string checkSearchArguments(const std::vector<std::string>& arguments)
{
    SearchOptions options;
    return parse(arguments, options);
}

int runSearch(Context& context)
{
    SearchOptions options;
    if (!parse(context.arguments, options).empty())
        return kExitBadArguments;

    auto& settings = context.shell.settings();
    const auto& selection = context.shell.selection();
    auto loop = platform::makeEpollLoop();
    SearchPrompter prompter(context.prompter, options.yes);
    OptionDialogs dialogs(options);
    utility::devmgmt::DeviceView view(*loop, prompter, dialogs);
    view.setLocalAddress(selection.effectiveAddress, selection.netmask);
    view.setPeriods({ options.period.value_or(settings.searchPeriod), settings.restorePeriod, settings.rebootPeriod });
    view.setOptions(settings.useExternalBrowser, settings.searchAtStart);
    view.setSearchFinishedCallback([&] { loop->quit(0); });

    bool started = false;
    view.setChangedCallback([&] { started = started || view.searching(); });
    if (options.ip)
        view.clickIpSearch();
    else
        view.clickSearch();
    if (view.searching())
        loop->run();
    if (!view.socketError().empty())
        return kExitPortTaken; // the message named address, port and reason
    if (!started && !view.searching() && view.rowCount() == 0 && options.ip) {
        // The segment question was answered no: nothing was searched.
        return kExitFailure;
    }

    const std::string text = options.json ? utility::devmgmt::formatDeviceJson(view.rows())
                                          : utility::devmgmt::formatDeviceTable(view.rows());
    std::fwrite(text.data(), 1, text.size(), stdout);
    return view.rowCount() > 0 ? kExitOk : kExitFailure;
}

} // namespace qelta
