#include "driver/control_requests.h"

#include "common/byte_order.h"
#include "common/vorpil_ioctl.h"
#include "driver/host/host.h"
#include "driver/naming.h"
#include "driver/port_config.h"
#include "driver/port_internal.h"
#include "driver/socket_transport.h"

#include <algorithm>
#include <string>

namespace driver {

using namespace common;

namespace {

NtStatus finish(PortDevice& port, host::Request& request, NtStatus status, std::size_t information = 0)
{
    completeRequest(request, status, information);
    releaseRequest(port);
    return status;
}

NtStatus setRemoteInfo(PortDevice& port, std::span<const std::uint8_t> input)
{
    const RemoteInfo info = RemoteInfo::decodeSet(input);
    PortConfig& config = port.config;
    config.remoteHostIp = info.remoteHostIp;
    config.remoteHostPort = info.remoteHostPort;
    config.protocol = info.protocol;
    config.connectAtWinStart = info.connectAtWinStart;
    config.connType = info.connType;
    config.cmdByte = info.cmdByte;
    config.maxPacketLen = info.maxPacketLen;
    config.bindAddress = info.bindAddress;
    // The values are in effect already; only the registry is spared an
    // oversized packet length.
    if ((info.protocol == kProtocolTcp && info.maxPacketLen > kMaxPacketLenTcp)
        || (info.protocol == kProtocolUdp && info.maxPacketLen > kMaxPacketLenUdp))
        return kStatusInvalidParameter;
    return storeConfiguration(port);
}

// The answer of a transport address query: the address the port's endpoint
// is bound to, in the layout applications of the transport expect.
NtStatus queryTransport(PortDevice& port, std::uint32_t type, std::span<std::uint8_t> output, std::size_t& written)
{
    written = 0;
    const auto* transport = dynamic_cast<const SocketTransport*>(port.transport.get());
    const host::NetAddress local = transport ? transport->localAddress() : host::NetAddress {};
    if (local.port == 0)
        return kStatusInvalidDeviceState; // no address endpoint is open
    if (type != kTdiQueryAddressInfo)
        return kStatusNotImplemented;
    std::array<std::uint8_t, kTdiAddressInfoSize> answer {};
    storeLe32(answer, 0, 1); // activity count
    storeLe32(answer, 4, 1); // one address
    storeLe16(answer, 8, 14); // its length
    storeLe16(answer, 10, 2); // IPv4
    answer[12] = static_cast<std::uint8_t>(local.port >> 8);
    answer[13] = static_cast<std::uint8_t>(local.port);
    for (int i = 0; i < 4; ++i)
        answer[14 + i] = static_cast<std::uint8_t>(local.ip >> (24 - 8 * i));
    written = std::min(output.size(), answer.size());
    std::copy_n(answer.begin(), written, output.begin());
    return written < answer.size() ? kStatusBufferOverflow : kStatusSuccess;
}

} // namespace

std::uint32_t linkState(const PortDevice& port)
{
    const PortTransport* transport = port.transport.get();
    if (!transport)
        return 0;
    return (port.config.connType != 0 ? transport->connected() : transport->serverMode()) ? 1 : 0;
}

NtStatus controlRequest(PortDevice& port, const host::RequestPtr& request)
{
    host::Request& r = *request;
    const auto input = r.input();
    const auto output = r.output();
    PortTransport* transport = port.transport.get();

    switch (r.ioControlCode()) {
    case kIoctlSetRemoteInfo:
        if (input.size() < kRemoteInfoInSize)
            return finish(port, r, kStatusBufferTooSmall);
        return finish(port, r, setRemoteInfo(port, input));

    case kIoctlGetRemoteInfo: {
        if (output.size() < kRemoteInfoOutSize)
            return finish(port, r, kStatusBufferTooSmall);
        // Values written to the registry by other means take effect here.
        const NtStatus status = reloadConfiguration(port);
        RemoteInfo info;
        info.remoteHostIp = port.config.remoteHostIp;
        info.remoteHostPort = port.config.remoteHostPort;
        info.protocol = port.config.protocol;
        info.connectAtWinStart = port.config.connectAtWinStart;
        info.linkState = linkState(port);
        info.connType = port.config.connType;
        info.cmdByte = port.config.cmdByte;
        info.maxPacketLen = port.config.maxPacketLen;
        info.localPort = loadShared(port.config.localPort);
        const auto bytes = info.encodeGet();
        std::copy(bytes.begin(), bytes.end(), output.begin());
        return finish(port, r, status, kRemoteInfoOutSize);
    }

    case kIoctlConnection:
        return finish(port, r, transport ? transport->openAsClient() : kStatusUnsuccessful);

    case kIoctlServer:
        return finish(port, r, transport ? transport->startServer() : kStatusUnsuccessful);

    case kIoctlDisconnection:
        return finish(port, r, transport ? transport->disconnect() : kStatusInvalidDeviceState);

    case kIoctlCloseTransport:
        if (transport)
            (void)transport->closeTransport();
        return finish(port, r, kStatusSuccess);

    case kIoctlGetDosName: {
        if (output.size() < kDosNameOutSize)
            return finish(port, r, kStatusBufferTooSmall);
        const auto bytes = encodeDosName(currentPortName(port));
        std::copy(bytes.begin(), bytes.end(), output.begin());
        return finish(port, r, kStatusSuccess, kDosNameOutSize);
    }

    case kIoctlSetDosName:
        if (input.size() < kComNumberInSize)
            return finish(port, r, kStatusBufferTooSmall);
        return finish(port, r, moveDosLink(port, "COM" + std::to_string(loadLe32(input, 0))));

    case kIoctlCreateDosName: {
        if (input.size() < kComNumberInSize)
            return finish(port, r, kStatusBufferTooSmall);
        const std::uint32_t number = loadLe32(input, 0);
        if (number < 1 || number > 255)
            return finish(port, r, kStatusInvalidParameter);
        return finish(port, r, createDosNameIfUnnamed(port, "COM" + std::to_string(number)));
    }

    case kIoctlDeleteDosName:
        return finish(port, r, deleteDosName(port));

    case kIoctlQueryTransportInfo: {
        if (input.size() < kQueryTypeInSize || output.size() < kTransportInfoMinOut)
            return finish(port, r, kStatusBufferTooSmall);
        std::size_t written = 0;
        const NtStatus status = queryTransport(port, loadLe32(input, 0), output, written);
        return finish(port, r, status, written);
    }

    case kIoctlGetUiNumber: {
        if (output.size() < kUiNumberOutSize)
            return finish(port, r, kStatusBufferTooSmall);
        std::uint32_t uiNumber = 0;
        const NtStatus status = port.host->queryUiNumber(*port.node, uiNumber);
        if (!ntSuccess(status))
            return finish(port, r, status);
        storeLe32(output, 0, uiNumber);
        storeLe32(output, 4, 0);
        return finish(port, r, kStatusSuccess, kUiNumberOutSize);
    }

    default:
        return finish(port, r, kStatusInvalidDeviceRequest);
    }
}

} // namespace driver
