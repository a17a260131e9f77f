#include "apps/qelta/command.h"
#include "apps/qelta/device_command_support.h"

#include "platform/event_loop.h"
#include "platform/net.h"
#include "utility/devmgmt/device_commands.h"
#include "utility/devmgmt/device_list_text.h"
#include "utility/devmgmt/device_view.h"
#include "utility/devmgmt/printable_text.h"
#include "utility/services/tftp_progress.h"

#include <algorithm>

#include <cstdio>

namespace qelta {

namespace {

const char* const kAbout = R"(Runs the device view's Firmware Upgrade on one device: a network search with
the stored settings finds it, its row is checked, the Firmware Upgrade
dialog takes the options, and after the question the device is sent
Upgrade (it fetches NAME from the TFTP server at TFTP_ADDR by itself). The
progress ticks every period/10 seconds; on the 21st the list is searched
again and printed. --server, --file and --period are stored in Qelta.dat as
the dialog stores them.)";

const char* const kNotes = R"(Messages the device view would show go to stderr with the same texts.
With --tftp-log the progress line shows the bytes the device has fetched,
read from the progress lines of the "qelta tftp" that serves the file
(its output sent to FILE); without it the device's fetch cannot be seen
from here, and the line shows the time until the new search.
The device's firmware version (its answer to StatusQuery) is read before
the request and after the new search.
Exit status: 0 when the device answered the new search with another
firmware version than before, 1 otherwise (not found, a question answered
no, missing from the new search, the same version as before, no version
reported), 2 for bad arguments or values the dialog refuses, 3 when a
search socket cannot be opened.)";

struct UpgradeOptions {
    std::string address;
    std::optional<std::string> server;
    std::optional<std::string> file;
    std::optional<int> period;
    std::optional<std::string> tftpLog;
    bool yes = false;
    bool json = false;
};

// The device's fetch as the TFTP server's log tells it, shown in the step
// that waits for the fetch and the restart: the bytes while it fetches, a
// line of its own when it is done (or stopped), then the wait for the
// restart as a step of its own.
class FetchProgress {
public:
    FetchProgress(DeviceSession& session, std::string device)
        : m_session(session)
        , m_device(std::move(device))
        , m_timers(*session.loop)
    {
    }

    std::optional<std::string> follow(const std::string& logFile)
    {
        const auto address = platform::parseIpv4(m_device);
        if (!address)
            return std::string("no device address");
        if (auto problem = m_follower.open(logFile, *address))
            return problem;
        m_session.view.steps().setProgressCallback([this](const utility::devmgmt::StepProgress& step) { show(step); });
        poll();
        return std::nullopt;
    }

    // The new search began: what the log says from now on is no news.
    void stop()
    {
        m_timers.killAll();
        m_session.view.steps().setProgressCallback(
            [this](const utility::devmgmt::StepProgress& step) { m_session.showStep(step); });
    }

private:
    static constexpr auto kPollPeriod = std::chrono::milliseconds(200);

    void poll()
    {
        for (auto& line : m_follower.poll())
            seen(line);
        m_timers.start(1, kPollPeriod, [this] { poll(); });
    }

    void seen(const utility::services::TftpProgress& line)
    {
        using Kind = utility::services::TftpProgress::Kind;
        m_last = line;
        if (line.kind == Kind::Sending) {
            if (m_step)
                show(*m_step);
            return;
        }
        const std::string text = m_device + (line.kind == Kind::Sent ? " fetched " : " stopped fetching ")
            + fileName(line.path) + ": " + platform::ProgressLine::bytesText(line.bytes, line.total);
        m_session.progress.show(text, text, m_session.loop->clock().now());
    }

    void show(const utility::devmgmt::StepProgress& step)
    {
        using Kind = utility::services::TftpProgress::Kind;
        const bool fetchStep = step.step.starts_with("Waiting for " + m_device + " to fetch ");
        if (fetchStep)
            m_step = step;
        if (!fetchStep || !m_last) {
            m_session.showStep(step);
            return;
        }
        utility::devmgmt::StepProgress shown = step;
        if (m_last->kind == Kind::Sending)
            shown.detail = "fetched " + platform::ProgressLine::bytesText(m_last->bytes, m_last->total);
        else
            shown.step = "Waiting for " + m_device + " to restart";
        m_session.showStep(shown);
    }

    static std::string fileName(const std::string& path)
    {
        const auto slash = path.find_last_of('/');
        return slash == std::string::npos ? path : path.substr(slash + 1);
    }

    DeviceSession& m_session;
    std::string m_device;
    platform::TimerSet m_timers;
    utility::services::TftpProgressFollower m_follower;
    std::optional<utility::services::TftpProgress> m_last;
    std::optional<utility::devmgmt::StepProgress> m_step;
};

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
            settings.period = utility::devmgmt::clampUpgradePeriod(*m_options.period);
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

int runUpgrade(Context& context, const UpgradeOptions& options)
{
    using namespace utility::devmgmt;

    auto& settings = context.shell.settings();
    DeviceSession session(context, options.yes);
    auto& loop = session.loop;
    auto& prompter = session.prompter;
    auto& view = session.view;

    // Opened before anything is asked: a fetch that comes at once is seen.
    FetchProgress fetch(session, options.address);
    if (options.tftpLog) {
        if (auto problem = fetch.follow(*options.tftpLog)) {
            std::fprintf(
                stderr, "qelta: --tftp-log: '%s' cannot be read: %s\n", options.tftpLog->c_str(), problem->c_str());
            return kExitBadArguments;
        }
    }
    if (!searchAndWait(*loop, view))
        return kExitPortTaken;
    if (checkAddresses(view, { options.address }) == 0)
        return kExitFailure;

    // The device reports no result of an upgrade: its firmware version,
    // before and after, is what tells.
    const auto before = firmwareVersion(session, options.address);

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
    fetch.stop();
    if (dialog.refused)
        return kExitBadArguments;
    session.progress.end();
    if (!searched)
        return kExitFailure;
    const std::string text = options.json ? formatDeviceJson(view.rows()) : formatDeviceTable(view.rows());
    std::fwrite(text.data(), 1, text.size(), stdout);
    const bool listed = std::any_of(view.rows().begin(), view.rows().end(),
        [&](const ListRow& row) { return row.texts[kColumnIp] == options.address; });
    if (!listed) {
        std::fprintf(stderr, "qelta: %s is missing from the new search: it did not come back after the upgrade\n",
            options.address.c_str());
        return kExitFailure;
    }
    const auto after = firmwareVersion(session, options.address);
    session.progress.end();
    if (!before || !after) {
        std::fprintf(stderr,
            "qelta: %s did not report its firmware version %s the upgrade, so it cannot be told "
            "whether the device upgraded\n",
            options.address.c_str(), before ? "after" : "before");
        return kExitFailure;
    }
    if (*before == *after) {
        std::fprintf(stderr,
            "qelta: %s still reports firmware version %s: the device did not upgrade (the file may be missing "
            "on the TFTP server, empty or larger than the device takes)\n",
            options.address.c_str(), escapeControls(*after).c_str());
        return kExitFailure;
    }
    std::fprintf(stderr, "qelta: %s upgraded: firmware version %s, before %s\n", options.address.c_str(),
        escapeControls(*after).c_str(), escapeControls(*before).c_str());
    return kExitOk;
}

} // namespace

Runner declareUpgrade(CLI::App& command)
{
    auto options = describe<UpgradeOptions>(command, kAbout, kNotes);
    addDeviceAddress(command, options->address);
    command
        .add_option("--server", options->server, "the TFTP server the device fetches from (default: the stored one)")
        ->type_name("TFTP_ADDR");
    command
        .add_option("--file", options->file, "the firmware file name, at most 128 characters (default: the stored one)")
        ->type_name("NAME")
        ->check(CLI::Validator(
            [](std::string& name) { return name.size() > 128 ? std::string("at most 128 characters") : std::string(); },
            "", "NAME"));
    command
        .add_option("--period", options->period,
            "upgrade period in seconds per device, corrected to 10..1000 (default: the stored one)")
        ->type_name("N")
        ->check(cli::wholeNumber(0, 999999999));
    command
        .add_option("--tftp-log", options->tftpLog,
            "the output of the \"qelta tftp\" serving the file, sent to FILE: the progress shows the bytes the "
            "device fetched")
        ->type_name("FILE");
    addYes(command, options->yes, "answer yes to the questions (without it they are asked on the terminal)");
    addJson(command, options->json, "print the new search's table as \"qelta search --json\" does");
    return [options](Context& context) { return runUpgrade(context, *options); };
}

} // namespace qelta
