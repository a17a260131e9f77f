#pragma once

#include <cstdint>
#include <string>

namespace common {

// Completion status of a driver request, with the kernel's numeric values so
// that the utility can map them to the error codes applications expect.
using NtStatus = std::uint32_t;

inline constexpr NtStatus kStatusSuccess = 0x00000000;
inline constexpr NtStatus kStatusPending = 0x00000103;
inline constexpr NtStatus kStatusBufferOverflow = 0x80000005;
inline constexpr NtStatus kStatusDeviceBusy = 0x80000011;
inline constexpr NtStatus kStatusUnsuccessful = 0xC0000001;
inline constexpr NtStatus kStatusNotImplemented = 0xC0000002;
inline constexpr NtStatus kStatusInvalidParameter = 0xC000000D;
inline constexpr NtStatus kStatusNoSuchDevice = 0xC000000E;
inline constexpr NtStatus kStatusInvalidDeviceRequest = 0xC0000010;
inline constexpr NtStatus kStatusMoreProcessingRequired = 0xC0000016;
inline constexpr NtStatus kStatusBufferTooSmall = 0xC0000023;
inline constexpr NtStatus kStatusObjectNameInvalid = 0xC0000033;
inline constexpr NtStatus kStatusObjectNameNotFound = 0xC0000034;
inline constexpr NtStatus kStatusObjectNameCollision = 0xC0000035;
inline constexpr NtStatus kStatusDeletePending = 0xC0000056;
inline constexpr NtStatus kStatusInsufficientResources = 0xC000009A;
inline constexpr NtStatus kStatusIoTimeout = 0xC00000B5;
inline constexpr NtStatus kStatusNotSupported = 0xC00000BB;
inline constexpr NtStatus kStatusCancelled = 0xC0000120;
inline constexpr NtStatus kStatusInvalidDeviceState = 0xC0000184;
inline constexpr NtStatus kStatusInvalidAddress = 0xC0000141;
inline constexpr NtStatus kStatusAddressAlreadyExists = 0xC000020A;
inline constexpr NtStatus kStatusConnectionDisconnected = 0xC000020C;
inline constexpr NtStatus kStatusConnectionReset = 0xC000020D;
inline constexpr NtStatus kStatusNetworkUnreachable = 0xC000023C;
inline constexpr NtStatus kStatusHostUnreachable = 0xC000023D;
inline constexpr NtStatus kStatusConnectionRefused = 0xC0000236;
inline constexpr NtStatus kStatusConnectionAborted = 0xC0000241;

// Success and informational codes; warnings (0x8...) and errors are failures.
constexpr bool ntSuccess(NtStatus status) { return (status & 0x80000000u) == 0; }

// "0xC0000184": how logs and test messages show a status.
std::string statusText(NtStatus status);

} // namespace common
