#pragma once

#include "platform/event_loop.h"
#include "platform/net.h"
#include "platform/result.h"
#include "sim/devsim/device.h"

#include <memory>
#include <vector>

namespace sim::devsim {

// Many simulated device servers in one process on one event loop. Each
// device listens for unicast requests on its own address; broadcast and
// multicast queries arrive on two shared sockets bound to the any-address
// (Linux hands broadcasts only to sockets bound to it) and are passed to
// every device, each of which answers from its own address if its flags
// allow.
class Simulator {
public:
    Simulator(platform::EventLoop& loop, SimulatorOptions options, DeviceLog::Sink sink = {});
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Devices are added before start().
    Device& addDevice(DeviceDefinition definition);
    // Opens the shared sockets and starts every device. A device that cannot
    // take its address fails the start. Not joining the multicast group only
    // logs: the devices still answer broadcasts and unicast.
    platform::Result<void> start();
    void stop();

    std::size_t deviceCount() const { return m_devices.size(); }
    Device& device(std::size_t index) { return *m_devices.at(index); }
    const SimulatorOptions& options() const { return m_options; }
    // The ports as bound (differs from the options when they ask for any free port).
    std::uint16_t broadcastPort() const { return m_broadcastSocket.localEndpoint().port; }
    std::uint16_t multicastPort() const { return m_multicastSocket.localEndpoint().port; }
    bool multicastJoined() const { return m_multicastJoined; }

private:
    platform::Result<platform::UdpSocket> openShared(std::uint16_t port);
    void onSearchReadable(platform::UdpSocket& socket, bool multicast);

    platform::EventLoop& m_loop;
    SimulatorOptions m_options;
    DeviceLog m_log;
    std::vector<std::unique_ptr<Device>> m_devices;
    platform::UdpSocket m_broadcastSocket;
    platform::UdpSocket m_multicastSocket;
    bool m_multicastJoined = false;
};

} // namespace sim::devsim
