// Device objects, the names and interfaces they are reached by, and the
// requests sent to them through open handles.
#include "driver/host/host.h"

#include "driver/host/host_internal.h"

#include <algorithm>

namespace driver::host {

using namespace common;
using detail::lowerCase;
using detail::sameText;

NtStatus Host::createDevice(Driver& driver, std::string_view name, std::uint32_t type, std::uint32_t characteristics,
    bool exclusive, std::unique_ptr<DeviceExtension> extension, DevicePtr& device)
{
    NtStatus failure = 0;
    if (m_faults.shouldFail(HostOp::CreateDevice, failure))
        return failure;
    auto created
        = std::make_shared<Device>(driver, std::string(name), type, characteristics, exclusive, std::move(extension));
    if (!name.empty()) {
        const NtStatus status = m_names.insertDevice(name, created);
        if (!ntSuccess(status))
            return status;
    }
    {
        std::lock_guard lock(m_mutex);
        m_devices[created.get()] = created;
    }
    device = std::move(created);
    return kStatusSuccess;
}

Device* Host::attachDevice(Device& device, Device& target)
{
    NtStatus failure = 0;
    if (m_faults.shouldFail(HostOp::AttachDevice, failure))
        return nullptr;
    std::lock_guard lock(m_mutex);
    Device* top = &target;
    while (Device* upper = top->upper())
        top = upper;
    if (top->deleted())
        return nullptr;
    device.m_lower = top;
    device.m_node = target.node();
    top->m_upper = &device;
    return top;
}

void Host::detachDevice(Device& lower)
{
    std::lock_guard lock(m_mutex);
    if (Device* upper = lower.m_upper.exchange(nullptr))
        upper->m_lower = nullptr;
}

void Host::deleteDevice(Device& device)
{
    device.m_deleted = true;
    if (!device.name().empty())
        m_names.removeDevice(device.name());
    DevicePtr last; // released outside the lock: the device's record may own host objects
    std::lock_guard lock(m_mutex);
    if (auto it = m_devices.find(&device); it != m_devices.end()) {
        last = std::move(it->second);
        m_devices.erase(it);
    }
}

NtStatus Host::callDriver(Device& device, const RequestPtr& request)
{
    return device.driver().dispatch(device, request);
}

NtStatus Host::forwardAndWait(Device& lower, const RequestPtr& request)
{
    auto done = std::make_shared<Event>();
    request->setCompletionRoutine([done](Request&) {
        done->set();
        return false; // keep the request: the caller completes it after its own work
    });
    (void)callDriver(lower, request);
    done->wait();
    return request->status();
}

NtStatus Host::createSymbolicLink(std::string_view link, std::string_view target)
{
    NtStatus failure = 0;
    if (m_faults.shouldFail(HostOp::CreateLink, failure))
        return failure;
    return m_names.createLink(link, target);
}

NtStatus Host::deleteSymbolicLink(std::string_view link) { return m_names.deleteLink(link); }

NtStatus Host::registerDeviceInterface(DeviceNode& node, std::string_view guid, std::string& linkName)
{
    NtStatus failure = 0;
    if (m_faults.shouldFail(HostOp::RegisterInterface, failure))
        return failure;
    std::string reference = node.instanceId();
    std::replace(reference.begin(), reference.end(), '\\', '#');
    for (char& c : reference) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    linkName = "\\??\\" + reference + "#" + lowerCase(guid);
    std::lock_guard lock(m_mutex);
    for (const auto& entry : m_interfaces) {
        if (entry.linkName == linkName)
            return kStatusSuccess;
    }
    m_interfaces.push_back(Interface { &node, lowerCase(guid), linkName, false });
    return kStatusSuccess;
}

NtStatus Host::setDeviceInterfaceState(std::string_view linkName, bool enable)
{
    std::string target;
    {
        std::lock_guard lock(m_mutex);
        auto it = std::find_if(m_interfaces.begin(), m_interfaces.end(),
            [&](const Interface& entry) { return sameText(entry.linkName, linkName); });
        if (it == m_interfaces.end())
            return kStatusObjectNameNotFound;
        if (it->enabled == enable)
            return enable ? kStatusSuccess : kStatusObjectNameNotFound;
        it->enabled = enable;
        target = it->node->physicalDevice().name();
    }
    if (enable)
        return m_names.createLink(linkName, target);
    return m_names.deleteLink(linkName);
}

NtStatus Host::openDeviceKey(DeviceNode& node, std::string& keyPath)
{
    NtStatus failure = 0;
    if (m_faults.shouldFail(HostOp::OpenDeviceKey, failure))
        return failure;
    keyPath = node.hardwareKeyPath();
    return m_registry.createKey(keyPath);
}

NtStatus Host::writeRegistryDword(std::string_view keyPath, std::string_view name, std::uint32_t value)
{
    NtStatus failure = 0;
    if (m_faults.shouldFail(HostOp::WriteRegistry, failure))
        return failure;
    return m_registry.setDword(keyPath, name, value);
}

NtStatus Host::writeDeviceMapValue(std::string_view map, std::string_view name, std::string_view text)
{
    NtStatus failure = 0;
    if (m_faults.shouldFail(HostOp::WriteDeviceMap, failure))
        return failure;
    const std::string key = std::string(kDeviceMapRoot) + "\\" + std::string(map);
    const NtStatus status = m_registry.createKey(key, true);
    if (!ntSuccess(status))
        return status;
    return m_registry.setString(key, name, text);
}

NtStatus Host::deleteDeviceMapValue(std::string_view map, std::string_view name)
{
    return m_registry.deleteValue(std::string(kDeviceMapRoot) + "\\" + std::string(map), name);
}

NtStatus Host::queryUiNumber(DeviceNode& node, std::uint32_t& uiNumber)
{
    return m_registry.queryDword(node.enumKeyPath(), "UINumber", uiNumber);
}

std::unique_ptr<WorkItem> Host::allocateWorkItem(const void* owner)
{
    NtStatus failure = 0;
    if (m_faults.shouldFail(HostOp::AllocateWorkItem, failure))
        return nullptr;
    return std::make_unique<WorkItem>(m_workers, owner);
}

void Host::handleClosed(FileHandle& handle)
{
    DeviceNode* node = handle.m_node;
    bool removeNow = false;
    {
        std::lock_guard lock(m_mutex);
        m_handles.erase(&handle);
        if (node) {
            --node->m_openHandles;
            removeNow = node->m_removeWhenClosed && node->m_openHandles == 0;
            if (removeNow)
                node->m_removeWhenClosed = false;
        }
    }
    if (removeNow) {
        std::lock_guard pnp(m_pnpMutex);
        finishRemove(*node, false);
    }
}

FileHandle::FileHandle(Host& host, DevicePtr device, DeviceNode* node)
    : m_host(host)
    , m_device(std::move(device))
    , m_node(node)
{
}

FileHandle::~FileHandle() { close(); }

bool FileHandle::isOpen() const { return m_open.load(); }

NtStatus FileHandle::submit(const RequestPtr& request)
{
    if (!m_open.load()) {
        request->complete(kStatusInvalidDeviceState);
        return kStatusInvalidDeviceState;
    }
    return m_host.callDriver(*m_device, request);
}

Reply FileHandle::send(const RequestPtr& request)
{
    (void)submit(request);
    Reply reply;
    reply.status = request->wait();
    reply.information = request->information();
    auto output = request->output();
    reply.output.assign(output.begin(), output.end());
    return reply;
}

Reply FileHandle::deviceIoControl(std::uint32_t code, std::span<const std::uint8_t> input, std::size_t outputLength)
{
    return send(Request::makeDeviceControl(code, input, outputLength));
}

Reply FileHandle::read(std::size_t length) { return send(Request::makeRead(length)); }
Reply FileHandle::write(std::span<const std::uint8_t> data) { return send(Request::makeWrite(data)); }

Reply FileHandle::queryInformation(FileInformationClass infoClass, std::size_t length)
{
    return send(Request::makeQueryInformation(infoClass, length));
}

Reply FileHandle::setInformation(FileInformationClass infoClass, std::span<const std::uint8_t> input)
{
    return send(Request::makeSetInformation(infoClass, input));
}

NtStatus FileHandle::close()
{
    if (!m_open.exchange(false))
        return kStatusSuccess;
    auto cleanup = Request::make(MajorFunction::Cleanup);
    (void)m_host.callDriver(*m_device, cleanup);
    (void)cleanup->wait();
    auto closing = Request::make(MajorFunction::Close);
    (void)m_host.callDriver(*m_device, closing);
    const NtStatus status = closing->wait();
    m_host.handleClosed(*this);
    return status;
}

} // namespace driver::host
