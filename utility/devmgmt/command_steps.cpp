#include "utility/devmgmt/command_steps.h"

namespace utility::devmgmt {
namespace {

const char* const kPortBelow1024 = "Port number should greater than 1024.";
const char* const kSearchResultTitle = "Searching Result";
const char* const kRefusedTitle = "Warning !!";
constexpr int kCountdownBase = 200;
constexpr int kCountdownSpan = 650;

} // namespace

CommandSteps::CommandSteps(platform::EventLoop& loop, DeviceView& view)
    : m_loop(loop)
    , m_view(view)
{
}

CommandSteps::~CommandSteps() { cancel(); }

void CommandSteps::cancel()
{
    if (m_queryTimer != 0)
        m_loop.killTimer(m_queryTimer);
    if (m_countdownTimer != 0)
        m_loop.killTimer(m_countdownTimer);
    m_queryTimer = 0;
    m_countdownTimer = 0;
}

void CommandSteps::query(std::size_t row, std::function<void()> answered, std::function<void()> timedOut)
{
    m_row = row;
    m_answered = std::move(answered);
    m_timedOut = std::move(timedOut);
    m_queryIdle = 0;
    CommandSocket& socket = m_view.commandSocket();
    socket.prepareForRequest();
    const std::string address = row < m_view.rowCount() ? m_view.rows()[row].texts[kColumnIp] : std::string();
    socket.sendTo(address, buildQuery(), m_view.ports().deviceCommand);
    if (m_queryTimer != 0)
        m_loop.killTimer(m_queryTimer);
    m_queryTimer = m_loop.startTimer(kQueryPoll, [this] { queryTick(); });
    reportQuery();
}

void CommandSteps::reportQuery() const
{
    const std::string address = m_row < m_view.rowCount() ? m_view.rows()[m_row].texts[kColumnIp] : std::string();
    report(
        { "Asking " + address + " whether it answers", {}, kQueryPoll * (m_view.periods().search - m_queryIdle + 1) });
}

void CommandSteps::queryTick()
{
    CommandSocket& socket = m_view.commandSocket();
    if (socket.replyReady(opcode::kQueryReply)) {
        std::array<std::uint8_t, kMaxDatagram> buffer {};
        const std::int32_t length = socket.copyBuffer(buffer);
        const DeviceConfig reply
            = DeviceConfig::fromDatagram({ buffer.data(), static_cast<std::size_t>(length < 0 ? 0 : length) });
        switch (reply.connectionState()) {
        case kStateIdle:
            m_view.setChecked(m_row, false);
            break;
        case kStateConnected:
            m_view.setRowText(m_row, kColumnStatus, "Connected");
            m_view.setRowColours(m_row, kConnectedRow, kBlack);
            m_view.setChecked(m_row, false);
            break;
        default:
            m_view.setRowText(m_row, kColumnStatus, "Unknown");
            break;
        }
        socket.prepareForRequest();
        socket.clearReceived();
        m_loop.killTimer(m_queryTimer);
        m_queryTimer = 0;
        if (auto next = std::move(m_answered))
            next();
        return;
    }
    if (m_queryIdle < m_view.periods().search) {
        ++m_queryIdle;
        reportQuery();
        return;
    }
    m_loop.killTimer(m_queryTimer);
    m_queryTimer = 0;
    if (auto next = std::move(m_timedOut))
        next();
}

void CommandSteps::refreshRow(std::size_t row, std::span<const std::uint8_t> reply, Rgb textColour, EmptyName emptyName)
{
    if (row >= m_view.rowCount())
        return;
    DeviceEntry& entry = m_view.mutableEntry(row);
    const std::size_t length = std::min(reply.size(), entry.record.size());
    entry.record.fill(0);
    std::copy_n(reply.begin(), length, entry.record.begin());
    entry.length = static_cast<std::int32_t>(length);
    m_view.setChecked(row, false);
    m_view.refreshRow(row);
    if (emptyName == EmptyName::Empty)
        m_view.setRowText(row, kColumnName, entry.config().name());
    m_view.setRowColours(row, kSearchedRow, textColour);
    if (std::stoi(m_view.rows()[row].texts[kColumnPort]) < 1024)
        m_view.prompter().message(kPortBelow1024, kSearchResultTitle, platform::MessageIcon::Information);
}

void CommandSteps::tellRefusals(std::size_t row)
{
    const std::string address = row < m_view.rowCount() ? m_view.rows()[row].texts[kColumnIp] : std::string();
    const std::string text = describeRefusals(m_view.commandSocket().refusals(), address);
    if (!text.empty())
        m_view.prompter().message(
            "Device NO." + std::to_string(row + 1) + ": " + text, kRefusedTitle, platform::MessageIcon::Warning);
}

void CommandSteps::startCountdown()
{
    m_countdown = 0;
    if (m_countdownTimer != 0)
        m_loop.killTimer(m_countdownTimer);
    m_countdownTimer = m_loop.startTimer(kCountdownTick, [this] { countdownTick(); });
}

void CommandSteps::countdownTick()
{
    const int total = m_view.periods().reboot + m_view.checkedCount;
    if (m_countdown < total) {
        m_view.setProgress(kCountdownBase + m_countdown * (kCountdownSpan / total));
        ++m_countdown;
        report({ kRestartStep, {}, kCountdownTick * (total - m_countdown + 1) });
        return;
    }
    m_loop.killTimer(m_countdownTimer);
    m_countdownTimer = 0;
    m_view.searchAgain();
}

} // namespace utility::devmgmt
