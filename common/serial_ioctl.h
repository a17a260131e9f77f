#pragma once

#include <cstdint>

namespace common {

// Device-control codes of a serial port (device type 0x1B, buffered).
inline constexpr std::uint32_t kFileDeviceSerialPort = 0x1B;
inline constexpr std::uint32_t kFileDeviceUnknown = 0x22;

inline constexpr std::uint32_t kIoctlSerialSetBaudRate = 0x1B0004;
inline constexpr std::uint32_t kIoctlSerialSetQueueSize = 0x1B0008;
inline constexpr std::uint32_t kIoctlSerialSetLineControl = 0x1B000C;
inline constexpr std::uint32_t kIoctlSerialSetBreakOn = 0x1B0010;
inline constexpr std::uint32_t kIoctlSerialSetBreakOff = 0x1B0014;
inline constexpr std::uint32_t kIoctlSerialImmediateChar = 0x1B0018;
inline constexpr std::uint32_t kIoctlSerialSetTimeouts = 0x1B001C;
inline constexpr std::uint32_t kIoctlSerialGetTimeouts = 0x1B0020;
inline constexpr std::uint32_t kIoctlSerialSetDtr = 0x1B0024;
inline constexpr std::uint32_t kIoctlSerialClrDtr = 0x1B0028;
inline constexpr std::uint32_t kIoctlSerialResetDevice = 0x1B002C;
inline constexpr std::uint32_t kIoctlSerialSetRts = 0x1B0030;
inline constexpr std::uint32_t kIoctlSerialClrRts = 0x1B0034;
inline constexpr std::uint32_t kIoctlSerialSetXoff = 0x1B0038;
inline constexpr std::uint32_t kIoctlSerialSetXon = 0x1B003C;
inline constexpr std::uint32_t kIoctlSerialGetWaitMask = 0x1B0040;
inline constexpr std::uint32_t kIoctlSerialSetWaitMask = 0x1B0044;
inline constexpr std::uint32_t kIoctlSerialWaitOnMask = 0x1B0048;
inline constexpr std::uint32_t kIoctlSerialPurge = 0x1B004C;
inline constexpr std::uint32_t kIoctlSerialGetBaudRate = 0x1B0050;
inline constexpr std::uint32_t kIoctlSerialGetLineControl = 0x1B0054;
inline constexpr std::uint32_t kIoctlSerialGetChars = 0x1B0058;
inline constexpr std::uint32_t kIoctlSerialSetChars = 0x1B005C;
inline constexpr std::uint32_t kIoctlSerialGetHandflow = 0x1B0060;
inline constexpr std::uint32_t kIoctlSerialSetHandflow = 0x1B0064;
inline constexpr std::uint32_t kIoctlSerialGetModemStatus = 0x1B0068;
inline constexpr std::uint32_t kIoctlSerialGetCommStatus = 0x1B006C;
inline constexpr std::uint32_t kIoctlSerialXoffCounter = 0x1B0070;
inline constexpr std::uint32_t kIoctlSerialGetProperties = 0x1B0074;
inline constexpr std::uint32_t kIoctlSerialGetDtrRts = 0x1B0078;
inline constexpr std::uint32_t kIoctlSerialLsrMstInsert = 0x1B007C;
inline constexpr std::uint32_t kIoctlSerialConfigSize = 0x1B0080;
inline constexpr std::uint32_t kIoctlSerialGetCommConfig = 0x1B0084;
inline constexpr std::uint32_t kIoctlSerialSetCommConfig = 0x1B0088;
inline constexpr std::uint32_t kIoctlSerialGetStats = 0x1B008C;
inline constexpr std::uint32_t kIoctlSerialClearStats = 0x1B0090;
inline constexpr std::uint32_t kIoctlSerialGetModemControl = 0x1B0094;
inline constexpr std::uint32_t kIoctlSerialSetModemControl = 0x1B0098;
inline constexpr std::uint32_t kIoctlSerialSetFifoControl = 0x1B009C;

constexpr std::uint32_t ioctlDeviceType(std::uint32_t code) { return code >> 16; }

// Serial event bits (wait mask and wait-on-mask results).
inline constexpr std::uint32_t kSerialEvRxChar = 0x0001;
inline constexpr std::uint32_t kSerialEvRxFlag = 0x0002;
inline constexpr std::uint32_t kSerialEvTxEmpty = 0x0004;
inline constexpr std::uint32_t kSerialEvCts = 0x0008;
inline constexpr std::uint32_t kSerialEvDsr = 0x0010;
inline constexpr std::uint32_t kSerialEvRlsd = 0x0020;
inline constexpr std::uint32_t kSerialEvBreak = 0x0040;
inline constexpr std::uint32_t kSerialEvErr = 0x0080;
inline constexpr std::uint32_t kSerialEvRing = 0x0100;
inline constexpr std::uint32_t kSerialEvAllBits = 0x1FFF;

// Modem control word (GET_DTRRTS).
inline constexpr std::uint32_t kSerialDtrState = 0x1;
inline constexpr std::uint32_t kSerialRtsState = 0x2;

// 16550-style modem status bits.
inline constexpr std::uint32_t kModemStatusCts = 0x10;
inline constexpr std::uint32_t kModemStatusDsr = 0x20;

// Handflow bits that the port checks.
inline constexpr std::uint32_t kSerialDtrMask = 0x3;
inline constexpr std::uint32_t kSerialDtrHandshake = 0x2;
inline constexpr std::uint32_t kSerialRtsMask = 0xC0;
inline constexpr std::uint32_t kSerialRtsHandshake = 0x80;
inline constexpr std::uint32_t kSerialTransmitToggle = 0xC0;
inline constexpr std::uint32_t kSerialErrorChar = 0x4;

// Byte sizes of the little-endian records the requests carry.
inline constexpr std::uint32_t kSerialBaudRateSize = 4;
inline constexpr std::uint32_t kSerialQueueSizeSize = 8; // InSize, OutSize
inline constexpr std::uint32_t kSerialLineControlSize = 3; // StopBits, Parity, WordLength
inline constexpr std::uint32_t kSerialTimeoutsSize = 20; // five 32-bit timeouts
inline constexpr std::uint32_t kSerialCharsSize = 6; // Eof, Error, Break, Event, Xon, Xoff
inline constexpr std::uint32_t kSerialHandflowSize = 16; // ControlHandShake, FlowReplace, XonLimit, XoffLimit
inline constexpr std::uint32_t kSerialStatusSize = 20; // four 32-bit counts, EofReceived, WaitForImmediate
inline constexpr std::uint32_t kSerialXoffCounterSize = 12; // Timeout, Counter, XoffChar
inline constexpr std::uint32_t kSerialCommPropSize = 64;
inline constexpr std::uint32_t kSerialPerfStatsSize = 24; // six 32-bit counts

// Offsets inside SERIAL_COMMPROP.
inline constexpr std::uint32_t kCommPropPacketLength = 0; // 16-bit
inline constexpr std::uint32_t kCommPropPacketVersion = 2; // 16-bit
inline constexpr std::uint32_t kCommPropServiceMask = 4;
inline constexpr std::uint32_t kCommPropMaxTxQueue = 12;
inline constexpr std::uint32_t kCommPropMaxRxQueue = 16;
inline constexpr std::uint32_t kCommPropMaxBaud = 20;
inline constexpr std::uint32_t kCommPropProvSubType = 24;
inline constexpr std::uint32_t kCommPropProvCapabilities = 28;
inline constexpr std::uint32_t kCommPropSettableParams = 32;
inline constexpr std::uint32_t kCommPropSettableBaud = 36;
inline constexpr std::uint32_t kCommPropSettableData = 40; // 16-bit
inline constexpr std::uint32_t kCommPropSettableStopParity = 42; // 16-bit
inline constexpr std::uint32_t kCommPropCurrentTxQueue = 44;
inline constexpr std::uint32_t kCommPropCurrentRxQueue = 48;

} // namespace common
