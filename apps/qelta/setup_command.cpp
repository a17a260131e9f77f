#include "apps/qelta/command.h"
#include "apps/qelta/device_command_support.h"

#include "platform/event_loop.h"
#include "platform/net.h"
#include "utility/devmgmt/command_steps.h"
#include "utility/devmgmt/device_list_text.h"
#include "utility/devmgmt/device_setup.h"
#include "utility/devmgmt/device_view.h"
#include "utility/devmgmt/printable_text.h"
#include "utility/devmgmt/setting_file.h"
#include "utility/devmgmt/setup_sheet.h"

#include <charconv>
#include <cstdio>
#include <iostream>
#include <optional>
#include <utility>

namespace qelta {

namespace {

const char* const kAbout = R"(Runs the device view's Device Setup on one device: an IP search for ADDR,
the setup sheet filled from the device's record, then Submit with the
sheet's checks, the question whether the device may reboot, a Query that
checks the device still answers, the SetConfig and the wait for its reply.
Prints the device's row refreshed from the reply.)";

const char* const kNotes = R"(Messages the sheet and the device view would show go to stderr with the
same texts.
The network segment question is asked once, for the search and the sheet.
A setting file is sent only when all its 43 lines loaded and none was
refused. With DHCP off, a static address (item 6) other than the device's
own is first looked for with a network search: when another device answers
there, nothing is sent unless --take-address is given.
Replies from another address than the device's, and replies shorter than a
settings record, are ignored and named.
Exit status: 0 when the device replied to the SetConfig (or, with
--no-submit, when the sheet was filled), 1 when the device was not found,
answered with a short record (the sheet is not opened), was silent, the
settings failed, a file could not be used (a directory or device counts as
one that cannot be opened), a setting file was not loaded whole, the
sheet holds values a setting file cannot (--save), the static address is
another device's, or the question was answered no, 2 for bad arguments or
a value Submit refuses, 3 when the command's local UDP port (25125) is
taken.)";

struct SetupOptions {
    std::string ip;
    std::optional<std::string> load;
    std::vector<std::string> sets;
    std::optional<std::string> save;
    bool noSubmit = false;
    bool takeAddress = false;
    bool yes = false;
    bool json = false;
};

// The row of another device (not the one of `ownMac`) that answers at
// `address`, if the search listed one.
std::optional<std::size_t> addressHolder(
    const utility::devmgmt::DeviceView& view, const std::string& address, const std::string& ownMac)
{
    using namespace utility::devmgmt;
    for (std::size_t row = 0; row < view.rowCount(); ++row) {
        const auto& texts = view.rows()[row].texts;
        if (texts[kColumnIp] == address && texts[kColumnMac] != ownMac)
            return row;
    }
    return std::nullopt;
}

// "ITEM=VALUE" as the setting file writes item ITEM; an error text or empty.
std::string parseSet(const std::string& text, int& item, std::string& value)
{
    const auto equals = text.find('=');
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + std::min(equals, text.size()), item);
    if (equals == std::string::npos || ec != std::errc() || ptr != text.data() + equals || item < 1
        || item > utility::devmgmt::kItemCount)
        return "needs ITEM=VALUE with ITEM 1..43, not '" + text + "'";
    if (utility::devmgmt::loadRule(item) == utility::devmgmt::LoadRule::Ignored)
        return "item " + std::to_string(item) + " is never applied from a setting file";
    // What the sheet would refuse or show otherwise than it sends is refused
    // here, before anything reaches the device.
    value = text.substr(equals + 1);
    if (value.empty())
        return "item " + std::to_string(item) + " (" + utility::devmgmt::settingItemName(item) + ") needs a value";
    if (std::string why = utility::devmgmt::settingValueProblem(item, value, true); !why.empty())
        return utility::devmgmt::refusedItemMessage({ item, value, std::move(why) });
    // A name with a space and a port below 1024 are left to Submit, which
    // refuses them with its own messages, also before sending.
    return {};
}

int runSetup(Context& context, const SetupOptions& options);

} // namespace

Runner declareSetup(CLI::App& command)
{
    auto options = describe<SetupOptions>(command, kAbout, kNotes);
    addDeviceAddress(command, options->ip)->description("the device's address (device port 25124)");
    command.add_option("--load", options->load, "apply a device setting file to the sheet first")->type_name("FILE");
    command
        .add_option("--set", options->sets,
            "then set item ITEM (1..43, the line numbers of the setting file) to VALUE, written as the file holds "
            "it; may be given many times, applied in order. Items 2, 5, 8, 9, 32 and 33 are never applied. A value "
            "the sheet would refuse (too long, no address, a list index or port out of range, a name with a space) "
            "ends the command with exit 2 before anything is sent.")
        ->type_name("ITEM=VALUE")
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->check(CLI::Validator(
            [](std::string& text) {
                int item = 0;
                std::string value;
                return parseSet(text, item, value);
            },
            "", "ITEM=VALUE"));
    command.add_option("--save", options->save, "write the sheet's values to a device setting file")->type_name("FILE");
    command.add_flag("--no-submit", options->noSubmit, "stop after --save: nothing is sent");
    command.add_flag("--take-address", options->takeAddress,
        "send a static address (item 6, DHCP off) even when another device in a search answers at it");
    addYes(command, options->yes,
        "answer yes to the reboot question and the network segment question (without it they are asked on the "
        "terminal)");
    addJson(
        command, options->json, "print the row as a JSON array of one object with the keys of \"qelta search --json\"");
    return [options](Context& context) { return runSetup(context, *options); };
}

namespace {

int runSetup(Context& context, const SetupOptions& options)
{
    using namespace utility::devmgmt;

    DeviceSession session(context, options.yes);
    auto& loop = session.loop;
    auto& prompter = session.prompter;
    auto& view = session.view;

    // The IP search fills the row the sheet is opened from.
    view.setIpSearchAddress(options.ip);
    view.setSearchFinishedCallback([&] { loop->quit(0); });
    view.ipSearch(false);
    if (view.searching())
        loop->run();
    view.setSearchFinishedCallback({});
    if (!view.socketError().empty())
        return kExitPortTaken;
    if (view.rowCount() == 0)
        return kExitFailure;

    enum class SheetEnd { Submitted, Refused, FileFailed, LoadIncomplete, AddressTaken, NotSubmitted };
    SheetEnd sheetEnd = SheetEnd::NotSubmitted;
    SetupSheet sheet(prompter);
    // The command line's sheet: the file, the --set values, the save, then
    // Submit, as a user would work through the window's sheet.
    auto fillAndSubmit = [&] {
        const std::string ownStatic = sheet.value(Item::StaticIp);
        if (options.load && !sheet.loadFrom(*options.load)) {
            sheetEnd = SheetEnd::FileFailed;
            return false;
        }
        // A load that set nothing, or left items out, is not what the file
        // says: the device gets none of it.
        bool loadIncomplete = false;
        if (options.load && (!sheet.lastLoad().complete() || sheet.lastLoad().applied == 0)) {
            loadIncomplete = true;
            prompter.message("The setting file " + *options.load
                    + (sheet.lastLoad().applied == 0 ? " set nothing" : " was not loaded whole")
                    + ": nothing is sent to the device.",
                kSetupTitle, platform::MessageIcon::Warning);
        }
        for (const auto& set : options.sets) {
            int item = 0;
            std::string value;
            (void)parseSet(set, item, value); // checked by the declaration
            if (!sheet.setFileValue(item, value)) {
                sheetEnd = SheetEnd::Refused;
                return false;
            }
        }
        if (options.save && !sheet.saveTo(*options.save)) {
            sheetEnd = SheetEnd::FileFailed;
            return false;
        }
        if (loadIncomplete) {
            sheetEnd = SheetEnd::LoadIncomplete;
            return false;
        }
        if (options.noSubmit)
            return false;
        // With DHCP off the device takes item 6 as its address at the
        // restart: taken from another device's file, it would answer for
        // that device from then on.
        const std::string& staticIp = sheet.value(Item::StaticIp);
        if (!options.takeAddress && sheet.value(Item::Dhcp) == "0" && staticIp != ownStatic) {
            DeviceView others(*loop, prompter, session.dialogs);
            others.setLocalAddress(view.localAddress(), view.netmask());
            others.setPeriods(view.periods());
            if (!searchAndWait(*loop, others)) {
                sheetEnd = SheetEnd::AddressTaken;
                return false;
            }
            if (const auto holder = addressHolder(others, staticIp, sheet.value(Item::MacAddress))) {
                const auto& texts = others.rows()[*holder].texts;
                prompter.message("Item 6 (Server static listening IP) " + staticIp + " is the address of device "
                        + texts[kColumnMac] + " (" + escapeControls(texts[kColumnName])
                        + "): nothing is sent. --take-address sends it anyway.",
                    kSetupTitle, platform::MessageIcon::Warning);
                sheetEnd = SheetEnd::AddressTaken;
                return false;
            }
        }
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
    case SheetEnd::LoadIncomplete:
    case SheetEnd::AddressTaken:
    case SheetEnd::Submitted: // the reboot question was answered no
        return kExitFailure;
    }
    return kExitFailure;
}

} // namespace

} // namespace qelta
