#include "common/control_protocol.h"

#include "common/byte_order.h"

#include <algorithm>

namespace common {

namespace {

constexpr std::uint8_t kRequestMagic[4] = { 'V', 'R', 'P', 'Q' };
constexpr std::uint8_t kResponseMagic[4] = { 'V', 'R', 'P', 'A' };

bool hasMagic(std::span<const std::uint8_t> datagram, const std::uint8_t (&magic)[4])
{
    return std::equal(magic, magic + 4, datagram.begin());
}

} // namespace

std::string_view nodeStateText(std::uint32_t state)
{
    switch (static_cast<NodeStateCode>(state)) {
    case NodeStateCode::Installed:
        return "installed";
    case NodeStateCode::Failed:
        return "failed";
    case NodeStateCode::Started:
        return "started";
    case NodeStateCode::Stopped:
        return "stopped";
    case NodeStateCode::SurpriseRemoved:
        return "removed";
    }
    return "unknown";
}

void ControlWriter::u32(std::uint32_t value)
{
    const std::size_t at = m_payload.size();
    m_payload.resize(at + 4);
    storeLe32(m_payload, at, value);
}

void ControlWriter::text(std::string_view value)
{
    value = value.substr(0, kMaxControlText);
    const std::size_t at = m_payload.size();
    m_payload.resize(at + 2);
    storeLe16(m_payload, at, static_cast<std::uint16_t>(value.size()));
    m_payload.insert(m_payload.end(), value.begin(), value.end());
}

void ControlWriter::bytes(std::span<const std::uint8_t> value)
{
    value = value.first(std::min(value.size(), kMaxControlBytes));
    u32(static_cast<std::uint32_t>(value.size()));
    m_payload.insert(m_payload.end(), value.begin(), value.end());
}

bool ControlReader::take(std::size_t count)
{
    if (!m_ok || m_payload.size() - m_position < count) {
        m_ok = false;
        return false;
    }
    return true;
}

std::uint32_t ControlReader::u32()
{
    if (!take(4))
        return 0;
    const std::uint32_t value = loadLe32(m_payload, m_position);
    m_position += 4;
    return value;
}

std::string ControlReader::text()
{
    if (!take(2))
        return {};
    const std::size_t length = loadLe16(m_payload, m_position);
    m_position += 2;
    if (length > kMaxControlText || !take(length)) {
        m_ok = false;
        return {};
    }
    std::string value(reinterpret_cast<const char*>(m_payload.data() + m_position), length);
    m_position += length;
    return value;
}

std::vector<std::uint8_t> ControlReader::bytes()
{
    const std::uint32_t length = u32();
    if (length > kMaxControlBytes || !take(length)) {
        m_ok = false;
        return {};
    }
    std::vector<std::uint8_t> value(m_payload.begin() + static_cast<std::ptrdiff_t>(m_position),
        m_payload.begin() + static_cast<std::ptrdiff_t>(m_position + length));
    m_position += length;
    return value;
}

std::vector<std::uint8_t> encodeRequest(ControlOp operation, std::span<const std::uint8_t> payload)
{
    std::vector<std::uint8_t> datagram(kRequestHeaderSize);
    std::copy(kRequestMagic, kRequestMagic + 4, datagram.begin());
    storeLe16(datagram, 4, kControlVersion);
    storeLe16(datagram, 6, static_cast<std::uint16_t>(operation));
    storeLe32(datagram, 8, static_cast<std::uint32_t>(payload.size()));
    datagram.insert(datagram.end(), payload.begin(), payload.end());
    return datagram;
}

bool decodeRequest(std::span<const std::uint8_t> datagram, ControlRequest& request)
{
    if (datagram.size() < kRequestHeaderSize || datagram.size() > kMaxControlMessage
        || !hasMagic(datagram, kRequestMagic))
        return false;
    const std::uint32_t length = loadLe32(datagram, 8);
    if (length != datagram.size() - kRequestHeaderSize)
        return false;
    request.version = loadLe16(datagram, 4);
    request.operation = loadLe16(datagram, 6);
    request.payload.assign(datagram.begin() + kRequestHeaderSize, datagram.end());
    return true;
}

std::vector<std::uint8_t> encodeResponse(
    std::uint16_t operation, NtStatus status, std::span<const std::uint8_t> payload)
{
    std::vector<std::uint8_t> datagram(kResponseHeaderSize);
    std::copy(kResponseMagic, kResponseMagic + 4, datagram.begin());
    storeLe16(datagram, 4, kControlVersion);
    storeLe16(datagram, 6, operation);
    storeLe32(datagram, 8, status);
    storeLe32(datagram, 12, static_cast<std::uint32_t>(payload.size()));
    datagram.insert(datagram.end(), payload.begin(), payload.end());
    return datagram;
}

bool decodeResponse(std::span<const std::uint8_t> datagram, ControlResponse& response)
{
    if (datagram.size() < kResponseHeaderSize || datagram.size() > kMaxControlMessage
        || !hasMagic(datagram, kResponseMagic) || loadLe16(datagram, 4) != kControlVersion)
        return false;
    if (loadLe32(datagram, 12) != datagram.size() - kResponseHeaderSize)
        return false;
    response.operation = loadLe16(datagram, 6);
    response.status = loadLe32(datagram, 8);
    response.payload.assign(datagram.begin() + kResponseHeaderSize, datagram.end());
    return true;
}

void writeNodeInfo(ControlWriter& writer, const NodeInfo& node)
{
    writer.text(node.instanceId);
    writer.text(node.hardwareId);
    writer.u32(node.state);
    writer.text(node.portName);
    writer.text(node.devicePath);
    writer.u32(node.linkState);
    writer.u32(node.connType);
    writer.u32(node.protocol);
    writer.u32(node.cmdByte);
    writer.u32(node.remoteHostIp);
    writer.u32(node.remoteHostPort);
    writer.u32(node.serverMode);
    writer.u32(node.connected);
}

NodeInfo readNodeInfo(ControlReader& reader)
{
    NodeInfo node;
    node.instanceId = reader.text();
    node.hardwareId = reader.text();
    node.state = reader.u32();
    node.portName = reader.text();
    node.devicePath = reader.text();
    node.linkState = reader.u32();
    node.connType = reader.u32();
    node.protocol = reader.u32();
    node.cmdByte = reader.u32();
    node.remoteHostIp = reader.u32();
    node.remoteHostPort = reader.u32();
    node.serverMode = reader.u32();
    node.connected = reader.u32();
    return node;
}

} // namespace common
