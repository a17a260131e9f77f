#include "driver/host/host.h"

#include "driver/host/host_internal.h"

#include <algorithm>
#include <cstdio>

namespace driver::host {

using namespace common;

using detail::lowerCase;
using detail::sameText;

namespace {

constexpr std::string_view kPortsEnumerator = "ROOT\\PORTS";

} // namespace

std::string DeviceNode::enumKeyPath() const { return std::string(Host::kEnumRoot) + "\\" + m_instanceId; }

Device::Device(Driver& driver, std::string name, std::uint32_t type, std::uint32_t characteristics, bool exclusive,
    std::unique_ptr<DeviceExtension> extension)
    : m_driver(driver)
    , m_name(std::move(name))
    , m_type(type)
    , m_characteristics(characteristics)
    , m_exclusive(exclusive)
    , m_extension(std::move(extension))
{
}

void HostFaults::failNth(HostOp op, int nth, NtStatus status)
{
    const auto index = static_cast<std::size_t>(op);
    m_status[index] = status;
    m_countdown[index] = nth > 0 ? nth : 0;
}

void HostFaults::reset()
{
    for (auto& countdown : m_countdown)
        countdown = 0;
}

bool HostFaults::shouldFail(HostOp op, NtStatus& status)
{
    const auto index = static_cast<std::size_t>(op);
    int current = m_countdown[index].load();
    while (current > 0) {
        if (m_countdown[index].compare_exchange_weak(current, current - 1)) {
            if (current != 1)
                return false;
            status = m_status[index].load();
            return true;
        }
    }
    return false;
}

// The bus driver of root-enumerated nodes: it owns every node's bus device
// and completes what function drivers pass down.
class Host::RootBus final : public Driver {
public:
    explicit RootBus(Host& host)
        : m_host(host)
    {
    }
    NtStatus addDevice(Host&, DeviceNode&) override { return kStatusNotSupported; }
    NtStatus dispatch(Device& device, const RequestPtr& request) override
    {
        NtStatus status = kStatusInvalidDeviceRequest;
        switch (request->major()) {
        case MajorFunction::Pnp:
            status = pnp(device, *request);
            break;
        case MajorFunction::Power:
            status = kStatusSuccess;
            break;
        case MajorFunction::SystemControl:
            status = kStatusNotSupported; // no WMI data blocks on a root node
            break;
        default:
            break;
        }
        request->complete(status, 0);
        return status;
    }

private:
    NtStatus pnp(Device& device, Request& request)
    {
        switch (request.pnpMinor()) {
        case PnpMinor::StartDevice: {
            NtStatus failure = 0;
            return m_host.m_faults.shouldFail(HostOp::LowerStart, failure) ? failure : kStatusSuccess;
        }
        case PnpMinor::QueryCapabilities: {
            auto& capabilities = request.capabilities();
            capabilities.silentInstall = true;
            capabilities.surpriseRemovalOk = true;
            capabilities.uiNumber = device.node() ? device.node()->uiNumber() : 0;
            return kStatusSuccess;
        }
        case PnpMinor::QueryDeviceRelations:
            return kStatusNotSupported;
        default:
            return kStatusSuccess;
        }
    }
    Host& m_host;
};

Host::Host(HostConfig config)
    : m_clock(config.clock ? *config.clock : platform::RealClock::instance())
    , m_config(std::move(config))
    , m_workers(m_config.workerThreads, WorkerPool::kMostWorkers)
    , m_timers(m_clock)
    , m_network(m_clock)
    , m_rootBus(std::make_unique<RootBus>(*this))
{
}

Host::~Host()
{
    std::vector<FileHandle*> handles;
    {
        std::lock_guard lock(m_mutex);
        handles.assign(m_handles.begin(), m_handles.end());
    }
    for (FileHandle* handle : handles)
        handle->close();
    std::lock_guard pnp(m_pnpMutex);
    for (auto& node : m_nodes) {
        const NodeState state = node->state();
        if (state == NodeState::Started || state == NodeState::Stopped || state == NodeState::SurpriseRemoved)
            finishRemove(*node, false);
    }
    m_workers.drain();
}

void Host::registerDriver(std::string_view hardwareId, Driver& driver)
{
    std::lock_guard lock(m_mutex);
    m_drivers.emplace_back(std::string(hardwareId), &driver);
}

Driver* Host::driverFor(std::string_view hardwareId)
{
    std::lock_guard lock(m_mutex);
    for (auto& [id, driver] : m_drivers) {
        if (sameText(id, hardwareId))
            return driver;
    }
    return nullptr;
}

NtStatus Host::start()
{
    if (!m_config.registryFile.empty()) {
        const NtStatus status = m_registry.attachFile(m_config.registryFile);
        if (!ntSuccess(status))
            return status;
    }
    // The hardware tree, with the SERIALCOMM map, describes this run only.
    (void)m_registry.deleteKey("HKEY_LOCAL_MACHINE\\HARDWARE");
    (void)m_registry.createKey("HKEY_LOCAL_MACHINE\\HARDWARE", true);
    (void)m_registry.createKey(std::string(kDeviceMapRoot) + "\\SERIALCOMM", true);

    std::lock_guard pnp(m_pnpMutex);
    const std::string portsKey = std::string(kEnumRoot) + "\\" + std::string(kPortsEnumerator);
    for (const auto& instance : m_registry.subkeyNames(portsKey)) {
        const std::string instanceId = std::string(kPortsEnumerator) + "\\" + instance;
        if (findNode(instanceId))
            continue;
        std::string hardwareId;
        RegValue ids;
        if (ntSuccess(m_registry.queryValue(portsKey + "\\" + instance, "HardwareID", ids))) {
            // The first string of the multi-string list.
            ids.data.resize(ids.data.size() & ~std::size_t { 1 });
            hardwareId = fromRegString(ids.data).value_or("");
        }
        std::uint32_t uiNumber = 0;
        (void)m_registry.queryDword(portsKey + "\\" + instance, "UINumber", uiNumber);
        if (DeviceNode* node = createNodeRecord(instanceId, hardwareId, uiNumber))
            (void)bringUp(*node);
    }
    return kStatusSuccess;
}

DeviceNode* Host::createNodeRecord(std::string_view instanceId, std::string_view hardwareId, std::uint32_t uiNumber)
{
    auto node = std::make_unique<DeviceNode>();
    node->m_instanceId = std::string(instanceId);
    node->m_hardwareId = std::string(hardwareId);
    node->m_uiNumber = uiNumber;
    char name[32];
    {
        std::lock_guard lock(m_mutex);
        std::snprintf(name, sizeof name, "\\Device\\%08X", m_nextPhysicalNumber++);
    }
    auto physical = std::make_shared<Device>(*m_rootBus, name, 0x22, 0, false, nullptr);
    physical->m_node = node.get();
    physical->clearFlags(kDoDeviceInitializing);
    if (!ntSuccess(m_names.insertDevice(name, physical)))
        return nullptr;
    node->m_physical = std::move(physical);
    std::lock_guard lock(m_mutex);
    m_nodes.push_back(std::move(node));
    return m_nodes.back().get();
}

NtStatus Host::createNode(std::string_view hardwareId, std::string& instanceId)
{
    std::lock_guard pnp(m_pnpMutex);
    const std::string portsKey = std::string(kEnumRoot) + "\\" + std::string(kPortsEnumerator);
    std::uint32_t index = 0;
    char instance[16];
    for (;; ++index) {
        std::snprintf(instance, sizeof instance, "%04u", index);
        if (!m_registry.keyExists(portsKey + "\\" + instance)
            && !findNode(std::string(kPortsEnumerator) + "\\" + instance))
            break;
    }
    const std::string id = std::string(kPortsEnumerator) + "\\" + instance;
    const std::string key = portsKey + "\\" + instance;
    NtStatus status = m_registry.createKey(key);
    if (!ntSuccess(status))
        return status;
    auto ids = toRegString(hardwareId);
    ids.push_back(0);
    ids.push_back(0);
    (void)m_registry.setValue(key, "HardwareID", static_cast<std::uint32_t>(RegType::MultiSz), std::move(ids));
    (void)m_registry.setDword(key, "UINumber", index);
    (void)m_registry.createKey(key + "\\Device Parameters");
    if (!createNodeRecord(id, hardwareId, index))
        return kStatusInsufficientResources;
    instanceId = id;
    return kStatusSuccess;
}

NtStatus Host::bringUpNode(std::string_view instanceId)
{
    std::lock_guard pnp(m_pnpMutex);
    DeviceNode* node = findNode(instanceId);
    if (!node || node->state() != NodeState::Installed)
        return kStatusInvalidDeviceState;
    return bringUp(*node);
}

NtStatus Host::installNode(std::string_view hardwareId, std::string* instanceId)
{
    std::string id;
    const NtStatus status = createNode(hardwareId, id);
    if (!ntSuccess(status))
        return status;
    if (instanceId)
        *instanceId = id;
    return bringUpNode(id);
}

NtStatus Host::bringUp(DeviceNode& node)
{
    Driver* driver = driverFor(node.hardwareId());
    if (!driver)
        return kStatusNoSuchDevice;
    NtStatus status = driver->addDevice(*this, node);
    if (!ntSuccess(status)) {
        node.m_state = NodeState::Failed;
        return status;
    }
    status = deliverPnp(node, PnpMinor::StartDevice);
    if (!ntSuccess(status)) {
        (void)deliverPnp(node, PnpMinor::RemoveDevice);
        dropInterfaces(node);
        node.m_state = NodeState::Failed;
        return status;
    }
    node.m_state = NodeState::Started;
    return kStatusSuccess;
}

Device* Host::stackTop(DeviceNode& node)
{
    Device* top = node.m_physical.get();
    while (Device* upper = top->upper())
        top = upper;
    return top;
}

NtStatus Host::deliverPnp(DeviceNode& node, PnpMinor minor)
{
    auto request = Request::makePnp(minor);
    DevicePtr top = stackTop(node)->shared_from_this();
    (void)callDriver(*top, request);
    return request->wait();
}

DeviceNode* Host::findNode(std::string_view instanceId)
{
    std::lock_guard lock(m_mutex);
    for (auto& node : m_nodes) {
        if (sameText(node->instanceId(), instanceId) && node->state() != NodeState::Removed)
            return node.get();
    }
    return nullptr;
}

std::vector<std::string> Host::nodeIds() const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::string> ids;
    for (const auto& node : m_nodes) {
        if (node->state() != NodeState::Removed)
            ids.push_back(node->instanceId());
    }
    return ids;
}

void Host::finishRemove(DeviceNode& node, bool uninstall)
{
    if (node.m_physical->upper())
        (void)deliverPnp(node, PnpMinor::RemoveDevice);
    dropInterfaces(node);
    node.m_physical->m_deleted = true;
    m_names.removeDevice(node.m_physical->name());
    if (uninstall)
        (void)m_registry.deleteKey(node.enumKeyPath());
    node.m_state = NodeState::Removed;
}

void Host::dropInterfaces(DeviceNode& node)
{
    std::vector<std::string> links;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& entry : m_interfaces) {
            if (entry.node == &node && entry.enabled)
                links.push_back(entry.linkName);
        }
        std::erase_if(m_interfaces, [&](const Interface& entry) { return entry.node == &node; });
    }
    for (const auto& link : links)
        (void)m_names.deleteLink(link);
}

NtStatus Host::removeNode(std::string_view instanceId)
{
    std::lock_guard pnp(m_pnpMutex);
    DeviceNode* node = findNode(instanceId);
    if (!node)
        return kStatusNoSuchDevice;
    if (node->m_physical->upper()) {
        const NtStatus status = deliverPnp(*node, PnpMinor::QueryRemoveDevice);
        if (!ntSuccess(status)) {
            (void)deliverPnp(*node, PnpMinor::CancelRemoveDevice);
            return status;
        }
    }
    finishRemove(*node, true);
    return kStatusSuccess;
}

NtStatus Host::surpriseRemoveNode(std::string_view instanceId)
{
    std::lock_guard pnp(m_pnpMutex);
    DeviceNode* node = findNode(instanceId);
    if (!node || node->state() == NodeState::SurpriseRemoved)
        return kStatusNoSuchDevice;
    if (node->m_physical->upper())
        (void)deliverPnp(*node, PnpMinor::SurpriseRemoval);
    node->m_state = NodeState::SurpriseRemoved;
    bool removeNow = false;
    {
        std::lock_guard lock(m_mutex);
        removeNow = node->m_openHandles == 0;
        node->m_removeWhenClosed = !removeNow;
    }
    if (removeNow)
        finishRemove(*node, false);
    return kStatusSuccess;
}

NtStatus Host::stopNode(std::string_view instanceId)
{
    std::lock_guard pnp(m_pnpMutex);
    DeviceNode* node = findNode(instanceId);
    if (!node || node->state() != NodeState::Started)
        return kStatusInvalidDeviceState;
    NtStatus status = deliverPnp(*node, PnpMinor::QueryStopDevice);
    if (!ntSuccess(status)) {
        (void)deliverPnp(*node, PnpMinor::CancelStopDevice);
        return status;
    }
    status = deliverPnp(*node, PnpMinor::StopDevice);
    node->m_state = NodeState::Stopped;
    return status;
}

NtStatus Host::restartNode(std::string_view instanceId)
{
    std::lock_guard pnp(m_pnpMutex);
    DeviceNode* node = findNode(instanceId);
    if (!node || node->state() != NodeState::Stopped)
        return kStatusInvalidDeviceState;
    const NtStatus status = deliverPnp(*node, PnpMinor::StartDevice);
    if (ntSuccess(status))
        node->m_state = NodeState::Started;
    return status;
}

NtStatus Host::sendPnp(std::string_view instanceId, PnpMinor minor)
{
    std::lock_guard pnp(m_pnpMutex);
    DeviceNode* node = findNode(instanceId);
    if (!node)
        return kStatusNoSuchDevice;
    return deliverPnp(*node, minor);
}

NtStatus Host::open(std::string_view path, std::unique_ptr<FileHandle>& handle)
{
    std::string name(path);
    if (name.rfind("\\\\?\\", 0) == 0 || name.rfind("\\\\.\\", 0) == 0)
        name = "\\??\\" + name.substr(4);
    else if (name.empty() || name[0] != '\\')
        name = "\\??\\" + name;
    DevicePtr device = m_names.resolve(name);
    if (!device || device->deleted())
        return kStatusObjectNameNotFound;
    Device* top = device.get();
    while (Device* upper = top->upper())
        top = upper;
    DevicePtr target = top->shared_from_this();
    DeviceNode* node = device->node();
    if (node && node->state() == NodeState::SurpriseRemoved)
        return kStatusDeletePending;
    auto request = Request::make(MajorFunction::Create);
    (void)callDriver(*target, request);
    const NtStatus status = request->wait();
    if (!ntSuccess(status))
        return status;
    handle.reset(new FileHandle(*this, std::move(target), node));
    std::lock_guard lock(m_mutex);
    m_handles.insert(handle.get());
    if (node)
        ++node->m_openHandles;
    return status;
}

std::vector<std::string> Host::interfacePaths(std::string_view guid) const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::pair<std::string, std::string>> found;
    for (const auto& entry : m_interfaces) {
        if (entry.enabled && sameText(entry.guid, guid))
            found.emplace_back(entry.node->instanceId(), "\\\\?\\" + lowerCase(entry.linkName.substr(4)));
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (auto& [id, path] : found)
        paths.push_back(std::move(path));
    return paths;
}

} // namespace driver::host
