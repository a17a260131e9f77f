#include "driver/port_internal.h"

#include <mutex>

namespace driver {

using namespace common;

bool acquireRequest(PortDevice& port)
{
    std::lock_guard lock(port.counterLock);
    // Once the count has reached zero the port is being freed; a request
    // that arrives then must not touch it.
    if (port.requestCount <= 0)
        return false;
    if (++port.requestCount == 2)
        port.idleEvent.reset();
    return true;
}

void releaseRequest(PortDevice& port)
{
    std::lock_guard lock(port.counterLock);
    const std::int32_t count = --port.requestCount;
    if (count == 1)
        port.idleEvent.set();
    else if (count == 0)
        port.goneEvent.set();
}

PortState portState(PortDevice& port)
{
    std::lock_guard lock(port.stateLock);
    return port.state;
}

void setPortState(PortDevice& port, PortState state)
{
    std::lock_guard lock(port.stateLock);
    port.previousState = port.state;
    port.state = state;
}

void restorePreviousState(PortDevice& port)
{
    std::lock_guard lock(port.stateLock);
    const PortState current = port.state;
    port.state = port.previousState;
    port.previousState = current;
}

NtStatus completeRequest(host::Request& request, NtStatus status, std::size_t information)
{
    request.complete(status, information);
    return status;
}

bool queueJob(PortDevice& port, PortJob job, std::function<void(PortDevice&)> routine)
{
    JobRecord& record = port.jobs[static_cast<std::size_t>(job)];
    if (!record.item)
        return false;
    PortDevice* target = record.port;
    return record.item->queue([target, routine = std::move(routine)] { routine(*target); });
}

} // namespace driver
