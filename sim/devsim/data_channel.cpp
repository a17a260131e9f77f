#include "sim/devsim/data_channel.h"

#include "sim/devsim/device.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>

namespace sim::devsim {
namespace {

constexpr int kRetryTimer = 1;
// Serial bytes per DataPacket or raw datagram from the device.
constexpr std::size_t kSendChunk = 1024;
constexpr std::size_t kReceiveChunk = 4096;
// Reads per readiness callback, so one busy port cannot starve the loop.
constexpr int kReadsPerEvent = 16;
// Large enough for any framed datagram (3 + 0xFFFF bytes).
constexpr std::size_t kDatagramBuffer = 0x10002;

std::string hex(std::uint8_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

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

// ---- UDP ----

void DataChannel::sayHello()
{
    if (!m_udp.isOpen())
        return;
    if (m_settings.destination.address == 0 || m_settings.destination.port == 0) {
        m_log.event(m_label + ": client mode without a destination; no data peer");
        return;
    }
    // The peer is known from the settings; a framed channel greets it, and
    // its answer (if any) only confirms what the device already knows.
    setConnected(true, m_settings.destination, "sending to " + m_settings.destination.text());
}

void DataChannel::onDatagrams()
{
    std::vector<std::uint8_t> buffer(kDatagramBuffer);
    for (int i = 0; i < kReadsPerEvent && m_udp.isOpen() && m_readingNetwork; ++i) {
        platform::Endpoint from;
        auto received = m_udp.receiveFrom(buffer, from);
        if (!received.ok())
            return;
        onDatagram(std::span<const std::uint8_t>(buffer.data(), *received), from);
    }
}

void DataChannel::onDatagram(std::span<const std::uint8_t> datagram, const platform::Endpoint& from)
{
    if (!m_settings.framing) {
        // The last sender is the one to answer; a client keeps sending to
        // its destination.
        if (!m_settings.client && !(m_connected && m_peer == from))
            setConnected(true, from, "data from " + from.text());
        toSerial(datagram);
        return;
    }
    if (datagram.size() < packet::kHeaderSize) {
        verbose(m_label + ": datagram of " + std::to_string(datagram.size()) + " bytes from " + from.text()
            + " ignored: shorter than a packet header");
        return;
    }
    const std::uint8_t type = datagram[0];
    const std::size_t declared = (std::size_t { datagram[1] } << 8) | datagram[2];
    std::span<const std::uint8_t> payload = datagram.subspan(packet::kHeaderSize);
    if (declared != payload.size()) {
        // Never read past the datagram, never take bytes its header disowns.
        verbose(m_label + ": datagram from " + from.text() + " declares " + std::to_string(declared)
            + " bytes, carries " + std::to_string(payload.size()));
        payload = payload.first(std::min(declared, payload.size()));
    }
    verbose(m_label + " <- " + from.text() + " " + packetName(type, payload));
    switch (type) {
    case packet::kHello:
        if (m_settings.client) {
            // The answer to our own greeting: nothing to answer back.
            if (!(m_connected && m_peer == from))
                setConnected(true, from, "greeted by " + from.text());
            return;
        }
        if (m_connected && m_peer == from) {
            // The port greets again (it reconnected from the same port):
            // it waits for the answer all the same.
            verbose(m_label + " -> " + m_peer.text() + " HelloPacket");
            send(encodePacket(packet::kHello, {}));
            report(control::kModemStatus);
            return;
        }
        setConnected(true, from, "greeted by " + from.text());
        return;
    case packet::kBye:
        if (!m_connected || !(m_peer == from)) {
            verbose(m_label + ": ByePacket from " + from.text() + " ignored: not the peer");
            return;
        }
        setConnected(false, {}, "farewell from " + from.text());
        if (m_settings.client)
            scheduleRetry();
        return;
    case packet::kControl:
        if (datagram.size() > packet::kHeaderSize + packet::kMaxControlPayload) {
            verbose(m_label + ": control datagram of " + std::to_string(datagram.size()) + " bytes skipped");
            return;
        }
        onControl(payload);
        return;
    case packet::kData:
        if (!m_connected)
            setConnected(true, from, "data from " + from.text());
        toSerial(payload);
        return;
    default:
        verbose(m_label + ": " + packetName(type, payload) + " from " + from.text() + " ignored");
        return;
    }
}

void DataChannel::flushUdp()
{
    while (m_udp.isOpen() && !m_udpOut.empty()) {
        if (!m_connected) {
            m_udpOut.clear();
            m_udpOutBytes = 0;
            break;
        }
        auto sent = m_udp.sendTo(m_peer, m_udpOut.front());
        if (!sent.ok() && isAgain(sent.error()))
            break;
        if (!sent.ok())
            m_log.event(m_label + ": cannot send to " + m_peer.text() + ": " + sent.error().message);
        m_udpOutBytes -= m_udpOut.front().size();
        m_udpOut.pop_front();
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
    m_parser.feed(bytes, [this](std::uint8_t type, std::span<const std::uint8_t> payload) { onPacket(type, payload); });
}

void DataChannel::onPacket(std::uint8_t type, std::span<const std::uint8_t> payload)
{
    verbose(m_label + " <- " + m_peer.text() + " " + packetName(type, payload));
    switch (type) {
    case packet::kData:
        toSerial(payload);
        return;
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

void DataChannel::onControl(std::span<const std::uint8_t> payload)
{
    if (payload.empty()) {
        verbose(m_label + ": control packet without a code ignored");
        return;
    }
    const std::uint8_t code = payload[0];
    const auto arguments = payload.subspan(1);
    auto needs = [&](std::size_t count) {
        if (arguments.size() >= count)
            return true;
        verbose(
            m_label + ": control " + hex(code) + " without its " + std::to_string(count) + " argument byte(s) ignored");
        return false;
    };
    bool modemLines = false;
    switch (code) {
    case control::kClearDtr:
    case control::kSetDtr:
        m_state.dtr = code == control::kSetDtr;
        modemLines = true;
        break;
    case control::kClearRts:
    case control::kSetRts:
        m_state.rts = code == control::kSetRts;
        modemLines = true;
        break;
    case control::kModemControl:
        if (!needs(1))
            return;
        // The modem control register's own layout: bit 0 DTR, bit 1 RTS.
        m_state.modemControl = arguments[0];
        m_state.dtr = (arguments[0] & 0x01) != 0;
        m_state.rts = (arguments[0] & 0x02) != 0;
        modemLines = true;
        break;
    case control::kBaudAndLineControl:
        if (!needs(2))
            return;
        if (!applyBaudCode(m_state, arguments[0]))
            verbose(m_label + ": unknown baud code " + hex(arguments[0]) + "; the baud rate stays "
                + std::to_string(m_state.baud));
        applyLineControl(m_state, arguments[1]);
        m_serial.showLineSettings(m_state);
        break;
    case control::kLineControl:
        if (!needs(1))
            return;
        applyLineControl(m_state, arguments[0]);
        m_serial.showLineSettings(m_state);
        break;
    case control::kBreakOff:
    case control::kBreakOn:
        m_state.breakOn = code == control::kBreakOn;
        break;
    case control::kFifoControl:
        if (!needs(1))
            return;
        m_state.fifoControl = arguments[0];
        break;
    case control::kStop:
        if (!arguments.empty())
            m_state.xoffChar = arguments[0];
        m_state.stopped = true;
        break;
    case control::kResume:
        if (!arguments.empty())
            m_state.xonChar = arguments[0];
        m_state.stopped = false;
        break;
    case control::kFlowControl:
        if (!needs(1))
            return;
        if (arguments[0] > 2) {
            verbose(m_label + ": flow control code " + hex(arguments[0]) + " ignored");
            return;
        }
        m_state.flow = static_cast<FlowMode>(arguments[0]);
        break;
    default:
        verbose(m_label + ": control code " + hex(code) + " ignored");
        return;
    }
    verbose(m_label + ": control " + hex(code) + ": serial " + sim::devsim::describe(m_state));
    if (code == control::kStop || code == control::kResume)
        updateFlow();
    if (modemLines) {
        loopBackModemLines();
        report(control::kModemStatus);
    }
}

void DataChannel::loopBackModemLines()
{
    if (m_serial.mode() != SerialMode::Echo)
        return;
    const std::uint8_t lines = static_cast<std::uint8_t>((m_status.modemStatus & modem::kRi)
        | (m_state.rts ? modem::kCts : 0) | (m_state.dtr ? modem::kDsr | modem::kDcd : 0));
    setModemInputs(lines);
}

void DataChannel::setModemInputs(std::uint8_t lines)
{
    m_status.modemStatus = nextModemStatus(m_status.modemStatus, lines);
    if (m_status.modemStatus & modem::kDeltas)
        report(control::kModemEvent);
}

void DataChannel::report(std::uint8_t code)
{
    if (!m_connected || !m_settings.framing)
        return; // a change stays marked until it can be reported
    std::vector<std::uint8_t> arguments { m_status.modemStatus };
    if (code == control::kModemEvent)
        arguments.push_back(static_cast<std::uint8_t>((m_state.dtr ? 0x01 : 0) | (m_state.rts ? 0x02 : 0)));
    verbose(m_label + " -> " + m_peer.text() + " ControlPacket " + hex(code) + " modem status "
        + hex(m_status.modemStatus));
    send(encodeControl(code, arguments));
    // Reported changes are cleared, as reading a modem status register clears them.
    m_status.modemStatus &= modem::kLines;
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
    while (!bytes.empty()) {
        const auto chunk = bytes.first(std::min(bytes.size(), kSendChunk));
        bytes = bytes.subspan(chunk.size());
        if (m_settings.framing)
            send(encodePacket(packet::kData, chunk));
        else
            send(std::vector<std::uint8_t>(chunk.begin(), chunk.end()));
    }
}

void DataChannel::send(std::vector<std::uint8_t> bytes)
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
