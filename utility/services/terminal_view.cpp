#include "utility/services/terminal_view.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace utility::services {

namespace {

constexpr int kEchoTimer = 1;
constexpr int kAutoTestTimer = 2;
constexpr std::size_t kMaxLogChars = 60000;
constexpr std::size_t kMaxReceiveLines = 1000;
constexpr std::size_t kMaxStatusLines = 2000;

int clampIndex(int index, std::size_t size) { return std::clamp(index, 0, static_cast<int>(size) - 1); }

std::uint32_t baudOf(int index)
{
    return static_cast<std::uint32_t>(std::atoi(kTerminalBaudRates[static_cast<std::size_t>(clampIndex(index, 10))]));
}

std::size_t lineCount(const std::string& text)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
}

} // namespace

platform::SerialSettings terminalSerialSettings(const shell::TerminalSettings& lists)
{
    platform::SerialSettings settings;
    settings.baud = baudOf(lists.baudRateIndex);
    settings.dataBits = 8 - clampIndex(lists.dataBitsIndex, kTerminalDataBits.size());
    static constexpr platform::Parity kParity[]
        = { platform::Parity::Odd, platform::Parity::Even, platform::Parity::None };
    settings.parity = kParity[clampIndex(lists.parityIndex, 3)];
    // termios knows one or two stop bits; with five data bits "two" is sent
    // as one and a half, as the serial hardware does.
    settings.stopBits = clampIndex(lists.stopBitsIndex, 3) == 0 ? 1 : 2;
    static constexpr platform::FlowControl kFlow[]
        = { platform::FlowControl::None, platform::FlowControl::XonXoff, platform::FlowControl::Hardware };
    settings.flow = kFlow[clampIndex(lists.flowControlIndex, 3)];
    return settings;
}

Terminal::Terminal(platform::EventLoop& loop, TerminalEnvironment& environment, int number)
    : m_loop(loop)
    , m_environment(environment)
    , m_number(number)
    , m_port(loop, [this](const std::uint8_t* data, std::size_t size) { receive(data, size); })
    , m_timers(loop)
{
    m_port.setGoneCallback([this] { portGone(); });
}

void Terminal::portGone()
{
    // Closed as by Close Port, and said: a terminal that runs on silently
    // looks like a quiet device.
    const std::string name = m_openName;
    m_autoTest = false;
    m_lists.echo = false;
    m_echoRunning = false;
    stopTimers();
    m_port.close();
    m_openName.clear();
    m_echoText.clear();
    appendStatus(name + " is gone: its device hung up. " + name + " closed.\r\n");
    changed();
    if (m_goneCallback)
        m_goneCallback();
}

Terminal::~Terminal()
{
    m_timers.killAll();
    m_port.close();
}

void Terminal::changed()
{
    if (m_changed)
        m_changed();
}

void Terminal::selectPort(int index)
{
    if (isOpen() || index < 0 || index >= static_cast<int>(m_ports.size()))
        return;
    m_portIndex = index;
    changed();
}

void Terminal::choosePort(const std::string& name)
{
    if (isOpen())
        return;
    for (std::size_t i = 0; i < m_ports.size(); ++i) {
        if (m_ports[i].name == name || m_ports[i].device == name) {
            m_portIndex = static_cast<int>(i);
            changed();
            return;
        }
    }
    m_ports.push_back({ name, m_environment.scanner.deviceFor(name) });
    m_portIndex = static_cast<int>(m_ports.size()) - 1;
    changed();
}

std::string Terminal::portText() const
{
    return m_portIndex >= 0 && m_portIndex < static_cast<int>(m_ports.size())
        ? m_ports[static_cast<std::size_t>(m_portIndex)].name
        : std::string();
}

void Terminal::refillPorts()
{
    if (isOpen())
        return;
    m_ports = m_environment.scanner.openable();
    m_portIndex = m_ports.empty() ? -1 : 0;
    changed();
}

void Terminal::applySettings(const shell::TerminalSettings& settings)
{
    m_lists.baudRateIndex = clampIndex(settings.baudRateIndex, kTerminalBaudRates.size());
    m_lists.dataBitsIndex = clampIndex(settings.dataBitsIndex, kTerminalDataBits.size());
    m_lists.parityIndex = clampIndex(settings.parityIndex, kTerminalParities.size());
    m_lists.stopBitsIndex = clampIndex(settings.stopBitsIndex, kTerminalStopBits.size());
    m_lists.flowControlIndex = clampIndex(settings.flowControlIndex, kTerminalFlows.size());
    m_lists.echo = settings.echo;
    m_lists.testIntervalMs = std::clamp(settings.testIntervalMs, kTerminalMinInterval, kTerminalMaxInterval);
    m_lists.testDataLength = std::clamp(settings.testDataLength, 1, kTerminalMaxLength);
    changed();
}

void Terminal::setBaudIndex(int index)
{
    if (!isOpen()) {
        m_lists.baudRateIndex = clampIndex(index, kTerminalBaudRates.size());
        m_freeBaud = 0;
    }
    changed();
}

void Terminal::setBaudRate(std::uint32_t rate)
{
    if (isOpen())
        return;
    m_freeBaud = rate;
    for (std::size_t i = 0; i < kTerminalBaudRates.size(); ++i)
        if (baudOf(static_cast<int>(i)) == rate) {
            m_lists.baudRateIndex = static_cast<int>(i);
            m_freeBaud = 0;
        }
    changed();
}

std::uint32_t Terminal::baudRate() const { return m_freeBaud ? m_freeBaud : baudOf(m_lists.baudRateIndex); }
void Terminal::setDataBitsIndex(int index)
{
    if (!isOpen())
        m_lists.dataBitsIndex = clampIndex(index, kTerminalDataBits.size());
    changed();
}
void Terminal::setParityIndex(int index)
{
    if (!isOpen())
        m_lists.parityIndex = clampIndex(index, kTerminalParities.size());
    changed();
}
void Terminal::setStopBitsIndex(int index)
{
    if (!isOpen())
        m_lists.stopBitsIndex = clampIndex(index, kTerminalStopBits.size());
    changed();
}
void Terminal::setFlowIndex(int index)
{
    if (!isOpen())
        m_lists.flowControlIndex = clampIndex(index, kTerminalFlows.size());
    changed();
}

void Terminal::setInterval(int milliseconds)
{
    takeFields();
    m_lists.testIntervalMs = std::clamp(milliseconds, kTerminalMinInterval, kTerminalMaxInterval);
    changed();
}

void Terminal::setLength(int length)
{
    takeFields();
    int value = std::clamp(length, 1, kTerminalMaxLength);
    // No more than the baud rate carries in one interval.
    const long long carried = static_cast<long long>(baudRate()) * m_lists.testIntervalMs / 8000;
    if (carried < value)
        value = static_cast<int>(std::max<long long>(carried, 1));
    m_lists.testDataLength = value;
    changed();
}

void Terminal::clickOpen()
{
    takeFields();
    const std::string name = portText();
    const std::string device = name.empty() ? std::string() : m_ports[static_cast<std::size_t>(m_portIndex)].device;
    platform::SerialSettings settings = terminalSerialSettings(m_lists);
    settings.baud = baudRate();
    if (device.empty() || !m_port.open(device, settings)) {
        appendStatus("Open " + name + " failed!\r\n");
        changed();
        return;
    }
    if (settings.baud == 9600 && !(m_environment.isVirtualPort && m_environment.isVirtualPort(name)))
        m_rawDisplay = false;
    m_openName = name;
    m_typedCount = 0;
    m_echoText.clear();
    appendStatus("Open " + name + " successfully.\r\n");
    // Echo kept checked from the settings runs from the moment the port opens.
    if (m_lists.echo)
        setEcho(true);
    changed();
}

void Terminal::stopTimers()
{
    m_timers.kill(kEchoTimer);
    m_timers.kill(kAutoTestTimer);
}

void Terminal::clickClose()
{
    takeFields();
    m_autoTest = false;
    m_lists.echo = false;
    m_echoRunning = false;
    stopTimers();
    m_port.close();
    m_openName.clear();
    m_echoText.clear();
    appendStatus(portText() + " closed.\r\n");
    changed();
}

bool Terminal::closeIfNamed(const std::string& name)
{
    if (!isOpen() || m_openName != name)
        return false;
    m_timers.kill(kAutoTestTimer);
    clickClose();
    return true;
}

void Terminal::clickPurge()
{
    takeFields();
    m_port.purge();
    changed();
}

void Terminal::clickClearLog()
{
    takeFields();
    emptyLog();
    changed();
}

void Terminal::setEcho(bool on)
{
    takeFields();
    m_lists.echo = on;
    if (!isOpen()) {
        changed();
        return;
    }
    m_echoRunning = on;
    if (on)
        m_timers.start(kEchoTimer, std::chrono::milliseconds(1000), [this] { flushEcho(); });
    else
        m_timers.kill(kEchoTimer);
    changed();
}

void Terminal::flushEcho()
{
    if (m_echoText.empty())
        return;
    m_port.write(m_echoText);
    m_echoText.clear();
}

void Terminal::setAutoTest(bool on)
{
    takeFields();
    if (on == m_autoTest || (on && !autoTestEnabled()))
        return;
    m_autoTest = on;
    if (on) {
        if (m_environment.systemLog)
            m_environment.systemLog(portText() + " Auto Test function starts.");
        m_port.clearBytesReceived();
        m_timers.start(kAutoTestTimer, std::chrono::milliseconds(m_lists.testIntervalMs), [this] { sendPacket(); });
        m_fill = '0';
        sendPacket();
    } else {
        if (m_environment.systemLog)
            m_environment.systemLog(portText() + " Auto Test function stoped.");
        m_timers.kill(kAutoTestTimer);
    }
    changed();
}

void Terminal::sendPacket()
{
    if (m_fill == 0x3A)
        m_fill = 0x41;
    else if (m_fill == 0x5B)
        m_fill = 0x61;
    else if (m_fill == 0x7B)
        m_fill = 0x30;
    std::string packet(static_cast<std::size_t>(m_lists.testDataLength), m_fill);
    packet += "\r\n";
    m_port.write(packet);
    ++m_fill;
}

bool Terminal::type(std::uint8_t key)
{
    const bool sendable = (key >= 0x21 && key <= 0x7F) || key == '\r' || (key == '\b' && m_typedCount > 0);
    const bool sent = sendable && isOpen();
    if (sent) {
        m_port.write(&key, 1);
        ++m_typedCount;
    }
    if (key == '\r')
        m_typedCount = 0;
    // Typed characters never enter the log, so there is no change of theirs
    // to take back when the count returns to 0.
    return sent;
}

void Terminal::send(const std::uint8_t* data, std::size_t size)
{
    if (isOpen() && size > 0)
        m_port.write(data, size);
}

void Terminal::receive(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return;
    const std::string block(reinterpret_cast<const char*>(data), size);
    if (m_echoRunning) {
        // Every byte goes back, zero bytes included.
        m_echoText += block;
        if (m_echoText.find('\r') != std::string::npos)
            flushEcho();
    }
    if (lineCount(m_log) > kMaxReceiveLines || m_log.size() > kMaxLogChars)
        emptyLog();
    const char first = block[0];
    if (m_rawDisplay) {
        appendReceived(block);
    } else if (first == '\b') {
        if (m_typedCount > 0) {
            undo();
            --m_typedCount;
        }
    } else if (first == '\r') {
        if (m_lastFirst == '\n' || m_lastFirst == '\r')
            appendReceived("\r\n");
    } else if (first == '\n') {
        // not shown
    } else if (first == ' ' && m_typedCount > 0 && m_lastFirst == '\b') {
        // the blank of the device's "\b \b"
    } else {
        appendReceived(block);
    }
    m_lastFirst = first;
}

void Terminal::appendStatus(const std::string& text)
{
    if (lineCount(m_log) > kMaxStatusLines || m_log.size() > kMaxLogChars)
        emptyLog();
    append(text, false);
}

void Terminal::appendReceived(const std::string& text) { append(text, true); }

void Terminal::append(const std::string& text, bool received)
{
    m_log += text;
    m_undo.push_back(text.size());
    if (m_logCallback)
        m_logCallback({ LogChange::Append, text, received });
}

void Terminal::undo()
{
    if (m_undo.empty())
        return;
    const std::size_t size = std::min(m_undo.back(), m_log.size());
    m_undo.pop_back();
    std::string removed = m_log.substr(m_log.size() - size);
    m_log.resize(m_log.size() - size);
    if (m_logCallback)
        m_logCallback({ LogChange::Undo, removed, true });
}

void Terminal::emptyLog()
{
    m_log.clear();
    m_undo.clear();
    if (m_logCallback)
        m_logCallback({ LogChange::Clear, {}, false });
}

TerminalView::TerminalView(platform::EventLoop& loop, TerminalEnvironment environment)
    : m_environment(std::move(environment))
{
    m_terminals[0] = std::make_unique<Terminal>(loop, m_environment, 1);
    m_terminals[1] = std::make_unique<Terminal>(loop, m_environment, 2);
}

TerminalView::~TerminalView() = default;

void TerminalView::firstShown(const shell::AppSettings& settings)
{
    m_shown = true;
    for (std::size_t i = 0; i < 2; ++i) {
        m_terminals[i]->refillPorts();
        m_terminals[i]->applySettings(settings.terminal[i]);
    }
}

void TerminalView::handOver(shell::AppSettings& settings) const
{
    if (!m_shown)
        return; // never shown: the items keep what was loaded
    for (std::size_t i = 0; i < 2; ++i)
        settings.terminal[i] = m_terminals[i]->lists();
}

bool TerminalView::closeByName(const std::string& name)
{
    bool closed = false;
    for (auto& terminal : m_terminals)
        closed = terminal->closeIfNamed(name) || closed;
    return closed;
}

void TerminalView::refreshPortLists()
{
    for (auto& terminal : m_terminals)
        terminal->refillPorts();
}

} // namespace utility::services
