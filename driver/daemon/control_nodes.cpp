#include "driver/daemon/control_service.h"

#include "driver/control_requests.h"
#include "driver/daemon/control_text.h"
#include "driver/daemon/port_directory.h"
#include "driver/naming.h"
#include "driver/port_device.h"

#include <chrono>
#include <cstdio>
#include <thread>

// The device installer's side of the control requests: installing,
// removing and listing port nodes.
namespace driver::daemon {

using namespace common;

namespace {

// How long an installation waits for the port's name to appear.
constexpr auto kNamingWait = std::chrono::seconds(2);

// The number of "COMn", or 0.
std::uint32_t comNumberOf(std::string_view name)
{
    if (name.size() < 4 || upperCase(name.substr(0, 3)) != "COM")
        return 0;
    std::uint32_t number = 0;
    for (char c : name.substr(3)) {
        if (c < '0' || c > '9' || number > ComDb::kHighest)
            return 0;
        number = number * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return number <= ComDb::kHighest ? number : 0;
}

// "COMn" with n past `highest` (or too long to count).
bool comNumberBeyond(std::string_view name, std::uint32_t highest)
{
    if (name.size() < 4 || upperCase(name.substr(0, 3)) != "COM")
        return false;
    std::uint32_t number = 0;
    for (char c : name.substr(3)) {
        if (c < '0' || c > '9')
            return false;
        if (number > highest)
            return true;
        number = number * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return number > highest;
}

std::uint32_t stateCode(host::NodeState state)
{
    switch (state) {
    case host::NodeState::Installed:
        return static_cast<std::uint32_t>(NodeStateCode::Installed);
    case host::NodeState::Failed:
        return static_cast<std::uint32_t>(NodeStateCode::Failed);
    case host::NodeState::Started:
        return static_cast<std::uint32_t>(NodeStateCode::Started);
    case host::NodeState::Stopped:
        return static_cast<std::uint32_t>(NodeStateCode::Stopped);
    case host::NodeState::SurpriseRemoved:
    case host::NodeState::Removed:
        break;
    }
    return static_cast<std::uint32_t>(NodeStateCode::SurpriseRemoved);
}

} // namespace

NtStatus ControlService::installNode(
    const std::string& hardwareId, const std::string& portName, std::string& instanceId, std::string& reason)
{
    std::lock_guard lock(m_nodesMutex);
    // A name is one port's: a second node under it would be useless, and
    // removing it would free the name while the first port uses it.
    if (comNumberBeyond(portName, kHighestComNumber)) {
        reason = portName + " is out of range: COM numbers go from 1 to " + std::to_string(kHighestComNumber);
        return kStatusObjectNameInvalid;
    }
    if (const std::string holder = nodeNamed(portName); !holder.empty()) {
        reason = portName + " is in use by " + holder;
        return kStatusObjectNameCollision;
    }
    NtStatus status = m_host.createNode(hardwareId, instanceId);
    if (!ntSuccess(status)) {
        reason = m_host.registry().writeError();
        return status;
    }
    host::DeviceNode* node = m_host.findNode(instanceId);
    status = node ? m_host.registry().setString(node->hardwareKeyPath(), "PortName", portName) : kStatusNoSuchDevice;
    if (ntSuccess(status)) {
        // The ports class installer takes the name in the COM name database.
        if (const std::uint32_t number = comNumberOf(portName)) {
            bool forced = false;
            std::lock_guard comDb(m_comDbMutex);
            (void)m_comDb.claim(number, true, forced);
        }
        status = m_host.bringUpNode(instanceId);
    }
    if (!ntSuccess(status)) {
        // A node the registry file could not take would be gone at the next
        // start: the caller learns why.
        reason = m_host.registry().writeError();
        // A half-installed node is removed again, as the installer does.
        (void)m_host.removeNode(instanceId);
        if (const std::uint32_t number = comNumberOf(portName)) {
            std::lock_guard comDb(m_comDbMutex);
            (void)m_comDb.release(number);
        }
        instanceId.clear();
        return status;
    }
    // The name is given by a deferred job; the caller expects to find it.
    const auto deadline = std::chrono::steady_clock::now() + kNamingWait;
    while (!m_host.names().linkTarget("\\DosDevices\\" + portName) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (m_directory) {
        // The link may be seen here a moment before the directory hears of
        // it: wait for the terminal itself, or for the reason it has none.
        const auto limit = std::chrono::steady_clock::now() + kNamingWait;
        for (;;) {
            (void)m_directory->waitSynced(std::chrono::duration_cast<std::chrono::milliseconds>(kNamingWait));
            if (!m_directory->terminalOf(portName).empty() || !m_directory->failure(portName).empty()
                || std::chrono::steady_clock::now() >= limit)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        // A port nobody can open is no port: the node goes again, and the
        // caller learns why.
        if (m_directory->terminalOf(portName).empty()) {
            reason = m_directory->failure(portName);
            if (reason.empty())
                reason = "no terminal was made for " + portName;
            (void)m_host.removeNode(instanceId);
            if (const std::uint32_t number = comNumberOf(portName)) {
                std::lock_guard comDb(m_comDbMutex);
                (void)m_comDb.release(number);
            }
            (void)m_directory->waitSynced(std::chrono::duration_cast<std::chrono::milliseconds>(kNamingWait));
            std::fprintf(stderr, "vorpild: install of %s failed: %s\n", portName.c_str(), reason.c_str());
            instanceId.clear();
            return kStatusInsufficientResources;
        }
    }
    std::fprintf(stderr, "vorpild: installed %s (%s, %s)\n", instanceId.c_str(), hardwareId.c_str(), portName.c_str());
    return kStatusSuccess;
}

std::string ControlService::nodeNamed(const std::string& portName)
{
    for (const auto& id : m_host.nodeIds()) {
        host::DeviceNode* node = m_host.findNode(id);
        std::string name;
        if (node && ntSuccess(m_host.registry().queryString(node->hardwareKeyPath(), "PortName", name))
            && sameText(name, portName))
            return node->instanceId();
    }
    // A name another program holds (a port of another kind) counts too.
    if (m_host.names().linkTarget("\\DosDevices\\" + portName))
        return "another device";
    return {};
}

NtStatus ControlService::removeNode(const std::string& instanceId)
{
    std::lock_guard lock(m_nodesMutex);
    host::DeviceNode* node = m_host.findNode(instanceId);
    if (!node)
        return kStatusNoSuchDevice;
    std::string portName;
    (void)m_host.registry().queryString(node->hardwareKeyPath(), "PortName", portName);
    const NtStatus status = m_host.removeNode(instanceId);
    if (!ntSuccess(status))
        return status;
    if (const std::uint32_t number = comNumberOf(portName)) {
        std::lock_guard comDb(m_comDbMutex);
        (void)m_comDb.release(number);
    }
    if (m_directory)
        (void)m_directory->waitSynced(std::chrono::duration_cast<std::chrono::milliseconds>(kNamingWait));
    std::fprintf(stderr, "vorpild: removed %s\n", instanceId.c_str());
    return kStatusSuccess;
}

std::map<std::string, std::string> ControlService::comPortOptions()
{
    std::lock_guard lock(m_nodesMutex);
    std::map<std::string, std::string> options;
    for (const auto& id : m_host.nodeIds()) {
        host::DeviceNode* node = m_host.findNode(id);
        host::Device* upperDevice = node ? node->physicalDevice().upper() : nullptr;
        PortDevice* port = upperDevice ? upperDevice->extensionAs<PortDevice>() : nullptr;
        if (!port || node->state() != host::NodeState::Started || !speaksRfc2217(port->config) || !port->transport
            || !port->transport->connected())
            continue;
        switch (port->comPortOption.load()) {
        case ComPortOption::Agreed:
            options[upperCase(currentPortName(*port))] = "agreed";
            break;
        case ComPortOption::Refused:
            options[upperCase(currentPortName(*port))] = "refused";
            break;
        case ComPortOption::Asked:
            options[upperCase(currentPortName(*port))] = "unanswered";
            break;
        case ComPortOption::None:
            break;
        }
    }
    return options;
}

void ControlService::listNodes(ControlWriter& out)
{
    std::lock_guard lock(m_nodesMutex);
    std::vector<NodeInfo> nodes;
    for (const auto& id : m_host.nodeIds()) {
        host::DeviceNode* node = m_host.findNode(id);
        if (!node)
            continue;
        NodeInfo info;
        info.instanceId = node->instanceId();
        info.hardwareId = node->hardwareId();
        info.state = stateCode(node->state());
        host::Device* upper = node->physicalDevice().upper();
        PortDevice* port = upper ? upper->extensionAs<PortDevice>() : nullptr;
        if (port && node->state() == host::NodeState::Started) {
            info.portName = currentPortName(*port);
            if (m_directory && !info.portName.empty() && !m_directory->terminalOf(info.portName).empty())
                info.devicePath = m_directory->path() + "/" + info.portName;
            info.linkState = linkState(*port);
            info.connType = port->config.connType;
            info.protocol = port->config.protocol;
            info.cmdByte = port->config.cmdByte;
            info.remoteHostIp = port->config.remoteHostIp;
            info.remoteHostPort = port->config.remoteHostPort;
            info.connected = port->transport && port->transport->connected() ? 1 : 0;
            info.serverMode = port->transport && port->transport->serverMode() ? 1 : 0;
        }
        nodes.push_back(std::move(info));
    }
    out.u32(static_cast<std::uint32_t>(nodes.size()));
    for (const auto& node : nodes)
        writeNodeInfo(out, node);
}

} // namespace driver::daemon
