#pragma once
// What the network's Linux files share: error mapping and address forms.

#include "common/ntstatus.h"
#include "driver/host/network.h"

#include <cstdint>
#include <netinet/in.h>

namespace driver::host::detail {

common::NtStatus statusFromErrno(int error);
sockaddr_in socketAddress(NetAddress address);
NetAddress netAddress(const sockaddr_in& address);
std::uint32_t epollEvents(unsigned events);

} // namespace driver::host::detail
