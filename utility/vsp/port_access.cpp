#include "utility/vsp/port_access.h"

#include "common/byte_order.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string_view>

using namespace common;

namespace utility::vsp {

namespace {

std::string upper(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::uint32_t swap32(std::uint32_t value)
{
    return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
}

} // namespace

PortAccess::PortAccess(std::string runtimeDir, std::string hardwareId)
    : m_runtimeDir(std::move(runtimeDir))
    , m_hardwareId(std::move(hardwareId))
{
}

bool PortAccess::connected()
{
    if (m_client)
        return true;
    if (!ntSuccess(ControlClient::connect(m_runtimeDir, m_client)))
        return false;
    ++m_session;
    return true;
}

Win32Error PortAccess::interfaces(std::vector<std::string>& paths)
{
    paths.clear();
    if (!connected())
        return kErrorPipeNotConnected;
    const NtStatus status = m_client->enumerateInterfaces(std::string(kComPortInterfaceGuid), paths);
    if (status == kStatusPipeDisconnected)
        m_client.reset();
    return ntSuccess(status) ? kErrorSuccess : win32ErrorFromStatus(status);
}

bool PortAccess::isOwn(const std::string& path)
{
    const std::string lowered = [&] {
        std::string out(path);
        std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
        return out;
    }();
    // The node's instance number follows the enumerator's name: four digits,
    // 0000 to 9999, so a daemon's 256 ports are all found (taking the four
    // characters from the first "00" would stop at 0099).
    constexpr std::string_view kEnumerator = "root#ports#";
    const std::size_t at = lowered.find(kEnumerator);
    if (at == std::string::npos || at + kEnumerator.size() + 4 > lowered.size())
        return false;
    const std::string instance = path.substr(at + kEnumerator.size(), 4);
    if (!std::all_of(instance.begin(), instance.end(), [](unsigned char c) { return std::isdigit(c) != 0; }))
        return false;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    if (!connected()
        || !ntSuccess(m_client->regQueryValue(std::string(kPortsKey) + instance, "HardwareID", type, data)))
        return false;
    // The first string of the (multi-)string value.
    const std::string id = fromRegString(data);
    return upper(id) == upper(m_hardwareId);
}

Win32Error PortAccess::ownPorts(std::vector<std::size_t>& portIds)
{
    portIds.clear();
    std::vector<std::string> paths;
    const Win32Error error = interfaces(paths);
    if (error != kErrorSuccess)
        return error;
    for (std::size_t index = 0; index < paths.size(); ++index) {
        if (isOwn(paths[index]))
            portIds.push_back(index);
    }
    return kErrorSuccess;
}

Win32Error PortAccess::open(std::size_t portId, std::uint32_t& handle)
{
    std::vector<std::string> paths;
    const Win32Error error = interfaces(paths);
    if (error != kErrorSuccess)
        return error;
    if (portId >= paths.size())
        return kErrorFileNotFound;
    const NtStatus status = m_client->open(paths[portId], handle);
    return ntSuccess(status) ? kErrorSuccess : win32ErrorFromStatus(status);
}

bool PortAccess::nodeOf(std::size_t portId, PortSettings& settings, std::string& name)
{
    std::vector<std::string> paths;
    std::vector<NodeInfo> nodes;
    if (interfaces(paths) != kErrorSuccess || portId >= paths.size() || !ntSuccess(m_client->listNodes(nodes)))
        return false;
    const std::string instance = upper(instanceIdFromPath(paths[portId]));
    for (const auto& node : nodes) {
        if ("@" + upper(node.instanceId) != instance)
            continue;
        name = node.portName;
        settings.linkState = node.linkState;
        settings.connType = node.connType == 256 ? 1 : node.connType;
        settings.protocol = static_cast<std::uint8_t>(node.protocol);
        settings.cmdByte = node.cmdByte;
        settings.remoteHostIp = swap32(node.remoteHostIp);
        settings.remoteHostPort = hostPort(static_cast<std::uint16_t>(node.remoteHostPort));
        return true;
    }
    return false;
}

void PortAccess::close(std::uint32_t handle)
{
    if (m_client)
        (void)m_client->close(handle);
}

Win32Error PortAccess::control(std::uint32_t handle, std::uint32_t code, std::span<const std::uint8_t> input,
    std::uint32_t outputLength, std::vector<std::uint8_t>* output)
{
    if (!connected())
        return kErrorPipeNotConnected;
    ControlReply reply;
    const NtStatus status = m_client->deviceIoControl(handle, code, input, outputLength, reply);
    if (!ntSuccess(status))
        return win32ErrorFromStatus(status);
    if (output) {
        *output = reply.output;
        output->resize(std::min<std::size_t>(output->size(), reply.information));
    }
    return kErrorSuccess;
}

std::string PortAccess::instanceId(std::size_t portId)
{
    std::vector<std::string> paths;
    if (interfaces(paths) != kErrorSuccess || portId >= paths.size())
        return {};
    return instanceIdFromPath(paths[portId]);
}

Win32Error PortAccess::readSettings(std::uint32_t handle, PortSettings& settings)
{
    std::vector<std::uint8_t> output;
    const Win32Error error = control(handle, kIoctlGetRemoteInfo, {}, kRemoteInfoOutSize, &output);
    if (error != kErrorSuccess)
        return error;
    if (output.size() < kRemoteInfoOutSize)
        return kErrorInsufficientBuffer;
    const RemoteInfo info = RemoteInfo::decodeGet(output);
    settings.remoteHostIp = swap32(info.remoteHostIp);
    settings.remoteHostPort = hostPort(info.remoteHostPort);
    settings.protocol = info.protocol;
    settings.connectAtWinStart = info.connectAtWinStart;
    settings.linkState = info.linkState;
    // Older drivers report a client as 256.
    settings.connType = info.connType == 256 ? 1 : info.connType;
    settings.cmdByte = info.cmdByte;
    settings.maxPacketLen = info.maxPacketLen;
    settings.localPort = hostPort(info.localPort);
    return kErrorSuccess;
}

Win32Error PortAccess::writeSettings(std::uint32_t handle, const PortSettings& settings, std::uint32_t bindAddress)
{
    RemoteInfo info;
    info.remoteHostIp = swap32(settings.remoteHostIp);
    info.remoteHostPort = networkPort(settings.remoteHostPort);
    info.protocol = settings.protocol;
    info.connectAtWinStart = settings.connectAtWinStart;
    info.connType = settings.connType;
    info.cmdByte = settings.cmdByte;
    info.maxPacketLen = settings.maxPacketLen;
    info.bindAddress = swap32(bindAddress);
    const auto bytes = info.encodeSet();
    return control(handle, kIoctlSetRemoteInfo, bytes, 0);
}

Win32Error PortAccess::dosName(std::uint32_t handle, std::string& name)
{
    std::vector<std::uint8_t> output;
    const Win32Error error = control(handle, kIoctlGetDosName, {}, kDosNameOutSize, &output);
    if (error != kErrorSuccess)
        return error;
    name = decodeDosName(output);
    return kErrorSuccess;
}

std::string_view wireProtocolName(WireProtocol wire) { return wire == WireProtocol::Rfc2217 ? "rfc2217" : "native"; }

std::optional<WireProtocol> parseWireProtocol(std::string_view name)
{
    if (name == "native")
        return WireProtocol::Native;
    if (name == "rfc2217")
        return WireProtocol::Rfc2217;
    return std::nullopt;
}

std::string PortAccess::parametersKey(std::size_t portId)
{
    const std::string id = instanceId(portId);
    if (id.empty())
        return {};
    return std::string(kPortsKey) + id.substr(id.rfind('\\') + 1) + "\\Device Parameters";
}

Win32Error PortAccess::wireProtocol(std::size_t portId, WireProtocol& wire)
{
    wire = WireProtocol::Native;
    const std::string key = parametersKey(portId);
    if (key.empty())
        return kErrorFileNotFound;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    const NtStatus status = m_client->regQueryValue(key, "WireProtocol", type, data);
    if (status == kStatusObjectNameNotFound)
        return kErrorSuccess;
    if (!ntSuccess(status))
        return win32ErrorFromStatus(status);
    if (data.size() == 4 && loadLe32(data, 0) == static_cast<std::uint32_t>(WireProtocol::Rfc2217))
        wire = WireProtocol::Rfc2217;
    return kErrorSuccess;
}

Win32Error PortAccess::setWireProtocol(std::size_t portId, WireProtocol wire)
{
    const std::string key = parametersKey(portId);
    if (key.empty())
        return kErrorFileNotFound;
    std::vector<std::uint8_t> data(4);
    storeLe32(data, 0, static_cast<std::uint32_t>(wire));
    const NtStatus status = m_client->regSetValue(key, "WireProtocol", kRegDword, data);
    return ntSuccess(status) ? kErrorSuccess : win32ErrorFromStatus(status);
}

bool PortAccess::usageMap(std::vector<std::uint8_t>& usage, std::string& failure)
{
    usage.assign(kMaxComNumber, 0);
    if (!connected()) {
        failure = "Opend COM DB failed.";
        return false;
    }
    std::vector<std::uint8_t> database;
    if (!ntSuccess(m_client->comDbUsage(kMaxComNumber, database))) {
        failure = "Get COM DB failed.";
        return false;
    }
    for (std::size_t index = 0; index < database.size() && index < usage.size(); ++index)
        usage[index] = database[index] ? 1 : 0;
    std::vector<std::string> names;
    if (!ntSuccess(m_client->regEnumValues(std::string(kSerialCommKey), names))) {
        failure = "Read system registry data failed.";
        return false;
    }
    for (const auto& name : names) {
        std::uint32_t type = 0;
        std::vector<std::uint8_t> data;
        if (!ntSuccess(m_client->regQueryValue(std::string(kSerialCommKey), name, type, data))) {
            failure = "Read system registry data failed.";
            return false;
        }
        const std::string value = fromRegString(data);
        if (value.size() <= 3)
            continue;
        const int number = comNumber(value);
        if (number >= 1 && number <= static_cast<int>(kMaxComNumber))
            usage[static_cast<std::size_t>(number - 1)] = 1;
    }
    return true;
}

std::string errorText(const char* pattern, Win32Error error)
{
    char buffer[160];
    std::snprintf(buffer, sizeof buffer, pattern, static_cast<unsigned>(error));
    return buffer;
}

std::uint16_t portNumberText(const std::string& text)
{
    std::uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        if (value > 0xFFFF)
            return 0;
    }
    return static_cast<std::uint16_t>(value);
}

std::string openFailureText(Win32Error error)
{
    if (error == kErrorBadCommand)
        return "Please stop terminal program first\n";
    return errorText("Open serial device failed (0x%x)\n", error);
}

std::string instanceIdFromPath(const std::string& path)
{
    if (path.size() < 4 + 15)
        return {};
    std::string id = path.substr(4, 15);
    std::replace(id.begin(), id.end(), '#', '\\');
    return "@" + id;
}

int comNumber(std::string_view name)
{
    if (name.size() < 4 || upper(name.substr(0, 3)) != "COM")
        return 0;
    int number = 0;
    for (char c : name.substr(3)) {
        if (c < '0' || c > '9')
            break;
        number = number * 10 + (c - '0');
        if (number > 100000)
            return 0;
    }
    return number;
}

std::vector<std::uint8_t> regString(std::string_view text)
{
    std::vector<std::uint8_t> bytes;
    for (char c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c));
        bytes.push_back(0);
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

std::string fromRegString(const std::vector<std::uint8_t>& data)
{
    std::string text;
    for (std::size_t at = 0; at + 1 < data.size(); at += 2) {
        const unsigned unit = data[at] | static_cast<unsigned>(data[at + 1]) << 8;
        if (unit == 0)
            break;
        text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return text;
}

std::string hostAddressText(std::uint32_t hostOrder)
{
    return std::to_string(hostOrder >> 24) + "." + std::to_string((hostOrder >> 16) & 0xFF) + "."
        + std::to_string((hostOrder >> 8) & 0xFF) + "." + std::to_string(hostOrder & 0xFF);
}

bool parseHostAddress(const std::string& text, std::uint32_t& hostOrder)
{
    std::uint32_t network = 0;
    if (!parseAddress(text, network))
        return false;
    hostOrder = swap32(network);
    return true;
}

} // namespace utility::vsp
