#include "common/win32_error.h"

namespace common {

namespace {

struct Translation {
    NtStatus status;
    Win32Error error;
};

constexpr Translation kTranslations[] = {
    { kStatusSuccess, kErrorSuccess },
    { kStatusPending, kErrorIoPending },
    { kStatusBufferOverflow, kErrorMoreData },
    { kStatusDeviceBusy, kErrorBusy },
    { kStatusUnsuccessful, kErrorGenFailure },
    { kStatusNotImplemented, kErrorInvalidFunction },
    { kStatusInvalidHandle, kErrorInvalidHandle },
    { kStatusInvalidParameter, kErrorInvalidParameter },
    { kStatusNoSuchDevice, kErrorFileNotFound },
    { kStatusInvalidDeviceRequest, kErrorInvalidFunction },
    { kStatusMoreProcessingRequired, kErrorMoreData },
    { kStatusAccessDenied, kErrorAccessDenied },
    { kStatusBufferTooSmall, kErrorInsufficientBuffer },
    { kStatusObjectNameInvalid, kErrorInvalidName },
    { kStatusObjectNameNotFound, kErrorFileNotFound },
    { kStatusObjectNameCollision, kErrorAlreadyExists },
    { kStatusObjectPathNotFound, kErrorPathNotFound },
    { kStatusSharingViolation, kErrorSharingViolation },
    { kStatusDeletePending, kErrorAccessDenied },
    { kStatusRevisionMismatch, kErrorRevisionMismatch },
    { kStatusInsufficientResources, kErrorNoSystemResources },
    { kStatusPipeDisconnected, kErrorPipeNotConnected },
    { kStatusIoTimeout, kErrorSemTimeout },
    { kStatusNotSupported, kErrorNotSupported },
    { kStatusCancelled, kErrorOperationAborted },
    { kStatusInvalidAddress, kErrorInvalidAddress },
    { kStatusInvalidDeviceState, kErrorBadCommand },
    { kStatusAddressAlreadyExists, kErrorDupName },
    { kStatusConnectionDisconnected, kErrorNetnameDeleted },
    { kStatusConnectionReset, kErrorNetnameDeleted },
    { kStatusConnectionRefused, kErrorConnectionRefused },
    { kStatusNetworkUnreachable, kErrorNetworkUnreachable },
    { kStatusHostUnreachable, kErrorHostUnreachable },
    { kStatusConnectionAborted, kErrorConnectionAborted },
};

} // namespace

Win32Error win32ErrorFromStatus(NtStatus status)
{
    for (const auto& entry : kTranslations) {
        if (entry.status == status)
            return entry.error;
    }
    return kErrorMrMidNotFound;
}

} // namespace common
