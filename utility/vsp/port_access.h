#pragma once

#include "common/control_client.h"
#include "common/vorpil_ioctl.h"
#include "common/win32_error.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace utility::vsp {

inline constexpr std::string_view kComPortInterfaceGuid = "{86E0D1E0-8089-11D0-9CE4-08003E301F73}";
inline constexpr std::string_view kPortsKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\PORTS\\";
inline constexpr std::string_view kSerialCommKey = "HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegMultiSz = 7;
inline constexpr std::uint32_t kMaxComNumber = 256;
inline constexpr std::uint32_t kRegDword = 4;

// What a client port speaks to its device server: the servers' own framing or
// RFC 2217. The driver host keeps it as the port's "WireProtocol" value and
// reads it at every open of the port, so a change needs no reconnect of the
// view's own.
enum class WireProtocol : std::uint32_t { Native = 0, Rfc2217 = 1 };
// "native" or "rfc2217", as the command lines and --json spell them.
std::string_view wireProtocolName(WireProtocol wire);
std::optional<WireProtocol> parseWireProtocol(std::string_view name);

// A port's settings as the view keeps them: host byte order, host numbers.
struct PortSettings {
    std::uint32_t remoteHostIp = 0;
    std::uint16_t remoteHostPort = 0;
    std::uint8_t protocol = 0;
    std::uint32_t connectAtWinStart = 0;
    std::uint32_t linkState = 0;
    std::uint32_t connType = 1;
    std::uint32_t cmdByte = 0;
    std::uint32_t maxPacketLen = 0;
    std::uint16_t localPort = 0;
};

// Everything the manager asks of the driver host (vorpild) through its
// control socket: the device interfaces, opens and device-control requests,
// the node installer, the registry and the COM name database. Failures come
// back as Win32 error codes, as the system's calls give them.
class PortAccess {
public:
    PortAccess(std::string runtimeDir, std::string hardwareId);

    // (Re)connects when needed; false when the host cannot be reached.
    bool connected();
    // Counts the connections made to the control socket: a new number means
    // the driver host was (or may have been) restarted in between.
    // (The client's own reconnections count too: a restarted host is met
    // on a new session without a new client.)
    std::uint64_t session() const
    {
        return (std::uint64_t { m_session } << 32) | (m_client ? m_client->reconnections() : 0u);
    }
    const std::string& hardwareId() const { return m_hardwareId; }

    // Interface paths of every COM port, in the host's order.
    common::Win32Error interfaces(std::vector<std::string>& paths);
    // Whether an interface path belongs to one of our ports (instance
    // 0000..0099 whose HardwareID is ours).
    bool isOwn(const std::string& path);
    // Port IDs of our ports.
    common::Win32Error ownPorts(std::vector<std::size_t>& portIds);

    // What the host knows of the port behind member `portId` without opening
    // it (its name, link state and remote end); false when it has no node.
    bool nodeOf(std::size_t portId, PortSettings& settings, std::string& name);
    // The control socket looked for, for messages.
    std::string socketPath() const { return common::ControlClient::socketPath(m_runtimeDir); }

    // Opens member `portId`; ERROR_BAD_COMMAND when a program holds it.
    common::Win32Error open(std::size_t portId, std::uint32_t& handle);
    void close(std::uint32_t handle);
    common::Win32Error control(std::uint32_t handle, std::uint32_t code, std::span<const std::uint8_t> input,
        std::uint32_t outputLength, std::vector<std::uint8_t>* output = nullptr);

    // The instance ID "@root\ports\0000" of member `portId`; empty on failure.
    std::string instanceId(std::size_t portId);

    common::Win32Error readSettings(std::uint32_t handle, PortSettings& settings);
    common::Win32Error writeSettings(std::uint32_t handle, const PortSettings& settings, std::uint32_t bindAddress);
    common::Win32Error dosName(std::uint32_t handle, std::string& name);

    // The port's wire protocol from the registry; a port that never had the
    // value (or holds one the host does not know) speaks native framing, as
    // the host reads it.
    common::Win32Error wireProtocol(std::size_t portId, WireProtocol& wire);
    common::Win32Error setWireProtocol(std::size_t portId, WireProtocol wire);

    // The COM usage map, byte n-1 for COMn; false plus the failing step's
    // text when it cannot be built.
    bool usageMap(std::vector<std::uint8_t>& usage, std::string& failure);

    common::ControlClient* client() { return m_client.get(); }

private:
    // The node's "Device Parameters" key; empty when the port has no node.
    std::string parametersKey(std::size_t portId);

    std::string m_runtimeDir;
    std::string m_hardwareId;
    std::unique_ptr<common::ControlClient> m_client;
    std::uint32_t m_session = 0;
};

// printf into a string; the manager's texts are short.
template <typename... Args> std::string format(const char* pattern, Args... args)
{
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, pattern, args...);
    return buffer;
}
// `pattern` with the error code in place of its one %x.
std::string errorText(const char* pattern, common::Win32Error error);
// The port number at the start of a control's text; 0 when it is none or
// above 65535.
std::uint16_t portNumberText(const std::string& text);
// The message for a port that cannot be opened: a port held by a program
// (ERROR_BAD_COMMAND) or any other failure with its code.
std::string openFailureText(common::Win32Error error);
// "@root\ports\0000" from "\\?\root#ports#0000#{...}": the first four
// characters dropped, the next fifteen kept with '#' as '\'.
std::string instanceIdFromPath(const std::string& path);
// The number of "COMn", or 0.
int comNumber(std::string_view name);
// The registry keeps strings as UTF-16LE with a terminating zero unit; the
// names the manager writes and reads are ASCII.
std::vector<std::uint8_t> regString(std::string_view text);
// The text up to the first zero unit (non-ASCII units as '?').
std::string fromRegString(const std::vector<std::uint8_t>& data);
std::string hostAddressText(std::uint32_t hostOrder);
// Host-order address of a dotted quad; false when the text is none.
bool parseHostAddress(const std::string& text, std::uint32_t& hostOrder);

} // namespace utility::vsp
