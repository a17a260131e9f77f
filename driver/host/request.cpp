#include "driver/host/request.h"

#include <cstdio>
#include <cstdlib>

namespace driver::host {

RequestPtr Request::make(MajorFunction major) { return std::make_shared<Request>(major); }

RequestPtr Request::makePnp(PnpMinor minor)
{
    auto request = make(MajorFunction::Pnp);
    request->m_pnpMinor = minor;
    return request;
}

RequestPtr Request::makeDeviceControl(std::uint32_t code, std::span<const std::uint8_t> input, std::size_t outputLength)
{
    auto request = make(MajorFunction::DeviceControl);
    request->m_ioControlCode = code;
    request->m_input.assign(input.begin(), input.end());
    request->m_output.assign(outputLength, 0);
    return request;
}

RequestPtr Request::makeRead(std::size_t length)
{
    auto request = make(MajorFunction::Read);
    request->m_output.assign(length, 0);
    return request;
}

RequestPtr Request::makeWrite(std::span<const std::uint8_t> data)
{
    auto request = make(MajorFunction::Write);
    request->m_input.assign(data.begin(), data.end());
    return request;
}

RequestPtr Request::makeQueryInformation(FileInformationClass infoClass, std::size_t length)
{
    auto request = make(MajorFunction::QueryInformation);
    request->m_informationClass = infoClass;
    request->m_output.assign(length, 0);
    return request;
}

RequestPtr Request::makeSetInformation(FileInformationClass infoClass, std::span<const std::uint8_t> input)
{
    auto request = make(MajorFunction::SetInformation);
    request->m_informationClass = infoClass;
    request->m_input.assign(input.begin(), input.end());
    return request;
}

void Request::setCompletionRoutine(CompletionRoutine routine)
{
    std::lock_guard lock(m_mutex);
    m_routine = std::move(routine);
}

void Request::markPending()
{
    std::lock_guard lock(m_mutex);
    m_pending = true;
}

bool Request::pendingMarked() const
{
    std::lock_guard lock(m_mutex);
    return m_pending;
}

void Request::complete(NtStatus status, std::size_t information)
{
    CompletionRoutine routine;
    {
        std::lock_guard lock(m_mutex);
        if (m_finished) {
            std::fprintf(stderr, "request completed twice (status %s)\n", common::statusText(status).c_str());
            std::abort();
        }
        m_status = status;
        m_information = information;
        routine = std::move(m_routine);
        m_routine = nullptr;
    }
    if (routine && !routine(*this))
        return;
    std::lock_guard lock(m_mutex);
    m_finished = true;
    m_finishedCondition.notify_all();
}

bool Request::finished() const
{
    std::lock_guard lock(m_mutex);
    return m_finished;
}

NtStatus Request::status() const
{
    std::lock_guard lock(m_mutex);
    return m_status;
}

std::size_t Request::information() const
{
    std::lock_guard lock(m_mutex);
    return m_information;
}

NtStatus Request::wait()
{
    std::unique_lock lock(m_mutex);
    m_finishedCondition.wait(lock, [this] { return m_finished; });
    return m_status;
}

bool Request::waitFor(platform::Clock& clock, platform::Duration limit)
{
    std::unique_lock lock(m_mutex);
    return clock.waitFor(m_finishedCondition, lock, limit, [this] { return m_finished; });
}

} // namespace driver::host
