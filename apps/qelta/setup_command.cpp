#include "apps/qelta/command.h"
#include "apps/qelta/device_command_support.h"

#include "platform/event_loop.h"
#include "platform/net.h"
#include "utility/devmgmt/command_steps.h"
#include "utility/devmgmt/device_list_text.h"
#include "utility/devmgmt/device_setup.h"
#include "utility/devmgmt/device_view.h"
#include "utility/devmgmt/setting_file.h"
#include "utility/devmgmt/setup_sheet.h"

#include <charconv>
#include <cstdio>
#include <iostream>
#include <optional>
#include <utility>

namespace qelta {

const std::string_view kSetupUsage
    = "--ip ADDR [--load FILE] [--set ITEM=VALUE]... [--save FILE] [--no-submit] [--yes] [--json]";

const std::string_view kSetupHelp = R"(usage: qelta [--local ADDR] setup --ip ADDR [OPTIONS]

Runs the device view's Device Setup on one device: an IP search for ADDR,
the setup sheet filled from the device's record, then Submit with the
sheet's checks, the question whether the device may reboot, a Query that
checks the device still answers, the SetConfig and the wait for its reply.
Prints the device's row refreshed from the reply.

options:
  --ip ADDR           the device's address (device port 25124)
  --load FILE         apply a device setting file to the sheet first
  --set ITEM=VALUE    then set item ITEM (1..43, the line numbers of the
                      setting file) to VALUE, written as the file holds it;
                      may be given many times, applied in order. Items 2, 5,
                      8, 9, 32 and 33 are never applied. A value the sheet
                      would refuse (too long, no address, a list index or
                      port out of range, a name with a space) ends the
                      command with exit 2 before anything is sent.
  --save FILE         write the sheet's values to a device setting file
  --no-submit         stop after --save: nothing is sent
  --yes               answer yes to the reboot question and the network
                      segment question (without it they are asked on the
                      terminal)
  --json              print the row as a JSON array of one object with the
                      keys of "qelta search --json"

Messages the sheet and the device view would show go to stderr with the
same texts.
The network segment question is asked once, for the search and the sheet.
Exit status: 0 when the device replied to the SetConfig (or, with
--no-submit, when the sheet was filled), 1 when the device was not found,
answered with a short record (the sheet is not opened), was silent, the
settings failed, a file could not be used (a directory or device counts as
one that cannot be opened) or the question was answered no, 2 for bad
arguments or a value Submit refuses.
)";

namespace {

struct SetupOptions {
    std::string ip;
    std::optional<std::string> load;
    std::vector<std::pair<int, std::string>> sets;
    std::optional<std::string> save;
    bool noSubmit = false;
    bool yes = false;
    bool json = false;
};

std::string parse(const std::vector<std::string>& arguments, SetupOptions& options)
{
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        auto next = [&](std::string& out) {
            if (i + 1 >= arguments.size())
                return false;
            out = arguments[++i];
            return true;
        };
        std::string value;
        if (argument == "--ip") {
            if (!next(value))
                return "--ip needs an address";
            if (value.size() > 15 || !platform::parseIpv4(value))
                return "'" + value + "' is not an IPv4 address";
            options.ip = value;
        } else if (argument == "--load") {
            if (!next(value))
                return "--load needs a file name";
            options.load = value;
        } else if (argument == "--save") {
            if (!next(value))
                return "--save needs a file name";
            options.save = value;
        } else if (argument == "--set") {
            if (!next(value))
                return "--set needs ITEM=VALUE";
            const auto equals = value.find('=');
            int item = 0;
            const auto [ptr, ec] = std::from_chars(value.data(), value.data() + equals, item);
            if (equals == std::string::npos || ec != std::errc() || ptr != value.data() + equals || item < 1
                || item > utility::devmgmt::kItemCount)
                return "--set needs ITEM=VALUE with ITEM 1..43, not '" + value + "'";
            if (utility::devmgmt::loadRule(item) == utility::devmgmt::LoadRule::Ignored)
                return "item " + std::to_string(item) + " is never applied from a setting file";
            // What the sheet would refuse or show otherwise than it sends
            // is refused here, before anything reaches the device.
            const std::string text = value.substr(equals + 1);
            if (text.empty())
                return "item " + std::to_string(item) + " (" + utility::devmgmt::settingItemName(item)
                    + ") needs a value";
            if (std::string why = utility::devmgmt::settingValueProblem(item, text, true); !why.empty())
                return utility::devmgmt::refusedItemMessage({ item, text, std::move(why) });
            // A name with a space and a port below 1024 are left to Submit,
            // which refuses them with its own messages, also before sending.
            options.sets.emplace_back(item, text);
        } else if (argument == "--no-submit") {
            options.noSubmit = true;
        } else if (argument == "--yes") {
            options.yes = true;
        } else if (argument == "--json") {
            options.json = true;
        } else {
            return "unknown option '" + argument + "'";
        }
    }
    if (options.ip.empty())
        return "--ip ADDR is required";
    return {};
}

} // namespace

std::string checkSetupArguments(const std::vector<std::string>& arguments)
{
    SetupOptions options;
    return parse(arguments, options);
}

int runSetup(Context& context)
{
    using namespace utility::devmgmt;
    SetupOptions options;
    if (!parse(context.arguments, options).empty())
        return kExitBadArguments;

    auto& settings = context.shell.settings();
    const auto& selection = context.shell.selection();
    auto loop = platform::makeEpollLoop();
    AskingPrompter prompter(context.prompter, options.yes);
    NoSearchDialogs dialogs;
    DeviceView view(*loop, prompter, dialogs);
    view.setLocalAddress(selection.effectiveAddress, selection.netmask);
    view.setPeriods({ settings.searchPeriod, settings.restorePeriod, settings.rebootPeriod });
    view.setOptions(settings.useExternalBrowser, settings.searchAtStart);

    // The IP search fills the row the sheet is opened from.
    view.setIpSearchAddress(options.ip);
    view.setSearchFinishedCallback([&] { loop->quit(0); });
    view.ipSearch(false);
    if (view.searching())
        loop->run();
    view.setSearchFinishedCallback({});
    if (view.rowCount() == 0)
        return kExitFailure;

    enum class SheetEnd { Submitted, Refused, FileFailed, NotSubmitted };
    SheetEnd sheetEnd = SheetEnd::NotSubmitted;
    SetupSheet sheet(prompter);
    // The command line's sheet: the file, the --set values, the save, then
    // Submit, as a user would work through the window's sheet.
    auto fillAndSubmit = [&] {
        if (options.load && !sheet.loadFrom(*options.load)) {
            sheetEnd = SheetEnd::FileFailed;
            return false;
        }
        for (const auto& [item, value] : options.sets)
            if (!sheet.setFileValue(item, value)) {
                sheetEnd = SheetEnd::Refused;
                return false;
            }
        if (options.save && !sheet.saveTo(*options.save)) {
            sheetEnd = SheetEnd::FileFailed;
            return false;
        }
        if (options.noSubmit)
            return false;
        if (!sheet.submit()) {
            sheetEnd = SheetEnd::Refused;
            return false;
        }
        sheetEnd = SheetEnd::Submitted;
        return true;
    };
    DeviceSetup setup(*loop, view, sheet, prompter, fillAndSubmit);
    DeviceSetup::Outcome outcome = DeviceSetup::Outcome::NotStarted;
    setup.setFinishedCallback([&](DeviceSetup::Outcome ended) {
        outcome = ended;
        loop->quit(0);
    });
    view.setChecked(0, true);
    setup.start();
    if (setup.running())
        loop->run();
    view.steps().cancel(); // the command ends with the reply, not with the new search

    switch (outcome) {
    case DeviceSetup::Outcome::Done: {
        const std::vector<ListRow> row { view.rows()[view.currentRow] };
        const std::string text = options.json ? formatDeviceJson(row) : formatDeviceTable(row);
        std::fwrite(text.data(), 1, text.size(), stdout);
        return kExitOk;
    }
    case DeviceSetup::Outcome::Disconnected:
    case DeviceSetup::Outcome::Failed:
    case DeviceSetup::Outcome::ShortRecord:
        return kExitFailure;
    case DeviceSetup::Outcome::NotStarted:
        break;
    }
    switch (sheetEnd) {
    case SheetEnd::Refused:
        return kExitBadArguments;
    case SheetEnd::NotSubmitted:
        return options.noSubmit ? kExitOk : kExitFailure;
    case SheetEnd::FileFailed:
    case SheetEnd::Submitted: // the reboot question was answered no
        return kExitFailure;
    }
    return kExitFailure;
}

} // namespace qelta
