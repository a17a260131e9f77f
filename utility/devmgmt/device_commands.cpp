#include "utility/devmgmt/device_commands.h"

#include "utility/devmgmt/command_steps.h"
#include "utility/devmgmt/device_setup.h"

#include <algorithm>

namespace utility::devmgmt {
namespace {

const char* const kStatusIdle = " Idle";
const char* const kStatusResetting = " Resetting ...";
const char* const kStatusRebooting = " Rebooting ...";
const char* const kStatusUpgrading = "Upgrading...";
const char* const kWarningTitle = "Warning !!";
const char* const kSettingResultTitle = "Setting Result";
const char* const kUpgradeSegmentTitle = "Warning";
constexpr int kProgressRestored = 200;
constexpr std::size_t kMaxWorkRows = 256;

std::string rowNumber(std::size_t row) { return std::to_string(row + 1); }

void setCommandButtons(DeviceView& view, bool enabled)
{
    for (int i = 0; i < kButtonCount; ++i)
        view.setButtonEnabled(static_cast<Button>(i), enabled);
}

std::vector<std::size_t> workRows(const DeviceView& view)
{
    auto rows = checkedRows(view);
    if (rows.size() > kMaxWorkRows)
        rows.resize(kMaxWorkRows);
    return rows;
}

// The reply in the command socket's buffer.
std::vector<std::uint8_t> takeReply(CommandSocket& socket)
{
    std::array<std::uint8_t, kMaxDatagram> buffer {};
    const std::int32_t length = socket.copyBuffer(buffer);
    return { buffer.begin(), buffer.begin() + std::max<std::int32_t>(length, 0) };
}

// The request identifies the device by its name as the list shows it and the
// MAC of its table entry.
MacAddress rowMac(const DeviceView& view, std::size_t row) { return view.entry(row).config().mac(); }
std::string rowName(const DeviceView& view, std::size_t row) { return view.rows()[row].texts[kColumnName]; }
std::string rowAddress(const DeviceView& view, std::size_t row) { return view.rows()[row].texts[kColumnIp]; }

} // namespace

// ---------------------------------------------------------------- Restore

bool DeviceCommand::mayStart() const { return !m_running && !m_view.exchangeRunning(); }

void DeviceCommand::setRunning(bool running)
{
    m_running = running;
    m_view.setCommandRunning(this, running);
}

void DeviceCommand::stopTimer(platform::TimerId& timer)
{
    if (timer != 0)
        m_loop.killTimer(timer);
    timer = 0;
}

void DeviceCommand::finish(CommandOutcome outcome)
{
    setRunning(false);
    if (m_finished)
        m_finished(outcome);
}

DeviceRestore::DeviceRestore(platform::EventLoop& loop, DeviceView& view, platform::Prompter& prompter)
    : DeviceCommand(loop, view, prompter)
{
}

DeviceRestore::~DeviceRestore()
{
    stopDriver();
    if (m_poll != 0)
        m_loop.killTimer(m_poll);
}

void DeviceRestore::stopDriver() { stopTimer(m_driver); }

void DeviceRestore::start()
{
    if (!mayStart())
        return;
    m_view.operation = DeviceOperation::Restore;
    m_view.setProgress(0);
    m_work.reset({});
    m_restored = false;
    m_finishedCountdown = false;
    m_answered.clear();
    m_work.reset(workRows(m_view));
    if (m_work.rows.empty()) {
        m_prompter.message(kSelectDevices, {}, platform::MessageIcon::Warning);
        finish(CommandOutcome::NotStarted);
        return;
    }
    m_view.checkedCount = static_cast<int>(m_work.rows.size());
    if (!m_prompter.confirm(kRestoreQuestion, kRestoreTitle, platform::MessageIcon::Information, true)) {
        finish(CommandOutcome::NotStarted);
        return;
    }
    if (!m_view.confirmSegment(rowAddress(m_view, m_work.rows.back()))) {
        finish(CommandOutcome::NotStarted);
        return;
    }
    setRunning(true);
    setCommandButtons(m_view, false);
    m_work.go = true;
    m_view.setStatusText(kStatusResetting);
    m_driver = m_loop.startTimer(kDriverTick, [this] { driverTick(); });
}

void DeviceRestore::driverTick()
{
    if (m_work.remaining > 0 && m_work.go) {
        m_work.go = false;
        m_view.currentRow = m_work.rows[m_work.next];
        m_view.steps().query(
            m_view.currentRow, [this] { queryAnswered(); }, [this] { queryTimedOut(); });
        return;
    }
    if (m_work.remaining == 0 && m_restored) {
        stopDriver();
        m_finishedCountdown = true;
        m_view.steps().startCountdown();
        finish(CommandOutcome::Restarting);
        return;
    }
    // Nothing left to send and nothing restored: the failure message has
    // ended the command, so the driver has nothing more to do.
    if (m_work.remaining == 0 && m_poll == 0 && !m_view.steps().querying())
        stopDriver();
}

void DeviceRestore::queryAnswered()
{
    const std::size_t row = m_view.currentRow;
    CommandSocket& socket = m_view.commandSocket();
    socket.prepareForRequest();
    socket.sendTo(
        rowAddress(m_view, row), buildRestore(rowName(m_view, row), rowMac(m_view, row)), m_view.ports().deviceCommand);
    ++m_work.next;
    --m_work.remaining;
    m_view.idleCounter = 0;
    m_poll = m_loop.startTimer(kReplyPoll, [this] { replyPoll(); });
    reportReplyWait();
}

void DeviceRestore::reportReplyWait() const
{
    const int pollLimit = m_view.checkedCount + m_view.periods().restore * 10;
    m_view.steps().report({ "Waiting for " + rowAddress(m_view, m_view.currentRow) + " to answer Restore", {},
        kReplyPoll * (pollLimit - static_cast<int>(m_view.idleCounter) + 1) });
}

void DeviceRestore::replyPoll()
{
    CommandSocket& socket = m_view.commandSocket();
    const std::size_t row = m_view.currentRow;
    if (socket.replyReady(opcode::kRestoreReply)) {
        m_loop.killTimer(m_poll);
        m_poll = 0;
        const auto reply = takeReply(socket);
        m_answered.push_back(row);
        m_view.steps().refreshRow(row, reply, kRestoreDoneText, CommandSteps::EmptyName::RowName);
        m_view.idleCounter = 0;
        socket.clearReceived();
        m_work.go = true;
        m_restored = true;
        m_view.setProgress(kProgressRestored);
        return;
    }
    const int restorePolls = m_view.periods().restore * 10;
    if (m_view.idleCounter < static_cast<unsigned>(m_view.checkedCount + restorePolls)) {
        ++m_view.idleCounter;
        reportReplyWait();
        if (m_work.remaining == 0 && !m_restored)
            m_view.setProgress(
                static_cast<int>(m_view.idleCounter) * (m_view.checkedCount + 900 / std::max(restorePolls, 1)));
        return;
    }
    m_loop.killTimer(m_poll);
    m_poll = 0;
    m_work.go = true;
    if (m_work.remaining == 0 && !m_restored && !m_finishedCountdown) {
        stopDriver();
        setCommandButtons(m_view, true);
        m_view.setStatusText(kStatusIdle);
        m_view.setProgress(DeviceView::kProgressMax);
        m_prompter.message(
            "Device NO." + rowNumber(row) + " resets failed.", kSettingResultTitle, platform::MessageIcon::Warning);
        m_view.steps().tellRefusals(row);
        finish(CommandOutcome::Failed);
    }
}

void DeviceRestore::queryTimedOut()
{
    const std::size_t row = m_view.currentRow;
    ++m_work.next;
    --m_work.remaining;
    if (m_work.remaining == 0) {
        m_view.setProgress(DeviceView::kProgressMax);
        m_view.setStatusText(kStatusIdle);
        setCommandButtons(m_view, true);
        m_prompter.message(
            "Device NO." + rowNumber(row) + " is disconnected.", kWarningTitle, platform::MessageIcon::Warning);
        m_view.steps().tellRefusals(row);
        // An earlier device restored still gets its new search from the
        // driver; otherwise the command ends here.
        if (!m_restored) {
            stopDriver();
            finish(CommandOutcome::Disconnected);
        }
        return;
    }
    m_work.go = true;
}

// ----------------------------------------------------------------- Reboot

DeviceReboot::DeviceReboot(platform::EventLoop& loop, DeviceView& view, platform::Prompter& prompter)
    : DeviceCommand(loop, view, prompter)
{
}

DeviceReboot::~DeviceReboot()
{
    stopTimer(m_driver);
    stopTimer(m_countdown);
    stopTimer(m_pause);
}

void DeviceReboot::start()
{
    if (!mayStart())
        return;
    m_view.operation = DeviceOperation::Reboot;
    m_view.setProgress(0);
    m_answered.clear();
    m_work.reset(workRows(m_view));
    m_total = m_work.rows.size();
    if (m_work.rows.empty()) {
        m_prompter.message(kSelectDevices, {}, platform::MessageIcon::Warning);
        finish(CommandOutcome::NotStarted);
        return;
    }
    m_view.checkedCount = static_cast<int>(m_total);
    if (!m_prompter.confirm(kRebootDevicesQuestion, kRebootTitle, platform::MessageIcon::Information, true)) {
        finish(CommandOutcome::NotStarted);
        return;
    }
    if (!m_view.confirmSegment(rowAddress(m_view, m_work.rows.back()))) {
        finish(CommandOutcome::NotStarted);
        return;
    }
    setRunning(true);
    setCommandButtons(m_view, false);
    m_view.setStatusText(kStatusRebooting);
    m_work.go = true;
    m_driver = m_loop.startTimer(kDriverTick, [this] { driverTick(); });
}

void DeviceReboot::driverTick()
{
    if (m_work.remaining > 0 && m_work.go) {
        m_work.go = false;
        m_view.currentRow = m_work.rows[m_work.next];
        m_view.steps().query(
            m_view.currentRow, [this] { queryAnswered(); }, [this] { queryTimedOut(); });
        return;
    }
    if (m_work.remaining == 0) {
        stopTimer(m_driver);
        m_work.go = false;
    }
}

void DeviceReboot::queryAnswered()
{
    const std::size_t row = m_view.currentRow;
    m_answered.push_back(row);
    if (m_countdown == 0) {
        m_counter = 0;
        m_countdownLength = -1;
        m_countdown = m_loop.startTimer(kCountdownTick, [this] { countdownTick(); });
    }
    CommandSocket& socket = m_view.commandSocket();
    socket.prepareForRequest();
    socket.sendTo(
        rowAddress(m_view, row), buildReboot(rowName(m_view, row), rowMac(m_view, row)), m_view.ports().deviceCommand);
    ++m_work.next;
    --m_work.remaining;
    m_work.go = true;
}

void DeviceReboot::queryTimedOut()
{
    const std::size_t row = m_view.currentRow;
    m_view.setChecked(row, false);
    ++m_work.next;
    --m_work.remaining;
    m_work.go = true;
    if (m_work.remaining == 0 && m_countdown == 0) {
        stopTimer(m_driver);
        m_view.setProgress(DeviceView::kProgressMax);
        m_view.setStatusText(kStatusIdle);
        setCommandButtons(m_view, true);
        m_prompter.message(
            "Device NO." + rowNumber(row) + " is disconnected.", kWarningTitle, platform::MessageIcon::Warning);
        m_view.steps().tellRefusals(row);
        finish(CommandOutcome::Disconnected);
    }
}

void DeviceReboot::countdownTick()
{
    if (m_countdownLength < 0)
        m_countdownLength = m_view.periods().reboot + static_cast<int>(m_work.remaining);
    const auto pause = kPausePerDevice * static_cast<int>(m_total);
    if (m_counter < m_countdownLength) {
        m_view.setProgress(m_counter * (kCountdownSpan / std::max(m_countdownLength, 1)));
        ++m_counter;
        // While devices are still being asked, their steps are what is shown.
        if (m_work.remaining == 0 && !m_view.steps().querying())
            m_view.steps().report({ kRestartStep, {}, kCountdownTick * (m_countdownLength - m_counter + 1) + pause });
        return;
    }
    if (m_work.remaining > 0)
        return;
    stopTimer(m_countdown);
    m_view.steps().report({ kRestartStep, {}, pause });
    m_view.clearList();
    // The devices need a moment more each; a timer keeps the loop running
    // meanwhile where a pause would freeze the window.
    m_pause = m_loop.startTimer(pause, [this] {
        stopTimer(m_pause);
        m_view.searchAgain();
        finish(CommandOutcome::Restarting);
    });
}

// ---------------------------------------------------------------- Upgrade

int clampUpgradePeriod(int period) { return std::clamp(period, 10, 1000); }

std::optional<std::string> validateUpgrade(const UpgradeSettings& settings)
{
    if (auto error = checkRange(settings.period, 10, 1000))
        return error;
    const auto address = platform::parseIpv4(settings.server);
    if (!address || *address == 0 || *address == 0xFFFFFFFFu || (*address >> 24) == 0)
        return std::string(kInvalidTftpServer);
    if (settings.fileName.empty())
        return std::string(kFileNameEmpty);
    return std::nullopt;
}

BrowsedName browsedFileName(const std::string& path)
{
    const auto slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.size() >= 128)
        return { std::nullopt, std::string(kFileNameTooLong) };
    return { std::move(name), std::nullopt };
}

FirmwareUpgrade::FirmwareUpgrade(
    platform::EventLoop& loop, DeviceView& view, platform::Prompter& prompter, UpgradeDialog& dialog)
    : DeviceCommand(loop, view, prompter)
    , m_dialog(dialog)
{
}

FirmwareUpgrade::~FirmwareUpgrade()
{
    stopTimer(m_driver);
    stopTimer(m_progress);
}

void FirmwareUpgrade::start()
{
    if (!mayStart())
        return;
    const auto rows = checkedRows(m_view);
    if (rows.empty()) {
        m_prompter.message(kSelectOneDevice, {}, platform::MessageIcon::Warning);
        finish(CommandOutcome::NotStarted);
        return;
    }
    if (rows.size() > 1) {
        m_prompter.message(kOneDeviceEachTime, {}, platform::MessageIcon::Warning);
        finish(CommandOutcome::NotStarted);
        return;
    }
    const std::size_t row = rows.front();
    if (!m_view.sameSegment(rowAddress(m_view, row))
        && !m_prompter.confirm(kUpgradeSegmentWarning, kUpgradeSegmentTitle, platform::MessageIcon::Warning, false)) {
        m_view.setChecked(row, false);
        finish(CommandOutcome::NotStarted);
        return;
    }
    UpgradeSettings edited = m_settings;
    edited.period = clampUpgradePeriod(edited.period);
    if (!m_dialog.show(edited) || validateUpgrade(edited)) {
        finish(CommandOutcome::NotStarted);
        return;
    }
    m_settings = edited;
    if (!m_prompter.confirm(kUpgradeQuestion, kUpgradeTitle, platform::MessageIcon::Information, true)) {
        finish(CommandOutcome::NotStarted);
        return;
    }
    setRunning(true);
    setCommandButtons(m_view, false);
    if (m_store)
        m_store(m_settings);
    m_server = platform::parseIpv4(m_settings.server).value_or(0);
    m_fileName = m_settings.fileName.substr(0, 128);
    m_view.setStatusText(kStatusUpgrading);
    m_view.setProgressRange(kProgressRange);
    m_view.setProgress(0);
    m_work.reset(rows);
    m_ticks = 0;
    m_tickLimit = -1;
    const auto period = std::chrono::seconds(m_settings.period);
    m_progress = m_loop.startTimer(period / 10, [this] { progressTick(); });
    m_driver = m_loop.startTimer(period, [this] { driverTick(); });
    sendUpgrade(m_work.rows[m_work.next]);
    reportUpgrade();
}

void FirmwareUpgrade::reportUpgrade() const
{
    // The device says nothing while it fetches and restarts: the time until
    // the new search is what there is to show.
    const int limit = m_tickLimit < 0 ? (static_cast<int>(m_work.remaining) + 2) * 10 : m_tickLimit;
    const auto tick = std::chrono::seconds(m_settings.period) / 10;
    m_view.steps().report({ "Waiting for " + rowAddress(m_view, m_view.currentRow) + " to fetch " + m_fileName
            + " from " + platform::formatIpv4(m_server) + " and restart",
        {}, tick * (limit - m_ticks + 1) });
}

void FirmwareUpgrade::sendUpgrade(std::size_t row)
{
    m_view.currentRow = row;
    CommandSocket& socket = m_view.commandSocket();
    socket.prepareForRequest();
    socket.sendTo(rowAddress(m_view, row),
        buildUpgrade(rowName(m_view, row), rowMac(m_view, row), m_server, m_fileName), m_view.ports().deviceCommand);
    ++m_work.next;
    --m_work.remaining;
}

void FirmwareUpgrade::driverTick()
{
    if (m_work.remaining == 0) {
        stopTimer(m_driver);
        return;
    }
    m_view.setStatusText(kStatusUpgrading);
    m_view.setProgressRange(kProgressRange);
    m_view.setProgress(0);
    sendUpgrade(m_work.rows[m_work.next]);
}

void FirmwareUpgrade::progressTick()
{
    if (m_tickLimit < 0)
        m_tickLimit = (static_cast<int>(m_work.remaining) + 2) * 10;
    if (m_ticks >= m_tickLimit) {
        stopTimer(m_progress);
        stopTimer(m_driver);
        m_view.setStatusText("");
        m_view.setProgress(kSearchProgress);
        m_view.clearList();
        m_view.searchAgain();
        finish(CommandOutcome::Restarting);
        return;
    }
    ++m_ticks;
    m_view.setProgress(m_view.progress() + 1);
    reportUpgrade();
}

} // namespace utility::devmgmt
