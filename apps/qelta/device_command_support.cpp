#include "apps/qelta/device_command_support.h"

#include "platform/net.h"
#include "utility/devmgmt/device_monitor.h"

#include <cstdio>
#include <iostream>

namespace qelta {

void AskingPrompter::message(const std::string& text, const std::string& title, platform::MessageIcon icon)
{
    endProgressLine();
    m_inner.message(text, title, icon);
}

bool AskingPrompter::confirm(const std::string& text, const std::string&, platform::MessageIcon, bool)
{
    // One command asks a question once: a setup's search and its sheet both
    // apply the network segment rule to the same device.
    if (const auto answered = m_answers.find(text); answered != m_answers.end())
        return answered->second;
    const bool yes = ask(text);
    m_answers.emplace(text, yes);
    return yes;
}

bool AskingPrompter::ask(const std::string& text)
{
    endProgressLine();
    if (m_yes) {
        std::fprintf(stderr, "%s [yes]\n", text.c_str());
        return true;
    }
    std::fprintf(stderr, "%s [y/N] ", text.c_str());
    std::fflush(stderr);
    std::string line;
    if (!std::getline(std::cin, line))
        line.clear();
    return line == "y" || line == "Y" || line == "yes" || line == "Yes";
}

int AskingPrompter::choose(const std::string& title, const std::string& text, const std::string& label,
    const std::vector<std::string>& options, int preselected)
{
    return m_inner.choose(title, text, label, options, preselected);
}

DeviceSession::DeviceSession(Context& context, bool yes)
    : loop(platform::makeEpollLoop())
    , progress(platform::ProgressLine::forStderr())
    , prompter(context.prompter, yes)
    , view(*loop, prompter, dialogs)
{
    prompter.setProgressLine(&progress);
    view.steps().setProgressCallback([this](const utility::devmgmt::StepProgress& step) { showStep(step); });
    const auto& settings = context.shell.settings();
    const auto& selection = context.shell.selection();
    view.setLocalAddress(selection.effectiveAddress, selection.netmask);
    view.setPeriods({ settings.searchPeriod, settings.restorePeriod, settings.rebootPeriod });
    view.setOptions(settings.useExternalBrowser, settings.searchAtStart);
}

void DeviceSession::showStep(const utility::devmgmt::StepProgress& step)
{
    std::string text = step.step + ": ";
    if (!step.detail.empty())
        text += step.detail + ", ";
    progress.show(step.step, text + platform::ProgressLine::leftText(step.left), loop->clock().now());
}

bool searchAndWait(platform::EventLoop& loop, utility::devmgmt::DeviceView& view)
{
    view.setSearchFinishedCallback([&] { loop.quit(0); });
    view.networkSearch(utility::devmgmt::DeviceView::SearchOrigin::Command);
    if (view.searching())
        loop.run();
    view.setSearchFinishedCallback({});
    return view.socketError().empty();
}

std::size_t checkAddresses(utility::devmgmt::DeviceView& view, const std::vector<std::string>& addresses)
{
    std::size_t found = 0;
    for (const auto& address : addresses) {
        bool listed = false;
        for (std::size_t row = 0; row < view.rowCount(); ++row) {
            if (view.rows()[row].texts[utility::devmgmt::kColumnIp] == address) {
                view.setChecked(row, true);
                listed = true;
            }
        }
        if (listed)
            ++found;
        else
            std::fprintf(stderr, "qelta: no device at %s answered the search\n", address.c_str());
    }
    return found;
}

std::optional<std::string> firmwareVersion(DeviceSession& session, const std::string& device)
{
    using namespace utility::devmgmt;
    auto& loop = *session.loop;
    auto& prompter = session.prompter;
    const std::string localAddress = session.view.localAddress();
    DeviceMonitor monitor(loop, prompter);
    if (!monitor.create(localAddress))
        return std::nullopt;
    monitor.rebuild(std::vector<MonitorTarget> { { 0, std::string(), device } });
    monitor.setRowDoneCallback([&](std::size_t) { loop.quit(0); });
    monitor.clickStart();
    session.showStep({ "Asking " + device + " for its firmware version", {}, DeviceMonitor::kReplyTimeout });
    loop.run();
    monitor.clickStart();
    const auto& row = monitor.rows().front();
    if (row.texts[kMonitorStatus] != "Success")
        return std::nullopt;
    return row.texts[kMonitorFirmware];
}

} // namespace qelta
