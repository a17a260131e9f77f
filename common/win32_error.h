#pragma once

#include "common/ntstatus.h"

#include <cstdint>

namespace common {

// Statuses of the control socket and the COM name database, beside the
// driver's own.
inline constexpr NtStatus kStatusInvalidHandle = 0xC0000008;
inline constexpr NtStatus kStatusSharingViolation = 0xC0000043;
inline constexpr NtStatus kStatusRevisionMismatch = 0xC0000059;
inline constexpr NtStatus kStatusPipeDisconnected = 0xC00000B0;
inline constexpr NtStatus kStatusAccessDenied = 0xC0000022;
inline constexpr NtStatus kStatusObjectPathNotFound = 0xC000003A;

// Win32 error codes, with the system's values.
using Win32Error = std::uint32_t;
inline constexpr Win32Error kErrorSuccess = 0;
inline constexpr Win32Error kErrorInvalidFunction = 1;
inline constexpr Win32Error kErrorFileNotFound = 2;
inline constexpr Win32Error kErrorPathNotFound = 3;
inline constexpr Win32Error kErrorAccessDenied = 5;
inline constexpr Win32Error kErrorInvalidHandle = 6;
inline constexpr Win32Error kErrorBadCommand = 22;
inline constexpr Win32Error kErrorGenFailure = 31;
inline constexpr Win32Error kErrorSharingViolation = 32;
inline constexpr Win32Error kErrorNotSupported = 50;
inline constexpr Win32Error kErrorDupName = 52;
inline constexpr Win32Error kErrorNetnameDeleted = 64;
inline constexpr Win32Error kErrorInvalidParameter = 87;
inline constexpr Win32Error kErrorSemTimeout = 121;
inline constexpr Win32Error kErrorInsufficientBuffer = 122;
inline constexpr Win32Error kErrorInvalidName = 123;
inline constexpr Win32Error kErrorBusy = 170;
inline constexpr Win32Error kErrorAlreadyExists = 183;
inline constexpr Win32Error kErrorPipeNotConnected = 233;
inline constexpr Win32Error kErrorMoreData = 234;
inline constexpr Win32Error kErrorMrMidNotFound = 317;
inline constexpr Win32Error kErrorInvalidAddress = 487;
inline constexpr Win32Error kErrorOperationAborted = 995;
inline constexpr Win32Error kErrorIoPending = 997;
inline constexpr Win32Error kErrorRevisionMismatch = 1306;
inline constexpr Win32Error kErrorConnectionRefused = 1225;
inline constexpr Win32Error kErrorNetworkUnreachable = 1231;
inline constexpr Win32Error kErrorHostUnreachable = 1232;
inline constexpr Win32Error kErrorConnectionAborted = 1236;
inline constexpr Win32Error kErrorNoSystemResources = 1450;

// The error code an application sees for a request that completed with
// `status`, as the system translates it: STATUS_INVALID_DEVICE_STATE (a port
// held open) becomes ERROR_BAD_COMMAND, STATUS_IO_TIMEOUT (a connect that got
// no answer) ERROR_SEM_TIMEOUT. A status without a translation gives
// ERROR_MR_MID_NOT_FOUND.
Win32Error win32ErrorFromStatus(NtStatus status);

} // namespace common
