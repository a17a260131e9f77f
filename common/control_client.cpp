#include "common/control_client.h"

#include "common/win32_error.h"
#include "platform/seqpacket.h"

#include <cerrno>

namespace common {

ControlClient::ControlClient(std::unique_ptr<platform::SeqPacketSocket> socket, std::string path)
    : m_socket(std::move(socket))
    , m_path(std::move(path))
{
}

ControlClient::~ControlClient() = default;

std::string ControlClient::socketPath(const std::string& runtimeDir)
{
    return (runtimeDir.empty() ? platform::vorpilClientRuntimeDir() : runtimeDir) + "/control";
}

NtStatus ControlClient::connect(const std::string& runtimeDir, std::unique_ptr<ControlClient>& client)
{
    const std::string path = socketPath(runtimeDir);
    auto socket = platform::SeqPacketSocket::connectTrusted(path);
    if (!socket.ok())
        return socket.error().code == EPERM ? kStatusAccessDenied : kStatusPipeDisconnected;
    client.reset(new ControlClient(std::move(*socket), path));
    return kStatusSuccess;
}

NtStatus ControlClient::exchange(std::span<const std::uint8_t> datagram, std::vector<std::uint8_t>& answer)
{
    const NtStatus status = exchangeOnce(datagram, answer);
    if (status != kStatusPipeDisconnected || m_handles != 0 || !m_socket->peerClosed())
        return status;
    // The host closed the session (it was idle); nothing of it is lost but
    // the connection, so the request goes on a new one. A host that is gone
    // cannot be reached again either.
    auto socket = platform::SeqPacketSocket::connectTrusted(m_path);
    if (!socket.ok())
        return status;
    m_socket = std::move(*socket);
    ++m_reconnections;
    return exchangeOnce(datagram, answer);
}

NtStatus ControlClient::exchangeOnce(std::span<const std::uint8_t> datagram, std::vector<std::uint8_t>& answer)
{
    // A host that turned this client away has closed the connection and
    // left its answer: it is read even when the request could not be sent.
    if (!m_socket->send(datagram).ok() && !m_socket->peerClosed())
        return kStatusPipeDisconnected;
    answer.resize(kMaxControlMessage);
    auto got = m_socket->receive(answer);
    if (!got.ok() || *got == 0)
        return kStatusPipeDisconnected;
    answer.resize(*got);
    return kStatusSuccess;
}

NtStatus ControlClient::call(ControlOp operation, const ControlWriter& request, std::vector<std::uint8_t>& payload)
{
    std::vector<std::uint8_t> answer;
    if (NtStatus status = exchange(encodeRequest(operation, request.payload()), answer); !ntSuccess(status))
        return status;
    ControlResponse response;
    if (!decodeResponse(answer, response))
        return kStatusRevisionMismatch;
    // Operation 0 answers what the host could not take up (a refused client).
    if (response.operation == 0 && !ntSuccess(response.status))
        return response.status;
    if (response.operation != static_cast<std::uint16_t>(operation))
        return kStatusRevisionMismatch;
    payload = std::move(response.payload);
    return response.status;
}

NtStatus ControlClient::readTexts(ControlOp operation, const ControlWriter& request, std::vector<std::string>& texts)
{
    std::vector<std::uint8_t> payload;
    const NtStatus status = call(operation, request, payload);
    texts.clear();
    if (!ntSuccess(status))
        return status;
    ControlReader reader(payload);
    const std::uint32_t count = reader.u32();
    for (std::uint32_t i = 0; i < count && !reader.failed(); ++i)
        texts.push_back(reader.text());
    return reader.ok() ? status : kStatusRevisionMismatch;
}

NtStatus ControlClient::enumerateInterfaces(const std::string& guid, std::vector<std::string>& paths)
{
    ControlWriter request;
    request.text(guid);
    return readTexts(ControlOp::EnumerateInterfaces, request, paths);
}

NtStatus ControlClient::open(const std::string& path, std::uint32_t& handle)
{
    ControlWriter request;
    request.text(path);
    std::vector<std::uint8_t> payload;
    const NtStatus status = call(ControlOp::Open, request, payload);
    if (!ntSuccess(status))
        return status;
    ++m_handles;
    ControlReader reader(payload);
    handle = reader.u32();
    return reader.ok() ? status : kStatusRevisionMismatch;
}

NtStatus ControlClient::deviceIoControl(std::uint32_t handle, std::uint32_t code, std::span<const std::uint8_t> input,
    std::uint32_t outputLength, ControlReply& reply)
{
    ControlWriter request;
    request.u32(handle);
    request.u32(code);
    request.u32(outputLength);
    request.bytes(input);
    std::vector<std::uint8_t> payload;
    reply = ControlReply {};
    reply.status = call(ControlOp::DeviceControl, request, payload);
    // A failed request still reports its information count (GET_REMOTE_INFO
    // does), so the payload is read whatever the status.
    ControlReader reader(payload);
    if (!payload.empty()) {
        reply.information = reader.u32();
        reply.output = reader.bytes();
        if (!reader.ok())
            reply.status = kStatusRevisionMismatch;
    }
    return reply.status;
}

NtStatus ControlClient::close(std::uint32_t handle)
{
    ControlWriter request;
    request.u32(handle);
    std::vector<std::uint8_t> payload;
    const NtStatus status = call(ControlOp::Close, request, payload);
    // Closed or not, the handle is not this client's any more.
    if (m_handles > 0)
        --m_handles;
    return status;
}

NtStatus ControlClient::installNode(
    const std::string& hardwareId, const std::string& portName, std::string& instanceId, std::string* reason)
{
    ControlWriter request;
    request.text(hardwareId);
    request.text(portName);
    std::vector<std::uint8_t> payload;
    const NtStatus status = call(ControlOp::InstallNode, request, payload);
    if (!ntSuccess(status)) {
        if (reason && !payload.empty()) {
            ControlReader reader(payload);
            const std::string text = reader.text();
            if (reader.ok())
                *reason = text;
        }
        return status;
    }
    ControlReader reader(payload);
    instanceId = reader.text();
    return reader.ok() ? status : kStatusRevisionMismatch;
}

NtStatus ControlClient::removeNode(const std::string& instanceId)
{
    ControlWriter request;
    request.text(instanceId);
    std::vector<std::uint8_t> payload;
    return call(ControlOp::RemoveNode, request, payload);
}

NtStatus ControlClient::terminals(std::vector<std::string>& lines)
{
    return readTexts(ControlOp::Terminals, ControlWriter {}, lines);
}

NtStatus ControlClient::listNodes(std::vector<NodeInfo>& nodes)
{
    std::vector<std::uint8_t> payload;
    const NtStatus status = call(ControlOp::ListNodes, ControlWriter {}, payload);
    nodes.clear();
    if (!ntSuccess(status))
        return status;
    ControlReader reader(payload);
    const std::uint32_t count = reader.u32();
    for (std::uint32_t i = 0; i < count && !reader.failed(); ++i)
        nodes.push_back(readNodeInfo(reader));
    return reader.ok() ? status : kStatusRevisionMismatch;
}

NtStatus ControlClient::regQueryValue(
    const std::string& key, const std::string& name, std::uint32_t& type, std::vector<std::uint8_t>& data)
{
    ControlWriter request;
    request.text(key);
    request.text(name);
    std::vector<std::uint8_t> payload;
    const NtStatus status = call(ControlOp::RegQueryValue, request, payload);
    if (!ntSuccess(status))
        return status;
    ControlReader reader(payload);
    type = reader.u32();
    data = reader.bytes();
    return reader.ok() ? status : kStatusRevisionMismatch;
}

NtStatus ControlClient::regSetValue(
    const std::string& key, const std::string& name, std::uint32_t type, std::span<const std::uint8_t> data)
{
    ControlWriter request;
    request.text(key);
    request.text(name);
    request.u32(type);
    request.bytes(data);
    std::vector<std::uint8_t> payload;
    return call(ControlOp::RegSetValue, request, payload);
}

NtStatus ControlClient::regDeleteValue(const std::string& key, const std::string& name)
{
    ControlWriter request;
    request.text(key);
    request.text(name);
    std::vector<std::uint8_t> payload;
    return call(ControlOp::RegDeleteValue, request, payload);
}

NtStatus ControlClient::regDeleteKey(const std::string& key)
{
    ControlWriter request;
    request.text(key);
    std::vector<std::uint8_t> payload;
    return call(ControlOp::RegDeleteKey, request, payload);
}

NtStatus ControlClient::regEnumValues(const std::string& key, std::vector<std::string>& names)
{
    ControlWriter request;
    request.text(key);
    return readTexts(ControlOp::RegEnumValues, request, names);
}

NtStatus ControlClient::regEnumKeys(const std::string& key, std::vector<std::string>& names)
{
    ControlWriter request;
    request.text(key);
    return readTexts(ControlOp::RegEnumKeys, request, names);
}

NtStatus ControlClient::comDbUsage(std::uint32_t highest, std::vector<std::uint8_t>& usage)
{
    ControlWriter request;
    request.u32(highest);
    std::vector<std::uint8_t> payload;
    const NtStatus status = call(ControlOp::ComDbUsage, request, payload);
    if (!ntSuccess(status))
        return status;
    ControlReader reader(payload);
    usage = reader.bytes();
    return reader.ok() ? status : kStatusRevisionMismatch;
}

NtStatus ControlClient::comDbClaim(std::uint32_t number, bool force, bool& forced)
{
    ControlWriter request;
    request.u32(number);
    request.u32(force ? 1 : 0);
    std::vector<std::uint8_t> payload;
    const NtStatus status = call(ControlOp::ComDbClaim, request, payload);
    if (!ntSuccess(status))
        return status;
    ControlReader reader(payload);
    forced = reader.u32() != 0;
    return reader.ok() ? status : kStatusRevisionMismatch;
}

NtStatus ControlClient::comDbRelease(std::uint32_t number)
{
    ControlWriter request;
    request.u32(number);
    std::vector<std::uint8_t> payload;
    return call(ControlOp::ComDbRelease, request, payload);
}

} // namespace common
