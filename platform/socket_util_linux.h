#pragma once

// Helpers shared by the socket classes (Linux only, not for core code).

#include "platform/net.h"
#include "platform/result.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace platform::detail {

inline Error errnoError(const char* what, int code = errno)
{
    return Error { std::string(what) + ": " + std::strerror(code), code };
}

inline Error injected(const char* what) { return Error { std::string(what) + ": injected fault", EIO }; }

inline sockaddr_in toSockaddr(Ipv4 address, std::uint16_t port)
{
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(address);
    return addr;
}

inline Endpoint fromSockaddr(const sockaddr_in& addr) { return { ntohl(addr.sin_addr.s_addr), ntohs(addr.sin_port) }; }

} // namespace platform::detail
