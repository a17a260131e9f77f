#include "utility/devmgmt/device_setup.h"

#include "utility/devmgmt/command_steps.h"

#include <algorithm>

namespace utility::devmgmt {
namespace {

const char* const kStatusIdle = " Idle";
const char* const kStatusSetting = " Device setting ...";
const char* const kSettingResultTitle = "Setting Result";
const char* const kWarningTitle = "Warning !!";
constexpr int kProgressSheet = 100;
constexpr int kProgressSetting = 200;

std::string rowNumber(std::size_t row) { return std::to_string(row + 1); }

// The eight command buttons as the set step leaves them.
void setCommandButtons(DeviceView& view, bool enabled)
{
    for (int i = 0; i < kButtonCount; ++i)
        view.setButtonEnabled(static_cast<Button>(i), enabled);
}

// None or several checked rows: the message, and no row.
std::optional<std::size_t> singleCheckedRow(DeviceView& view, platform::Prompter& prompter)
{
    const auto rows = checkedRows(view);
    if (rows.empty()) {
        prompter.message(kSelectOneDevice, {}, platform::MessageIcon::Warning);
        return std::nullopt;
    }
    if (rows.size() > 1) {
        prompter.message(kOneDeviceEachTime, {}, platform::MessageIcon::Warning);
        return std::nullopt;
    }
    return rows.front();
}

} // namespace

std::string shortRecordMessage(std::size_t row, std::int32_t length)
{
    return "Device NO." + rowNumber(row) + " replied with " + std::to_string(std::max<std::int32_t>(length, 0))
        + " of the " + std::to_string(kRecordSize)
        + " bytes of its settings: the reply is short, so the settings are not shown and nothing is sent.";
}

std::vector<std::size_t> checkedRows(const DeviceView& view)
{
    std::vector<std::size_t> rows;
    for (std::size_t i = 0; i < view.rowCount(); ++i)
        if (view.rows()[i].checked)
            rows.push_back(i);
    return rows;
}

DeviceSetup::DeviceSetup(platform::EventLoop& loop, DeviceView& view, SetupSheet& sheet, platform::Prompter& prompter,
    std::function<bool()> showSheet)
    : m_loop(loop)
    , m_view(view)
    , m_sheet(sheet)
    , m_prompter(prompter)
    , m_showSheet(std::move(showSheet))
{
}

DeviceSetup::~DeviceSetup()
{
    if (m_setTimer != 0)
        m_loop.killTimer(m_setTimer);
}

void DeviceSetup::finish(Outcome outcome)
{
    m_running = false;
    m_view.setCommandRunning(this, false);
    if (m_finished)
        m_finished(outcome);
}

void DeviceSetup::start()
{
    // Exchanges never overlap: the buttons are off while one runs, and a
    // double-click, which does not go through them, is refused as quietly as
    // a click on a disabled button.
    if (m_running || m_view.exchangeRunning())
        return;
    m_view.operation = DeviceOperation::Setup;
    m_view.setProgress(0);
    const auto row = singleCheckedRow(m_view, m_prompter);
    if (!row) {
        finish(Outcome::NotStarted);
        return;
    }
    m_view.currentRow = *row;
    m_view.checkedCount = 1;
    // The sheet shows and Submit sends every item of the record: bytes a
    // short reply lacks would go back to the device as zeros (921600 baud,
    // 5 data bits, odd parity, Xon/Xoff).
    const std::int32_t length = m_view.entry(*row).length;
    if (length < static_cast<std::int32_t>(kRecordSize)) {
        m_prompter.message(shortRecordMessage(*row, length), kSetupTitle, platform::MessageIcon::Warning);
        m_view.setChecked(*row, false);
        m_view.setStatusText(kStatusIdle);
        finish(Outcome::ShortRecord);
        return;
    }
    if (!m_view.confirmSegment(m_view.rows()[*row].texts[kColumnIp])) {
        m_view.setStatusText(kStatusIdle);
        finish(Outcome::NotStarted);
        return;
    }
    m_view.setProgress(kProgressSheet);
    m_sheet.open(m_view.entry(*row), *row);
    const bool submitted = m_showSheet && m_showSheet() && m_sheet.submitted();
    if (!submitted) {
        m_sheet.markNotSubmitted();
        m_view.setChecked(*row, false);
        m_view.setStatusText(kStatusIdle);
        m_view.setProgress(0);
        finish(Outcome::NotStarted);
        return;
    }
    if (!m_prompter.confirm(kRebootQuestion, kSetupTitle, platform::MessageIcon::Question, true)) {
        finish(Outcome::NotStarted);
        return;
    }
    m_running = true;
    m_view.setCommandRunning(this, true);
    m_view.setStatusText(kStatusSetting);
    m_view.steps().query(
        *row, [this] { queryAnswered(); }, [this] { queryTimedOut(); });
}

void DeviceSetup::queryTimedOut()
{
    const std::size_t row = m_view.currentRow;
    m_view.setChecked(row, false);
    m_view.setRowText(row, kColumnMode, "Disconnected");
    m_view.setRowColours(row, kLostRow, kBlack);
    m_view.setProgress(DeviceView::kProgressMax);
    m_view.setStatusText(kStatusIdle);
    m_prompter.message(
        "Device NO." + rowNumber(row) + " is disconnected.", kWarningTitle, platform::MessageIcon::Warning);
    m_view.steps().tellRefusals(row);
    finish(Outcome::Disconnected);
}

void DeviceSetup::queryAnswered()
{
    setCommandButtons(m_view, false);
    CommandSocket& socket = m_view.commandSocket();
    socket.prepareForRequest();
    const std::string address = m_view.rows()[m_view.currentRow].texts[kColumnIp];
    socket.sendTo(address, m_sheet.setConfig().bytes, m_view.ports().deviceCommand);
    m_view.idleCounter = 0;
    m_setTimer = m_loop.startTimer(kSetPoll, [this] { setTick(); });
}

void DeviceSetup::setTick()
{
    CommandSocket& socket = m_view.commandSocket();
    const std::size_t row = m_view.currentRow;
    if (socket.replyReady(opcode::kSetConfigReply)) {
        m_loop.killTimer(m_setTimer);
        m_setTimer = 0;
        std::array<std::uint8_t, kMaxDatagram> buffer {};
        const std::int32_t length = socket.copyBuffer(buffer);
        m_view.steps().refreshRow(row, { buffer.data(), static_cast<std::size_t>(length < 0 ? 0 : length) },
            kSetupDoneText, CommandSteps::EmptyName::Empty);
        m_view.idleCounter = 0;
        socket.clearReceived();
        m_view.setProgress(kProgressSetting);
        m_view.steps().startCountdown();
        finish(Outcome::Done);
        return;
    }
    if (m_view.idleCounter < static_cast<unsigned>(m_view.checkedCount + 100)) {
        m_view.setProgress(kProgressSetting);
        ++m_view.idleCounter;
        return;
    }
    m_loop.killTimer(m_setTimer);
    m_setTimer = 0;
    m_view.setProgress(DeviceView::kProgressMax);
    m_prompter.message(
        "Device NO." + rowNumber(row) + " sets failed.", kSettingResultTitle, platform::MessageIcon::Warning);
    m_view.steps().tellRefusals(row);
    setCommandButtons(m_view, true);
    m_view.setStatusText(kStatusIdle);
    finish(Outcome::Failed);
}

WebAccess::WebAccess(DeviceView& view, platform::Prompter& prompter, Openers openers)
    : m_view(view)
    , m_prompter(prompter)
    , m_openers(std::move(openers))
{
}

std::optional<std::string> WebAccess::click()
{
    const auto row = singleCheckedRow(m_view, m_prompter);
    m_view.setStatusText(kStatusIdle);
    if (!row)
        return std::nullopt;
    const std::string address = m_view.rows()[*row].texts[kColumnIp];
    if (!m_view.confirmSegment(address))
        return std::nullopt;
    const std::string url = "http://" + address;
    if (!m_view.useExternalBrowser()) {
        std::string why;
        if (m_openers.embedded && m_openers.embedded(url, why))
            return url;
        if (m_openers.log)
            m_openers.log("Web view unavailable (" + why + "); opening " + url + " in the external browser");
    }
    if (m_openers.external && !m_openers.external(url)) {
        if (m_openers.log)
            m_openers.log("Cannot open " + url + " in the external browser");
        return std::nullopt;
    }
    return url;
}

} // namespace utility::devmgmt
