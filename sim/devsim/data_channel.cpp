#include "sim/devsim/data_channel.h"

#include "sim/devsim/device.h"

#include <algorithm>
#include <array>
#include <cerrno>

namespace sim::devsim {
namespace {

constexpr int kRetryTimer = 1;
// Serial bytes per DataPacket or raw datagram from the device.
constexpr std::size_t kSendChunk = 1024;
constexpr std::size_t kReceiveChunk = 4096;
// Reads per readiness callback, so one busy port cannot starve the loop.
constexpr int kReadsPerEvent = 16;
bool isAgain(const platform::Error& error) { return error.code == EAGAIN || error.code == EWOULDBLOCK; }

} // namespace

SerialState serialStateFromSettings(const DeviceConfig& settings)
{
    SerialState state;
    if (!applyBaudCode(state, settings.baudCode))
        state.baud = kBaudRates[1];
    state.dataBits = settings.dataBitsCode < kDataBits.size() ? kDataBits[settings.dataBitsCode] : 8;
    // The record's codes: parity 0 odd, 1 even, 2 none; stop bits 0 one,
    // 1 one and a half, 2 two; flow 0 XON/XOFF, 1 hardware, 2 none.
    static constexpr ParityMode kParities[] = { ParityMode::Odd, ParityMode::Even, ParityMode::None };
    static constexpr StopBits kStops[] = { StopBits::One, StopBits::OneAndHalf, StopBits::Two };
    static constexpr FlowMode kFlows[] = { FlowMode::Software, FlowMode::Hardware, FlowMode::None };
    state.parity = settings.parityCode < 3 ? kParities[settings.parityCode] : ParityMode::None;
    state.stopBits = settings.stopBitsCode < 3 ? kStops[settings.stopBitsCode] : StopBits::One;
    state.flow = settings.flowControlCode < 3 ? kFlows[settings.flowControlCode] : FlowMode::None;
    return state;
}

DataChannel::DataChannel(platform::EventLoop& loop, const DeviceLog& log, std::string label,
    DataChannelSettings settings, SerialSide& serial, DeviceStatus& status)
    : m_loop(loop)
    , m_log(log)
    , m_label(std::move(label))
    , m_settings(std::move(settings))
    , m_serial(serial)
    , m_status(status)
    , m_timers(loop)
    , m_state(m_settings.serial)
{
}

DataChannel::~DataChannel() { stop(); }

std::string DataChannel::describe() const
{
    std::string text = std::string(m_settings.udp ? "udp " : "tcp ") + (m_settings.client ? "client " : "server ");
    text += m_settings.client ? "to " + m_settings.destination.text() : localEndpoint().text();
    return text + (m_settings.framing ? " framed" : " raw");
}

platform::Endpoint DataChannel::localEndpoint() const
{
    if (m_settings.udp)
        return m_udp.localEndpoint();
    return m_settings.client ? m_connection.localEndpoint() : m_listener.localEndpoint();
}

platform::Result<void> DataChannel::start()
{
    if (m_running)
        return {};
    m_state = m_settings.serial;
    m_serial.showLineSettings(m_state);
    m_serial.setInputHandler([this](std::span<const std::uint8_t> bytes) { onSerialInput(bytes); });
    m_serial.setDrainHandler([this] { updateFlow(); });
    if (m_settings.udp) {
        SUITE_TRY_ASSIGN(m_udp, platform::UdpSocket::open());
        auto bound = m_udp.bind(m_settings.localAddress, m_settings.localPort);
        if (!bound.ok()) {
            m_udp.close();
            return platform::Error { m_label + ": cannot use UDP data port " + std::to_string(m_settings.localPort)
                    + ": " + bound.error().message,
                bound.error().code };
        }
        m_running = true;
        updateFlow();
        if (m_settings.client)
            sayHello();
        return {};
    }
    if (m_settings.client) {
        m_running = true;
        connectToDestination();
        return {};
    }
    auto listener = platform::TcpListener::listen(m_settings.localAddress, m_settings.localPort);
    if (!listener.ok())
        return platform::Error { m_label + ": cannot listen on TCP data port " + std::to_string(m_settings.localPort)
                + ": " + listener.error().message,
            listener.error().code };
    m_listener = std::move(*listener);
    m_loop.watchFd(m_listener.fd(), platform::kIoRead, [this](unsigned) { onAcceptable(); });
    m_running = true;
    return {};
}

void DataChannel::stop()
{
    m_timers.killAll();
    if (m_connection.isOpen()) {
        m_loop.unwatchFd(m_connection.fd());
        m_connection.closeReset();
    }
    if (m_listener.isOpen()) {
        m_loop.unwatchFd(m_listener.fd());
        m_listener.close();
    }
    if (m_udp.isOpen()) {
        m_loop.unwatchFd(m_udp.fd());
        m_udp.close();
    }
    if (m_running) {
        m_serial.setInputHandler({});
        m_serial.setDrainHandler({});
        m_serial.setInputEnabled(true);
    }
    m_connecting = false;
    m_tcpOut.clear();
    m_tcpOutStart = 0;
    m_udpOut.clear();
    m_udpOutBytes = 0;
    m_parser.reset();
    m_dataRun.clear();
    if (m_connected) {
        m_connected = false;
        m_status.connectionState = 0;
    }
    m_peer = {};
    m_running = false;
}

// ---- TCP ----

void DataChannel::onAcceptable()
{
    while (m_listener.isOpen()) {
        platform::Endpoint from;
        auto accepted = m_listener.accept(from);
        if (!accepted.ok())
            return;
        if (m_connection.isOpen()) {
            // One port at a time: a second one learns at once that it is
            // not served, instead of waiting in a queue for nothing.
            accepted->closeReset();
            m_log.event(
                m_label + ": data connection from " + from.text() + " refused: " + m_peer.text() + " is connected");
            continue;
        }
        m_connection = std::move(*accepted);
        (void)m_connection.setNoDelay(true); // serial bytes are small and want to go at once
        setConnected(true, from, "data connection from " + from.text());
    }
}

void DataChannel::connectToDestination()
{
    m_timers.kill(kRetryTimer);
    if (m_settings.destination.address == 0 || m_settings.destination.port == 0) {
        m_log.event(m_label + ": client mode without a destination; no data connection");
        return;
    }
    auto socket = platform::TcpSocket::open();
    if (!socket.ok()) {
        m_log.event(m_label + ": cannot connect to " + m_settings.destination.text() + ": " + socket.error().message);
        scheduleRetry();
        return;
    }
    // From the device's own address, as the port sees a device server.
    auto bound = socket->bind(m_settings.localAddress, 0);
    auto started = bound.ok() ? socket->connect(m_settings.destination)
                              : platform::Result<platform::TcpSocket::ConnectStatus>(bound.error());
    if (!started.ok()) {
        m_log.event(m_label + ": cannot connect to " + m_settings.destination.text() + ": " + started.error().message);
        scheduleRetry();
        return;
    }
    m_connection = std::move(*socket);
    if (*started == platform::TcpSocket::ConnectStatus::Connected) {
        onConnecting(platform::kIoWrite);
        return;
    }
    m_connecting = true;
    m_loop.watchFd(m_connection.fd(), platform::kIoWrite, [this](unsigned events) { onConnecting(events); });
}

void DataChannel::onConnecting(unsigned)
{
    m_connecting = false;
    auto finished = m_connection.finishConnect();
    if (!finished.ok()) {
        m_loop.unwatchFd(m_connection.fd());
        m_connection.close();
        m_log.event(m_label + ": cannot connect to " + m_settings.destination.text() + ": " + finished.error().message);
        scheduleRetry();
        return;
    }
    (void)m_connection.setNoDelay(true);
    setConnected(true, m_settings.destination, "connected to " + m_settings.destination.text());
}

void DataChannel::scheduleRetry()
{
    m_timers.start(kRetryTimer, m_settings.reconnectTime, [this] {
        m_timers.kill(kRetryTimer);
        if (m_settings.udp)
            sayHello();
        else
            connectToDestination();
    });
}

void DataChannel::onConnectionEvents(unsigned events)
{
    if (!m_connection.isOpen())
        return;
    if (events & platform::kIoWrite)
        flushTcp();
    if (!m_connection.isOpen() || !(events & (platform::kIoRead | platform::kIoError)))
        return;
    std::array<std::uint8_t, kReceiveChunk> buffer;
    // An error or hang-up is read even while the serial side is backed up,
    // so the loss of the connection is noticed.
    const bool mustRead = (events & platform::kIoError) != 0;
    for (int i = 0; i < kReadsPerEvent && m_connection.isOpen() && (m_readingNetwork || (mustRead && i == 0)); ++i) {
        auto received = m_connection.receive(buffer);
        if (!received.ok()) {
            if (!isAgain(received.error()))
                dropConnection(received.error().message);
            return;
        }
        if (*received == 0) {
            dropConnection("closed by " + m_peer.text());
            return;
        }
        onStreamBytes(std::span<const std::uint8_t>(buffer.data(), *received));
    }
}

void DataChannel::dropConnection(const std::string& why)
{
    if (m_connection.isOpen()) {
        m_loop.unwatchFd(m_connection.fd());
        m_connection.closeReset();
    }
    m_tcpOut.clear();
    m_tcpOutStart = 0;
    m_parser.reset();
    m_dataRun.clear();
    setConnected(false, {}, "data connection ended: " + why);
    if (m_settings.client && m_running)
        scheduleRetry();
}

void DataChannel::flushTcp()
{
    while (m_connection.isOpen() && m_tcpOutStart < m_tcpOut.size()) {
        auto sent = m_connection.send(std::span<const std::uint8_t>(m_tcpOut).subspan(m_tcpOutStart));
        if (!sent.ok()) {
            if (isAgain(sent.error()))
                break;
            dropConnection(sent.error().message);
            return;
        }
        m_tcpOutStart += *sent;
    }
    if (m_tcpOutStart == m_tcpOut.size()) {
        m_tcpOut.clear();
        m_tcpOutStart = 0;
    } else if (m_tcpOutStart > m_tcpOut.size() / 2) {
        m_tcpOut.erase(m_tcpOut.begin(), m_tcpOut.begin() + static_cast<std::ptrdiff_t>(m_tcpOutStart));
        m_tcpOutStart = 0;
    }
    updateFlow();
}

// ---- Both ----

void DataChannel::onStreamBytes(std::span<const std::uint8_t> bytes)
{
    if (!m_settings.framing) {
        toSerial(bytes);
        return;
    }
    // The payloads of data packets in a row go to the serial side in one
    // write, as a device server's UART takes a stream: a packet per write
    // would cost this simulator far more than the port it serves.
    m_parser.feed(bytes, [this](std::uint8_t type, std::span<const std::uint8_t> payload) { onPacket(type, payload); });
    flushDataRun();
}

void DataChannel::flushDataRun()
{
    if (m_dataRun.empty())
        return;
    std::vector<std::uint8_t> run;
    run.swap(m_dataRun);
    toSerial(run);
}

void DataChannel::onPacket(std::uint8_t type, std::span<const std::uint8_t> payload)
{
    if (m_log.verbose())
        verbose(m_label + " <- " + m_peer.text() + " " + packetName(type, payload));
    if (type == packet::kData) {
        m_dataRun.insert(m_dataRun.end(), payload.begin(), payload.end());
        return;
    }
    // What came before a control packet reaches the line before it acts.
    flushDataRun();
    switch (type) {
    case packet::kControl:
        if (payload.size() > packet::kMaxControlPayload) {
            verbose(m_label + ": control packet of " + std::to_string(payload.size()) + " bytes skipped");
            return;
        }
        onControl(payload);
        return;
    default:
        // A connection needs no greeting or farewell; unknown types are
        // skipped by their length, so the stream stays in step.
        return;
    }
}

void DataChannel::toSerial(std::span<const std::uint8_t> bytes)
{
    if (bytes.empty())
        return;
    m_status.serialTxCount += static_cast<std::uint32_t>(bytes.size());
    m_serial.write(bytes);
    updateFlow();
}

void DataChannel::onSerialInput(std::span<const std::uint8_t> bytes)
{
    if (!m_connected) {
        m_dropped += bytes.size();
        verbose(m_label + ": " + std::to_string(bytes.size()) + " serial bytes dropped: no data connection ("
            + std::to_string(m_dropped) + " so far)");
        return;
    }
    m_status.serialRxCount += static_cast<std::uint32_t>(bytes.size());
    // A connection takes the chunks of one read in one send; a datagram
    // carries one chunk.
    while (!bytes.empty()) {
        const auto chunk = bytes.first(std::min(bytes.size(), kSendChunk));
        bytes = bytes.subspan(chunk.size());
        if (m_settings.framing)
            send(encodePacket(packet::kData, chunk), bytes.empty());
        else
            send(std::vector<std::uint8_t>(chunk.begin(), chunk.end()), bytes.empty());
    }
}

void DataChannel::send(std::vector<std::uint8_t> bytes, bool flush)
{
    if (!m_connected)
        return;
    if (m_settings.udp) {
        m_udpOutBytes += bytes.size();
        m_udpOut.push_back(std::move(bytes));
        flushUdp();
        return;
    }
    m_tcpOut.insert(m_tcpOut.end(), bytes.begin(), bytes.end());
    if (flush)
        flushTcp();
}

void DataChannel::setConnected(bool connected, const platform::Endpoint& peer, const std::string& how)
{
    const bool changed = connected != m_connected || !(peer == m_peer);
    m_connected = connected;
    m_peer = connected ? peer : platform::Endpoint {};
    m_status.connectionState = connected ? 1 : 0;
    if (!changed)
        return;
    m_log.event(m_label + ": " + how);
    if (!connected) {
        m_udpOut.clear();
        m_udpOutBytes = 0;
        updateFlow();
        return;
    }
    if (m_settings.udp && m_settings.framing) {
        // A server answers a greeting; a client greets its destination.
        verbose(m_label + " -> " + m_peer.text() + " HelloPacket");
        send(encodePacket(packet::kHello, {}));
    }
    // The port learns the lines as they are, not only their next change.
    report(control::kModemStatus);
    updateFlow();
}

std::size_t DataChannel::networkBacklog() const
{
    return m_settings.udp ? m_udpOutBytes : m_tcpOut.size() - m_tcpOutStart;
}

void DataChannel::updateFlow()
{
    // Port to serial: stop reading the network while the serial side is
    // backed up, resume once it has drained.
    if (m_serial.pendingOutput() >= kBacklogHigh)
        m_readingNetwork = false;
    else if (m_serial.pendingOutput() <= kBacklogLow)
        m_readingNetwork = true;
    // Serial to port: held while the port asked the device to stop or the
    // network backlog is full; without a connection it is read and dropped.
    m_serial.setInputEnabled(!m_connected || (!m_state.stopped && networkBacklog() < kBacklogHigh));

    const unsigned read = m_readingNetwork ? platform::kIoRead : 0u;
    if (m_udp.isOpen()) {
        m_loop.watchFd(m_udp.fd(), read | (m_udpOut.empty() ? 0u : platform::kIoWrite), [this](unsigned events) {
            if (events & platform::kIoWrite)
                flushUdp();
            if (events & platform::kIoRead)
                onDatagrams();
        });
    }
    if (m_connection.isOpen() && !m_connecting) {
        const unsigned write = m_tcpOutStart < m_tcpOut.size() ? platform::kIoWrite : 0u;
        m_loop.watchFd(m_connection.fd(), read | write, [this](unsigned events) { onConnectionEvents(events); });
    }
}

void DataChannel::verbose(const std::string& line) const { m_log.datagram(line); }

} // namespace sim::devsim
