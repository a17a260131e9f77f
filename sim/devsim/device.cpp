#include "sim/devsim/device.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>

namespace sim::devsim {
namespace {

constexpr int kBootTimer = 1;

constexpr std::size_t kStatusVersionSize = 12; // characters of the version a StatusReply carries

constexpr std::array<std::pair<FaultMode, std::string_view>, 5> kFaultNames = { {
    { FaultMode::None, "none" },
    { FaultMode::Silent, "silent" },
    { FaultMode::Twice, "twice" },
    { FaultMode::ShortReply, "short" },
    { FaultMode::BadSignature, "bad-signature" },
} };

bool isPrintable(std::uint8_t c) { return c >= 0x20 && c < 0x7F; }

} // namespace

std::string_view faultModeName(FaultMode mode)
{
    for (const auto& [value, name] : kFaultNames)
        if (value == mode)
            return name;
    return "none";
}

bool parseFaultMode(std::string_view text, FaultMode& mode)
{
    for (const auto& [value, name] : kFaultNames)
        if (name == text) {
            mode = value;
            return true;
        }
    return false;
}

std::string versionFromFirmware(std::span<const std::uint8_t> image)
{
    constexpr std::string_view kMarker = "VERSION=";
    std::string version;
    const auto marker = std::search(image.begin(), image.end(), kMarker.begin(), kMarker.end());
    if (marker != image.end()) {
        for (auto it = marker + static_cast<std::ptrdiff_t>(kMarker.size());
             it != image.end() && *it > 0x20 && *it < 0x7F && version.size() < kStatusVersionSize; ++it)
            version.push_back(static_cast<char>(*it));
    } else {
        std::string line;
        for (std::uint8_t c : image) {
            if (c == '\r' || c == '\n' || c == 0)
                break;
            if (isPrintable(c))
                line.push_back(static_cast<char>(c));
        }
        const auto first = line.find_first_not_of(' ');
        if (first != std::string::npos)
            version = line.substr(first, line.find_last_not_of(' ') - first + 1);
        if (version.size() > kStatusVersionSize)
            version.resize(kStatusVersionSize);
    }
    return version.empty() ? "unknown" : version;
}

Device::Device(
    platform::EventLoop& loop, const SimulatorOptions& options, const DeviceLog& log, DeviceDefinition definition)
    : m_loop(loop)
    , m_options(options)
    , m_log(log)
    , m_timers(loop)
    , m_settings(definition.settings)
    , m_factory(std::move(definition.settings))
    , m_status(std::move(definition.status))
    , m_fault(definition.fault)
    , m_dataOptions(definition.data)
    , m_serial(loop, definition.data.serial)
    , m_page(loop, [this] { return statusPage(); })
{
}

Device::~Device() { stop(); }

std::string Device::label() const { return platform::formatIpv4(m_settings.currentAddress); }

void Device::addPort(Device& port)
{
    port.m_owner = this;
    m_extraPorts.push_back(&port);
}

platform::Result<void> Device::start()
{
    if (m_state != State::Stopped)
        return {};
    if (m_owner)
        m_boundAddress = m_settings.currentAddress; // its owner listens there
    else
        SUITE_TRY(bindAddress());
    auto serial = m_serial.open();
    if (!serial.ok()) {
        stop();
        return platform::Error { label() + ": cannot open its serial side: " + serial.error().message,
            serial.error().code };
    }
    auto channel = startDataChannel();
    if (!channel.ok()) {
        stop();
        return channel.error();
    }
    m_state = State::Running;
    startPage();
    return {};
}

void Device::startPage()
{
    if (m_options.httpPort == 0)
        return;
    // A web page the host cannot give this address (a port below 1024
    // without the right to bind it) only costs the page.
    auto started = m_page.start(m_settings.currentAddress, m_options.httpPort);
    if (!started.ok())
        m_log.event(
            label() + ": no web page on port " + std::to_string(m_options.httpPort) + ": " + started.error().message);
}

std::string Device::statusPage() const
{
    const std::string name = escapeHtml(m_settings.name);
    return "<!DOCTYPE html>\n<html><head><title>" + name
        + "</title></head>\n<body style=\"font-family: sans-serif\">\n<h1>" + name
        + "</h1>\n<table>\n<tr><td>Device name</td><td>" + name + "</td></tr>\n<tr><td>MAC address</td><td>"
        + formatMac(m_settings.mac) + "</td></tr>\n<tr><td>IP address</td><td>" + label()
        + "</td></tr>\n<tr><td>Firmware</td><td>" + escapeHtml(m_status.firmwareVersion)
        + "</td></tr>\n<tr><td>Data channel</td><td>" + escapeHtml(dataSummary())
        + "</td></tr>\n</table>\n</body></html>\n";
}

void Device::stop()
{
    m_timers.killAll();
    m_page.stop();
    m_upgrade.reset();
    m_channel.reset();
    m_serial.close();
    if (m_socket.isOpen()) {
        m_loop.unwatchFd(m_socket.fd());
        m_socket.close();
    }
    m_state = State::Stopped;
}

platform::Result<void> Device::bindAddress()
{
    if (m_socket.isOpen()) {
        m_loop.unwatchFd(m_socket.fd());
        m_socket.close();
    }
    SUITE_TRY_ASSIGN(auto socket, platform::UdpSocket::open());
    auto bound = socket.bind(m_settings.currentAddress, m_options.unicastPort);
    if (!bound.ok())
        return platform::Error { label() + ": cannot listen on port " + std::to_string(m_options.unicastPort) + ": "
                + bound.error().message,
            bound.error().code };
    m_socket = std::move(socket);
    m_boundAddress = m_settings.currentAddress;
    m_loop.watchFd(m_socket.fd(), platform::kIoRead, [this](unsigned) { onReadable(); });
    return {};
}

DataChannelSettings Device::dataChannelSettings() const
{
    DataChannelSettings settings;
    settings.udp = m_settings.udpData && !m_settings.tcpData;
    settings.client = m_settings.clientMode;
    settings.framing = m_dataOptions.framing;
    settings.localAddress = m_boundAddress;
    settings.localPort = m_settings.dataPort;
    settings.reconnectTime = m_options.reconnectTime;
    settings.serial = serialStateFromSettings(m_settings);
    // The host text is what a user sets for a client; the address field
    // only serves when the text is empty.
    settings.destination.address = m_settings.destinationAddress;
    if (!m_settings.destinationHost.empty()) {
        const auto resolved = platform::resolveIpv4(m_settings.destinationHost);
        settings.destination.address = resolved ? *resolved : 0;
    }
    settings.destination.port = m_settings.destinationPort;
    return settings;
}

platform::Result<void> Device::startDataChannel()
{
    m_channel.reset();
    if (!m_settings.tcpData && !m_settings.udpData) {
        m_log.event(label() + ": TCP and UDP data both off; no data channel");
        return {};
    }
    auto channel = std::make_unique<DataChannel>(m_loop, m_log, label(), dataChannelSettings(), m_serial, m_status);
    SUITE_TRY(channel->start());
    m_channel = std::move(channel);
    m_log.datagram(label() + ": data channel " + m_channel->describe() + ", serial " + m_serial.path());
    return {};
}

SerialState Device::serialState() const
{
    return m_channel ? m_channel->serialState() : serialStateFromSettings(m_settings);
}

void Device::setModemInputs(std::uint8_t lines)
{
    if (m_channel)
        m_channel->setModemInputs(lines);
    else
        m_status.modemStatus = nextModemStatus(m_status.modemStatus, lines);
}

std::string Device::dataSummary() const
{
    if (m_channel)
        return m_channel->describe();
    if (!m_settings.tcpData && !m_settings.udpData)
        return "off";
    return "down";
}

void Device::onReadable()
{
    // Large enough that an oversized request is seen as such, not cut to size.
    std::array<std::uint8_t, 2048> buffer;
    while (m_socket.isOpen()) {
        platform::Endpoint from;
        auto received = m_socket.receiveFrom(buffer, from);
        if (!received.ok())
            return;
        const std::span<const std::uint8_t> request(buffer.data(), *received);
        const std::string what = request.size() > 8 ? opcodeName(request[8]) : std::string("datagram");
        m_log.datagram(label() + " <- " + from.text() + " " + what + " (" + std::to_string(request.size()) + " bytes)");
        // A rebooting device is off the network: what arrives meanwhile is
        // lost, not answered later.
        if (m_state != State::Running) {
            ignore(what, "rebooting");
            continue;
        }
        if (m_fault == FaultMode::Silent) {
            ignore(what, "silent");
            continue;
        }
        onRequest(request, from);
    }
}

void Device::onRequest(std::span<const std::uint8_t> request, const platform::Endpoint& from)
{
    if (!hasHeader(request)) {
        ignore("datagram", "no signature");
        return;
    }
    switch (request[8]) {
    case opcode::kQuery:
        sendRecord(opcode::kQueryReply, from);
        for (Device* port : m_extraPorts)
            if (port->m_state == State::Running)
                port->sendRecord(opcode::kQueryReply, from);
        return;
    case opcode::kSetConfig:
        onSetConfig(request, from);
        return;
    case opcode::kRestore:
        onRestore(request, from);
        return;
    case opcode::kReboot:
        onReboot(request, from);
        return;
    case opcode::kUpgrade:
        onUpgrade(request, from);
        return;
    case opcode::kStatusQuery:
        onStatusQuery(from);
        return;
    case opcode::kConnectNotice:
        onConnectNotice(request, from);
        return;
    default:
        ignore(opcodeName(request[8]), "not a request");
        return;
    }
}

void Device::onSearchQuery(const platform::Endpoint& from, bool multicast)
{
    const std::string how = multicast ? "multicast" : "broadcast";
    if (m_state != State::Running || m_fault == FaultMode::Silent)
        return;
    if (!(multicast ? m_settings.multicastManagement : m_settings.broadcastManagement)) {
        ignore(how + " Query", how + " management is off");
        return;
    }
    m_log.datagram(label() + " <- " + from.text() + " " + how + " Query");
    sendRecord(opcode::kQueryReply, from);
}

void Device::sendRecord(std::uint8_t code, const platform::Endpoint& to)
{
    sendReply(encodeDeviceConfig(m_settings, code, m_status.connectionState), to);
}

void Device::sendReply(std::vector<std::uint8_t> reply, const platform::Endpoint& to)
{
    if (to.address == 0 || to.port == 0)
        return; // nowhere to answer
    const std::string what = opcodeName(reply[8]);
    switch (m_fault) {
    case FaultMode::ShortReply:
        reply.resize(reply[8] == opcode::kStatusReply ? kShortStatusSize : kShortRecordSize);
        break;
    case FaultMode::BadSignature:
        reply[7] = 'X';
        break;
    default:
        break;
    }
    const int copies = m_fault == FaultMode::Twice ? 2 : 1;
    platform::UdpSocket& socket = m_owner ? m_owner->m_socket : m_socket;
    for (int i = 0; i < copies; ++i) {
        auto sent = socket.sendTo(to, reply);
        if (!sent.ok()) {
            m_log.event(label() + ": cannot send " + what + " to " + to.text() + ": " + sent.error().message);
            return;
        }
        m_log.datagram(label() + " -> " + to.text() + " " + what + " (" + std::to_string(reply.size()) + " bytes"
            + (m_fault == FaultMode::None ? std::string() : ", fault " + std::string(faultModeName(m_fault))) + ")");
    }
}

void Device::ignore(std::string_view what, const std::string& why) const
{
    m_log.datagram(label() + ": " + std::string(what) + " ignored: " + why);
}

void Device::restart(const std::string& why)
{
    if (m_upgrade) {
        m_upgrade->cancel();
        m_upgrade.reset();
    }
    m_state = State::Rebooting;
    ++m_restarts;
    // A rebooting device is gone from the network: its connection is reset.
    m_channel.reset();
    m_page.stop();
    // Counters and the data channel do not survive a restart.
    m_status.connectionState = 0;
    m_status.serialTxCount = 0;
    m_status.serialRxCount = 0;
    m_log.event(label() + ": restarting: " + why);
    m_timers.start(kBootTimer, m_options.rebootTime, [this] { boot(); });
}

void Device::boot()
{
    m_timers.kill(kBootTimer);
    if (!m_owner && (!m_socket.isOpen() || m_boundAddress != m_settings.currentAddress)) {
        auto bound = bindAddress();
        if (!bound.ok()) {
            m_state = State::Offline;
            m_log.event(bound.error().message + "; the device stays offline");
            return;
        }
    }
    auto channel = startDataChannel();
    if (!channel.ok())
        m_log.event(channel.error().message + "; the device runs without a data channel");
    m_state = State::Running;
    startPage();
    m_log.event(label() + ": running");
}

} // namespace sim::devsim
