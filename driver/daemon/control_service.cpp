#include "driver/daemon/control_service.h"

#include "common/win32_error.h"
#include "driver/control_requests.h"
#include "driver/daemon/port_directory.h"
#include "driver/naming.h"
#include "driver/port_device.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace driver::daemon {

using namespace common;

namespace {

constexpr std::string_view kMachine = "HKEY_LOCAL_MACHINE\\";
constexpr std::string_view kPortsKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\PORTS\\";
constexpr std::string_view kEnumKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum";
constexpr std::string_view kDeviceMapKey = "HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP";
constexpr std::string_view kSerialCommKey = "HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
// How long an installation waits for the port's name to appear.
constexpr auto kNamingWait = std::chrono::seconds(2);
// How long an open waits for a terminal's front end to catch up.
constexpr auto kSettleLimit = std::chrono::milliseconds(2000);

std::string upper(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && upper(text.substr(0, prefix.size())) == upper(prefix);
}

bool sameKey(std::string_view a, std::string_view b) { return upper(a) == upper(b); }

std::string fullKey(std::string key)
{
    if (startsWith(key, "HKLM\\"))
        key = std::string(kMachine) + key.substr(5);
    return key;
}

bool readable(std::string_view key)
{
    return sameKey(key, kEnumKey) || startsWith(key, std::string(kEnumKey) + "\\") || sameKey(key, kDeviceMapKey)
        || startsWith(key, std::string(kDeviceMapKey) + "\\") || sameKey(key, ComDb::kKey);
}

// Values may be written in a port node's keys that exist and in the SERIALCOMM map.
bool writable(host::RegistryStore& registry, std::string_view key)
{
    if (sameKey(key, kSerialCommKey))
        return true;
    if (!startsWith(key, kPortsKey))
        return false;
    const std::string_view rest = key.substr(kPortsKey.size());
    const std::string instance(rest.substr(0, rest.find('\\')));
    return !instance.empty() && registry.keyExists(std::string(kPortsKey) + instance);
}

// Keys may be created and deleted only below a port node's key.
bool belowNode(host::RegistryStore& registry, std::string_view key)
{
    if (!startsWith(key, kPortsKey))
        return false;
    const std::string_view rest = key.substr(kPortsKey.size());
    const std::size_t separator = rest.find('\\');
    return separator != std::string_view::npos && separator + 1 < rest.size()
        && registry.keyExists(std::string(kPortsKey) + std::string(rest.substr(0, separator)));
}

bool validPortName(std::string_view name)
{
    if (name.empty() || name.size() > 32)
        return false;
    for (char c : name) {
        if (c <= ' ' || c > '~' || c == '\\' || c == '/')
            return false;
    }
    return true;
}

// The number of "COMn", or 0.
std::uint32_t comNumberOf(std::string_view name)
{
    if (name.size() < 4 || upper(name.substr(0, 3)) != "COM")
        return 0;
    std::uint32_t number = 0;
    for (char c : name.substr(3)) {
        if (c < '0' || c > '9' || number > ComDb::kHighest)
            return 0;
        number = number * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return number <= ComDb::kHighest ? number : 0;
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

void writeTexts(ControlWriter& out, const std::vector<std::string>& texts)
{
    out.u32(static_cast<std::uint32_t>(texts.size()));
    for (const auto& text : texts)
        out.text(text);
}

} // namespace

ControlSession::~ControlSession()
{
    for (auto& [id, handle] : handles)
        handle->close();
}

ControlService::ControlService(host::Host& host, PortDirectory* directory)
    : m_host(host)
    , m_directory(directory)
    , m_comDb(host.registry())
{
}

std::string ControlService::instanceIdOf(std::string_view text)
{
    if (!text.empty() && text.front() == '@')
        text.remove_prefix(1);
    return upper(text);
}

std::vector<std::uint8_t> ControlService::handle(ControlSession& session, std::span<const std::uint8_t> datagram)
{
    ControlRequest request;
    if (!decodeRequest(datagram, request))
        return encodeResponse(0, kStatusInvalidParameter, {});
    if (request.version != kControlVersion)
        return encodeResponse(request.operation, kStatusRevisionMismatch, {});
    ControlReader in(request.payload);
    ControlWriter out;
    const NtStatus status = dispatch(session, static_cast<ControlOp>(request.operation), in, out);
    return encodeResponse(request.operation, status, out.payload());
}

NtStatus ControlService::dispatch(ControlSession& session, ControlOp operation, ControlReader& in, ControlWriter& out)
{
    auto& registry = m_host.registry();
    switch (operation) {
    case ControlOp::EnumerateInterfaces: {
        const std::string guid = in.text();
        if (!in.ok())
            return kStatusInvalidParameter;
        writeTexts(out, m_host.interfacePaths(guid));
        return kStatusSuccess;
    }
    case ControlOp::Open: {
        const std::string path = in.text();
        if (!in.ok() || path.empty())
            return kStatusInvalidParameter;
        if (session.handles.size() >= kMaxHandlesPerSession)
            return kStatusInsufficientResources;
        std::unique_ptr<host::FileHandle> handle;
        NtStatus status = m_host.open(path, handle);
        if (status == kStatusInvalidDeviceState && m_directory) {
            // A program may have closed the port's terminal a moment ago and
            // its front end not yet let the port go: once it has caught up,
            // only a program that really holds the port keeps it.
            m_directory->settle(kSettleLimit);
            status = m_host.open(path, handle);
        }
        if (!ntSuccess(status))
            return status;
        const std::uint32_t id = session.nextHandle++;
        session.handles[id] = std::move(handle);
        out.u32(id);
        return status;
    }
    case ControlOp::DeviceControl: {
        const std::uint32_t id = in.u32();
        const std::uint32_t code = in.u32();
        const std::uint32_t outputLength = in.u32();
        const std::vector<std::uint8_t> input = in.bytes();
        if (!in.ok() || outputLength > kMaxControlBytes)
            return kStatusInvalidParameter;
        auto it = session.handles.find(id);
        if (it == session.handles.end())
            return kStatusInvalidHandle;
        const host::Reply reply = it->second->deviceIoControl(code, input, outputLength);
        const std::size_t returned = std::min(reply.information, reply.output.size());
        out.u32(static_cast<std::uint32_t>(returned));
        out.bytes(std::span(reply.output).first(returned));
        return reply.status;
    }
    case ControlOp::Close: {
        const std::uint32_t id = in.u32();
        if (!in.ok())
            return kStatusInvalidParameter;
        auto it = session.handles.find(id);
        if (it == session.handles.end())
            return kStatusInvalidHandle;
        const NtStatus status = it->second->close();
        session.handles.erase(it);
        return status;
    }
    case ControlOp::InstallNode: {
        const std::string hardwareId = in.text();
        const std::string portName = in.text();
        if (!in.ok() || hardwareId.empty() || !validPortName(portName))
            return kStatusInvalidParameter;
        std::string instanceId;
        std::string reason;
        const NtStatus status = installNode(hardwareId, portName, instanceId, reason);
        // A failure says why when it can.
        out.text(ntSuccess(status) ? instanceId : reason);
        return status;
    }
    case ControlOp::RemoveNode: {
        const std::string instanceId = instanceIdOf(in.text());
        if (!in.ok() || instanceId.empty())
            return kStatusInvalidParameter;
        return removeNode(instanceId);
    }
    case ControlOp::ListNodes:
        if (!in.ok())
            return kStatusInvalidParameter;
        listNodes(out);
        return kStatusSuccess;
    case ControlOp::Terminals: {
        if (!in.ok())
            return kStatusInvalidParameter;
        std::vector<std::string> lines;
        if (m_directory) {
            for (const auto& [name, state] : m_directory->statuses()) {
                lines.push_back(name + " program=" + (state.attached ? "yes" : "no") + " to-port="
                    + std::to_string(state.bytesToPort) + " to-program=" + std::to_string(state.bytesToProgram)
                    + " not-sent=" + std::to_string(state.bytesNotSent) + " frontend=" + state.kind
                    + (state.lastError.empty() ? "" : " last-error=\"" + state.lastError + "\""));
            }
        }
        writeTexts(out, lines);
        return kStatusSuccess;
    }
    case ControlOp::RegQueryValue: {
        const std::string key = fullKey(in.text());
        const std::string name = in.text();
        if (!in.ok())
            return kStatusInvalidParameter;
        if (!readable(key))
            return kStatusAccessDenied;
        host::RegValue value;
        const NtStatus status = registry.queryValue(key, name, value);
        if (!ntSuccess(status))
            return status;
        out.u32(value.type);
        out.bytes(value.data);
        return status;
    }
    case ControlOp::RegSetValue: {
        const std::string key = fullKey(in.text());
        const std::string name = in.text();
        const std::uint32_t type = in.u32();
        std::vector<std::uint8_t> data = in.bytes();
        if (!in.ok())
            return kStatusInvalidParameter;
        if (!writable(registry, key) && !belowNode(registry, key))
            return kStatusAccessDenied;
        if (!registry.keyExists(key)) {
            if (const NtStatus status = registry.createKey(key); !ntSuccess(status))
                return status;
        }
        return registry.setValue(key, name, type, std::move(data));
    }
    case ControlOp::RegDeleteValue: {
        const std::string key = fullKey(in.text());
        const std::string name = in.text();
        if (!in.ok())
            return kStatusInvalidParameter;
        if (!writable(registry, key))
            return kStatusAccessDenied;
        return registry.deleteValue(key, name);
    }
    case ControlOp::RegDeleteKey: {
        const std::string key = fullKey(in.text());
        if (!in.ok())
            return kStatusInvalidParameter;
        if (!belowNode(registry, key))
            return kStatusAccessDenied;
        return registry.deleteKey(key);
    }
    case ControlOp::RegEnumValues:
    case ControlOp::RegEnumKeys: {
        const std::string key = fullKey(in.text());
        if (!in.ok())
            return kStatusInvalidParameter;
        if (!readable(key))
            return kStatusAccessDenied;
        if (!registry.keyExists(key))
            return kStatusObjectNameNotFound;
        writeTexts(out, operation == ControlOp::RegEnumValues ? registry.valueNames(key) : registry.subkeyNames(key));
        return kStatusSuccess;
    }
    case ControlOp::ComDbUsage: {
        const std::uint32_t highest = in.u32();
        if (!in.ok())
            return kStatusInvalidParameter;
        std::vector<std::uint8_t> usage;
        std::lock_guard lock(m_comDbMutex);
        const NtStatus status = m_comDb.usage(highest, usage);
        if (ntSuccess(status))
            out.bytes(usage);
        return status;
    }
    case ControlOp::ComDbClaim: {
        const std::uint32_t number = in.u32();
        const std::uint32_t force = in.u32();
        if (!in.ok())
            return kStatusInvalidParameter;
        bool forced = false;
        std::lock_guard lock(m_comDbMutex);
        const NtStatus status = m_comDb.claim(number, force != 0, forced);
        if (ntSuccess(status))
            out.u32(forced ? 1 : 0);
        return status;
    }
    case ControlOp::ComDbRelease: {
        const std::uint32_t number = in.u32();
        if (!in.ok())
            return kStatusInvalidParameter;
        std::lock_guard lock(m_comDbMutex);
        return m_comDb.release(number);
    }
    }
    return kStatusInvalidDeviceRequest;
}

NtStatus ControlService::installNode(
    const std::string& hardwareId, const std::string& portName, std::string& instanceId, std::string& reason)
{
    std::lock_guard lock(m_nodesMutex);
    NtStatus status = m_host.createNode(hardwareId, instanceId);
    if (!ntSuccess(status))
        return status;
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
