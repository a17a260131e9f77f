#include "driver/daemon/control_service.h"

#include "driver/daemon/control_text.h"

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
// How long an open waits for a terminal's front end to catch up.
constexpr auto kSettleLimit = std::chrono::milliseconds(2000);

std::string fullKey(std::string key)
{
    if (startsWithText(key, "HKLM\\"))
        key = std::string(kMachine) + key.substr(5);
    return key;
}

bool readable(std::string_view key)
{
    return sameText(key, kEnumKey) || startsWithText(key, std::string(kEnumKey) + "\\") || sameText(key, kDeviceMapKey)
        || startsWithText(key, std::string(kDeviceMapKey) + "\\") || sameText(key, ComDb::kKey);
}

// Values may be written in a port node's keys that exist and in the SERIALCOMM map.
bool writable(host::RegistryStore& registry, std::string_view key)
{
    if (sameText(key, kSerialCommKey))
        return true;
    if (!startsWithText(key, kPortsKey))
        return false;
    const std::string_view rest = key.substr(kPortsKey.size());
    const std::string instance(rest.substr(0, rest.find('\\')));
    return !instance.empty() && registry.keyExists(std::string(kPortsKey) + instance);
}

// Keys may be created and deleted only below a port node's key.
bool belowNode(host::RegistryStore& registry, std::string_view key)
{
    if (!startsWithText(key, kPortsKey))
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
    return upperCase(text);
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
            const auto options = comPortOptions();
            for (const auto& [name, state] : m_directory->statuses()) {
                const auto option = options.find(upperCase(name));
                lines.push_back(name + " program=" + (state.attached ? "yes" : "no") + " to-port="
                    + std::to_string(state.bytesToPort) + " to-program=" + std::to_string(state.bytesToProgram)
                    + " not-sent=" + std::to_string(state.bytesNotSent) + " frontend=" + state.kind
                    + (option == options.end() ? "" : " com-port-option=" + option->second)
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

} // namespace driver::daemon
