#include "tests/driver/port_harness.h"

#include "common/byte_order.h"

#include <algorithm>
#include <cstdio>

namespace driver_testing {

using namespace common;

platform::TimePoint SteppedClock::now() const
{
    std::lock_guard lock(m_mutex);
    return m_now;
}

platform::WallTime SteppedClock::wallNow() const { return platform::WallTime {} + std::chrono::hours(24 * 365 * 50); }

void SteppedClock::advance(platform::Duration duration)
{
    std::lock_guard lock(m_mutex);
    m_now += duration;
}

NtStatus RecordingTransport::sendControlPacket(const driver::ControlPacket& packet)
{
    const auto bytes = packet.encode();
    std::unique_lock lock(m_mutex);
    m_packets.emplace_back(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(packet.encodedSize()));
    m_wire.push_back(m_packets.back());
    ++m_held;
    m_released.wait(lock, [this] { return !m_holding; });
    --m_held;
    return m_sendStatus.load();
}

void RecordingTransport::holdControlSends(bool hold)
{
    {
        std::lock_guard lock(m_mutex);
        m_holding = hold;
    }
    m_released.notify_all();
}

NtStatus RecordingTransport::connectAtOpen()
{
    ++m_connects;
    m_connected = true;
    return kStatusSuccess;
}

NtStatus RecordingTransport::sendTransmitBuffer(std::span<const std::uint8_t> bytes, std::size_t& taken)
{
    std::lock_guard lock(m_mutex);
    m_sends.push_back({ { bytes.begin(), bytes.end() }, m_clock ? m_clock->now() : platform::TimePoint {} });
    m_wire.emplace_back(bytes.begin(), bytes.end());
    NtStatus status = m_sendStatus.load();
    if (m_failCountdown > 0 && --m_failCountdown == 0)
        status = m_failStatus;
    taken = ntSuccess(status) ? bytes.size() : std::min(m_takenOnFailure, bytes.size());
    return status;
}

NtStatus RecordingTransport::reconnect()
{
    if (!m_reconnectPending.exchange(false))
        return kStatusSuccess;
    ++m_reconnects;
    m_connected = m_reconnectSucceeds.load();
    return m_connected ? kStatusSuccess : kStatusConnectionRefused;
}

NtStatus RecordingTransport::disconnect()
{
    const bool wasConnected = m_connected.exchange(false);
    m_reconnectPending = false;
    return wasConnected ? kStatusSuccess : kStatusInvalidDeviceState;
}

void RecordingTransport::abandonStream()
{
    ++m_abandons;
    // As the socket transport does: the connection is reset, the next write
    // reconnects.
    if (m_connected.exchange(false)) {
        m_reconnectSucceeds = true;
        m_reconnectPending = true;
    }
}

void RecordingTransport::dropConnection(bool reconnectSucceeds)
{
    m_connected = false;
    m_reconnectSucceeds = reconnectSucceeds;
    m_reconnectPending = true;
}

void RecordingTransport::failNthDataSend(int nth, NtStatus status, std::size_t taken)
{
    std::lock_guard lock(m_mutex);
    m_failCountdown = nth;
    m_failStatus = status;
    m_takenOnFailure = taken;
}

std::vector<RecordingTransport::Send> RecordingTransport::dataSends() const
{
    std::lock_guard lock(m_mutex);
    return m_sends;
}

std::vector<std::vector<std::uint8_t>> RecordingTransport::wire() const
{
    std::lock_guard lock(m_mutex);
    return m_wire;
}

std::vector<std::vector<std::uint8_t>> RecordingTransport::packets() const
{
    std::lock_guard lock(m_mutex);
    return m_packets;
}

void RecordingTransport::clear()
{
    std::lock_guard lock(m_mutex);
    m_packets.clear();
    m_sends.clear();
    m_wire.clear();
}

namespace {

// What a port owns: its recording transport stays with the test after removal.
class TransportProxy final : public driver::PortTransport {
public:
    explicit TransportProxy(std::shared_ptr<RecordingTransport> target)
        : m_target(std::move(target))
    {
    }
    bool connected() const override { return m_target->connected(); }
    bool serverMode() const override { return m_target->serverMode(); }
    bool reconnectPending() const override { return m_target->reconnectPending(); }
    NtStatus sendControlPacket(const driver::ControlPacket& packet) override
    {
        return m_target->sendControlPacket(packet);
    }
    NtStatus sendTransmitBuffer(std::span<const std::uint8_t> bytes, std::size_t& taken) override
    {
        return m_target->sendTransmitBuffer(bytes, taken);
    }
    NtStatus reconnect() override { return m_target->reconnect(); }
    void abandonStream() override { m_target->abandonStream(); }
    NtStatus connectAtOpen() override { return m_target->connectAtOpen(); }
    NtStatus openAsClient() override { return m_target->openAsClient(); }
    NtStatus startServer() override { return m_target->startServer(); }
    NtStatus disconnect() override { return m_target->disconnect(); }
    NtStatus closeTransport() override { return m_target->closeTransport(); }
    void closeForRemoval() override { m_target->closeForRemoval(); }

private:
    std::shared_ptr<RecordingTransport> m_target;
};

} // namespace

std::unique_ptr<driver::PortTransport> RecordingTransports::create(driver::PortDevice&)
{
    auto transport = std::make_shared<RecordingTransport>(connectNew, clock);
    std::lock_guard lock(m_mutex);
    m_created.push_back(transport);
    return std::make_unique<TransportProxy>(transport);
}

RecordingTransport& RecordingTransports::at(std::size_t index)
{
    std::lock_guard lock(m_mutex);
    return *m_created.at(index);
}

PortHarness::PortHarness()
    : PortHarness(Options {})
{
}

PortHarness::PortHarness(Options options)
    : m_ownClock(options.clock ? nullptr : std::make_unique<platform::FakeClock>())
    , m_clock(options.clock ? options.clock : m_ownClock.get())
    , m_driver(options.transports ? options.transports : &m_transports)
{
    m_transports.connectNew = options.connected;
    m_transports.clock = m_clock;
    driver::host::HostConfig config;
    config.clock = m_clock;
    config.registryFile = options.registryFile;
    config.workerThreads = options.workerThreads;
    m_host = std::make_unique<driver::host::Host>(config);
    m_host->registerDriver(driver::kHardwareId, m_driver);
    m_host->start();
    settle();
}

PortHarness::~PortHarness() { m_host.reset(); }

NtStatus PortHarness::addPort(const std::string& portName, std::string* instanceId)
{
    std::string id;
    NtStatus status = m_host->createNode(driver::kHardwareId, id);
    if (!ntSuccess(status))
        return status;
    const std::string key = m_host->findNode(id)->hardwareKeyPath();
    if (!portName.empty())
        (void)m_host->registry().setString(key, "PortName", portName);
    if (m_settings) {
        auto& registry = m_host->registry();
        const PortSettings& settings = *m_settings;
        (void)registry.setDword(key, "RemoteHostIP", networkAddress(settings.remoteHost));
        (void)registry.setDword(key, "RemoteHostPort", networkPort(settings.remotePort));
        (void)registry.setDword(key, "Protocol", settings.protocol);
        (void)registry.setDword(key, "ConnectAtWinStart", settings.connectAtWinStart);
        (void)registry.setDword(key, "ConnType", settings.connType);
        (void)registry.setDword(key, "CmdByte", settings.cmdByte);
        (void)registry.setDword(key, "MaxPacketLen", settings.maxPacketLen);
        (void)registry.setDword(key, "LocalPort", networkPort(settings.localPort));
        if (settings.wireProtocol != 0)
            (void)registry.setDword(key, "WireProtocol", settings.wireProtocol);
        if (settings.pacing == 0)
            (void)registry.setDword(key, "Pacing", 0);
    }
    if (instanceId)
        *instanceId = id;
    status = m_host->bringUpNode(id);
    settle();
    return status;
}

NtStatus PortHarness::addPort(const std::string& portName, const PortSettings& settings, std::string* instanceId)
{
    m_settings = settings;
    const NtStatus status = addPort(portName, instanceId);
    m_settings.reset();
    return status;
}

driver::PortDevice* PortHarness::port(std::uint32_t number)
{
    auto device = m_host->names().resolve("\\Device\\Serial" + std::to_string(number));
    return device ? device->extensionAs<driver::PortDevice>() : nullptr;
}

std::unique_ptr<driver::host::FileHandle> PortHarness::open(const std::string& path, NtStatus* status)
{
    std::unique_ptr<driver::host::FileHandle> handle;
    const NtStatus result = m_host->open(path, handle);
    if (status)
        *status = result;
    return handle;
}

void PortHarness::settle() { m_host->workers().drain(); }

std::vector<std::uint8_t> le32(std::initializer_list<std::uint32_t> words)
{
    std::vector<std::uint8_t> bytes(words.size() * 4);
    std::size_t offset = 0;
    for (std::uint32_t word : words) {
        storeLe32(bytes, offset, word);
        offset += 4;
    }
    return bytes;
}

std::uint32_t wordAt(const std::vector<std::uint8_t>& bytes, std::size_t offset)
{
    return bytes.size() >= offset + 4 ? loadLe32(bytes, offset) : 0xDEADBEEF;
}

} // namespace driver_testing

namespace driver_testing {

std::uint32_t networkAddress(const std::string& dotted)
{
    unsigned parts[4] = {};
    if (std::sscanf(dotted.c_str(), "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]) != 4)
        return 0;
    return parts[0] | parts[1] << 8 | parts[2] << 16 | parts[3] << 24;
}

std::uint16_t networkPort(std::uint16_t port) { return static_cast<std::uint16_t>(port >> 8 | port << 8); }

std::vector<std::uint8_t> patternBytes(std::size_t length, std::uint8_t seed)
{
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<std::uint8_t>((i + seed) % 251);
    return bytes;
}

} // namespace driver_testing
