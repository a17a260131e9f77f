#include "utility/vsp/connection_watch.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

using namespace std::chrono_literals;

namespace utility::vsp {

namespace {

enum Timer : int { kTimerSend = 1, kTimerEvaluate = 2 };

constexpr std::uint32_t kWatchStep = 256; // one evaluation without an answer
constexpr std::uint32_t kWatchLimit = 15361; // 60 such evaluations
constexpr std::string_view kSignature = "ZORVVROZ";
constexpr std::size_t kReplyAddress = 34;
constexpr std::size_t kReplyDataPort = 42;
constexpr std::size_t kReplyConnection = 69;

std::string closeFailure(std::size_t row, common::Win32Error error)
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    char buffer[160];
    std::snprintf(buffer, sizeof buffer,
        "date: %d hour: %d min: %d \r\nPortID %d fail to do IOCTL_DISCONNECTION (0x%x)\n", local.tm_mday, local.tm_hour,
        local.tm_min, static_cast<int>(row), static_cast<unsigned>(error));
    return buffer;
}

} // namespace

ConnectionWatch::ConnectionWatch(
    platform::EventLoop& loop, PortTable& table, WatchActions& actions, WatchOptions options)
    : m_loop(loop)
    , m_table(table)
    , m_actions(actions)
    , m_options(std::move(options))
    , m_timers(loop)
{
    resetStates();
}

ConnectionWatch::~ConnectionWatch()
{
    m_timers.killAll();
    if (m_socket)
        m_loop.unwatchFd(m_socket->fd());
}

void ConnectionWatch::start()
{
    resetStates();
    m_timers.start(kTimerSend, 5s, [this] { send(); });
}

void ConnectionWatch::removeRow(std::size_t row, std::size_t rowsBefore)
{
    if (rowsBefore == 0 || row >= rowsBefore)
        return;
    for (std::size_t index = row; index + 1 < rowsBefore; ++index) {
        m_states[index] = m_states[index + 1];
        m_askedLinks[index] = m_askedLinks[index + 1];
        m_staleAnswerLogged[index] = m_staleAnswerLogged[index + 1];
    }
    m_states[rowsBefore - 1] = kWatchNoAnswer;
    m_askedLinks[rowsBefore - 1].reset();
    m_staleAnswerLogged[rowsBefore - 1] = false;
}

bool ConnectionWatch::listen()
{
    if (m_socket)
        return true;
    auto opened = platform::UdpSocket::open();
    if (opened.ok() && opened->bind(m_options.bindAddress, m_options.watchPort).ok()) {
        m_socket = std::make_unique<platform::UdpSocket>(std::move(*opened));
        m_loop.watchFd(m_socket->fd(), platform::kIoRead, [this](unsigned) { receive(); });
        m_bindFailureTold = false;
        return true;
    }
    if (!m_bindFailureTold) {
        m_bindFailureTold = true;
        m_actions.cannotListen("Connection status check cannot listen on UDP " + m_options.bindAddress + ":"
            + std::to_string(m_options.watchPort) + " (" + (opened.ok() ? "in use" : "no socket")
            + "); missing replies are not counted until it can");
    }
    return false;
}

void ConnectionWatch::send()
{
    m_timers.kill(kTimerSend);
    if (!listen()) {
        // Replies could not arrive: a silent round says nothing about the
        // devices, so no query goes out and nothing is evaluated.
        m_timers.start(kTimerEvaluate, 5s, [this] {
            m_timers.kill(kTimerEvaluate);
            m_timers.start(kTimerSend, 10ms, [this] { send(); });
        });
        return;
    }
    // The signature and the opcode 0x00 (Query).
    std::array<std::uint8_t, 9> query {};
    std::copy(kSignature.begin(), kSignature.end(), query.begin());
    for (std::size_t row = 0; row < m_table.size(); ++row) {
        auto& r = m_table[row];
        if (!watchedStatus(r.status))
            continue;
        m_askedLinks[row] = m_actions.link(row);
        const bool sent = m_socket->sendTo(r.remoteIp, m_options.queryPort, query).ok();
        if (!sent && r.status != kStatusDisconnecting) {
            r.status = std::string(kStatusDisconnecting);
            m_actions.log(r.entry.portName + " " + r.status);
        }
    }
    m_timers.start(kTimerEvaluate, 5s, [this] { evaluate(); });
    m_actions.changed();
}

void ConnectionWatch::receive()
{
    std::uint8_t buffer[1500];
    for (;;) {
        platform::Endpoint sender;
        auto got = m_socket->receiveFrom(buffer, sender);
        if (!got.ok() || *got == 0)
            return;
        const std::size_t size = *got;
        if (size <= kReplyConnection || std::string_view(reinterpret_cast<const char*>(buffer), 8) != kSignature
            || buffer[8] != 1)
            continue;
        char current[16];
        std::snprintf(current, sizeof current, "%u.%u.%u.%u", buffer[kReplyAddress], buffer[kReplyAddress + 1],
            buffer[kReplyAddress + 2], buffer[kReplyAddress + 3]);
        // A device server with several serial ports answers for each on its
        // one address; its data port tells them apart.
        const std::string dataPort = std::to_string((buffer[kReplyDataPort] << 8) | buffer[kReplyDataPort + 1]);
        for (std::size_t row = 0; row < m_table.size(); ++row) {
            if (m_table[row].remoteIp == current && m_table[row].remotePort == dataPort)
                m_states[row] = buffer[kReplyConnection] ? kWatchAnswered : 0;
        }
    }
}

void ConnectionWatch::evaluateSilent(std::size_t row)
{
    auto& r = m_table[row];
    std::uint32_t& state = m_states[row];
    if (state < kWatchLimit) {
        state += kWatchStep;
        if (r.status != kStatusDisconnecting)
            m_actions.log(r.entry.portName + " " + std::string(kStatusDisconnecting));
        r.status = std::string(kStatusDisconnecting);
        m_actions.disconnecting(row);
        return;
    }
    const common::Win32Error error = m_actions.disconnect(row);
    if (error == common::kErrorSuccess) {
        m_closeFailureLogged[row] = false;
        m_table.showIdle(row);
        m_actions.log(r.entry.portName + " " + std::string(kStatusIdle));
    } else if (!m_closeFailureLogged[row]) {
        // Logged once per spell: the next rounds try again quietly.
        m_closeFailureLogged[row] = true;
        m_actions.log(closeFailure(row, error));
    }
}

void ConnectionWatch::evaluateNoConnection(std::size_t row)
{
    auto& r = m_table[row];
    const std::optional<PortLink> now = m_actions.link(row);
    const std::optional<PortLink>& asked = m_askedLinks[row];
    // The answer is about the moment the query went out. A link made since
    // then (the driver host restored it after a restart, say) is not the one
    // the device missed; nor can a restart in between, or a host that did
    // not answer, tell which link it was. Asked again next round; nothing is
    // closed or forgotten on its word.
    const bool sameHost = now && asked && now->session == asked->session;
    const bool linkedSince
        = sameHost && now->linkState == 1 && (asked->linkState != 1 || asked->localPort != now->localPort);
    if (!sameHost || linkedSince) {
        if (!m_staleAnswerLogged[row])
            m_actions.log(r.entry.portName + " device reports no connection, but the port was linked since it "
                + "was asked (or the driver host restarted); asking again");
        m_staleAnswerLogged[row] = true;
        return;
    }
    m_staleAnswerLogged[row] = false;
    m_actions.log(r.entry.portName + " device reports no connection");
    m_actions.closeReported(row);
}

void ConnectionWatch::evaluate()
{
    m_timers.kill(kTimerEvaluate);
    for (std::size_t row = 0; row < m_table.size(); ++row) {
        auto& r = m_table[row];
        if (!watchedStatus(r.status))
            continue;
        std::uint32_t& state = m_states[row];
        if (state & kWatchNoAnswer) {
            evaluateSilent(row);
        } else if (state == 0) {
            evaluateNoConnection(row);
        } else if (state == kWatchAnswered) {
            m_closeFailureLogged[row] = false;
            m_staleAnswerLogged[row] = false;
            if (r.status != kStatusConnected)
                m_actions.log(r.entry.portName + " " + std::string(kStatusConnected));
            r.status = std::string(kStatusConnected);
        }
        state |= kWatchNoAnswer;
    }
    m_timers.start(kTimerSend, 10ms, [this] { send(); });
    m_actions.changed();
}

} // namespace utility::vsp
