#include "driver/vorpil_driver.h"

#include "common/serial_ioctl.h"
#include "driver/control_requests.h"
#include "driver/port_config.h"
#include "driver/port_internal.h"

#include <algorithm>
#include <mutex>
#include <string>

namespace driver {

using namespace common;
using host::MajorFunction;
using host::PnpMinor;
using host::Request;
using host::RequestPtr;

namespace {

// How long query-remove and query-stop wait for the port to become idle.
constexpr auto kIdleWait = std::chrono::seconds(2);

} // namespace

VorpilDriver::VorpilDriver(TransportFactory* transports)
    : m_transports(transports)
{
}

NtStatus VorpilDriver::addDevice(host::Host& host, host::DeviceNode& node)
{
    // A number is consumed even when the creation fails below.
    const std::uint32_t number = ++m_portCounter;
    const std::string name = std::string(kDeviceNamePrefix) + std::to_string(number);

    auto record = std::make_unique<PortDevice>();
    PortDevice& port = *record;
    host::DevicePtr device;
    NtStatus status = host.createDevice(
        *this, name, kFileDeviceSerialPort, host::kFileDeviceSecureOpen, false, std::move(record), device);
    if (!ntSuccess(status))
        return status;

    port.host = &host;
    port.node = &node;
    port.self = device.get();
    port.portNumber = number;
    port.deviceName.assign(name);
    port.lower = host.attachDevice(*device, node.physicalDevice());
    if (!port.lower) {
        host.deleteDevice(*device);
        return kStatusUnsuccessful;
    }

    if (node.physicalDevice().flags() & host::kDoPowerPagable)
        device->setFlags(host::kDoPowerPagable);
    device->setFlags(host::kDoDirectIo);
    port.readTimer = std::make_unique<host::KernelTimer>(host.timers());
    port.localPorts = &m_localPorts;

    port.buffers = host.allocate<PortBuffers>();
    bool allocated = port.buffers != nullptr;
    for (std::size_t i = 0; allocated && i < port.jobs.size(); ++i) {
        port.jobs[i].job = static_cast<PortJob>(i);
        port.jobs[i].port = &port;
        port.jobs[i].item = host.allocateWorkItem(&port);
        allocated = port.jobs[i].item != nullptr;
    }
    if (!allocated) {
        discard(port, *device);
        return kStatusInsufficientResources;
    }

    loadConfiguration(port);

    port.remainder = host.allocate<ReceiveRemainder>();
    if (!port.remainder) {
        discard(port, *device);
        return kStatusInsufficientResources;
    }

    std::string link;
    status = host.registerDeviceInterface(node, kComPortInterfaceGuid, link);
    if (!ntSuccess(status)) {
        discard(port, *device);
        return status;
    }
    port.interfaceLink.assign(link);

    if (m_transports)
        port.transport = m_transports->create(port);
    device->clearFlags(host::kDoDeviceInitializing);
    return kStatusSuccess;
}

void VorpilDriver::discard(PortDevice& port, host::Device& device)
{
    for (auto& job : port.jobs)
        job.item.reset();
    port.remainder.reset();
    port.buffers.reset();
    port.readTimer.reset();
    port.host->detachDevice(*port.lower);
    port.host->deleteDevice(device);
}

NtStatus VorpilDriver::dispatch(host::Device& device, const RequestPtr& request)
{
    PortDevice* port = device.extensionAs<PortDevice>();
    if (!port)
        return completeRequest(*request, kStatusInvalidDeviceRequest);
    switch (request->major()) {
    case MajorFunction::Create:
        return open(*port, *request);
    case MajorFunction::Cleanup:
        return cleanup(*port, *request);
    case MajorFunction::Close:
        return close(*port, *request);
    case MajorFunction::Read:
    case MajorFunction::Write:
        return readWrite(*port, request);
    case MajorFunction::DeviceControl:
        return deviceControl(*port, request);
    case MajorFunction::InternalDeviceControl:
        return completeRequest(*request, kStatusInvalidDeviceRequest);
    case MajorFunction::Pnp:
        return pnp(*port, request);
    case MajorFunction::Power:
        return passDown(*port, request);
    case MajorFunction::SystemControl:
        // No WMI data blocks are registered, so the request goes to the bus.
        if (portState(*port) == PortState::Deleted)
            return completeRequest(*request, kStatusDeletePending);
        return passDown(*port, request);
    case MajorFunction::QueryInformation:
        return queryInformation(*request);
    case MajorFunction::SetInformation:
        return setInformation(*request);
    }
    return completeRequest(*request, kStatusInvalidDeviceRequest);
}

NtStatus VorpilDriver::passDown(PortDevice& port, const RequestPtr& request)
{
    host::Device* lower = port.lower;
    if (!lower) // detached at removal
        return completeRequest(*request, kStatusDeletePending);
    return port.host->callDriver(*lower, request);
}

NtStatus VorpilDriver::open(PortDevice& port, Request& request)
{
    if (portState(port) != PortState::Started)
        return completeRequest(request, kStatusInvalidDeviceState);
    bool expected = false;
    if (!port.openFlag.compare_exchange_strong(expected, true))
        return completeRequest(request, kStatusInvalidDeviceState);
    // Looked at again under the count: a query-remove or query-stop that
    // accepted meanwhile has seen the port idle and must not get a handle.
    if (!acquireRequest(port)) {
        port.openFlag = false;
        return completeRequest(request, kStatusInvalidDeviceState);
    }
    if (portState(port) != PortState::Started) {
        releaseRequest(port);
        port.openFlag = false;
        return completeRequest(request, kStatusInvalidDeviceState);
    }
    {
        std::lock_guard lock(port.dataLock);
        port.serial.escapeChar = 0;
        port.serial.modemStatus = 0;
        port.serial.modemControl = 0;
    }
    reloadOptions(port);
    // The first open after a start connects a port configured to do so.
    if (port.transport && port.config.connectAtWinStart != 0 && !port.transport->connected()
        && port.startFlag.exchange(false)) {
        std::string key;
        std::uint32_t localPort = 0;
        if (ntSuccess(port.host->openDeviceKey(*port.node, key))
            && ntSuccess(port.host->registry().queryDword(key, "LocalPort", localPort))) {
            storeShared(port.config.savedLocalPort, static_cast<std::uint16_t>(localPort));
            (void)port.transport->connectAtOpen();
        }
        // Without its key the port opens unconnected; the utility can still connect it.
    }
    {
        std::lock_guard lock(port.dataLock);
        // Bytes kept for a program on its way are its own; older ones are not.
        if (!port.buffers || !port.buffers->keptForProgram)
            emptyReceiveBuffers(port);
        if (port.buffers)
            port.buffers->keptForProgram = false;
    }
    // A stream held back for a program that left again goes on.
    if (port.transport)
        port.transport->resumeReceive();
    return completeRequest(request, kStatusSuccess);
}

NtStatus VorpilDriver::cleanup(PortDevice& port, Request& request)
{
    {
        std::lock_guard lock(port.dataLock);
        completePendingWait(port, 0);
    }
    return completeRequest(request, kStatusSuccess);
}

NtStatus VorpilDriver::close(PortDevice& port, Request& request)
{
    {
        std::lock_guard lock(port.dataLock);
        port.serial.modemStatus &= ~(kModemStatusCts | kModemStatusDsr);
    }
    // Only a handle that was opened holds a count.
    if (port.openFlag.exchange(false)) {
        // With nobody reading, the device server is no longer held back:
        // the receive buffer keeps the newest bytes for the next program.
        releaseReceiveFlow(port);
        if (port.transport)
            port.transport->resumeReceive();
        releaseRequest(port);
    }
    return completeRequest(request, kStatusSuccess);
}

NtStatus VorpilDriver::readWrite(PortDevice& port, const RequestPtr& request)
{
    if (!acquireRequest(port))
        return completeRequest(*request, kStatusInvalidDeviceState);
    if (portState(port) != PortState::Started) {
        completeRequest(*request, kStatusInvalidDeviceState);
        releaseRequest(port);
        return kStatusInvalidDeviceState;
    }
    if (request->major() == MajorFunction::Read) {
        const NtStatus status = readRequest(port, request);
        if (status != kStatusPending)
            releaseRequest(port); // a kept read releases its count when the timer completes it
        return status;
    }
    const auto data = request->input();
    NtStatus status = kStatusSuccess;
    std::size_t information = 0;
    if (!data.empty())
        status = writeBytes(port, data, true, information);
    completeRequest(*request, status, information);
    releaseRequest(port);
    return status;
}

NtStatus VorpilDriver::deviceControl(PortDevice& port, const RequestPtr& request)
{
    if (!acquireRequest(port))
        return completeRequest(*request, kStatusInvalidDeviceState);
    if (portState(port) != PortState::Started) {
        completeRequest(*request, kStatusInvalidDeviceState);
        releaseRequest(port);
        return kStatusInvalidDeviceState;
    }
    if (ioctlDeviceType(request->ioControlCode()) == kFileDeviceSerialPort)
        return serialControl(port, request); // releases the count when it completes
    return controlRequest(port, request); // the driver's own requests; releases the count
}

NtStatus VorpilDriver::pnp(PortDevice& port, const RequestPtr& request)
{
    if (portState(port) == PortState::Deleted || !acquireRequest(port))
        return completeRequest(*request, kStatusDeletePending);
    host::Host& host = *port.host;
    NtStatus status = kStatusSuccess;
    switch (request->pnpMinor()) {
    case PnpMinor::StartDevice:
        port.startFlag = true;
        status = host.forwardAndWait(*port.lower, request);
        if (ntSuccess(status)) {
            status = host.setDeviceInterfaceState(port.interfaceLink.view(), true);
            setPortState(port, PortState::Started);
            (void)queueJob(port, PortJob::Naming, runNamingJob);
        }
        completeRequest(*request, status);
        releaseRequest(port);
        return status;

    case PnpMinor::QueryRemoveDevice:
        releaseRequest(port);
        if (!port.idleEvent.waitFor(host.clock(), kIdleWait))
            return completeRequest(*request, kStatusDeviceBusy);
        setPortState(port, PortState::RemovePending);
        return passDown(port, request);

    case PnpMinor::RemoveDevice:
        return remove(port, request);

    case PnpMinor::CancelRemoveDevice:
    case PnpMinor::CancelStopDevice: {
        const PortState waiting
            = request->pnpMinor() == PnpMinor::CancelRemoveDevice ? PortState::RemovePending : PortState::StopPending;
        if (portState(port) != waiting) {
            releaseRequest(port);
            return passDown(port, request);
        }
        status = host.forwardAndWait(*port.lower, request);
        if (ntSuccess(status))
            restorePreviousState(port);
        completeRequest(*request, status);
        releaseRequest(port);
        return status;
    }

    case PnpMinor::StopDevice:
        setPortState(port, PortState::Stopped);
        releaseRequest(port);
        return passDown(port, request);

    case PnpMinor::QueryStopDevice:
        setPortState(port, PortState::StopPending);
        releaseRequest(port);
        if (!port.idleEvent.waitFor(host.clock(), kIdleWait))
            return completeRequest(*request, kStatusDeviceBusy); // stays StopPending until cancel-stop
        return passDown(port, request);

    case PnpMinor::QueryCapabilities:
        status = host.forwardAndWait(*port.lower, request);
        request->capabilities().surpriseRemovalOk = false;
        completeRequest(*request, status);
        releaseRequest(port);
        return status;

    case PnpMinor::SurpriseRemoval:
        (void)deleteDosName(port);
        setPortState(port, PortState::SurpriseRemoved);
        (void)host.setDeviceInterfaceState(port.interfaceLink.view(), false);
        releaseRequest(port);
        return passDown(port, request);

    case PnpMinor::QueryDeviceRelations:
        break;
    }
    releaseRequest(port);
    return passDown(port, request);
}

NtStatus VorpilDriver::remove(PortDevice& port, const RequestPtr& request)
{
    host::Host& host = *port.host;
    if (port.transport)
        port.transport->closeForRemoval();
    if (portState(port) != PortState::SurpriseRemoved)
        (void)host.setDeviceInterfaceState(port.interfaceLink.view(), false);
    setPortState(port, PortState::Deleted);

    // This request's count and the one the port was created with.
    releaseRequest(port);
    releaseRequest(port);
    port.goneEvent.wait();

    // Jobs first: a naming job still running could otherwise name the port
    // again after its name is deleted.
    for (auto& job : port.jobs)
        job.item.reset();
    (void)deleteDosName(port);
    port.transport.reset();
    port.remainder.reset();
    port.buffers.reset();
    port.interfaceLink.clear();

    host::Device* lower = port.lower;
    const NtStatus status = host.callDriver(*lower, request);
    port.readTimer.reset(); // waits for a deferred procedure that is running
    host.detachDevice(*lower);
    port.lower = nullptr;
    host.deleteDevice(*port.self);
    return status;
}

NtStatus VorpilDriver::queryInformation(Request& request)
{
    std::size_t size = 0;
    switch (request.informationClass()) {
    case host::FileInformationClass::Standard:
        size = 24;
        break;
    case host::FileInformationClass::Position:
        size = 8;
        break;
    default:
        return completeRequest(request, kStatusInvalidParameter);
    }
    if (request.output().size() < size)
        return completeRequest(request, kStatusBufferTooSmall);
    std::fill_n(request.output().begin(), size, std::uint8_t { 0 });
    return completeRequest(request, kStatusSuccess, size);
}

NtStatus VorpilDriver::setInformation(Request& request)
{
    const auto infoClass = request.informationClass();
    if (infoClass == host::FileInformationClass::EndOfFile || infoClass == host::FileInformationClass::Allocation)
        return completeRequest(request, kStatusSuccess);
    return completeRequest(request, kStatusInvalidParameter);
}

} // namespace driver
