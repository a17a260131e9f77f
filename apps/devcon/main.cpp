// devcon: the device console tool against the driver host's control socket.
#include "common/control_client.h"
#include "common/inf_file.h"
#include "common/vorpil_ioctl.h"
#include "common/win32_error.h"
#include "platform/text_file.h"

#include <charconv>
#include <cstdio>
#include <string>
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
      "       devcon connect|server|disconnect <COMn>\n"
      "The driver host is found through VORPIL_RUNTIME_DIR (else the default runtime directory).\n";

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
    if (ntSuccess(ControlClient::connect({}, client)))
        return true;
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
    const NtStatus status = client->installNode(hardwareId, args[2], instanceId);
    if (!ntSuccess(status)) {
        printStatus(hardwareId, "install", status);
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
        const std::string endpoint = std::string(node.protocol == kProtocolUdp ? "udp:" : "tcp:")
            + addressText(node.remoteHostIp) + ":"
            + std::to_string(hostPort(static_cast<std::uint16_t>(node.remoteHostPort)));
        std::printf("%s %s %s %s link=%u remote=%s %s %s path=%s\n", node.instanceId.c_str(), node.hardwareId.c_str(),
            node.portName.empty() ? "-" : node.portName.c_str(), std::string(nodeStateText(node.state)).c_str(),
            node.linkState, endpoint.c_str(), node.connType ? "client" : "server", node.cmdByte ? "framed" : "raw",
            node.devicePath.empty() ? "-" : node.devicePath.c_str());
    }
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

int set(const std::vector<std::string>& args)
{
    if (args.empty() || !isComName(args[0]))
        return usage();
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
