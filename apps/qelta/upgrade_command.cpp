#include "apps/qelta/command.h"
#include "apps/qelta/device_command_support.h"

#include "platform/event_loop.h"
#include "platform/net.h"
#include "utility/devmgmt/device_commands.h"
#include "utility/devmgmt/device_list_text.h"
#include "utility/devmgmt/device_view.h"

#include <cstdio>

namespace qelta {

const std::string_view kUpgradeUsage = "--ip ADDR --server TFTP_ADDR --file NAME [--period N] [--yes] [--json]";

const std::string_view kUpgradeHelp
    = R"(usage: qelta [--local ADDR] upgrade --ip ADDR --server TFTP_ADDR --file NAME [OPTIONS]

Runs the device view's Firmware Upgrade on one device: a network search with
the stored settings finds it, its row is checked, the Firmware Upgrade
dialog takes the options, and after the question the device is sent
Upgrade (it fetches NAME from the TFTP server at TFTP_ADDR by itself). The
progress ticks every period/10 seconds; on the 21st the list is searched
again and printed. --server, --file and --period are stored in Qelta.dat as
the dialog stores them.

options:
  --ip ADDR            the device's address
  --server TFTP_ADDR   the TFTP server the device fetches from (default: the
                       stored one)
  --file NAME          the firmware file name, at most 128 characters
                       (default: the stored one)
  --period N           upgrade period in seconds per device, corrected to
                       10..1000 (default: the stored one)
  --yes                answer yes to the questions (without it they are
                       asked on the terminal)
  --json               print the new search's table as "qelta search
                       --json" does

Messages the device view would show go to stderr with the same texts.
Exit status: 0 when the request was sent and the device answered the new
search, 1 otherwise (not found, a question answered no, missing from the
new search), 2 for bad arguments or values the dialog refuses, 3 when a
search socket cannot be opened.
)";

namespace {

struct UpgradeOptions {
    std::vector<std::string> addresses;
    std::optional<std::string> server;
    std::optional<std::string> file;
    std::optional<int> period;
    bool yes = false;
    bool json = false;
};

std::string parse(const std::vector<std::string>& arguments, UpgradeOptions& options)
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
            if (auto error = takeAddress(arguments, i, options.addresses); !error.empty())
                return error;
        } else if (argument == "--server") {
            if (!next(value))
                return "--server needs an address";
            options.server = value;
        } else if (argument == "--file") {
            if (!next(value))
                return "--file needs a name";
            if (value.size() > 128)
                return "--file: at most 128 characters";
            options.file = value;
        } else if (argument == "--period") {
            if (!next(value) || !parseNumber(value))
                return "--period needs a number";
            options.period = utility::devmgmt::clampUpgradePeriod(*parseNumber(value));
        } else if (argument == "--yes") {
            options.yes = true;
        } else if (argument == "--json") {
            options.json = true;
        } else {
            return "unknown option '" + argument + "'";
        }
    }
    if (options.addresses.size() != 1)
        return "upgrade takes exactly one --ip ADDR";
    return {};
}

// The dialog as the options fill it; refused values end the command.
class OptionUpgradeDialog final : public utility::devmgmt::UpgradeDialog {
public:
    OptionUpgradeDialog(const UpgradeOptions& options, platform::Prompter& prompter)
        : m_options(options)
        , m_prompter(prompter)
    {
    }
    bool show(utility::devmgmt::UpgradeSettings& settings) override
    {
        if (m_options.period)
            settings.period = *m_options.period;
        if (m_options.server)
            settings.server = *m_options.server;
        if (m_options.file)
            settings.fileName = *m_options.file;
        if (auto error = utility::devmgmt::validateUpgrade(settings)) {
            m_prompter.message(*error, "Firmware Upgrade", platform::MessageIcon::Warning);
            refused = true;
            return false;
        }
        return true;
    }
    bool refused = false;

private:
    const UpgradeOptions& m_options;
    platform::Prompter& m_prompter;
};

} // namespace

std::string checkUpgradeArguments(const std::vector<std::string>& arguments)
{
    UpgradeOptions options;
    return parse(arguments, options);
}

int runUpgrade(Context& context)
{
    using namespace utility::devmgmt;
    UpgradeOptions options;
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

    if (!searchAndWait(*loop, view))
        return kExitPortTaken;
    if (checkAddresses(view, options.addresses) == 0)
        return kExitFailure;

    OptionUpgradeDialog dialog(options, prompter);
    FirmwareUpgrade upgrade(*loop, view, prompter, dialog);
    upgrade.setSettings(
        { settings.upgradePeriod, platform::formatIpv4(settings.upgradeTftpServer), settings.upgradeFileName });
    upgrade.setStore([&](const UpgradeSettings& accepted) {
        settings.upgradePeriod = accepted.period;
        settings.upgradeTftpServer = platform::parseIpv4(accepted.server).value_or(settings.upgradeTftpServer);
        settings.upgradeFileName = accepted.fileName;
    });
    bool searched = false;
    upgrade.setFinishedCallback([&](CommandOutcome how) {
        if (how != CommandOutcome::Restarting)
            loop->quit(0);
    });
    view.setSearchFinishedCallback([&] {
        searched = true;
        loop->quit(0);
    });
    upgrade.start();
    if (upgrade.running())
        loop->run();
    if (dialog.refused)
        return kExitBadArguments;
    if (!searched)
        return kExitFailure;
    const std::string text = options.json ? formatDeviceJson(view.rows()) : formatDeviceTable(view.rows());
    std::fwrite(text.data(), 1, text.size(), stdout);
    for (const auto& row : view.rows())
        if (row.texts[kColumnIp] == options.addresses.front())
            return kExitOk;
    return kExitFailure;
}

} // namespace qelta
