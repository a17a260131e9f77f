#include "sim/devsim/simulator.h"

#include <array>

namespace sim::devsim {

Simulator::Simulator(platform::EventLoop& loop, SimulatorOptions options, DeviceLog::Sink sink)
    : m_loop(loop)
    , m_options(options)
    , m_log(std::move(sink), options.verbose)
{
}

Simulator::~Simulator() { stop(); }

Device& Simulator::addDevice(DeviceDefinition definition)
{
    m_devices.push_back(std::make_unique<Device>(m_loop, m_options, m_log, std::move(definition)));
    Device& added = *m_devices.back();
    // A device on the address of an earlier one is another serial port of
    // that device server.
    for (auto& earlier : m_devices) {
        if (earlier.get() != &added && !earlier->extraPort()
            && earlier->settings().currentAddress == added.settings().currentAddress) {
            earlier->addPort(added);
            break;
        }
    }
    return added;
}

platform::Result<platform::UdpSocket> Simulator::openShared(std::uint16_t port)
{
    SUITE_TRY_ASSIGN(auto socket, platform::UdpSocket::open());
    // Other programs on the host (another simulator, say) may listen too.
    SUITE_TRY(socket.setReuseAddress(true));
    auto bound = socket.bind(platform::Ipv4 { 0 }, port);
    if (!bound.ok())
        return platform::Error { "cannot listen on 0.0.0.0:" + std::to_string(port) + ": " + bound.error().message,
            bound.error().code };
    return socket;
}

platform::Result<void> Simulator::start()
{
    SUITE_TRY_ASSIGN(m_broadcastSocket, openShared(m_options.broadcastPort));
    SUITE_TRY_ASSIGN(m_multicastSocket, openShared(m_options.multicastPort));
    // One membership serves every device: the kernel hands the group's
    // datagrams to the socket once, and the simulator passes them on.
    auto joined = m_multicastSocket.joinMulticast(m_options.multicastGroup, m_options.multicastInterface);
    m_multicastJoined = joined.ok();
    if (!m_multicastJoined)
        m_log.event("cannot join multicast group " + platform::formatIpv4(m_options.multicastGroup) + " on "
            + platform::formatIpv4(m_options.multicastInterface) + ": " + joined.error().message
            + "; multicast queries go unanswered");
    m_loop.watchFd(
        m_broadcastSocket.fd(), platform::kIoRead, [this](unsigned) { onSearchReadable(m_broadcastSocket, false); });
    m_loop.watchFd(
        m_multicastSocket.fd(), platform::kIoRead, [this](unsigned) { onSearchReadable(m_multicastSocket, true); });
    for (auto& device : m_devices) {
        auto started = device->start();
        if (!started.ok()) {
            stop();
            return started.error();
        }
    }
    return {};
}

void Simulator::stop()
{
    for (auto& device : m_devices)
        device->stop();
    for (auto* socket : { &m_broadcastSocket, &m_multicastSocket }) {
        if (socket->isOpen()) {
            m_loop.unwatchFd(socket->fd());
            socket->close();
        }
    }
}

void Simulator::onSearchReadable(platform::UdpSocket& socket, bool multicast)
{
    std::array<std::uint8_t, 2048> buffer;
    while (socket.isOpen()) {
        platform::Endpoint from;
        auto received = socket.receiveFrom(buffer, from);
        if (!received.ok())
            return;
        const std::span<const std::uint8_t> datagram(buffer.data(), *received);
        // Only a search travels by broadcast or multicast; everything else
        // is sent to a device's own address.
        if (!hasHeader(datagram) || datagram[8] != opcode::kQuery) {
            m_log.datagram(std::string(multicast ? "multicast" : "broadcast") + " port <- " + from.text() + " "
                + (datagram.size() > 8 ? opcodeName(datagram[8]) : std::string("datagram")) + " ("
                + std::to_string(datagram.size()) + " bytes) ignored");
            continue;
        }
        for (auto& device : m_devices)
            device->onSearchQuery(from, multicast);
    }
}

} // namespace sim::devsim
