#pragma once

#include "platform/event_loop.h"
#include "utility/devmgmt/device_view.h"

#include <cstddef>
#include <functional>
#include <span>
#include <string>

namespace utility::devmgmt {

// What a command waits for at the moment, for a progress line: the step
// (one text while it lasts, the device named), how it goes, and how long it
// may still take.
struct StepProgress {
    std::string step;
    std::string detail; // may be empty
    platform::Duration left {};
};

// The step between a command's last request and its new search.
inline constexpr const char* kRestartStep = "Waiting for the devices to restart before the new search";

// The steps every command on one or more devices of the list shares: the
// query that checks a device still answers before a request, the refresh of
// a row from the device's reply, and the countdown after which the list is
// cleared and searched again while the devices reboot. The device view owns
// one; each command brings its own continuation and timeout rule.
class CommandSteps {
public:
    static constexpr platform::Duration kQueryPoll = std::chrono::milliseconds(100);
    static constexpr platform::Duration kCountdownTick = std::chrono::seconds(1);

    CommandSteps(platform::EventLoop& loop, DeviceView& view);
    ~CommandSteps();
    CommandSteps(const CommandSteps&) = delete;
    CommandSteps& operator=(const CommandSteps&) = delete;

    // Sends Query to the row's address and polls every 100 ms. A QueryReply
    // updates the row by its connection state and runs `answered`; silence
    // for the search period runs `timedOut`.
    void query(std::size_t row, std::function<void()> answered, std::function<void()> timedOut);
    bool querying() const { return m_queryTimer != 0; }

    // How a refreshed row shows an empty device name.
    enum class EmptyName { Empty, RowName };
    // Stores the reply in the row's entry and shows it with the searched
    // background and the given text colour, unchecked.
    void refreshRow(std::size_t row, std::span<const std::uint8_t> reply, Rgb textColour, EmptyName emptyName);

    // Counts reboot period + checked count one-second ticks with the progress
    // rising from 200, then clears the list and searches again.
    void startCountdown();
    bool countingDown() const { return m_countdownTimer != 0; }
    int countdownCounter() const { return m_countdown; }

    // Tells the user what the command socket refused while the exchange with
    // the row's device ran (replies from another address, short replies);
    // nothing when it refused nothing. A failure message comes first.
    void tellRefusals(std::size_t row);

    void cancel();

    // Told of every step's progress: the searches, the query step, the
    // countdown and each command's own waits report here.
    void setProgressCallback(std::function<void(const StepProgress&)> callback) { m_progress = std::move(callback); }
    void report(const StepProgress& progress) const
    {
        if (m_progress)
            m_progress(progress);
    }

private:
    void queryTick();
    void reportQuery() const;
    void countdownTick();

    platform::EventLoop& m_loop;
    DeviceView& m_view;
    std::size_t m_row = 0;
    std::function<void()> m_answered;
    std::function<void()> m_timedOut;
    platform::TimerId m_queryTimer = 0;
    int m_queryIdle = 0;
    platform::TimerId m_countdownTimer = 0;
    int m_countdown = 0;
    std::function<void(const StepProgress&)> m_progress;
};

} // namespace utility::devmgmt
