#pragma once

#include "platform/event_loop.h"
#include "platform/net.h"
#include "platform/prompter.h"
#include "utility/devmgmt/device_view.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace utility::devmgmt {

inline constexpr const char* kSelectDevices = "Please select device(s) in the list !!";
inline constexpr const char* kRestoreQuestion
    = "This operation will return the device's default setting and reboot.\r\nDo you want to proceed ?";
inline constexpr const char* kRestoreTitle = "Reset";
inline constexpr const char* kRebootDevicesQuestion = "Do you really want to REBOOT device(s) ?";
inline constexpr const char* kRebootTitle = "Reboot";
inline constexpr const char* kUpgradeQuestion = "Do you really want to upgrade firmware code?";
inline constexpr const char* kUpgradeTitle = "Upgrade Info";
inline constexpr const char* kUpgradeSegmentWarning
    = "The device's IP network segment isn't same as host, please confirm that the device can access through "
      "Router or Gateway.";
inline constexpr const char* kInvalidTftpServer = "Invalid TFTP Server IP address!";
inline constexpr const char* kFileNameEmpty = "File name is empty!";
inline constexpr const char* kFileNameTooLong = "Please enter no more than 127 bytes!";
inline constexpr const char* kFirmwareFilter = "Binary files(*.bin)|*.bin|";
inline constexpr const char* kFirmwareExtension = "*.bin";

// How a multi-device command ended.
enum class CommandOutcome {
    NotStarted, // nothing checked, a question answered No, the dialog left
    Disconnected, // the last device was silent to its query (and nothing follows)
    Failed, // restore: no RestoreReply and nothing restored
    Restarting, // the devices restart; the new search follows (or has started)
};

// The work list of one command: the checked rows in list order.
struct WorkList {
    std::vector<std::size_t> rows;
    std::size_t next = 0;
    std::size_t remaining = 0;
    bool go = false;
    void reset(std::vector<std::size_t> checked)
    {
        rows = std::move(checked);
        next = 0;
        remaining = rows.size();
        go = false;
    }
};

// What the restore, reboot and upgrade sequences share: the view they work
// on, their running flag, the callback told how they ended, and their timers.
class DeviceCommand {
public:
    bool running() const { return m_running; }
    void setFinishedCallback(std::function<void(CommandOutcome)> callback) { m_finished = std::move(callback); }

protected:
    DeviceCommand(platform::EventLoop& loop, DeviceView& view, platform::Prompter& prompter)
        : m_loop(loop)
        , m_view(view)
        , m_prompter(prompter)
    {
    }
    ~DeviceCommand() = default;
    DeviceCommand(const DeviceCommand&) = delete;
    DeviceCommand& operator=(const DeviceCommand&) = delete;

    // A sequence starts only while no exchange with the devices runs: no
    // search, query step or countdown of the view, no other command.
    bool mayStart() const;
    void setRunning(bool running);
    void stopTimer(platform::TimerId& timer);
    void finish(CommandOutcome outcome);

    platform::EventLoop& m_loop;
    DeviceView& m_view;
    platform::Prompter& m_prompter;
    bool m_running = false;

private:
    std::function<void(CommandOutcome)> m_finished;
};

// "Restore": each checked device, one at a time, is queried, sent Restore and
// awaited for its RestoreReply; after at least one restore the list is
// searched again once the countdown has passed.
class DeviceRestore final : public DeviceCommand {
public:
    static constexpr platform::Duration kDriverTick = std::chrono::milliseconds(10);
    static constexpr platform::Duration kReplyPoll = std::chrono::milliseconds(100);

    DeviceRestore(platform::EventLoop& loop, DeviceView& view, platform::Prompter& prompter);
    ~DeviceRestore();
    DeviceRestore(const DeviceRestore&) = delete;
    DeviceRestore& operator=(const DeviceRestore&) = delete;

    void start();
    // Rows whose device sent its RestoreReply, in the order handled.
    const std::vector<std::size_t>& answered() const { return m_answered; }

private:
    void driverTick();
    void queryAnswered();
    void queryTimedOut();
    void replyPoll();
    void reportReplyWait() const;
    void stopDriver();

    WorkList m_work;
    bool m_restored = false;
    bool m_finishedCountdown = false;
    std::vector<std::size_t> m_answered;
    platform::TimerId m_driver = 0;
    platform::TimerId m_poll = 0;
};

// "Reboot": each checked device is queried and sent Reboot, one a second;
// the countdown starts with the first Reboot and ends in a new search.
class DeviceReboot final : public DeviceCommand {
public:
    static constexpr platform::Duration kDriverTick = std::chrono::seconds(1);
    static constexpr platform::Duration kCountdownTick = std::chrono::seconds(1);
    // The pause before the new search, per device rebooted.
    static constexpr platform::Duration kPausePerDevice = std::chrono::milliseconds(1200);
    static constexpr int kCountdownSpan = 850;

    DeviceReboot(platform::EventLoop& loop, DeviceView& view, platform::Prompter& prompter);
    ~DeviceReboot();
    DeviceReboot(const DeviceReboot&) = delete;
    DeviceReboot& operator=(const DeviceReboot&) = delete;

    void start();
    bool countingDown() const { return m_countdown != 0; }
    // Rows whose device answered its query and was sent Reboot.
    const std::vector<std::size_t>& answered() const { return m_answered; }

private:
    void driverTick();
    void queryAnswered();
    void queryTimedOut();
    void countdownTick();

    WorkList m_work;
    std::size_t m_total = 0;
    std::vector<std::size_t> m_answered;
    platform::TimerId m_driver = 0;
    platform::TimerId m_countdown = 0;
    platform::TimerId m_pause = 0;
    int m_counter = 0;
    int m_countdownLength = 0; // reboot period + the rows remaining at the first tick
};

// The Firmware Upgrade dialog's values.
struct UpgradeSettings {
    int period = 10; // seconds per device, 10..1000
    std::string server = "192.168.0.1"; // TFTP server, dotted
    std::string fileName = "zv.bin"; // at most 128 characters
};

// The upgrade period as the dialog corrects it on every change.
int clampUpgradePeriod(int period);
// "Upgrade Firmware": the message that keeps the dialog open, if any.
std::optional<std::string> validateUpgrade(const UpgradeSettings& settings);
// The browse button: the chosen file's name without its folder, or the
// message when it is too long (the field then keeps its text).
struct BrowsedName {
    std::optional<std::string> name;
    std::optional<std::string> error;
};
BrowsedName browsedFileName(const std::string& path);

// Shows the Firmware Upgrade dialog with the values, which it edits in place;
// true when it closed by "Upgrade Firmware" (after validateUpgrade passed).
class UpgradeDialog {
public:
    virtual ~UpgradeDialog() = default;
    virtual bool show(UpgradeSettings& settings) = 0;
};

// "Firmware Upgrade": one checked device is told to fetch new firmware from a
// TFTP server; after 2.1 upgrade periods the list is searched again.
class FirmwareUpgrade final : public DeviceCommand {
public:
    static constexpr int kProgressRange = 60;
    static constexpr int kSearchProgress = 30;

    // `settings` are the stored values the dialog opens with; `store` keeps
    // the accepted ones (the application settings).
    FirmwareUpgrade(platform::EventLoop& loop, DeviceView& view, platform::Prompter& prompter, UpgradeDialog& dialog);
    ~FirmwareUpgrade();
    FirmwareUpgrade(const FirmwareUpgrade&) = delete;
    FirmwareUpgrade& operator=(const FirmwareUpgrade&) = delete;

    void setSettings(const UpgradeSettings& settings) { m_settings = settings; }
    const UpgradeSettings& settings() const { return m_settings; }
    void setStore(std::function<void(const UpgradeSettings&)> store) { m_store = std::move(store); }

    void start();
    int ticks() const { return m_ticks; }

private:
    void sendUpgrade(std::size_t row);
    void driverTick();
    void progressTick();
    void reportUpgrade() const;

    UpgradeDialog& m_dialog;
    UpgradeSettings m_settings;
    std::function<void(const UpgradeSettings&)> m_store;
    WorkList m_work;
    platform::Ipv4 m_server = 0;
    std::string m_fileName;
    int m_ticks = 0;
    int m_tickLimit = -1; // ticks counted before the search; noted at the first tick
    platform::TimerId m_driver = 0;
    platform::TimerId m_progress = 0;
};

} // namespace utility::devmgmt
