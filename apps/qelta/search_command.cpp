#include "apps/qelta/command.h"

#include "platform/event_loop.h"
#include "platform/net.h"
#include "utility/devmgmt/device_list_text.h"
#include "utility/devmgmt/device_view.h"

#include <charconv>
#include <cstdio>
#include <optional>

namespace qelta {

namespace {

const char* const kAbout = R"(Runs one device search exactly as the device view does (a 10 ms tick taking
one reply per tick; the search ends one search period after the last reply)
and prints the device table.)";

const char* const kNotes = R"(Messages the device view would show go to stderr with the same texts.
Exit status: 0 when devices were found, 1 when none (or the start-up
failed), 2 for bad arguments, 3 when the search socket cannot be opened
(its local port 25120, 25121 or 25125 taken by another program; stderr names
the address, the port and the reason). A failed save of Qelta.dat at exit
is reported on stderr and leaves the status as the search decided it.)";

struct SearchOptions {
    utility::devmgmt::SearchSettings settings;
    std::optional<std::string> broadcast;
    std::optional<std::string> multicast;
    std::optional<int> ttl;
    bool noLoopback = false;
    std::optional<std::string> ip;
    std::optional<int> period;
    bool yes = false;
    bool json = false;
};

// A number in the range the search dialog's field takes, with its message.
CLI::Validator dialogRange(int low, int high)
{
    return CLI::Validator(
        [low, high](std::string& text) -> std::string {
            int value = 0;
            const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
            const bool whole = ec == std::errc() && ptr == text.data() + text.size();
            return utility::devmgmt::checkRange(whole ? value : 0, low, high).value_or("");
        },
        "", "N");
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

int runSearch(Context& context, SearchOptions options);

} // namespace

Runner declareSearch(CLI::App& command)
{
    auto options = describe<SearchOptions>(command, kAbout, kNotes);
    auto* broadcast = command
                          .add_option("--broadcast", options->broadcast,
                              "network search by broadcast (the default), to ADDR (default 255.255.255.255), device "
                              "port 25122")
                          ->type_name("ADDR")
                          ->expected(0, 1)
                          ->check(CLI::Validator(
                              [](std::string& address) -> std::string {
                                  if (address.empty() || platform::parseIpv4(address))
                                      return {};
                                  return "'" + address + "' is not an IPv4 address";
                              },
                              "", "ADDR"));
    auto* multicast = command
                          .add_option("--multicast", options->multicast,
                              "network search by multicast to GROUP (default 225.1.2.3), device port 25123")
                          ->type_name("GROUP")
                          ->expected(0, 1)
                          ->check(CLI::Validator(
                              [](std::string& group) -> std::string {
                                  const auto parsed = platform::parseIpv4(group);
                                  if (group.empty() || (parsed && (*parsed >> 28) == 0xE))
                                      return {};
                                  return "'" + group + "' is not a multicast group address";
                              },
                              "", "GROUP"));
    command.add_option("--ttl", options->ttl, "multicast TTL, 1..128 (default 1)")
        ->type_name("N")
        ->check(dialogRange(1, 128))
        ->needs(multicast);
    command.add_flag("--no-loopback", options->noLoopback, "switch multicast loopback off")->needs(multicast);
    command.add_option("--ip", options->ip, "IP search: one Query to ADDR, device port 25124")
        ->type_name("ADDR")
        ->check(cli::ipv4())
        ->excludes(broadcast)
        ->excludes(multicast);
    broadcast->excludes(multicast);
    command
        .add_option("--period", options->period,
            "search period in units of 100 ms, 5..1000 (default: the setting in Qelta.dat); not saved")
        ->type_name("N")
        ->check(dialogRange(5, 1000));
    addYes(command, options->yes,
        "answer yes when the device is outside the local network segment (the default answer is no)");
    addJson(command, options->json,
        "print a JSON array of objects with the keys no, name, mac, dhcp, ip, port, mode and status");
    return [options](Context& context) { return runSearch(context, *options); };
}

namespace {

int runSearch(Context& context, SearchOptions options)
{
    auto& search = options.settings;
    if (options.broadcast && !options.broadcast->empty())
        search.broadcastAddress = *options.broadcast;
    if (options.multicast && !options.multicast->empty())
        search.multicastGroup = *options.multicast;
    if (options.ttl)
        search.ttl = *options.ttl;
    if (options.noLoopback)
        search.loopback = false;
    search.kind = options.multicast ? utility::devmgmt::SearchKind::Multicast : utility::devmgmt::SearchKind::Broadcast;

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

} // namespace

} // namespace qelta
