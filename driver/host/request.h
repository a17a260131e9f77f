#pragma once

#include "common/ntstatus.h"
#include "platform/clock.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace driver::host {

using common::NtStatus;

enum class MajorFunction {
    Create,
    Cleanup,
    Close,
    Read,
    Write,
    DeviceControl,
    InternalDeviceControl,
    Pnp,
    Power,
    SystemControl,
    QueryInformation,
    SetInformation,
};

enum class PnpMinor {
    StartDevice,
    QueryRemoveDevice,
    RemoveDevice,
    CancelRemoveDevice,
    StopDevice,
    QueryStopDevice,
    CancelStopDevice,
    QueryCapabilities,
    SurpriseRemoval,
    QueryDeviceRelations, // stands for every request a function driver passes down unchanged
};

// File information classes, with the kernel's numbers.
enum class FileInformationClass : std::uint32_t {
    Basic = 4,
    Standard = 5,
    Position = 14,
    Allocation = 19,
    EndOfFile = 20,
};

// What the bus reports for a device node; a function driver may adjust it on
// the way back up.
struct DeviceCapabilities {
    bool removable = false;
    bool uniqueId = false;
    bool silentInstall = false;
    bool rawDeviceOk = false;
    bool surpriseRemovalOk = false;
    std::uint32_t uiNumber = 0;
};

class Request;
using RequestPtr = std::shared_ptr<Request>;

// One I/O request: a major function with its parameters and byte buffers,
// completed exactly once with a status and an information count. Requests a
// driver keeps (pending waits) are held through RequestPtr, so the caller and
// the driver can both see the request until it is done.
class Request {
public:
    // Runs when the request is completed; returning false keeps the request
    // (the caller that set the routine completes it again later).
    using CompletionRoutine = std::function<bool(Request&)>;

    static RequestPtr make(MajorFunction major);
    static RequestPtr makePnp(PnpMinor minor);
    static RequestPtr makeDeviceControl(
        std::uint32_t code, std::span<const std::uint8_t> input, std::size_t outputLength);
    static RequestPtr makeRead(std::size_t length);
    static RequestPtr makeWrite(std::span<const std::uint8_t> data);
    static RequestPtr makeQueryInformation(FileInformationClass infoClass, std::size_t length);
    static RequestPtr makeSetInformation(FileInformationClass infoClass, std::span<const std::uint8_t> input);

    explicit Request(MajorFunction major)
        : m_major(major)
    {
    }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    MajorFunction major() const { return m_major; }
    PnpMinor pnpMinor() const { return m_pnpMinor; }
    std::uint32_t ioControlCode() const { return m_ioControlCode; }
    FileInformationClass informationClass() const { return m_informationClass; }
    std::span<const std::uint8_t> input() const { return m_input; }
    std::span<std::uint8_t> output() { return m_output; }
    std::span<const std::uint8_t> output() const { return m_output; }
    // Capabilities of a query-capabilities request, filled on the way down
    // by the bus and adjusted on the way up.
    DeviceCapabilities& capabilities() { return m_capabilities; }

    void setCompletionRoutine(CompletionRoutine routine);
    void markPending();
    bool pendingMarked() const;

    // Completes the request. Completing a finished request is a programming
    // fault and stops the process, as the kernel does.
    void complete(NtStatus status, std::size_t information = 0);
    bool finished() const;
    NtStatus status() const;
    std::size_t information() const;
    // Blocks until the request is finished; returns its status.
    NtStatus wait();
    // Waits at most `limit` on `clock`; true when finished.
    bool waitFor(platform::Clock& clock, platform::Duration limit);

private:
    const MajorFunction m_major;
    PnpMinor m_pnpMinor = PnpMinor::QueryDeviceRelations;
    std::uint32_t m_ioControlCode = 0;
    FileInformationClass m_informationClass = FileInformationClass::Basic;
    std::vector<std::uint8_t> m_input;
    std::vector<std::uint8_t> m_output;
    DeviceCapabilities m_capabilities;

    mutable std::mutex m_mutex; // protects the completion fields below
    std::condition_variable m_finishedCondition;
    CompletionRoutine m_routine;
    bool m_pending = false;
    bool m_finished = false;
    NtStatus m_status = common::kStatusPending;
    std::size_t m_information = 0;
};

} // namespace driver::host
