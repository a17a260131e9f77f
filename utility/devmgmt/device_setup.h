#pragma once

#include "platform/event_loop.h"
#include "platform/prompter.h"
#include "utility/devmgmt/device_view.h"
#include "utility/devmgmt/setup_sheet.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace utility::devmgmt {

inline constexpr const char* kSelectOneDevice = "Please select a device server in the list !!";
inline constexpr const char* kOneDeviceEachTime = "Please set ONE device server each time !!";
inline constexpr const char* kRebootQuestion
    = "This operation will cause the device to reboot.\r\nDo you want to proceed ?";

// Why the sheet does not open for a row whose reply had `length` bytes only.
std::string shortRecordMessage(std::size_t row, std::int32_t length);

// The checked rows of the list, in list order.
std::vector<std::size_t> checkedRows(const DeviceView& view);

// "Device Setup": the sheet for the checked row, then Query, SetConfig, the
// row refreshed from the SetConfigReply, and the countdown to a new search
// while the device reboots.
class DeviceSetup {
public:
    enum class Outcome {
        NotStarted, // no row, several rows, segment refused, sheet not submitted, question answered No
        ShortRecord, // the row's reply is shorter than a full record: the sheet is not opened
        Disconnected, // the device did not answer the query
        Failed, // no SetConfigReply
        Done, // the reply refreshed the row; the countdown runs
    };
    static constexpr platform::Duration kSetPoll = std::chrono::milliseconds(10);

    // `showSheet` shows the sheet (already filled from the row) and returns
    // true when it was closed with Submit.
    DeviceSetup(platform::EventLoop& loop, DeviceView& view, SetupSheet& sheet, platform::Prompter& prompter,
        std::function<bool()> showSheet);
    ~DeviceSetup();
    DeviceSetup(const DeviceSetup&) = delete;
    DeviceSetup& operator=(const DeviceSetup&) = delete;

    // The button, or a double-click on a row (which checks it first).
    void start();
    bool running() const { return m_running; }
    // Called once per start() with how it ended.
    void setFinishedCallback(std::function<void(Outcome)> callback) { m_finished = std::move(callback); }

private:
    void queryAnswered();
    void queryTimedOut();
    void setTick();
    void finish(Outcome outcome);

    platform::EventLoop& m_loop;
    DeviceView& m_view;
    SetupSheet& m_sheet;
    platform::Prompter& m_prompter;
    std::function<bool()> m_showSheet;
    std::function<void(Outcome)> m_finished;
    bool m_running = false;
    platform::TimerId m_setTimer = 0;
};

// "Web Browser": the checked row's page, "http://" and its address, in the
// system's browser or the window's web view.
class WebAccess {
public:
    struct Openers {
        // Open the address with the system's default handler.
        std::function<bool(const std::string& url)> external;
        // Show the embedded web view and navigate it; false when it cannot
        // run, with the reason.
        std::function<bool(const std::string& url, std::string& why)> embedded;
        // A line for the system log.
        std::function<void(const std::string& line)> log;
    };

    WebAccess(DeviceView& view, platform::Prompter& prompter, Openers openers);

    // Returns the address opened, if any.
    std::optional<std::string> click();

private:
    DeviceView& m_view;
    platform::Prompter& m_prompter;
    Openers m_openers;
};

} // namespace utility::devmgmt
