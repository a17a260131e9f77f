// devcon's commands: requests to the driver host's control socket.
#include "apps/devcon/commands.h"
#include "common/byte_order.h"
#include "common/control_client.h"
#include "common/inf_file.h"
#include "common/serial_ioctl.h"
#include "common/vorpil_ioctl.h"
#include "common/win32_error.h"
#include "platform/text_file.h"

#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace common;

namespace devcon {
namespace {

void printStatus(const std::string& subject, const char* what, NtStatus status)
{
    if (ntSuccess(status))
        std::printf("%s %s status=0x%08X\n", subject.c_str(), what, status);
    else
        std::printf("%s %s status=0x%08X error=%u\n", subject.c_str(), what, status, win32ErrorFromStatus(status));
}

bool connectHost(std::unique_ptr<ControlClient>& client)
{
    const NtStatus status = ControlClient::connect({}, client);
    if (ntSuccess(status))
        return true;
    if (status == kStatusAccessDenied)
        std::fprintf(stderr, "devcon: %s belongs to neither root nor this user; not using it\n",
            ControlClient::socketPath({}).c_str());
    else
        std::fprintf(stderr, "devcon: no driver host at %s\n", ControlClient::socketPath({}).c_str());
    return false;
}

bool sameText(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

} // namespace

bool isComName(const std::string& name)
{
    if (name.size() < 4 || name.size() > 7 || !sameText(name.substr(0, 3), "COM"))
        return false;
    for (char c : name.substr(3)) {
        if (c < '0' || c > '9')
            return false;
    }
    return name[3] != '0';
}

int install(const std::string& infPath, const std::string& hardwareId, const std::string& portName)
{
    auto text = platform::readFileBytes(infPath, 1 << 20);
    if (!text.ok()) {
        std::fprintf(stderr, "devcon: cannot read %s: %s\n", infPath.c_str(), text.error().message.c_str());
        return kExitBadInf;
    }
    InfDevice device;
    const InfResult parsed = parseInf(*text, device);
    if (parsed != InfResult::Ok) {
        std::fprintf(stderr, "devcon: %s: %s\n", infPath.c_str(),
            parsed == InfResult::NotAnInf ? "not a driver INF" : "no device model in the INF");
        return kExitBadInf;
    }
    bool listed = false;
    for (const auto& id : device.hardwareIds)
        listed = listed || sameText(id, hardwareId);
    if (!listed) {
        std::fprintf(stderr, "devcon: %s does not list hardware ID %s\n", infPath.c_str(), hardwareId.c_str());
        return kExitBadInf;
    }
    std::unique_ptr<ControlClient> client;
    if (!connectHost(client))
        return kExitNoHost;
    std::string instanceId;
    std::string reason;
    const NtStatus status = client->installNode(hardwareId, portName, instanceId, &reason);
    if (!ntSuccess(status)) {
        printStatus(hardwareId, "install", status);
        if (!reason.empty())
            std::fprintf(stderr, "devcon: %s: %s\n", portName.c_str(), reason.c_str());
        return status == kStatusPipeDisconnected ? kExitNoHost : kExitFailed;
    }
    std::printf("%s\n", instanceId.c_str());
    return kExitOk;
}

int remove(const std::string& instanceId)
{
    std::unique_ptr<ControlClient> client;
    if (!connectHost(client))
        return kExitNoHost;
    const NtStatus status = client->removeNode(instanceId);
    printStatus(instanceId, "remove", status);
    return ntSuccess(status) ? kExitOk : status == kStatusPipeDisconnected ? kExitNoHost : kExitFailed;
}

namespace {

std::string nodeKey(const std::string& instanceId)
{
    return "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" + instanceId + "\\Device Parameters";
}

} // namespace

int status()
{
    std::unique_ptr<ControlClient> client;
    if (!connectHost(client))
        return kExitNoHost;
    std::vector<NodeInfo> nodes;
    const NtStatus result = client->listNodes(nodes);
    if (!ntSuccess(result)) {
        printStatus("nodes", "list", result);
        return kExitFailed;
    }
    for (const auto& node : nodes) {
        // The wire protocol is a registry value of the driver host's own.
        std::uint32_t type = 0;
        std::vector<std::uint8_t> wire;
        const bool rfc2217 = ntSuccess(client->regQueryValue(nodeKey(node.instanceId), "WireProtocol", type, wire))
            && wire.size() == 4 && loadLe32(wire, 0) == 1;
        const std::string endpoint = std::string(rfc2217                     ? "rfc2217:"
                                             : node.protocol == kProtocolUdp ? "udp:"
                                                                             : "tcp:")
            + addressText(node.remoteHostIp) + ":"
            + std::to_string(hostPort(static_cast<std::uint16_t>(node.remoteHostPort)));
        std::printf("%s %s %s %s link=%u remote=%s %s %s path=%s\n", node.instanceId.c_str(), node.hardwareId.c_str(),
            node.portName.empty() ? "-" : node.portName.c_str(), std::string(nodeStateText(node.state)).c_str(),
            node.linkState, endpoint.c_str(), node.connType ? "client" : "server",
            rfc2217            ? "rfc2217"
                : node.cmdByte ? "framed"
                               : "raw",
            node.devicePath.empty() ? "-" : node.devicePath.c_str());
    }
    std::vector<std::string> terminals;
    (void)client->terminals(terminals); // an older host has no such list
    for (const auto& line : terminals)
        std::printf("terminal %s\n", line.c_str());
    return kExitOk;
}

namespace {

bool parseNumber(const std::string& text, std::uint32_t& value, std::uint32_t highest)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value <= highest;
}

// Opens the port, sends one request, closes; prints the outcome.
int request(const std::string& port, std::uint32_t code, const char* name, std::span<const std::uint8_t> input)
{
    std::unique_ptr<ControlClient> client;
    if (!connectHost(client))
        return kExitNoHost;
    std::uint32_t handle = 0;
    const NtStatus opened = client->open("\\\\.\\" + port, handle);
    if (!ntSuccess(opened)) {
        printStatus(port, "open", opened);
        return opened == kStatusPipeDisconnected ? kExitNoHost : kExitFailed;
    }
    ControlReply reply;
    const NtStatus status = client->deviceIoControl(handle, code, input, 0, reply);
    (void)client->close(handle);
    printStatus(port, name, status);
    return ntSuccess(status) ? kExitOk : status == kStatusPipeDisconnected ? kExitNoHost : kExitFailed;
}

int setRemote(const SetArguments& args);

// The registry key of the node that carries a port name; empty when none does.
std::string portKey(ControlClient& client, const std::string& port)
{
    std::vector<NodeInfo> nodes;
    if (!ntSuccess(client.listNodes(nodes)))
        return {};
    for (const auto& node : nodes) {
        if (sameText(node.portName, port))
            return nodeKey(node.instanceId);
    }
    return {};
}

// The driver host's own options of a port; they apply from the port's next open.
int setOptions(const std::string& port, int reconnect, int pacing, int protocol)
{
    std::unique_ptr<ControlClient> client;
    if (!connectHost(client))
        return kExitNoHost;
    const std::string key = portKey(*client, port);
    if (key.empty()) {
        std::fprintf(stderr, "devcon: no port named %s\n", port.c_str());
        return kExitFailed;
    }
    constexpr std::uint32_t kDword = 4;
    auto store = [&](const char* name, std::uint32_t value) {
        std::array<std::uint8_t, 4> data {};
        storeLe32(data, 0, value);
        const NtStatus status = client->regSetValue(key, name, kDword, data);
        printStatus(port, name, status);
        return ntSuccess(status);
    };
    bool ok = true;
    if (reconnect >= 0)
        ok = store("ReconnectInterval", static_cast<std::uint32_t>(reconnect)) && ok;
    if (pacing >= 0)
        ok = store("Pacing", static_cast<std::uint32_t>(pacing)) && ok;
    if (protocol >= 0)
        ok = store("WireProtocol", static_cast<std::uint32_t>(protocol)) && ok;
    return ok ? kExitOk : kExitFailed;
}

} // namespace

int set(const SetArguments& args)
{
    const int reconnect = !args.reconnect ? -1 : *args.reconnect == "off" ? 0 : std::stoi(*args.reconnect);
    const int pacing = !args.pacing ? -1 : *args.pacing == "on" ? 1 : 0;
    const int protocol = !args.wireProtocol ? -1 : *args.wireProtocol == "rfc2217" ? 1 : 0;
    if (!args.remote)
        return setOptions(args.port, reconnect, pacing, protocol);
    const int result = setRemote(args);
    if (result != kExitOk || (reconnect < 0 && pacing < 0 && protocol < 0))
        return result;
    return setOptions(args.port, reconnect, pacing, protocol);
}

// Serial settings a terminal cannot carry, sent as the serial requests a
// program would make.
int serial(const SerialArguments& args)
{
    const std::uint32_t baud = args.baud.value_or(0);
    const int dataBits = args.dataBits.value_or(-1);
    static constexpr const char* kParities[] = { "none", "odd", "even", "mark", "space" };
    int parity = -1;
    for (int p = 0; p < 5; ++p) {
        if (args.parity == kParities[p])
            parity = p;
    }
    const int stopBits = !args.stopBits ? -1 : *args.stopBits == "1" ? 0 : *args.stopBits == "1.5" ? 1 : 2;
    const int dtr = !args.dtr ? -1 : *args.dtr == "on" ? 1 : 0;
    const int rts = !args.rts ? -1 : *args.rts == "on" ? 1 : 0;
    const std::uint32_t breakMs = args.breakMs.value_or(0);
    const bool sendBreak = args.breakMs.has_value();
    std::unique_ptr<ControlClient> client;
    if (!connectHost(client))
        return kExitNoHost;
    const std::string& port = args.port;
    std::uint32_t handle = 0;
    const NtStatus opened = client->open("\\\\.\\" + port, handle);
    if (!ntSuccess(opened)) {
        printStatus(port, "open", opened);
        if (opened == kStatusInvalidDeviceState)
            std::fprintf(
                stderr, "devcon: %s is held by a program; set its serial settings while it is free\n", port.c_str());
        return kExitFailed;
    }
    NtStatus failed = kStatusSuccess;
    auto send = [&](std::uint32_t code, const char* name, std::span<const std::uint8_t> input) {
        ControlReply reply;
        const NtStatus status = client->deviceIoControl(handle, code, input, 0, reply);
        printStatus(port, name, status);
        if (!ntSuccess(status) && ntSuccess(failed))
            failed = status;
    };
    if (baud != 0) {
        std::array<std::uint8_t, 4> rate {};
        storeLe32(rate, 0, baud);
        send(kIoctlSerialSetBaudRate, "IOCTL_SERIAL_SET_BAUD_RATE", rate);
    }
    // The line control goes with a new rate too: the device server learns
    // the rate together with it.
    if (baud != 0 || dataBits >= 0 || parity >= 0 || stopBits >= 0) {
        ControlReply current;
        std::array<std::uint8_t, 3> line { 0, 0, 8 };
        if (ntSuccess(client->deviceIoControl(handle, kIoctlSerialGetLineControl, {}, 3, current))
            && current.output.size() >= 3)
            line = { current.output[0], current.output[1], current.output[2] };
        if (stopBits >= 0)
            line[0] = static_cast<std::uint8_t>(stopBits);
        if (parity >= 0)
            line[1] = static_cast<std::uint8_t>(parity);
        if (dataBits >= 0)
            line[2] = static_cast<std::uint8_t>(dataBits);
        send(kIoctlSerialSetLineControl, "IOCTL_SERIAL_SET_LINE_CONTROL", line);
    }
    if (dtr >= 0)
        send(dtr ? kIoctlSerialSetDtr : kIoctlSerialClrDtr, dtr ? "IOCTL_SERIAL_SET_DTR" : "IOCTL_SERIAL_CLR_DTR", {});
    if (rts >= 0)
        send(rts ? kIoctlSerialSetRts : kIoctlSerialClrRts, rts ? "IOCTL_SERIAL_SET_RTS" : "IOCTL_SERIAL_CLR_RTS", {});
    if (sendBreak) {
        send(kIoctlSerialSetBreakOn, "IOCTL_SERIAL_SET_BREAK_ON", {});
        std::this_thread::sleep_for(std::chrono::milliseconds(breakMs));
        send(kIoctlSerialSetBreakOff, "IOCTL_SERIAL_SET_BREAK_OFF", {});
    }
    (void)client->close(handle);
    return ntSuccess(failed) ? kExitOk : kExitFailed;
}

namespace {

int setRemote(const SetArguments& args)
{
    RemoteInfo info;
    info.maxPacketLen = args.maxPacket;
    const std::string& remote = *args.remote;
    const std::size_t colon = remote.rfind(':');
    std::uint32_t port = 0;
    (void)parseAddress(remote.substr(0, colon), info.remoteHostIp); // checked by the declaration
    (void)parseNumber(remote.substr(colon + 1), port, 65535);
    info.remoteHostPort = networkPort(static_cast<std::uint16_t>(port));
    if (args.bind)
        (void)parseAddress(*args.bind, info.bindAddress);
    info.connectAtWinStart = args.connectAtStart ? 1 : 0;
    info.protocol = static_cast<std::uint8_t>(args.protocol == "udp" ? kProtocolUdp : kProtocolTcp);
    info.connType = args.connType == "client" ? 1 : 0;
    info.cmdByte = args.framing == "framed" ? 1 : 0;
    const auto bytes = info.encodeSet();
    return request(args.port, kIoctlSetRemoteInfo, "IOCTL_SET_REMOTE_INFO", bytes);
}

} // namespace

int connect(const std::string& port) { return request(port, kIoctlConnection, "IOCTL_CONNECTION", {}); }
int serve(const std::string& port) { return request(port, kIoctlServer, "IOCTL_SERVER", {}); }
int disconnect(const std::string& port) { return request(port, kIoctlDisconnection, "IOCTL_DISCONNECTION", {}); }

} // namespace devcon
