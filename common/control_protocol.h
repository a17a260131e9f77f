#pragma once

#include "common/ntstatus.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace common {

// The messages on the control socket of the driver host (`vorpild`). One
// request and one response per datagram (a sequenced-packet socket keeps the
// boundaries); every field is little-endian and every length is checked
// against the datagram before it is used.
//
// Request:  "VRPQ", version (16), operation (16), payload length (32), payload
// Response: "VRPA", version (16), operation (16), status (32),
//           payload length (32), payload
//
// Payload fields: u32; text = u16 length + bytes (no terminator); bytes = u32
// length + bytes.
inline constexpr std::uint16_t kControlVersion = 1;
inline constexpr std::size_t kRequestHeaderSize = 12;
inline constexpr std::size_t kResponseHeaderSize = 16;
inline constexpr std::size_t kMaxControlText = 1024;
inline constexpr std::size_t kMaxControlBytes = 65536;
// No message is longer: the largest is a device-control answer.
inline constexpr std::size_t kMaxControlMessage = kMaxControlBytes + 1024;

enum class ControlOp : std::uint16_t {
    // in: text interface class GUID; out: u32 count, count texts (interface paths)
    EnumerateInterfaces = 1,
    // in: text path; out: u32 handle. One handle per port, no sharing.
    Open = 2,
    // in: u32 handle, u32 code, u32 output length, bytes input; out: u32 information, bytes output
    DeviceControl = 3,
    // in: u32 handle
    Close = 4,
    // in: text hardware ID, text port name; out: text instance ID
    InstallNode = 5,
    // in: text instance ID
    RemoveNode = 6,
    // out: u32 count, count node records (see NodeInfo)
    ListNodes = 7,
    // in: text key, text value name; out: u32 type, bytes data
    RegQueryValue = 8,
    // in: text key, text value name, u32 type, bytes data
    RegSetValue = 9,
    // in: text key, text value name
    RegDeleteValue = 10,
    // in: text key
    RegDeleteKey = 11,
    // in: text key; out: u32 count, count texts
    RegEnumValues = 12,
    RegEnumKeys = 13,
    // in: u32 highest COM number; out: bytes, one per number, non-zero = in use
    ComDbUsage = 14,
    // in: u32 COM number, u32 force; out: u32 forced (1 when it was in use)
    ComDbClaim = 15,
    // in: u32 COM number
    ComDbRelease = 16,
    // out: u32 count, count texts: one line per port terminal (name, whether a
    // program has it, bytes each way, bytes refused and why)
    Terminals = 17,
};

// One device node as ListNodes reports it.
struct NodeInfo {
    std::string instanceId; // "ROOT\PORTS\0000"
    std::string hardwareId;
    std::uint32_t state = 0; // NodeStateCode
    std::string portName; // the port's current COM name; empty without a DOS link
    std::string devicePath; // the pty behind the name in the device directory; empty without
    std::uint32_t linkState = 0; // as IOCTL_GET_REMOTE_INFO reports it
    std::uint32_t connType = 0;
    std::uint32_t protocol = 0;
    std::uint32_t cmdByte = 0;
    std::uint32_t remoteHostIp = 0; // network order, as the driver keeps it
    std::uint32_t remoteHostPort = 0; // network order
    std::uint32_t serverMode = 0; // server mode entered
    std::uint32_t connected = 0;
};

enum class NodeStateCode : std::uint32_t { Installed = 0, Failed = 1, Started = 2, Stopped = 3, SurpriseRemoved = 4 };
std::string_view nodeStateText(std::uint32_t state);

// Builds a payload.
class ControlWriter {
public:
    void u32(std::uint32_t value);
    void text(std::string_view value);
    void bytes(std::span<const std::uint8_t> value);
    const std::vector<std::uint8_t>& payload() const { return m_payload; }

private:
    std::vector<std::uint8_t> m_payload;
};

// Reads a payload; once a read fails every later one fails too, so a caller
// checks ok() after the last field.
class ControlReader {
public:
    explicit ControlReader(std::span<const std::uint8_t> payload)
        : m_payload(payload)
    {
    }
    std::uint32_t u32();
    std::string text();
    std::vector<std::uint8_t> bytes();
    // Every field read and nothing left over.
    bool ok() const { return m_ok && m_position == m_payload.size(); }
    bool failed() const { return !m_ok; }

private:
    bool take(std::size_t count);
    std::span<const std::uint8_t> m_payload;
    std::size_t m_position = 0;
    bool m_ok = true;
};

struct ControlRequest {
    std::uint16_t version = kControlVersion;
    std::uint16_t operation = 0;
    std::vector<std::uint8_t> payload;
};

struct ControlResponse {
    std::uint16_t operation = 0;
    NtStatus status = kStatusSuccess;
    std::vector<std::uint8_t> payload;
};

std::vector<std::uint8_t> encodeRequest(ControlOp operation, std::span<const std::uint8_t> payload);
// False when the datagram is no well-formed request (magic, lengths); the
// version is returned for the receiver to judge.
bool decodeRequest(std::span<const std::uint8_t> datagram, ControlRequest& request);
std::vector<std::uint8_t> encodeResponse(
    std::uint16_t operation, NtStatus status, std::span<const std::uint8_t> payload);
bool decodeResponse(std::span<const std::uint8_t> datagram, ControlResponse& response);

void writeNodeInfo(ControlWriter& writer, const NodeInfo& node);
NodeInfo readNodeInfo(ControlReader& reader);

} // namespace common
