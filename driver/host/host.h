#pragma once

#include "driver/host/device.h"
#include "driver/host/names.h"
#include "driver/host/network.h"
#include "driver/host/registry.h"
#include "driver/host/request.h"
#include "driver/host/sync.h"
#include "driver/host/timer.h"
#include "driver/host/work_queue.h"
#include "platform/clock.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace driver::host {

// Operations of the host that a test can make fail, to reach a driver's
// clean-up paths.
enum class HostOp {
    CreateDevice,
    AttachDevice,
    Allocate,
    AllocateWorkItem,
    RegisterInterface,
    OpenDeviceKey,
    WriteRegistry,
    CreateLink,
    WriteDeviceMap,
    LowerStart, // the bus device refuses to start
    Count,
};

class HostFaults {
public:
    // Makes the nth future call (1 = the next) of `op` fail with `status`.
    void failNth(HostOp op, int nth, NtStatus status = common::kStatusInsufficientResources);
    void reset();
    // True, with the status to fail with, when this call of `op` is to fail.
    bool shouldFail(HostOp op, NtStatus& status);

private:
    static constexpr std::size_t kCount = static_cast<std::size_t>(HostOp::Count);
    std::array<std::atomic<int>, kCount> m_countdown {};
    std::array<std::atomic<NtStatus>, kCount> m_status {};
};

// The completion of a request an application sent.
struct Reply {
    NtStatus status = common::kStatusPending;
    std::size_t information = 0;
    std::vector<std::uint8_t> output; // the first `information` bytes are the answer
};

// An open handle to a device, as an application holds one: requests go to
// the top of the device's stack. Closing sends cleanup, then close.
class FileHandle {
public:
    ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    // Sends a request and waits for its completion, pending or not.
    Reply deviceIoControl(std::uint32_t code, std::span<const std::uint8_t> input, std::size_t outputLength);
    Reply read(std::size_t length);
    Reply write(std::span<const std::uint8_t> data);
    Reply queryInformation(FileInformationClass infoClass, std::size_t length);
    Reply setInformation(FileInformationClass infoClass, std::span<const std::uint8_t> input);
    // Sends a request without waiting; returns what the driver returned
    // (kStatusPending when the request was kept).
    NtStatus submit(const RequestPtr& request);
    NtStatus close();
    bool isOpen() const;
    Device& device() { return *m_device; }

private:
    friend class Host;
    FileHandle(Host& host, DevicePtr device, DeviceNode* node);
    Reply send(const RequestPtr& request);

    Host& m_host;
    DevicePtr m_device;
    DeviceNode* m_node;
    std::atomic<bool> m_open { true };
};

struct HostConfig {
    platform::Clock* clock = nullptr; // the machine's clock when null
    std::string registryFile; // empty: the registry lives in memory only
    int workerThreads = 2;
};

// What a kernel gives the driver, in user space: the plug-and-play manager
// with its device nodes, the I/O manager that opens devices and carries
// requests, the object name space, device interfaces, the registry, worker
// threads and timers.
class Host {
public:
    static constexpr std::string_view kEnumRoot = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum";
    static constexpr std::string_view kDeviceMapRoot = "HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP";
    static constexpr std::string_view kComPortInterface = "{86e0d1e0-8089-11d0-9ce4-08003e301f73}";

    explicit Host(HostConfig config = {});
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Start-up: drivers first, then start(), which loads the registry, clears
    // the volatile device map and brings up every node the registry lists.
    void registerDriver(std::string_view hardwareId, Driver& driver);
    NtStatus start();

    // Plug-and-play manager.
    // Registers a node without starting it, so its keys can be prepared first.
    NtStatus createNode(std::string_view hardwareId, std::string& instanceId);
    // Loads the node's driver and starts it.
    NtStatus bringUpNode(std::string_view instanceId);
    // Both of the above.
    NtStatus installNode(std::string_view hardwareId, std::string* instanceId = nullptr);
    // Query-remove, then remove and uninstall; a refused query is cancelled.
    NtStatus removeNode(std::string_view instanceId);
    // Surprise removal now; the remove follows once the last handle is closed.
    NtStatus surpriseRemoveNode(std::string_view instanceId);
    // Query-stop, then stop; a refused query is cancelled.
    NtStatus stopNode(std::string_view instanceId);
    NtStatus restartNode(std::string_view instanceId);
    // Sends one plug-and-play request to a node's stack and waits for it.
    NtStatus sendPnp(std::string_view instanceId, PnpMinor minor);
    DeviceNode* findNode(std::string_view instanceId);
    std::vector<std::string> nodeIds() const;

    // I/O manager. `path` is a device name, a DOS name ("COM5", "\\.\COM5")
    // or an interface path ("\\?\root#ports#0000#{...}").
    NtStatus open(std::string_view path, std::unique_ptr<FileHandle>& handle);
    // The enabled interfaces of a class, as paths an application opens, in node order.
    std::vector<std::string> interfacePaths(std::string_view guid) const;

    // Kernel services for drivers.
    NtStatus createDevice(Driver& driver, std::string_view name, std::uint32_t type, std::uint32_t characteristics,
        bool exclusive, std::unique_ptr<DeviceExtension> extension, DevicePtr& device);
    // Attaches `device` on top of the stack that `target` belongs to; returns
    // the device it now sits on, or null.
    Device* attachDevice(Device& device, Device& target);
    void detachDevice(Device& lower);
    void deleteDevice(Device& device);
    NtStatus callDriver(Device& device, const RequestPtr& request);
    // Passes a request down and waits for the lower device to complete it;
    // the caller then completes the request itself.
    NtStatus forwardAndWait(Device& lower, const RequestPtr& request);
    NtStatus createSymbolicLink(std::string_view link, std::string_view target);
    NtStatus deleteSymbolicLink(std::string_view link);
    NtStatus registerDeviceInterface(DeviceNode& node, std::string_view guid, std::string& linkName);
    NtStatus setDeviceInterfaceState(std::string_view linkName, bool enable);
    // Opens (creating when missing) the node's hardware key; gives its path.
    NtStatus openDeviceKey(DeviceNode& node, std::string& keyPath);
    NtStatus writeRegistryDword(std::string_view keyPath, std::string_view name, std::uint32_t value);
    NtStatus writeDeviceMapValue(std::string_view map, std::string_view name, std::string_view text);
    NtStatus deleteDeviceMapValue(std::string_view map, std::string_view name);
    NtStatus queryUiNumber(DeviceNode& node, std::uint32_t& uiNumber);
    // `owner` (a device's record) shares the workers fairly with other owners.
    std::unique_ptr<WorkItem> allocateWorkItem(const void* owner = nullptr);
    template <typename T> std::unique_ptr<T> allocate()
    {
        NtStatus ignored = 0;
        if (m_faults.shouldFail(HostOp::Allocate, ignored))
            return nullptr;
        return std::make_unique<T>();
    }

    platform::Clock& clock() { return m_clock; }
    RegistryStore& registry() { return m_registry; }
    ObjectNamespace& names() { return m_names; }
    TimerService& timers() { return m_timers; }
    WorkerPool& workers() { return m_workers; }
    NetService& network() { return m_network; }
    HostFaults& faults() { return m_faults; }

private:
    friend class FileHandle;
    class RootBus;
    struct Interface {
        DeviceNode* node;
        std::string guid;
        std::string linkName; // "\??\ROOT#PORTS#0000#{...}"
        bool enabled;
    };

    DeviceNode* createNodeRecord(std::string_view instanceId, std::string_view hardwareId, std::uint32_t uiNumber);
    NtStatus bringUp(DeviceNode& node);
    NtStatus deliverPnp(DeviceNode& node, PnpMinor minor);
    void finishRemove(DeviceNode& node, bool uninstall);
    // A torn-down node's interfaces go with it, enabled or not.
    void dropInterfaces(DeviceNode& node);
    Device* stackTop(DeviceNode& node);
    void handleClosed(FileHandle& handle);
    Driver* driverFor(std::string_view hardwareId);

    platform::Clock& m_clock;
    HostConfig m_config;
    HostFaults m_faults;
    RegistryStore m_registry;
    ObjectNamespace m_names;
    WorkerPool m_workers;
    TimerService m_timers;
    NetService m_network;
    std::unique_ptr<RootBus> m_rootBus;

    std::mutex m_pnpMutex; // serialises plug-and-play operations, as the manager does
    mutable std::mutex m_mutex; // protects m_drivers, m_nodes, m_interfaces, m_handles and node handle counts
    std::vector<std::pair<std::string, Driver*>> m_drivers;
    std::vector<std::unique_ptr<DeviceNode>> m_nodes;
    std::vector<Interface> m_interfaces;
    std::set<FileHandle*> m_handles;
    std::map<Device*, DevicePtr> m_devices; // created devices until they are deleted
    std::uint32_t m_nextPhysicalNumber = 1;
};

} // namespace driver::host
