#pragma once

#include "apps/qelta/command.h"
#include "platform/event_loop.h"
#include "platform/progress_line.h"
#include "platform/prompter.h"
#include "utility/devmgmt/command_steps.h"
#include "utility/devmgmt/device_view.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qelta {

// The command line has no search dialogs: searches run with the stored
// settings.
class NoSearchDialogs final : public utility::devmgmt::DeviceDialogs {
public:
    utility::devmgmt::DialogResult devicesSearching(utility::devmgmt::SearchSettings&) override
    {
        return utility::devmgmt::DialogResult::Accepted;
    }
    utility::devmgmt::DialogResult ipSearching(std::string&) override
    {
        return utility::devmgmt::DialogResult::Accepted;
    }
    utility::devmgmt::DialogResult setting(utility::devmgmt::Periods&) override
    {
        return utility::devmgmt::DialogResult::Cancelled;
    }
};

// Messages as the console shows them (stderr); questions answered yes by
// --yes, otherwise asked on the terminal (no answer is no). A question asked
// again gets the first answer without being shown again.
class AskingPrompter final : public platform::Prompter {
public:
    AskingPrompter(platform::Prompter& inner, bool yes)
        : m_inner(inner)
        , m_yes(yes)
    {
    }
    void message(const std::string& text, const std::string& title, platform::MessageIcon icon) override;
    bool confirm(const std::string& text, const std::string& title, platform::MessageIcon icon, bool) override;
    int choose(const std::string& title, const std::string& text, const std::string& label,
        const std::vector<std::string>& options, int preselected) override;
    std::string openFile(const std::string&, const std::string&, const std::string&) override { return {}; }
    std::string saveFile(const std::string&, const std::string&, const std::string&) override { return {}; }
    std::string chooseFolder(const std::string&, const std::string&) override { return {}; }
    void beep(int frequencyHz, int durationMs) override { m_inner.beep(frequencyHz, durationMs); }
    // Messages and questions start below a progress line left open.
    void setProgressLine(platform::ProgressLine* line) { m_progress = line; }

private:
    bool ask(const std::string& text);
    void endProgressLine()
    {
        if (m_progress)
            m_progress->end();
    }

    platform::Prompter& m_inner;
    platform::ProgressLine* m_progress = nullptr;
    bool m_yes;
    std::map<std::string, bool> m_answers;
};

// What the device commands run on: an event loop, the prompter that answers
// with --yes, the device view set up from the stored settings as the window
// sets it up, and the progress line on stderr its steps report to (what is
// waited for and how long is left; stdout keeps only the result).
struct DeviceSession {
    DeviceSession(Context& context, bool yes);
    // Shows one step: "Searching for devices: 2 found, 1 s left".
    void showStep(const utility::devmgmt::StepProgress& step);
    std::unique_ptr<platform::EventLoop> loop;
    platform::ProgressLine progress;
    AskingPrompter prompter;
    NoSearchDialogs dialogs;
    utility::devmgmt::DeviceView view;
};

// Runs a network search with the view's stored settings and waits for its
// end; true when the search ran (its socket opened).
bool searchAndWait(platform::EventLoop& loop, utility::devmgmt::DeviceView& view);
// Checks the rows of the given addresses, in list order; tells on stderr
// which address is not listed. Returns how many were found.
std::size_t checkAddresses(utility::devmgmt::DeviceView& view, const std::vector<std::string>& addresses);

// The firmware version a device reports to StatusQuery (one monitor cycle
// on a socket of its own); nothing when it does not answer within the
// monitor's second. The wait is a step of the session's progress.
std::optional<std::string> firmwareVersion(DeviceSession& session, const std::string& device);

// Restore and reboot: search, check the named rows, run the sequence, print
// the new search's table.
enum class Sequence { Restore, Reboot };
Runner declareDeviceSequence(CLI::App& command, Sequence sequence);

} // namespace qelta
