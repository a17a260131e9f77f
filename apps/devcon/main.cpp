// devcon: the device console tool against the driver host's control socket.
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

namespace {

// Exit codes a script can rely on.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1; // the host answered with a failure status
constexpr int kExitUsage = 2;
constexpr int kExitNoHost = 3; // the control socket cannot be reached
constexpr int kExitBadInf = 4;

constexpr const char* kUsage
    = "usage: devcon install <INF> <hardware ID> <COMn>\n"
      "       devcon remove <instance ID>\n"
      "       devcon status\n"
      "       devcon set <COMn> --remote HOST:PORT (--tcp|--udp) (--client|--server) (--framed|--raw)\n"
      "                  [--max-packet N] [--connect-at-start] [--bind ADDR]\n"
      "       devcon set <COMn> [--reconnect SECONDS|off] [--pacing on|off] [--protocol native|rfc2217]\n"
      "       devcon serial <COMn> [--baud N] [--data-bits 5..8] [--parity none|odd|even|mark|space]\n"
      "                  [--stop-bits 1|1.5|2] [--dtr on|off] [--rts on|off] [--break MS]\n"
      "       devcon connect|server|disconnect <COMn>\n"
      "--reconnect: a client port whose connection was lost tries again every SECONDS (default 5)\n"
      "  while a program has it open; off leaves it down until connected again.\n"
      "--pacing off: writes are not held to the port's baud rate (for device servers that buffer).\n"
      "--protocol rfc2217: the port speaks Telnet with COM-PORT-OPTION (RFC 2217) over TCP to any\n"
      "  device server that does (ser2net among them); native: the device servers' own framing\n"
      "  (or raw, as --framed/--raw say).\n"
      "serial: what a terminal cannot carry (parity, data bits, modem lines, break), while no\n"
      "  program holds the port; a program's own terminal settings change only what it sets.\n"
      "The driver host is found through VORPIL_RUNTIME_DIR, else the user's own daemon when it runs,\n"
      "else the system service at /run/vorpil (root: always /run/vorpil).\n";

int usage()
{
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

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

int install(const std::vector<std::string>& args)
{
    if (args.size() != 3 || !isComName(args[2]))
        return usage();
    const std::string& infPath = args[0];
    const std::string& hardwareId = args[1];
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
    const NtStatus status = client->installNode(hardwareId, args[2], instanceId, &reason);
    if (!ntSuccess(status)) {
        printStatus(hardwareId, "install", status);
        if (!reason.empty())
            std::fprintf(stderr, "devcon: %s: %s\n", args[2].c_str(), reason.c_str());
        return status == kStatusPipeDisconnected ? kExitNoHost : kExitFailed;
    }
    std::printf("%s\n", instanceId.c_str());
    return kExitOk;
}

int remove(const std::vector<std::string>& args)
{
    if (args.size() != 1)
        return usage();
    std::unique_ptr<ControlClient> client;
    if (!connectHost(client))
        return kExitNoHost;
    const NtStatus status = client->removeNode(args[0]);
    printStatus(args[0], "remove", status);
    return ntSuccess(status) ? kExitOk : status == kStatusPipeDisconnected ? kExitNoHost : kExitFailed;
}

std::string nodeKey(const std::string& instanceId)
{
    return "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" + instanceId + "\\Device Parameters";
}

int status(const std::vector<std::string>& args)
{
    if (!args.empty())
        return usage();
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

int setRemote(const std::vector<std::string>& args);

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

int set(const std::vector<std::string>& args)
{
    if (args.empty() || !isComName(args[0]))
        return usage();
    int reconnect = -1, pacing = -1, protocol = -1;
    std::vector<std::string> rest { args[0] };
    for (std::size_t i = 1; i < args.size(); ++i) {
        const bool hasValue = i + 1 < args.size();
        if (args[i] == "--reconnect" && hasValue) {
            const std::string value = args[++i];
            std::uint32_t seconds = 0;
            if (value == "off")
                reconnect = 0;
            else if (parseNumber(value, seconds, 3600) && seconds > 0)
                reconnect = static_cast<int>(seconds);
            else {
                std::fprintf(stderr, "devcon: --reconnect wants 1..3600 seconds or off\n");
                return kExitUsage;
            }
        } else if (args[i] == "--pacing" && hasValue) {
            const std::string value = args[++i];
            if (value != "on" && value != "off") {
                std::fprintf(stderr, "devcon: --pacing wants on or off\n");
                return kExitUsage;
            }
            pacing = value == "on" ? 1 : 0;
        } else if (args[i] == "--protocol" && hasValue) {
            const std::string value = args[++i];
            if (value != "native" && value != "rfc2217") {
                std::fprintf(stderr, "devcon: --protocol wants native or rfc2217\n");
                return kExitUsage;
            }
            protocol = value == "rfc2217" ? 1 : 0;
        } else {
            rest.push_back(args[i]);
        }
    }
    const bool options = reconnect >= 0 || pacing >= 0 || protocol >= 0;
    if (rest.size() == 1) {
        if (!options)
            return usage();
        return setOptions(args[0], reconnect, pacing, protocol);
    }
    const int result = setRemote(rest);
    if (result != kExitOk || !options)
        return result;
    return setOptions(args[0], reconnect, pacing, protocol);
}

// Serial settings a terminal cannot carry, sent as the serial requests a
// program would make.
int serial(const std::vector<std::string>& args)
{
    if (args.empty() || !isComName(args[0]))
        return usage();
    std::uint32_t baud = 0;
    int dataBits = -1, parity = -1, stopBits = -1, dtr = -1, rts = -1;
    std::uint32_t breakMs = 0;
    bool sendBreak = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (i + 1 >= args.size()) {
            std::fprintf(stderr, "devcon: %s wants a value\n", option.c_str());
            return kExitUsage;
        }
        const std::string value = args[++i];
        std::uint32_t number = 0;
        bool valid = true;
        if (option == "--baud") {
            valid = parseNumber(value, baud, 0x7FFFFFFF) && baud > 0;
        } else if (option == "--data-bits") {
            valid = parseNumber(value, number, 8) && number >= 5;
            dataBits = static_cast<int>(number);
        } else if (option == "--parity") {
            static constexpr const char* kParities[] = { "none", "odd", "even", "mark", "space" };
            for (int p = 0; p < 5; ++p) {
                if (value == kParities[p])
                    parity = p;
            }
            valid = parity >= 0;
        } else if (option == "--stop-bits") {
            stopBits = value == "1" ? 0 : value == "1.5" ? 1 : value == "2" ? 2 : -1;
            valid = stopBits >= 0;
        } else if (option == "--dtr" || option == "--rts") {
            valid = value == "on" || value == "off";
            (option == "--dtr" ? dtr : rts) = value == "on" ? 1 : 0;
        } else if (option == "--break") {
            valid = parseNumber(value, breakMs, 60000);
            sendBreak = true;
        } else {
            std::fprintf(stderr, "devcon: unknown option %s\n", option.c_str());
            return usage();
        }
        if (!valid) {
            std::fprintf(stderr, "devcon: bad value for %s: %s\n", option.c_str(), value.c_str());
            return kExitUsage;
        }
    }
    std::unique_ptr<ControlClient> client;
    if (!connectHost(client))
        return kExitNoHost;
    const std::string& port = args[0];
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

int setRemote(const std::vector<std::string>& args)
{
    RemoteInfo info;
    info.maxPacketLen = 450;
    bool haveRemote = false;
    int protocol = -1, connType = -1, framed = -1;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& option = args[i];
        const bool hasValue = i + 1 < args.size();
        if (option == "--remote" && hasValue) {
            const std::string value = args[++i];
            const std::size_t colon = value.rfind(':');
            std::uint32_t port = 0;
            if (colon == std::string::npos || !parseAddress(value.substr(0, colon), info.remoteHostIp)
                || !parseNumber(value.substr(colon + 1), port, 65535)) {
                std::fprintf(stderr, "devcon: --remote wants ADDRESS:PORT, not %s\n", value.c_str());
                return kExitUsage;
            }
            info.remoteHostPort = networkPort(static_cast<std::uint16_t>(port));
            haveRemote = true;
        } else if (option == "--bind" && hasValue) {
            if (!parseAddress(args[++i], info.bindAddress)) {
                std::fprintf(stderr, "devcon: --bind wants an IPv4 address\n");
                return kExitUsage;
            }
        } else if (option == "--max-packet" && hasValue) {
            if (!parseNumber(args[++i], info.maxPacketLen, 0xFFFFFFFF)) {
                std::fprintf(stderr, "devcon: --max-packet wants a number\n");
                return kExitUsage;
            }
        } else if (option == "--tcp" || option == "--udp") {
            protocol = option == "--udp" ? kProtocolUdp : kProtocolTcp;
        } else if (option == "--client" || option == "--server") {
            connType = option == "--client" ? 1 : 0;
        } else if (option == "--framed" || option == "--raw") {
            framed = option == "--framed" ? 1 : 0;
        } else if (option == "--connect-at-start") {
            info.connectAtWinStart = 1;
        } else {
            std::fprintf(stderr, "devcon: unknown option %s\n", option.c_str());
            return usage();
        }
    }
    if (!haveRemote || protocol < 0 || connType < 0 || framed < 0)
        return usage();
    info.protocol = static_cast<std::uint8_t>(protocol);
    info.connType = static_cast<std::uint32_t>(connType);
    info.cmdByte = static_cast<std::uint32_t>(framed);
    const auto bytes = info.encodeSet();
    return request(args[0], kIoctlSetRemoteInfo, "IOCTL_SET_REMOTE_INFO", bytes);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return usage();
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "install")
        return install(args);
    if (command == "remove")
        return remove(args);
    if (command == "status")
        return status(args);
    if (command == "set")
        return set(args);
    if (command == "serial")
        return serial(args);
    if (command == "connect" || command == "server" || command == "disconnect") {
        if (args.size() != 1 || !isComName(args[0]))
            return usage();
        if (command == "connect")
            return request(args[0], kIoctlConnection, "IOCTL_CONNECTION", {});
        if (command == "server")
            return request(args[0], kIoctlServer, "IOCTL_SERVER", {});
        return request(args[0], kIoctlDisconnection, "IOCTL_DISCONNECTION", {});
    }
    if (command == "--help" || command == "-h") {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    return usage();
}
