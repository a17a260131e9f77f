#include "driver/naming.h"

#include "driver/host/host.h"
#include "driver/port_internal.h"
#include "driver/vorpil_driver.h"

#include <string>

namespace driver {

using namespace common;

namespace {

// The largest PortName value taken from the registry, terminator included.
constexpr std::size_t kPortNameValueBytes = 66;

void undoNaming(PortDevice& port)
{
    if (port.linkCreated)
        (void)port.host->deleteSymbolicLink(port.dosLinkName.view());
    port.linkCreated = false;
    port.mapWritten = false;
    port.portName.clear();
    port.dosLinkName.clear();
}

// Names the port; naming mutex held.
NtStatus createDosNameLocked(PortDevice& port, std::string_view portName)
{
    if (portName.empty() || !port.portName.assign(portName)
        || !port.dosLinkName.assign(std::string(kDosDevicesPrefix) + std::string(portName))) {
        undoNaming(port);
        return kStatusInvalidParameter;
    }
    NtStatus status = port.host->createSymbolicLink(port.dosLinkName.view(), port.deviceName.view());
    if (!ntSuccess(status)) {
        undoNaming(port);
        return status;
    }
    port.linkCreated = true;
    status = port.host->writeDeviceMapValue(kSerialCommMap, port.deviceName.view(), portName);
    if (!ntSuccess(status)) {
        undoNaming(port);
        return status;
    }
    port.mapWritten = true;
    return kStatusSuccess;
}

} // namespace

void runNamingJob(PortDevice& port)
{
    if (host::atRaisedLevel()) {
        (void)queueJob(port, PortJob::Naming, runNamingJob);
        return;
    }
    std::lock_guard lock(port.namingMutex);
    // A port that stopped or went away before the job ran gets no name.
    if (port.linkCreated || port.mapWritten || portState(port) != PortState::Started)
        return;
    std::string key;
    if (!ntSuccess(port.host->openDeviceKey(*port.node, key)))
        return;
    host::RegValue value;
    if (!ntSuccess(port.host->registry().queryValue(key, "PortName", value))
        || value.type != static_cast<std::uint32_t>(host::RegType::Sz) || value.data.size() > kPortNameValueBytes)
        return;
    const auto name = host::fromRegString(value.data);
    if (!name)
        return;
    (void)createDosNameLocked(port, *name);
}

NtStatus createDosName(PortDevice& port, std::string_view portName)
{
    std::lock_guard lock(port.namingMutex);
    return createDosNameLocked(port, portName);
}

NtStatus createDosNameIfUnnamed(PortDevice& port, std::string_view portName)
{
    std::lock_guard lock(port.namingMutex);
    if (port.linkCreated || port.mapWritten)
        return kStatusUnsuccessful;
    return createDosNameLocked(port, portName);
}

NtStatus moveDosLink(PortDevice& port, std::string_view portName)
{
    std::lock_guard lock(port.namingMutex);
    if (!port.linkCreated && !port.mapWritten)
        return kStatusInvalidDeviceState;
    const std::string link = std::string(kDosDevicesPrefix) + std::string(portName);
    FixedText<108> newLink;
    FixedText<96> newName;
    if (portName.empty() || !newLink.assign(link) || !newName.assign(portName))
        return kStatusInvalidParameter;
    // The new link first: a name that another port holds leaves this one as it was.
    const bool sameLink = port.linkCreated
        && host::ObjectNamespace::canonical(port.dosLinkName.view()) == host::ObjectNamespace::canonical(link);
    if (!sameLink) {
        const NtStatus status = port.host->createSymbolicLink(newLink.view(), port.deviceName.view());
        if (!ntSuccess(status))
            return status;
        if (port.linkCreated)
            (void)port.host->deleteSymbolicLink(port.dosLinkName.view());
    }
    port.dosLinkName = newLink;
    port.portName = newName;
    port.linkCreated = true;
    return kStatusSuccess;
}

std::string currentPortName(PortDevice& port)
{
    std::lock_guard lock(port.namingMutex);
    return std::string(port.portName.view());
}

NtStatus deleteDosName(PortDevice& port)
{
    std::lock_guard lock(port.namingMutex);
    NtStatus status = kStatusSuccess;
    if (port.linkCreated) {
        (void)port.host->deleteSymbolicLink(port.dosLinkName.view());
        port.dosLinkName.clear();
        port.linkCreated = false;
    }
    if (port.mapWritten) {
        status = port.host->deleteDeviceMapValue(kSerialCommMap, port.deviceName.view());
        port.portName.clear();
        port.mapWritten = false;
    }
    return status;
}

} // namespace driver
