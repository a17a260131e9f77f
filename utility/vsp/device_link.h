#pragma once

#include "utility/devmgmt/device_view.h"
#include "utility/vsp/vsp_manager.h"

namespace utility::vsp {

// Joins the manager and the device view both ways: the view's drag of a
// device onto a port item and its start-up check reach the manager
// (VirtualPortLink); the manager's device look-ups and ConnectNotice reach
// the view. Navigation panel calls go on to `panel` when one is set.
class DeviceViewLink final : public devmgmt::VirtualPortLink, public VspNeighbours {
public:
    DeviceViewLink(VspManager& manager, devmgmt::DeviceView& view, VspNeighbours* panel = nullptr);
    ~DeviceViewLink() override;
    DeviceViewLink(const DeviceViewLink&) = delete;
    DeviceViewLink& operator=(const DeviceViewLink&) = delete;

    // VirtualPortLink
    void checkConnectedPorts() override;
    bool connectPort(const std::string& comName, const std::string& address, std::uint16_t port, bool udp) override;

    // VspNeighbours
    bool portItemContains(const std::string& text) override;
    void setPortItemText(const std::string& portName, const std::string& text) override;
    void removePortItem(const std::string& portName) override;
    void rebuildPortItems() override;
    std::optional<bool> deviceUdpFlag(const std::string& address) override;
    void sendConnectNotice(const std::string& deviceAddress, std::uint16_t localPort) override;
    void portClosing(const std::string& portName) override;

private:
    VspManager& m_manager;
    devmgmt::DeviceView& m_view;
    VspNeighbours* m_panel;
};

} // namespace utility::vsp
