#pragma once

#include "common/ntstatus.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace driver::host {

using common::NtStatus;
class Device;

// The object name space: named device objects ("\Device\Serial11") and
// symbolic links to them ("\DosDevices\COM5", interface links). Names are
// compared without regard to case; "\DosDevices\" and "\??\" are one directory.
class ObjectNamespace {
public:
    NtStatus insertDevice(std::string_view name, const std::shared_ptr<Device>& device);
    void removeDevice(std::string_view name);
    NtStatus createLink(std::string_view link, std::string_view target);
    NtStatus deleteLink(std::string_view link);
    std::optional<std::string> linkTarget(std::string_view link) const;
    // The device a name or a chain of links leads to.
    std::shared_ptr<Device> resolve(std::string_view name) const;
    // Every link, as created, in name order.
    std::vector<std::string> links() const;

    // Called after every link that was created or deleted, on the thread
    // that did it and outside the name space's lock; it must not block.
    using LinkObserver = std::function<void()>;
    void setLinkObserver(LinkObserver observer);

    // The key under which a name is filed.
    static std::string canonical(std::string_view name);

private:
    struct Link {
        std::string name;
        std::string target;
    };
    void notifyLinks() const;

    mutable std::mutex m_mutex; // protects m_devices, m_links and m_observer
    std::shared_ptr<const LinkObserver> m_observer;
    std::map<std::string, std::weak_ptr<Device>> m_devices;
    std::map<std::string, Link> m_links;
};

} // namespace driver::host
