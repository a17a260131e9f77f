#include "tests/driver/port_harness.h"

#include "common/byte_order.h"

namespace driver_testing {

using namespace common;

NtStatus RecordingTransport::sendControlPacket(const driver::ControlPacket& packet)
{
    const auto bytes = packet.encode();
    std::lock_guard lock(m_mutex);
    m_packets.emplace_back(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(packet.encodedSize()));
    return m_sendStatus.load();
}

NtStatus RecordingTransport::connectAtOpen()
{
    ++m_connects;
    m_connected = true;
    return kStatusSuccess;
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
    NtStatus sendControlPacket(const driver::ControlPacket& packet) override
    {
        return m_target->sendControlPacket(packet);
    }
    NtStatus connectAtOpen() override { return m_target->connectAtOpen(); }
    void closeForRemoval() override { m_target->closeForRemoval(); }

private:
    std::shared_ptr<RecordingTransport> m_target;
};

} // namespace

std::unique_ptr<driver::PortTransport> RecordingTransports::create(driver::PortDevice&)
{
    auto transport = std::make_shared<RecordingTransport>(connectNew);
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
    , m_driver(&m_transports)
{
    m_transports.connectNew = options.connected;
    driver::host::HostConfig config;
    config.clock = m_clock;
    config.registryFile = options.registryFile;
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
    if (!portName.empty()) {
        const std::string key = m_host->findNode(id)->hardwareKeyPath();
        (void)m_host->registry().setString(key, "PortName", portName);
    }
    if (instanceId)
        *instanceId = id;
    status = m_host->bringUpNode(id);
    settle();
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
