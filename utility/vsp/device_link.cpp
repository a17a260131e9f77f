#include "utility/vsp/device_link.h"

#include "utility/devmgmt/device_list_text.h"

namespace utility::vsp {

DeviceViewLink::DeviceViewLink(VspManager& manager, devmgmt::DeviceView& view, VspNeighbours* panel)
    : m_manager(manager)
    , m_view(view)
    , m_panel(panel)
{
    m_view.setVirtualPortLink(this);
    m_manager.setNeighbours(this);
}

DeviceViewLink::~DeviceViewLink()
{
    m_view.setVirtualPortLink(nullptr);
    m_manager.setNeighbours(nullptr);
}

void DeviceViewLink::checkConnectedPorts() { m_manager.checkConnectedPorts(); }

bool DeviceViewLink::connectPort(const std::string& comName, const std::string& address, std::uint16_t port, bool udp)
{
    return m_manager.connectByName(comName, address, port, udp);
}

bool DeviceViewLink::portItemContains(const std::string& text) { return m_panel && m_panel->portItemContains(text); }

void DeviceViewLink::setPortItemText(const std::string& portName, const std::string& text)
{
    if (m_panel)
        m_panel->setPortItemText(portName, text);
}

void DeviceViewLink::removePortItem(const std::string& portName)
{
    if (m_panel)
        m_panel->removePortItem(portName);
}

void DeviceViewLink::rebuildPortItems()
{
    if (m_panel)
        m_panel->rebuildPortItems();
}

std::optional<bool> DeviceViewLink::deviceUdpFlag(const std::string& address)
{
    for (std::size_t row = 0; row < m_view.rowCount(); ++row) {
        if (m_view.rows()[row].texts[devmgmt::kColumnIp] == address)
            return (m_view.entry(row).config().flags() & devmgmt::flag::kUdp) != 0;
    }
    return std::nullopt;
}

void DeviceViewLink::sendConnectNotice(const std::string& deviceAddress, std::uint16_t localPort)
{
    (void)m_view.sendConnectNotice(deviceAddress, localPort);
}

void DeviceViewLink::portClosing(const std::string& portName)
{
    if (m_panel)
        m_panel->portClosing(portName);
}

} // namespace utility::vsp
