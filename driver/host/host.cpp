#include "driver/host/host.h"

#include <algorithm>
#include <cstdio>

namespace driver::host {

using namespace common;

namespace {

std::string lowerCase(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool sameText(std::string_view a, std::string_view b) { return lowerCase(a) == lowerCase(b); }

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
    , m_workers(m_config.workerThreads)
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
