#pragma once

#include "driver/host/request.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace driver::host {

class Host;
class Device;
class DeviceNode;

// A driver's per-device record lives behind this base, created with the
// device object and freed with it.
struct DeviceExtension {
    virtual ~DeviceExtension() = default;
};

// Device object flags and characteristics, with the kernel's values.
inline constexpr std::uint32_t kDoBufferedIo = 0x0004;
inline constexpr std::uint32_t kDoDirectIo = 0x0010;
inline constexpr std::uint32_t kDoDeviceInitializing = 0x0080;
inline constexpr std::uint32_t kDoPowerPagable = 0x2000;
inline constexpr std::uint32_t kFileDeviceSecureOpen = 0x0100;

// What a driver gives the host: the add-device routine and one dispatch
// routine for every major function. A driver must outlive the hosts it is
// registered with.
class Driver {
public:
    virtual ~Driver() = default;
    // Creates the driver's device for a new node and attaches it to the node's stack.
    virtual NtStatus addDevice(Host& host, DeviceNode& node) = 0;
    // Handles one request. Returns the request's status, or kStatusPending
    // when the request was kept to be completed later.
    virtual NtStatus dispatch(Device& device, const RequestPtr& request) = 0;
    virtual void unload() { }
};

// A device object: a name, its type, its place in a node's stack and the
// driver's record.
class Device : public std::enable_shared_from_this<Device> {
public:
    Device(Driver& driver, std::string name, std::uint32_t type, std::uint32_t characteristics, bool exclusive,
        std::unique_ptr<DeviceExtension> extension);
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    const std::string& name() const { return m_name; }
    std::uint32_t type() const { return m_type; }
    std::uint32_t characteristics() const { return m_characteristics; }
    bool exclusive() const { return m_exclusive; }
    std::uint32_t flags() const { return m_flags.load(); }
    void setFlags(std::uint32_t flags) { m_flags.fetch_or(flags); }
    void clearFlags(std::uint32_t flags) { m_flags.fetch_and(~flags); }
    Driver& driver() { return m_driver; }
    DeviceExtension* extension() { return m_extension.get(); }
    template <typename T> T* extensionAs() { return dynamic_cast<T*>(m_extension.get()); }
    // The device this one is attached to, and the one attached to it.
    Device* lower() const { return m_lower.load(); }
    Device* upper() const { return m_upper.load(); }
    DeviceNode* node() const { return m_node; }
    bool deleted() const { return m_deleted.load(); }

private:
    friend class Host;
    Driver& m_driver;
    const std::string m_name;
    const std::uint32_t m_type;
    const std::uint32_t m_characteristics;
    const bool m_exclusive;
    std::atomic<std::uint32_t> m_flags { kDoDeviceInitializing };
    std::unique_ptr<DeviceExtension> m_extension;
    std::atomic<Device*> m_lower { nullptr };
    std::atomic<Device*> m_upper { nullptr };
    DeviceNode* m_node = nullptr;
    std::atomic<bool> m_deleted { false };
};

using DevicePtr = std::shared_ptr<Device>;

// Where the plug-and-play manager has taken a node.
enum class NodeState {
    Installed, // known, no driver loaded for it
    Failed, // its driver refused to add or start it
    Started, // its stack runs
    Stopped, // stopped for a restart
    SurpriseRemoved, // gone without warning; removed once its last handle closes
    Removed, // torn down; the record stays until the host ends
};

// A device node ("ROOT\PORTS\0000") with its bus device and its stack.
class DeviceNode {
public:
    const std::string& instanceId() const { return m_instanceId; }
    const std::string& hardwareId() const { return m_hardwareId; }
    std::uint32_t uiNumber() const { return m_uiNumber; }
    Device& physicalDevice() { return *m_physical; }
    NodeState state() const { return m_state.load(); }
    // The node's key in the registry's enumeration tree.
    std::string enumKeyPath() const;
    // The node's hardware key ("Device Parameters").
    std::string hardwareKeyPath() const { return enumKeyPath() + "\\Device Parameters"; }

private:
    friend class Host;
    std::string m_instanceId;
    std::string m_hardwareId;
    std::uint32_t m_uiNumber = 0;
    DevicePtr m_physical;
    std::atomic<NodeState> m_state { NodeState::Installed };
    int m_openHandles = 0; // guarded by the host's table mutex
    bool m_removeWhenClosed = false; // guarded by the host's table mutex
};

} // namespace driver::host
