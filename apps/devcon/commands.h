#pragma once

// devcon's commands, each a request (or a few) to the driver host with the
// values its command line declared (main.cpp).

#include <cstdint>
#include <optional>
#include <string>

namespace devcon {

// Exit codes a script can rely on.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1; // the host answered with a failure status
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoHost = 3; // the control socket cannot be reached
inline constexpr int kExitBadInf = 4;

// "COM5", "com12": a port name the host takes.
bool isComName(const std::string& name);

int install(const std::string& infPath, const std::string& hardwareId, const std::string& portName);
int remove(const std::string& instanceId);
int status();

// `set COMn`: the remote endpoint (all of remote, protocol, connType and
// framing, or none of them), the host's own options of the port, or both.
struct SetArguments {
    std::string port;
    std::optional<std::string> remote; // ADDRESS:PORT
    std::string protocol; // tcp or udp
    std::string connType; // client or server
    std::string framing; // framed or raw
    std::uint32_t maxPacket = 450;
    bool connectAtStart = false;
    std::optional<std::string> bind;
    std::optional<std::string> reconnect; // 1..3600 or off
    std::optional<std::string> pacing; // on or off
    std::optional<std::string> wireProtocol; // native or rfc2217
};
int set(const SetArguments& args);

// `serial COMn`: what a terminal cannot carry.
struct SerialArguments {
    std::string port;
    std::optional<std::uint32_t> baud;
    std::optional<int> dataBits;
    std::optional<std::string> parity, stopBits, dtr, rts;
    std::optional<std::uint32_t> breakMs;
};
int serial(const SerialArguments& args);

// connect, server and disconnect: one request to the port.
int connect(const std::string& port);
int serve(const std::string& port);
int disconnect(const std::string& port);

} // namespace devcon
